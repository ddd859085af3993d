// Machine-wide settings: read-only named values under a key path such as
// "Software\\Velora Software\\Dravo" (local-machine registry keys on Windows).
//
// On Linux they live in one text file in the shape of a registry export:
//
//     [Software\Velora Software\Dravo]
//     "EnableTCPSimulation"=dword:00000001
//     "SimulatorPort"=dword:0000075b
//     "SimulatorIP"="127.0.0.1"
//
// Key and value names compare without regard to ASCII case; "dword:" takes 1 to 8 hex
// digits; a text value is quoted, with \" and \\ as escapes. Lines beginning with ';' or
// '#' and blank lines are ignored. The file is MachineSettingsPath().
#pragma once
#include <cstdint>
#include <string>

// The environment variable DRAVO_MACHINE_SETTINGS when set, else "/etc/dravo/machine.reg".
std::string MachineSettingsPath();

// False when the file, the key or the value is missing, or the value has the other type.
bool ReadMachineDword(const std::string& key, const std::string& name, uint32_t& value);
// Texts longer than maxBytes are cut to maxBytes.
bool ReadMachineText(const std::string& key, const std::string& name, std::string& value, size_t maxBytes = 1024);
// The same, from the settings file at `path`.
bool ReadMachineDwordFrom(const std::string& path, const std::string& key, const std::string& name,
                          uint32_t& value);
bool ReadMachineTextFrom(const std::string& path, const std::string& key, const std::string& name,
                         std::string& value, size_t maxBytes = 1024);
