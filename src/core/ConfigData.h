// The configuration store of a driver instance: parameters by name (letter case ignored),
// each a value of the value library, persisted inside the host's settings value.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/IOLog.h"
#include "dravo/hvalue.h"
#include "platform/Lock.h"
#include "platform/Text.h"

// The first element of a persisted configuration; compared byte for byte.
constexpr const char* ConfigDataHeader = "Generic Config Data v1.00";

class CConfigData : public TIOApi
{
public:
    explicit CConfigData(CIOGlobals* globals);
    // Puts every parameter of `other` in its order; when one fails this store stays empty.
    CConfigData(const CConfigData& other);
    CConfigData& operator=(const CConfigData&) = delete;
    ~CConfigData();

    void Clear();
    // Replaces the contents with the parameters persisted in `settings`.
    bool Load(HVALUE settings);
    // Writes the parameters into `settings` (left null when that fails).
    bool Save(HVALUE settings) const;

    // The stored value, no reference added: use it under Lock().
    HVALUE Find(std::string_view name) const;
    HVALUE FindOrCreate(std::string_view name);
    // 0 when absent or not convertible to a 32-bit integer.
    int32_t GetInteger(std::string_view name) const;
    bool SetI32(std::string_view name, int32_t value);
    bool SetU32(std::string_view name, uint32_t value);
    bool SetText(std::string_view name, const char* text);
    // Copies payload, timestamp and quality of `value` into the parameter.
    bool SetValue(std::string_view name, HVALUE value);
    // Stores a duplicate of `value`, replacing the parameter's previous value.
    bool Put(std::string_view name, HVALUE value);
    bool Rename(std::string_view oldName, std::string_view newName);

    // Applies a (possibly nested) array of names and values. Parameters applied before a
    // failure stay set and are listed in `changed`; `error` says what failed.
    bool ApplyParameterArray(HVALUE array, std::string& error, std::vector<std::string>& changed);

    // Renames the old key names when the store holds "IO.msTimeout"; true when it did, and
    // the caller then saves the store back.
    bool MigrateLegacyKeys();
    // Writes the framework's defaults (used when a loaded configuration is empty).
    void SetFrameworkDefaults();

    size_t Count() const;
    // Visits every parameter in store order under the lock; `visit` must not call back into
    // other stores.
    void ForEach(const std::function<void(const std::string& name, HVALUE value)>& visit) const;

    // Readers that work on a handle from Find hold this around their reads.
    CRecursiveLock& Lock() const { return m_lock; }

private:
    using Map = std::map<std::string, HVALUE, LessNoCase>;

    bool ApplyLocked(HVALUE array, std::string& error, std::vector<std::string>& changed);

    mutable CRecursiveLock m_lock; // taken before the logger's lock, never with another store's
    Map m_values;                  // one reference per value
};
