// How mqtt-host prints what the driver delivers: a readable live view ("text") or one JSON
// object per line ("jsonl"), for tag notifications and for the driver's events.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "dravo/hvalue.h"

enum class EOutputFormat
{
    Text,
    Jsonl,
};

// "text" or "jsonl"; false for anything else.
bool ParseOutputFormat(std::string_view name, EOutputFormat& format);

// "good", "uncertain" or "bad" by the OPC DA quality bits.
const char* QualityWord(uint8_t quality);

// One notification of tag `item` (subscribed under `callback`). The time is the value's
// timestamp, or `arrival` (seconds since 1970) when the value carries none. No newline.
std::string FormatNotification(EOutputFormat format, std::string_view item, uint32_t callback, HVALUE value,
                               double arrival);

// One record of the event block IO.DravoEvent (type, source, number, description).
std::string FormatEvent(EOutputFormat format, HVALUE event, double arrival);

// The result of a host command in the output's form: jsonl gives {"<kind>": subject,
// "ok": ..., "message": ..., "value": ...} ("value" only with a value); text gives
// "<kind> <subject>: <message>" followed by " = <value>" with a value.
std::string FormatResult(EOutputFormat format, std::string_view kind, std::string_view subject, bool ok,
                         std::string_view message, HVALUE value = nullptr);
