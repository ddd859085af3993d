#include "lib/HostValue.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "platform/Text.h"

namespace
{
const char* const kTypeNames[] = {"null", "I8", "U8", "I16", "U16", "I32", "U32",
                                  "R32",  "R64", "STR", "HVAL", "TIME", "LIST"};

const char* BaseTypeName(uint8_t type)
{
    return type < std::size(kTypeNames) ? kTypeNames[type] : "?TYPE?";
}

JsonValue::Ptr RealToJson(double x)
{
    return std::isfinite(x) ? JsonValue::MakeDouble(x) : JsonValue::MakeNull();
}

JsonValue::Ptr TimeToJson(const TIME& t)
{
    return JsonValue::MakeString(Utf8ToUtf16(FormatIsoTime(t.seconds + t.milliseconds / 1000.0)));
}

// One scalar (not an array, not a list) as JSON.
JsonValue::Ptr ScalarToJson(HVALUE value)
{
    switch (hvGetType(value))
    {
    case HV_I8:
    case HV_I16:
    case HV_I32:
    {
        int32_t x = 0;
        return hvGetI32(value, &x) ? JsonValue::MakeInt(x) : JsonValue::MakeNull();
    }
    case HV_U8:
    case HV_U16:
    case HV_U32:
    {
        uint32_t x = 0;
        if (!hvGetU32(value, &x))
            return JsonValue::MakeNull();
        // A Double prints every digit; a Float would print 3e+09.
        return x <= INT32_MAX ? JsonValue::MakeInt(static_cast<int32_t>(x)) : JsonValue::MakeDouble(x);
    }
    case HV_R32:
    case HV_R64:
    {
        double x = 0;
        return hvGetR64(value, &x) ? RealToJson(x) : JsonValue::MakeNull();
    }
    case HV_STR:
    {
        const char* text = nullptr;
        size_t length = 0;
        if (!hvGetTextN(value, &text, &length) || text == nullptr)
            return JsonValue::MakeNull();
        return JsonValue::MakeString(Utf8ToUtf16(std::string_view(text, length)));
    }
    case HV_HVAL:
    {
        CHostValue nested(hvGetNestedValue(value));
        return ValueToJson(nested.Get());
    }
    case HV_TIME:
    {
        TIME t{};
        return hvGetTimeValue(value, &t) ? TimeToJson(t) : JsonValue::MakeNull();
    }
    default:
        return JsonValue::MakeNull();
    }
}

bool IsWholeNumber(double x) { return std::isfinite(x) && std::floor(x) == x; }
} // namespace

std::string ValueTypeName(HVALUE value)
{
    if (value == nullptr)
        return "null";
    const uint8_t type = hvGetType(value);
    if (type & HV_ARRAY)
        return std::string(BaseTypeName(type & ~HV_ARRAY)) + "[]";
    return BaseTypeName(type);
}

JsonValue::Ptr ValueToJson(HVALUE value)
{
    if (value == nullptr)
        return JsonValue::MakeNull();
    const uint8_t type = hvGetType(value);
    if (type == HV_LIST)
    {
        JsonValue::Ptr array = JsonValue::MakeArray();
        uintptr_t position = 0;
        for (HVALUE entry = hvListFirst(value, &position); entry != nullptr; entry = hvListNext(value, &position))
            array->Append(ValueToJson(entry));
        return array;
    }
    if (type & HV_ARRAY)
    {
        JsonValue::Ptr array = JsonValue::MakeArray();
        const uint16_t count = hvGetCount(value);
        for (uint16_t i = 0; i < count; ++i)
        {
            CHostValue element(hvGetElementValue(value, i));
            array->Append(ValueToJson(element.Get()));
        }
        return array;
    }
    return ScalarToJson(value);
}

bool JsonToValue(const JsonValue& json, HVALUE out)
{
    if (out == nullptr)
        return false;
    switch (json.Kind())
    {
    case JsonKind::Null:
        hvClear(out);
        return true;
    case JsonKind::Bool:
        return hvSetI32(out, json.AsBool() ? 1 : 0) != 0;
    case JsonKind::String:
        return hvSetText(out, Utf16ToUtf8(json.AsString()).c_str()) != 0;
    case JsonKind::Int:
        return hvSetI32(out, json.AsInt()) != 0;
    case JsonKind::Float:
    case JsonKind::Double:
    {
        // The document model keeps no trace of how a number was written, so a whole number
        // that did not fit an Int is told apart by its value.
        const double x = json.NumberValue();
        if (IsWholeNumber(x) && x > INT32_MAX && x <= UINT32_MAX)
            return hvSetU32(out, static_cast<uint32_t>(x)) != 0;
        return hvSetR64(out, x) != 0;
    }
    default:
        return false;
    }
}

bool TextToValue(std::string_view text, HVALUE out)
{
    if (out == nullptr)
        return false;
    JsonValue::Ptr json = JsonValue::Parse(text);
    if (json && !json->IsContainer() && !json->Is(JsonKind::Null))
        return JsonToValue(*json, out);
    return hvSetTextN(out, text.data(), text.size()) != 0;
}

bool NumberOrTextToValue(std::string_view text, HVALUE out)
{
    if (out == nullptr)
        return false;
    JsonValue::Ptr json = JsonValue::Parse(text);
    if (json && json->IsNumber())
        return JsonToValue(*json, out);
    return hvSetTextN(out, text.data(), text.size()) != 0;
}

std::string FormatIsoTime(double secondsSince1970)
{
    if (!std::isfinite(secondsSince1970) || secondsSince1970 < 0)
        return {};
    // The value library's own rounding to the millisecond, so times agree with its texts.
    CHostValue probe;
    TIME t{};
    TIMEX x{};
    if (!hvSetTimestamp(probe.Get(), secondsSince1970) || !hvGetTimestampTime(probe.Get(), &t) ||
        !hvTimeToTimeX(&t, &x))
        return {};
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", x.year, x.month, x.day, x.hour, x.minute,
                  x.second, x.millisecond);
    return text;
}
