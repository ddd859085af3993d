#include "platform/MachineSettings.h"

#include <stdlib.h>

#include <string_view>

#include "platform/File.h"
#include "platform/Text.h"

namespace
{
enum class EKind
{
    Missing,
    Dword,
    Text,
    Malformed
};

struct Found
{
    EKind kind = EKind::Missing;
    uint32_t dword = 0;
    std::string text;
};

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Reads a quoted text at the start of `s`; returns the rest after the closing quote.
bool Unquote(std::string_view& s, std::string& out)
{
    out.clear();
    if (s.empty() || s.front() != '"')
        return false;
    for (size_t i = 1; i < s.size(); ++i)
    {
        if (s[i] == '\\' && i + 1 < s.size())
            out.push_back(s[++i]);
        else if (s[i] == '"')
        {
            s.remove_prefix(i + 1);
            return true;
        }
        else
            out.push_back(s[i]);
    }
    return false;
}

bool ParseHex(std::string_view digits, uint32_t& value)
{
    if (digits.empty() || digits.size() > 8)
        return false;
    value = 0;
    for (char c : digits)
    {
        const char l = AsciiLower(c);
        uint32_t d;
        if (l >= '0' && l <= '9')
            d = static_cast<uint32_t>(l - '0');
        else if (l >= 'a' && l <= 'f')
            d = static_cast<uint32_t>(l - 'a' + 10);
        else
            return false;
        value = (value << 4) | d;
    }
    return true;
}

Found Lookup(const std::string& path, const std::string& key, const std::string& name)
{
    Found found;
    std::string content;
    if (!ReadWholeFile(path, content))
        return found;
    bool inKey = false;
    std::string_view rest(content);
    while (!rest.empty())
    {
        const size_t end = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[')
        {
            inKey = line.back() == ']' && EqualsNoCase(Trim(line.substr(1, line.size() - 2)), key);
            continue;
        }
        std::string valueName;
        if (!inKey || !Unquote(line, valueName) || !EqualsNoCase(valueName, name))
            continue;
        line = Trim(line);
        if (line.empty() || line.front() != '=')
        {
            found.kind = EKind::Malformed;
            return found;
        }
        line = Trim(line.substr(1));
        constexpr std::string_view kDword = "dword:";
        if (line.size() > kDword.size() && EqualsNoCase(line.substr(0, kDword.size()), kDword))
            found.kind = ParseHex(line.substr(kDword.size()), found.dword) ? EKind::Dword : EKind::Malformed;
        else
            found.kind = Unquote(line, found.text) ? EKind::Text : EKind::Malformed;
        return found;
    }
    return found;
}
} // namespace

std::string MachineSettingsPath()
{
    const char* env = getenv("DRAVO_MACHINE_SETTINGS");
    return (env && *env) ? std::string(env) : std::string("/etc/dravo/machine.reg");
}

bool ReadMachineDword(const std::string& key, const std::string& name, uint32_t& value)
{
    return ReadMachineDwordFrom(MachineSettingsPath(), key, name, value);
}

bool ReadMachineText(const std::string& key, const std::string& name, std::string& value, size_t maxBytes)
{
    return ReadMachineTextFrom(MachineSettingsPath(), key, name, value, maxBytes);
}

bool ReadMachineDwordFrom(const std::string& path, const std::string& key, const std::string& name,
                          uint32_t& value)
{
    const Found f = Lookup(path, key, name);
    if (f.kind != EKind::Dword)
        return false;
    value = f.dword;
    return true;
}

bool ReadMachineTextFrom(const std::string& path, const std::string& key, const std::string& name,
                         std::string& value, size_t maxBytes)
{
    const Found f = Lookup(path, key, name);
    if (f.kind != EKind::Text)
        return false;
    value = f.text.substr(0, maxBytes);
    return true;
}
