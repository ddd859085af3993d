#include "lib/OutputFormat.h"

#include "json/JsonValue.h"
#include "lib/HostValue.h"
#include "platform/Text.h"

namespace
{
std::string TimeOf(HVALUE value, double arrival)
{
    double stamp = 0;
    if (value != nullptr && hvGetTimestamp(value, &stamp) && stamp > 0)
        return FormatIsoTime(stamp);
    return FormatIsoTime(arrival);
}

JsonValue::Ptr Text(std::string_view text) { return JsonValue::MakeString(Utf8ToUtf16(text)); }

int32_t ElementI32(HVALUE array, uint16_t index)
{
    int32_t x = 0;
    return hvGetElementI32(array, index, &x) ? x : 0;
}

std::string ElementText(HVALUE array, uint16_t index)
{
    const char* text = nullptr;
    return hvGetElementText(array, index, &text) && text != nullptr ? text : "";
}

const char* EventTypeWord(int32_t type)
{
    switch (type)
    {
    case 0:
        return "info";
    case 1:
        return "warning";
    case 2:
        return "error";
    default:
        return "event";
    }
}

const char* EventSourceWord(int32_t source)
{
    switch (source)
    {
    case 0:
        return "driver";
    case -1:
        return "framework";
    case -2:
        return "serial";
    case -3:
        return "modem";
    case -4:
        return "ethernet";
    case -5:
        return "dial-up";
    default:
        return "source";
    }
}
} // namespace

bool ParseOutputFormat(std::string_view name, EOutputFormat& format)
{
    if (name == "text")
        format = EOutputFormat::Text;
    else if (name == "jsonl")
        format = EOutputFormat::Jsonl;
    else
        return false;
    return true;
}

const char* QualityWord(uint8_t quality)
{
    switch (quality & 0xC0)
    {
    case 0xC0:
        return "good";
    case 0x40:
        return "uncertain";
    default:
        return "bad";
    }
}

std::string FormatNotification(EOutputFormat format, std::string_view item, uint32_t callback, HVALUE value,
                               double arrival)
{
    const uint8_t quality = hvGetQuality(value);
    const std::string type = ValueTypeName(value);
    const std::string time = TimeOf(value, arrival);
    JsonValue::Ptr json = ValueToJson(value);
    if (format == EOutputFormat::Text)
    {
        const std::string shown = json->Is(JsonKind::Null) ? "(no value)" : json->StringifyNarrow();
        return time + "  " + std::string(item) + " = " + shown + "  [" + type + ", " + QualityWord(quality) + " " +
               std::to_string(quality) + ", #" + std::to_string(callback) + "]";
    }
    JsonValue::Ptr line = JsonValue::MakeObject();
    line->AddMember(u"tag", Text(item));
    line->AddMember(u"callback", JsonValue::MakeNumber(callback));
    line->AddMember(u"value", std::move(json));
    line->AddMember(u"type", Text(type));
    line->AddMember(u"quality", JsonValue::MakeInt(quality));
    line->AddMember(u"time", Text(time));
    return line->StringifyNarrow();
}

std::string FormatEvent(EOutputFormat format, HVALUE event, double arrival)
{
    const int32_t type = ElementI32(event, 0);
    const int32_t source = ElementI32(event, 1);
    const int32_t number = ElementI32(event, 2);
    const std::string description = ElementText(event, 3);
    const std::string time = TimeOf(event, arrival);
    if (format == EOutputFormat::Text)
    {
        return time + "  event " + EventTypeWord(type) + " (" + EventSourceWord(source) + " #" +
               std::to_string(number) + "): " + description;
    }
    JsonValue::Ptr line = JsonValue::MakeObject();
    line->AddMember(u"event", Text(description));
    line->AddMember(u"eventType", JsonValue::MakeInt(type));
    line->AddMember(u"source", JsonValue::MakeInt(source));
    line->AddMember(u"number", JsonValue::MakeInt(number));
    line->AddMember(u"time", Text(time));
    return line->StringifyNarrow();
}

std::string FormatResult(EOutputFormat format, std::string_view kind, std::string_view subject, bool ok,
                         std::string_view message, HVALUE value)
{
    if (format == EOutputFormat::Text)
    {
        std::string line = std::string(kind) + " " + std::string(subject) + ": " + std::string(message);
        if (value != nullptr)
            line += " = " + ValueToJson(value)->StringifyNarrow();
        return line;
    }
    JsonValue::Ptr line = JsonValue::MakeObject();
    line->AddMember(Utf8ToUtf16(kind), Text(subject));
    line->AddMember(u"ok", JsonValue::MakeBool(ok));
    line->AddMember(u"message", Text(message));
    if (value != nullptr)
        line->AddMember(u"value", ValueToJson(value));
    return line->StringifyNarrow();
}
