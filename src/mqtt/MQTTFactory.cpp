#include "mqtt/MQTTFactory.h"

#include <new>
#include <string_view>

CMQTTFactory::CMQTTFactory(CIOGlobals* globals) : CIOFactory(globals) {}

int CMQTTFactory::IsDriverTag(const TagRequest* request)
{
    if (request == nullptr)
        return 0;
    const char16_t* item = request->item ? request->item : u"";
    while (*item == u' ' || *item == u'\t')
        ++item;
    const std::u16string_view text(item);
    const auto folded = [](char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; };
    const bool framework =
        text.size() >= 3 && folded(text[0]) == u'I' && folded(text[1]) == u'O' && text[2] == u'.';
    return framework ? 0 : 1;
}

CIOFactory* CreateDriverFactory(CIOGlobals* globals)
{
    return new (std::nothrow) CMQTTFactory(globals);
}
