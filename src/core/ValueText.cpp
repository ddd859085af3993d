#include "core/ValueText.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

CTextBuilder::CTextBuilder(size_t capacity, uint32_t options)
    : m_limit(capacity > 0 ? capacity - 1 : 0), m_options(options)
{
    m_text.reserve(m_limit);
    TIME now{};
    hvNowTime(&now);
    if (!hvTimeToTimeX(&now, &m_today))
        m_today = TIMEX{};
}

bool CTextBuilder::Append(std::string_view text)
{
    const size_t room = m_limit - m_text.size();
    if (text.size() <= room)
    {
        m_text.append(text);
        return true;
    }
    m_text.append(text.substr(0, room));
    m_truncated = true;
    return false;
}

bool CTextBuilder::Format(const char* format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof(small), format, args);
    va_end(args);
    bool ok = n >= 0;
    if (ok && static_cast<size_t>(n) < sizeof(small))
    {
        ok = Append(std::string_view(small, static_cast<size_t>(n)));
    }
    else if (ok)
    {
        std::vector<char> large(static_cast<size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        ok = Append(std::string_view(large.data(), static_cast<size_t>(n)));
    }
    va_end(again);
    return ok;
}

std::string CTextBuilder::Finish() const
{
    std::string text = m_text;
    if (m_truncated && text.size() > 2)
        text.replace(text.size() - 3, 3, "...");
    return text;
}

const char* ValueTypeName(uint32_t type)
{
    static const char* const Names[] = {"null", "I8",  "U8",  "I16",  "U16",  "I32", "U32",
                                        "R32",  "R64", "STR", "HVAL", "TIME", "LIST"};
    return type < sizeof(Names) / sizeof(Names[0]) ? Names[type] : "?TYPE?";
}

void AppendTimeText(CTextBuilder& out, const TIME& time)
{
    TIMEX x{};
    if (!hvTimeToTimeX(&time, &x))
    {
        out.Append("?TIMEX?");
        return;
    }
    const TIMEX& today = out.Today();
    if (x.year != today.year || x.month != today.month || x.day != today.day)
        out.Format("%u.%02u.%02u ", unsigned(x.year), unsigned(x.month), unsigned(x.day));
    if (x.millisecond != 0)
        out.Format("%02u:%02u:%02u.%03u", unsigned(x.hour), unsigned(x.minute), unsigned(x.second),
                   unsigned(x.millisecond));
    else
        out.Format("%02u:%02u:%02u", unsigned(x.hour), unsigned(x.minute), unsigned(x.second));
}

namespace
{
void AppendTimestamp(CTextBuilder& out, HVALUE value)
{
    // The value library rounds the timestamp to the millisecond (adding 0.0005 seconds).
    TIME t{};
    if (hvGetTimestampTime(value, &t))
        AppendTimeText(out, t);
    else
        out.Append("?TIMEX?");
}

void AppendBody(CTextBuilder& out, HVALUE value);

// One scalar (a value of type below 128) as the type table writes it.
void AppendScalar(CTextBuilder& out, HVALUE value, uint32_t type)
{
    switch (type)
    {
    case HV_NULL:
        out.Append("null");
        return;
    case HV_I8:
    case HV_I16:
    case HV_I32: {
        int32_t x = 0;
        if (hvGetI32(value, &x))
            out.Format("%d", x);
        else
            out.Append("?I32ERR?");
        return;
    }
    case HV_U8:
    case HV_U16:
    case HV_U32: {
        uint32_t x = 0;
        if (hvGetU32(value, &x))
            out.Format("%u", x);
        else
            out.Append("?U32ERR?");
        return;
    }
    case HV_R32:
    case HV_R64: {
        double x = 0;
        if (!hvGetR64(value, &x))
            out.Append(type == HV_R32 ? "?R32ERR?" : "?R64ERR?");
        else if (type == HV_R32)
            out.Format("%.7g", x);
        else
            out.Format("%.15g", x);
        return;
    }
    case HV_STR: {
        const char* text = nullptr;
        if (hvGetText(value, &text) && text)
        {
            out.Append("'");
            out.Append(text);
            out.Append("'");
        }
        else
        {
            out.Append("?STRERR?");
        }
        return;
    }
    case HV_HVAL: {
        HVALUE nested = hvGetNestedValue(value);
        if (nested)
        {
            AppendBody(out, nested);
            hvRelease(nested);
        }
        else
        {
            out.Append("?HVALERR?");
        }
        return;
    }
    case HV_TIME: {
        TIME t{};
        if (hvGetTimeValue(value, &t))
            AppendTimeText(out, t);
        else
            out.Append("?TIMEERR?");
        return;
    }
    case HV_LIST: {
        const uint16_t count = hvGetListCount(value);
        out.Format("list(%u) {", unsigned(count));
        uintptr_t position = 0;
        bool first = true;
        for (HVALUE entry = hvListFirst(value, &position); entry; entry = hvListNext(value, &position))
        {
            out.Append(first ? " " : ", ");
            first = false;
            AppendValueText(out, entry);
        }
        out.Append(" }");
        return;
    }
    default:
        out.Append("?TYPE?");
        return;
    }
}

const char* ErrorTextOf(uint32_t type)
{
    switch (type)
    {
    case HV_I8:
    case HV_I16:
    case HV_I32:
        return "?I32ERR?";
    case HV_U8:
    case HV_U16:
    case HV_U32:
        return "?U32ERR?";
    case HV_R32:
        return "?R32ERR?";
    case HV_R64:
        return "?R64ERR?";
    case HV_STR:
        return "?STRERR?";
    case HV_HVAL:
        return "?HVALERR?";
    case HV_TIME:
        return "?TIMEERR?";
    default:
        return "?TYPE?";
    }
}

void AppendArray(CTextBuilder& out, HVALUE value, uint32_t elementType)
{
    const uint16_t count = hvGetCount(value);
    if (out.Options() & VALUE_TEXT_COMPACT)
        out.Append("{");
    else
        out.Format("array(%u;%s) {", unsigned(count), ValueTypeName(elementType));
    for (uint16_t i = 0; i < count; ++i)
    {
        if (i > 0)
            out.Append(",");
        HVALUE element = hvGetElementValue(value, i);
        if (!element)
        {
            out.Append(ErrorTextOf(elementType));
            continue;
        }
        // Elements of an array of values are nested values: their body is written.
        if (elementType == HV_HVAL)
            AppendBody(out, element);
        else
            AppendScalar(out, element, elementType);
        hvRelease(element);
    }
    out.Append("}");
}

void AppendBody(CTextBuilder& out, HVALUE value)
{
    const uint32_t type = hvGetType(value);
    if (type & HV_ARRAY)
        AppendArray(out, value, type & ~uint32_t(HV_ARRAY));
    else
        AppendScalar(out, value, type);
}
} // namespace

void AppendValueText(CTextBuilder& out, HVALUE value)
{
    if (!value)
    {
        out.Append("<null>");
        return;
    }
    if (!(out.Options() & VALUE_TEXT_PLAIN))
    {
        out.Append("(");
        const uint8_t quality = hvGetQuality(value);
        if (quality != HV_QUALITY_GOOD)
            out.Format("%u; ", unsigned(quality));
        AppendTimestamp(out, value);
        out.Append(") ");
    }
    AppendBody(out, value);
}

std::string ValueText(HVALUE value, uint32_t options)
{
    CTextBuilder out(ValueTextCapacity, options);
    AppendValueText(out, value);
    return out.Finish();
}
