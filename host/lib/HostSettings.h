// The driver configuration as a host edits it: named parameters in order, read from and
// written to the JSON settings file (an object of key -> value) and converted to and from
// the stored form the driver keeps in its settings value.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/HostValue.h"

class CHostSettings
{
public:
    // Names compare without regard to ASCII case, as the driver's store compares them.
    struct Parameter
    {
        std::string name;
        CHostValue value;
    };

    // Parses a JSON object of key -> scalar (see JsonToValue); a null member removes the key.
    // On failure returns false, leaves the parameters unchanged and says why in `error`.
    bool MergeJsonText(std::string_view text, std::string& error);
    // The same from a file; the error names the file.
    bool MergeJsonFile(const std::string& path, std::string& error);
    // "KEY=VALUE": a key that holds a text keeps the value as text; otherwise the value reads
    // as TextToValue reads it. "KEY=" with nothing after it sets the empty text.
    bool MergeAssignment(std::string_view assignment, std::string& error);

    // Replaces every parameter by those of the stored form ("Generic Config Data v1.00").
    bool FromStored(HVALUE stored, std::string& error);
    // Writes the stored form into `stored`.
    bool ToStored(HVALUE stored) const;
    // The JSON settings-file form, indented, one parameter per line.
    std::string ToJsonText() const;

    const std::vector<Parameter>& Parameters() const { return m_parameters; }
    // The parameter's value, or null when absent.
    HVALUE Find(std::string_view name) const;
    // Copies `value` under `name`, replacing an earlier value; a new name goes last.
    bool Set(std::string_view name, HVALUE value);
    void Remove(std::string_view name);
    // Puts the parameters in the order the driver's store keeps and saves them: ascending
    // by name without regard to ASCII case.
    void SortByName();

private:
    std::vector<Parameter> m_parameters;
};

// The header of the stored form.
inline constexpr const char* kStoredConfigHeader = "Generic Config Data v1.00";
