// Where the simulator rerouting of the Ethernet layer is switched on: a machine-wide store,
// so that a test bench redirects every driver on the machine without touching their
// configurations.
//
// On Windows these are the values of the local-machine registry key
// "Software\Velora Software\Dravo". On Linux the same key and values are read from the
// machine-wide settings file in registry-export form (MachineSettings.h):
//
//     [Software\Velora Software\Dravo]
//     "EnableTCPSimulation"=dword:00000001
//     "SimulatorPort"=dword:00002710
//     "SimulatorIP"="127.0.0.1"
//
// The file is the one named by the environment variable DRAVO_SIMULATOR_CONF when it is set
// (tests), else MachineSettingsPath() ("/etc/dravo/machine.reg" unless DRAVO_MACHINE_SETTINGS
// names another). A missing file, key or "EnableTCPSimulation" value, or a value of 0,
// leaves the facility off.
#pragma once
#include <cstdint>
#include <string>

constexpr const char* SimulatorSettingsKey = "Software\\Velora Software\\Dravo";

struct SSimulatorSettings
{
    bool enabled = false;
    bool hasPort = false; // "SimulatorPort" present: replaces the configured port
    uint32_t port = 0;
    bool hasHost = false; // "SimulatorIP" present: replaces the configured host
    std::string host;     // at most 1024 bytes
};

std::string SimulatorSettingsPath();
// Reads the current settings (the file is read at every call, so a change applies to the next
// connection attempt).
SSimulatorSettings ReadSimulatorSettings();
