#include "lib/HostSettings.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/Text.h"

namespace
{
// Keys the driver reads as texts: a --set of one of them never turns "123" into a number.
const char* const kTextKeys[] = {
    "IO.Type", "IO.Log.Filename", "IO.Ethernet.MainIP", "IO.Ethernet.BackupIP", "IO.Ethernet.BackupIP2",
    "IO.Ethernet.BackupIP3", "IO.Ethernet.Transport", "IO.Ethernet.ListenIP", "IO.Ethernet.IPFilter",
    "IO.Ethernet.SSLCAPath", "IO.Ethernet.SSLCertificatePath", "IO.Ethernet.SSLPrivateKeyPath",
    "IO.Ethernet.SSLKeyPassword", "IO.TAPI.PhoneNumber", "IO.RAS.ATCommand", "MQTT.ClientID", "MQTT.User",
    "MQTT.Password", "MQTT.WillTopic", "MQTT.WillMessage", "MQTT.AgentKeywords",
};

bool IsTextKey(std::string_view name)
{
    for (const char* key : kTextKeys)
    {
        if (EqualsNoCase(name, key))
            return true;
    }
    const std::string lower = ToLowerAscii(name);
    return lower.starts_with("mqtt.templatename[") || lower.starts_with("mqtt.templateformat[");
}

bool IsBlankOrEmpty(std::string_view text)
{
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}
} // namespace

HVALUE CHostSettings::Find(std::string_view name) const
{
    for (const Parameter& p : m_parameters)
    {
        if (EqualsNoCase(p.name, name))
            return p.value.Get();
    }
    return nullptr;
}

bool CHostSettings::Set(std::string_view name, HVALUE value)
{
    CHostValue copy;
    if (!copy || value == nullptr || !hvCopy(copy.Get(), value))
        return false;
    for (Parameter& p : m_parameters)
    {
        if (EqualsNoCase(p.name, name))
        {
            p.value = std::move(copy);
            return true;
        }
    }
    m_parameters.push_back({std::string(name), std::move(copy)});
    return true;
}

void CHostSettings::Remove(std::string_view name)
{
    std::erase_if(m_parameters, [&](const Parameter& p) { return EqualsNoCase(p.name, name); });
}

void CHostSettings::SortByName()
{
    std::stable_sort(m_parameters.begin(), m_parameters.end(),
                     [](const Parameter& a, const Parameter& b) { return CompareNoCase(a.name, b.name) < 0; });
}

bool CHostSettings::MergeJsonText(std::string_view text, std::string& error)
{
    if (IsBlankOrEmpty(text))
    {
        error = "the settings file is empty; it must hold a JSON object such as {\"IO.Ethernet.MainIP\": \"127.0.0.1\"}";
        return false;
    }
    JsonValue::Ptr json = JsonValue::Parse(text);
    if (!json)
    {
        error = "the settings file is not valid JSON";
        return false;
    }
    if (!json->Is(JsonKind::Object))
    {
        error = "the settings file must hold one JSON object of key -> value";
        return false;
    }
    // Checked as a whole first, so a bad member leaves nothing half applied.
    for (const JsonValue::Ptr& member : json->Items())
    {
        if (member->Name().empty())
        {
            error = "the settings file has a member with an empty key";
            return false;
        }
        if (member->IsContainer())
        {
            error = "the value of \"" + Utf16ToUtf8(member->Name()) +
                    "\" must be a number, a string, true, false or null";
            return false;
        }
    }
    for (const JsonValue::Ptr& member : json->Items())
    {
        const std::string name = Utf16ToUtf8(member->Name());
        if (member->Is(JsonKind::Null))
        {
            Remove(name);
            continue;
        }
        CHostValue value;
        if (!JsonToValue(*member, value.Get()) || !Set(name, value.Get()))
        {
            error = "out of memory while reading \"" + name + "\"";
            return false;
        }
    }
    return true;
}

bool CHostSettings::MergeJsonFile(const std::string& path, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        error = "cannot read the settings file " + path + ": check that it exists and is readable";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!MergeJsonText(text.str(), error))
    {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool CHostSettings::MergeAssignment(std::string_view assignment, std::string& error)
{
    const size_t equals = assignment.find('=');
    if (equals == std::string_view::npos || equals == 0)
    {
        error = "--set expects KEY=VALUE, got \"" + std::string(assignment) + "\"";
        return false;
    }
    const std::string_view name = assignment.substr(0, equals);
    const std::string_view text = assignment.substr(equals + 1);
    CHostValue value;
    const HVALUE existing = Find(name);
    const bool keepText = text.empty() || IsTextKey(name) || (existing != nullptr && hvGetType(existing) == HV_STR);
    const bool converted =
        keepText ? hvSetTextN(value.Get(), text.data(), text.size()) != 0 : TextToValue(text, value.Get());
    if (!converted || !Set(name, value.Get()))
    {
        error = "out of memory while setting \"" + std::string(name) + "\"";
        return false;
    }
    return true;
}

bool CHostSettings::FromStored(HVALUE stored, std::string& error)
{
    const char* header = nullptr;
    if (stored == nullptr || hvGetType(stored) != (HV_ARRAY | HV_HVAL) || hvGetCount(stored) < 1 ||
        !hvGetElementText(stored, 0, &header) || header == nullptr || std::string_view(header) != kStoredConfigHeader)
    {
        error = "the driver's settings value holds no stored configuration";
        return false;
    }
    std::vector<Parameter> parameters;
    const uint16_t count = hvGetCount(stored);
    for (uint16_t i = 1; i + 1 < count; i += 2)
    {
        const char* name = nullptr;
        if (!hvGetElementText(stored, i, &name) || name == nullptr)
            continue;
        CHostValue element(hvGetElementValue(stored, static_cast<uint16_t>(i + 1)));
        CHostValue copy;
        if (!element || !copy || !hvCopy(copy.Get(), element.Get()))
        {
            error = "out of memory while reading the driver's configuration";
            return false;
        }
        parameters.push_back({name, std::move(copy)});
    }
    m_parameters = std::move(parameters);
    return true;
}

bool CHostSettings::ToStored(HVALUE stored) const
{
    const size_t elements = 2 * m_parameters.size() + 1;
    if (stored == nullptr || elements > UINT16_MAX || !hvMakeArray(stored, HV_HVAL, static_cast<uint16_t>(elements)) ||
        !hvSetElementText(stored, 0, kStoredConfigHeader))
        return false;
    uint16_t index = 1;
    for (const Parameter& p : m_parameters)
    {
        if (!hvSetElementText(stored, index, p.name.c_str()) ||
            !hvSetElementValue(stored, static_cast<uint16_t>(index + 1), p.value.Get()))
            return false;
        index = static_cast<uint16_t>(index + 2);
    }
    return true;
}

std::string CHostSettings::ToJsonText() const
{
    // One parameter per line, so files diff and edit well.
    std::string text = "{";
    const char* separator = "\n  ";
    for (const Parameter& p : m_parameters)
    {
        text += separator + JsonValue::MakeString(Utf8ToUtf16(p.name))->StringifyNarrow() + ": " +
                ValueToJson(p.value.Get())->StringifyNarrow();
        separator = ",\n  ";
    }
    return text + "\n}\n";
}
