// mqtt-host: the reference SCADA host. Loads the driver library the way a SCADA host does
// and exercises it from the command line.
#include <cstdio>
#include <string>

#include "lib/DriverLibrary.h"

namespace
{
void PrintUsage(FILE* out)
{
    std::fprintf(out,
                 "usage: mqtt-host <command> [--driver PATH]\n"
                 "\n"
                 "commands:\n"
                 "  info    print the driver name, capability word and version words\n"
                 "\n"
                 "options:\n"
                 "  --driver PATH   driver library to load (default: MQTT.so beside this program)\n");
}

int Info(const CDriverLibrary& driver)
{
    const uint32_t version = driver.Version();
    const uint32_t full = driver.VersionFull();
    std::printf("Driver:       %s\n", driver.DriverName());
    std::printf("Library:      %s\n", driver.Path().c_str());
    std::printf("Capabilities: %u (0x%08X)\n", driver.Caps(), driver.Caps());
    std::printf("Version:      0x%04X (%u.%u)\n", version, (version >> 8) & 0xFF, version & 0xFF);
    std::printf("Full version: 0x%08X (%u.%u.%u)\n", full, full >> 24, (full >> 16) & 0xFF, full & 0xFFFF);
    return 0;
}

struct Command
{
    const char* name;
    int (*run)(const CDriverLibrary& driver);
};

const Command kCommands[] = {
    {"info", Info},
};
} // namespace

int main(int argc, char** argv)
{
    std::string driverPath = CDriverLibrary::DefaultPath();
    const Command* command = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--driver" && i + 1 < argc)
            driverPath = argv[++i];
        else if (arg == "--help" || arg == "-h")
        {
            PrintUsage(stdout);
            return 0;
        }
        else if (command == nullptr)
        {
            for (const Command& c : kCommands)
            {
                if (arg == c.name)
                    command = &c;
            }
            if (command == nullptr)
            {
                std::fprintf(stderr, "mqtt-host: unknown command \"%s\"\n\n", arg.c_str());
                PrintUsage(stderr);
                return 2;
            }
        }
        else
        {
            std::fprintf(stderr, "mqtt-host: unexpected argument \"%s\"\n\n", arg.c_str());
            PrintUsage(stderr);
            return 2;
        }
    }
    if (command == nullptr)
    {
        PrintUsage(stderr);
        return 2;
    }

    CDriverLibrary driver;
    std::string error;
    if (!driver.Load(driverPath, error))
    {
        std::fprintf(stderr, "mqtt-host: %s\n", error.c_str());
        return 1;
    }
    return command->run(driver);
}
