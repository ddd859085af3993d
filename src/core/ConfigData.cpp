#include "core/ConfigData.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/ValueText.h"

namespace
{
std::string Printf(const char* format, ...) DRAVO_PRINTF(1, 2);
std::string Printf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

// Releases a value handle this code fetched, when it goes out of scope.
class CFetched
{
public:
    explicit CFetched(HVALUE value) : m_value(value) {}
    CFetched(const CFetched&) = delete;
    CFetched& operator=(const CFetched&) = delete;
    ~CFetched()
    {
        if (m_value)
            hvRelease(m_value);
    }
    HVALUE Get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }

private:
    HVALUE m_value;
};

struct SLegacyRename
{
    const char* oldName;
    const char* newName;
};

// The first rename marks a configuration written by an older version; order matters.
constexpr SLegacyRename LegacyRenames[] = {
    {"IO.msTimeout", "IO.TimeoutMs"},
    {"IO.RecoverPeriod", "IO.RecoverPeriodSec"},
    {"IO.InactivityPeriod", "IO.InactivityPeriodSec"},
    {"IO.Serial.DelayBefore", "IO.Serial.DelayBeforeMs"},
    {"IO.Serial.DelayAfter", "IO.Serial.DelayAfterMs"},
    {"IO.Serial.CTSTimeout", "IO.Serial.CTSTimeoutMs"},
    {"IO.Ethernet.PingTimeout", "IO.Ethernet.PingTimeoutMs"},
    {"IO.RAS.CommandTimeout", "IO.RAS.CommandTimeoutSec"},
};
} // namespace

CConfigData::CConfigData(CIOGlobals* globals) : TIOApi(globals) {}

CConfigData::CConfigData(const CConfigData& other) : TIOApi(other)
{
    CLockGuard guard(other.m_lock);
    for (const auto& [name, value] : other.m_values)
    {
        if (!Put(name, value))
        {
            Clear();
            return;
        }
    }
}

CConfigData::~CConfigData()
{
    Clear();
}

void CConfigData::Clear()
{
    CLockGuard guard(m_lock);
    for (auto& entry : m_values)
        hvRelease(entry.second);
    m_values.clear();
}

bool CConfigData::Load(HVALUE settings)
{
    if (!settings)
        return false;
    CLockGuard guard(m_lock);
    Clear();
    const char* header = nullptr;
    if (hvGetType(settings) != (HV_ARRAY | HV_HVAL) || hvGetCount(settings) < 1)
        return false;
    {
        CFetched first(hvGetElementValue(settings, 0));
        if (!first || !hvGetText(first.Get(), &header) || header == nullptr ||
            std::strcmp(header, ConfigDataHeader) != 0)
            return false;
    }
    const uint32_t count = hvGetCount(settings);
    for (uint32_t i = 1; i + 1 < count; i += 2)
    {
        CFetched nameValue(hvGetElementValue(settings, static_cast<uint16_t>(i)));
        const char* name = nullptr;
        if (!nameValue || !hvGetText(nameValue.Get(), &name) || name == nullptr)
            continue;
        CFetched value(hvGetElementValue(settings, static_cast<uint16_t>(i + 1)));
        if (!value)
            continue;
        if (!Put(name, value.Get()))
        {
            Clear();
            return false;
        }
    }
    return true;
}

bool CConfigData::Save(HVALUE settings) const
{
    if (!settings)
        return false;
    CLockGuard guard(m_lock);
    const size_t elements = 2 * m_values.size() + 1;
    if (elements > UINT16_MAX || !hvMakeArray(settings, HV_HVAL, static_cast<uint16_t>(elements)))
        return false;
    bool ok = true;
    {
        CFetched header(hvCreate());
        ok = header && hvSetText(header.Get(), ConfigDataHeader) && hvSetElementValue(settings, 0, header.Get());
    }
    uint16_t index = 1;
    for (auto it = m_values.begin(); ok && it != m_values.end(); ++it, index += 2)
    {
        CFetched name(hvCreate());
        ok = name && hvSetText(name.Get(), it->first.c_str()) && hvSetElementValue(settings, index, name.Get()) &&
             hvSetElementValue(settings, static_cast<uint16_t>(index + 1), it->second);
    }
    if (!ok)
        hvClear(settings);
    return ok;
}

HVALUE CConfigData::Find(std::string_view name) const
{
    CLockGuard guard(m_lock);
    auto it = m_values.find(name);
    return it == m_values.end() ? nullptr : it->second;
}

HVALUE CConfigData::FindOrCreate(std::string_view name)
{
    CLockGuard guard(m_lock);
    if (HVALUE found = Find(name))
        return found;
    HVALUE created = hvCreate();
    if (!created)
        return nullptr;
    try
    {
        m_values.emplace(std::string(name), created);
    }
    catch (...)
    {
        hvRelease(created);
        return nullptr;
    }
    return created;
}

int32_t CConfigData::GetInteger(std::string_view name) const
{
    CLockGuard guard(m_lock);
    int32_t value = 0;
    if (HVALUE found = Find(name); !found || !hvGetI32(found, &value))
        return 0;
    return value;
}

bool CConfigData::SetI32(std::string_view name, int32_t value)
{
    CLockGuard guard(m_lock);
    HVALUE target = FindOrCreate(name);
    return target && hvSetI32(target, value);
}

bool CConfigData::SetU32(std::string_view name, uint32_t value)
{
    CLockGuard guard(m_lock);
    HVALUE target = FindOrCreate(name);
    return target && hvSetU32(target, value);
}

bool CConfigData::SetText(std::string_view name, const char* text)
{
    CLockGuard guard(m_lock);
    HVALUE target = FindOrCreate(name);
    return target && hvSetText(target, text ? text : "");
}

bool CConfigData::SetValue(std::string_view name, HVALUE value)
{
    if (!value)
        return false;
    CLockGuard guard(m_lock);
    HVALUE target = FindOrCreate(name);
    return target && hvCopy(target, value);
}

bool CConfigData::Put(std::string_view name, HVALUE value)
{
    if (!value)
        return false;
    HVALUE copy = hvDuplicate(value);
    if (!copy)
        return false;
    CLockGuard guard(m_lock);
    auto it = m_values.find(name);
    if (it != m_values.end())
    {
        hvRelease(it->second);
        it->second = copy;
        return true;
    }
    try
    {
        m_values.emplace(std::string(name), copy);
    }
    catch (...)
    {
        hvRelease(copy);
        return false;
    }
    return true;
}

bool CConfigData::Rename(std::string_view oldName, std::string_view newName)
{
    CLockGuard guard(m_lock);
    auto it = m_values.find(oldName);
    if (it == m_values.end())
        return false;
    auto moved = m_values.extract(it);

    const std::string target(newName);
    auto existing = m_values.find(target);
    if (existing != m_values.end())
    {
        hvRelease(existing->second);
        m_values.erase(existing);
        Log(this, LOG_DRIVER, "DELETE_PARAMETER:  %s (success)", target.c_str());
    }
    else
    {
        Log(this, LOG_DRIVER, "DELETE_PARAMETER:  %s (failed, does not exist)", target.c_str());
    }
    moved.key() = target;
    m_values.insert(std::move(moved));
    Log(this, LOG_DRIVER, "RENAME_PARAMETER:  %s to %s", std::string(oldName).c_str(), target.c_str());
    return true;
}

bool CConfigData::ApplyParameterArray(HVALUE array, std::string& error, std::vector<std::string>& changed)
{
    error.clear();
    CLockGuard guard(m_lock);
    try
    {
        return ApplyLocked(array, error, changed);
    }
    catch (const std::bad_alloc&)
    {
        // What was applied stays applied, as after any other failure.
        return false;
    }
}

bool CConfigData::ApplyLocked(HVALUE array, std::string& error, std::vector<std::string>& changed)
{
    if (!array)
    {
        error = "NULL HVALUE passed";
        return false;
    }
    const uint32_t type = hvGetType(array);
    if (type != (HV_ARRAY | HV_HVAL) && type != (HV_ARRAY | HV_STR))
    {
        error = Printf("HVALUE is not a valid array (type is %u)", type);
        return false;
    }
    const uint32_t count = hvGetCount(array);
    for (uint32_t i = 0; i < count; ++i)
    {
        CFetched element(hvGetElementValue(array, static_cast<uint16_t>(i)));
        if (!element)
        {
            error = Printf("Failed acessing array element %u", i);
            return false;
        }
        const uint32_t elementType = hvGetType(element.Get());
        if (elementType & HV_ARRAY)
        {
            if (!ApplyLocked(element.Get(), error, changed))
            {
                error = Printf("[element %u] %s", i, error.c_str());
                return false;
            }
        }
        else if (elementType == HV_STR)
        {
            const char* text = nullptr;
            if (!hvGetText(element.Get(), &text) || text == nullptr)
            {
                error = Printf("Error getting string at element %u", i);
                return false;
            }
            const std::string name = text;
            if (i + 1 >= count)
            {
                error = Printf("Array ended after string '%s' (element %u)", name.c_str(), i);
                return false;
            }
            CFetched value(hvGetElementValue(array, static_cast<uint16_t>(i + 1)));
            if (!value)
            {
                error = Printf("Failed getting value of parameter '%s' (element %u)", name.c_str(), i + 1);
                return false;
            }
            if (!SetValue(name, value.Get()))
            {
                error = Printf("Failed setting property '%s'", name.c_str());
                return false;
            }
            Log(this, LOG_DRIVER, "SET_PARAMETER: %s = %s", name.c_str(),
                ValueText(value.Get(), VALUE_TEXT_PLAIN).c_str());
            changed.push_back(name);
            ++i;
        }
        else if (elementType != HV_NULL)
        {
            error = Printf("Element %u type is %u", i, elementType);
            return false;
        }
    }
    return true;
}

bool CConfigData::MigrateLegacyKeys()
{
    CLockGuard guard(m_lock);
    if (!Find(LegacyRenames[0].oldName))
        return false;
    for (const SLegacyRename& rename : LegacyRenames)
        Rename(rename.oldName, rename.newName); // an absent old name is skipped silently
    return true;
}

void CConfigData::SetFrameworkDefaults()
{
    CLockGuard guard(m_lock);
    SetU32("IO.TimeoutMs", 2000);
    SetI32("IO.RecoverEnable", 1);
    SetU32("IO.RecoverPeriodSec", 20);
    SetU32("IO.Serial.Port", 1);
    SetU32("IO.Serial.Baudrate", 9600);
    SetU32("IO.Serial.DataBits", 8);
    SetU32("IO.Serial.Parity", 0);
    SetU32("IO.Serial.StopBits", 0);
}

size_t CConfigData::Count() const
{
    CLockGuard guard(m_lock);
    return m_values.size();
}

void CConfigData::ForEach(const std::function<void(const std::string& name, HVALUE value)>& visit) const
{
    CLockGuard guard(m_lock);
    for (const auto& [name, value] : m_values)
        visit(name, value);
}
