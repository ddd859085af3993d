// The texts the cache writes into the log for addresses and values.
#include <cinttypes>
#include <cstdio>

#include "core/IOCache.h"

namespace
{
constexpr size_t kAddressTextCapacity = 1024;

void Append(std::string& text, const char* format, ...) DRAVO_PRINTF(2, 3);
void Append(std::string& text, const char* format, ...)
{
    char piece[kAddressTextCapacity];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0)
        text.append(piece, std::min<size_t>(static_cast<size_t>(n), sizeof piece - 1));
}
} // namespace

std::string CacheAddressText(const STagAddress& a)
{
    std::string text;
    if (!a.device.empty())
        Append(text, "{%s}'%s'", a.device.c_str(), a.item.c_str());
    else if (!a.item.empty())
        Append(text, "'%s'", a.item.c_str());
    if (text.empty() || a.n1 != 0 || a.n2 != 0 || a.n3 != 0 || a.n4 != 0)
        Append(text, "%u.%u.%u.%u", a.n1, a.n2, a.n3, a.n4);
    if (a.tagObject)
        Append(text, ".Blob:%p", static_cast<void*>(a.tagObject.Get()));
    if (a.size > 1)
        Append(text, "[%u]", a.size);
    // A text that filled the builder ends in "..." so the cut is visible.
    if (text.size() >= kAddressTextCapacity - 1)
    {
        text.resize(kAddressTextCapacity - 1);
        text.replace(text.size() - 3, 3, "...");
    }
    return text;
}

std::string CacheValueText(HVALUE value)
{
    if (value == nullptr)
        return "<null>";
    std::string text;
    Append(text, "(type %u)", hvGetType(value));
    return text;
}
