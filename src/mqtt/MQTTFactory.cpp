#include "mqtt/MQTTFactory.h"

#include "core/ConfigData.h"
#include "mqtt/MQTTHost.h"
#include "mqtt/MQTTItem.h"
#include "platform/Text.h"

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

void CMQTTFactory::WriteDefaults(CConfigData* store)
{
    if (store == nullptr)
        return;
    store->SetText("IO.Type", "Ethernet");
    store->SetI32("IO.Ethernet.MainPort", 1883);
    store->SetI32("IO.TimeoutMs", 1000);
    store->SetI32("MQTT.VersionNumber", 4);
    store->SetI32("MQTT.KeepAlive", 5);
    store->SetI32("MQTT.MaxRequests", 50);
    store->SetText("IO.Log.Filename", DEFAULT_LOG_FILE);
}

HRESULT CMQTTFactory::ValidateItem(const char16_t*, const char16_t* item, TagInfo*)
try
{
    return MQTTValidateItem(Utf16ToUtf8(item ? item : u""));
}
catch (const std::bad_alloc&)
{
    return E_OUTOFMEMORY;
}

CIOHost* CMQTTFactory::MakeHost(const CConfigData& store, CIOCache* cache)
try
{
    std::string clientId;
    {
        CLockGuard guard(store.Lock());
        HVALUE value = store.Find("MQTT.ClientID");
        const char* text = nullptr;
        size_t length = 0;
        if (value != nullptr && hvIsText(value) && hvGetTextN(value, &text, &length) && text != nullptr)
            clientId.assign(text, length);
    }
    HRESULT hr = S_OK;
    TIOPtr<CMQTTHost> host = CMQTTHost::Create(Globals(), store, clientId, cache, &hr);
    if (!host)
        return nullptr;
    if (FAILED(host->Start()))
        return nullptr; // the release joins what Start had begun
    return host.Detach();
}
catch (const std::bad_alloc&)
{
    return nullptr;
}

CIOHost* CMQTTFactory::CreateHost(uint16_t, uint16_t, uint16_t, uint16_t)
{
    return MakeHost(Config(), Cache());
}

CIOFactory* CreateDriverFactory(CIOGlobals* globals)
{
    return new (std::nothrow) CMQTTFactory(globals);
}
