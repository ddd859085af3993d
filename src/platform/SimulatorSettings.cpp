#include "platform/SimulatorSettings.h"

#include "platform/MachineSettings.h"

#include <stdlib.h>

std::string SimulatorSettingsPath()
{
    const char* env = getenv("DRAVO_SIMULATOR_CONF");
    return (env && *env) ? std::string(env) : MachineSettingsPath();
}

SSimulatorSettings ReadSimulatorSettings()
{
    SSimulatorSettings settings;
    const std::string path = SimulatorSettingsPath();
    uint32_t enable = 0;
    if (!ReadMachineDwordFrom(path, SimulatorSettingsKey, "EnableTCPSimulation", enable) || enable == 0)
        return settings;
    settings.enabled = true;
    settings.hasPort = ReadMachineDwordFrom(path, SimulatorSettingsKey, "SimulatorPort", settings.port);
    settings.hasHost = ReadMachineTextFrom(path, SimulatorSettingsKey, "SimulatorIP", settings.host, 1024);
    return settings;
}
