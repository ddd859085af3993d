// mqtt-host: the reference SCADA host. Loads the driver library the way a SCADA host does
// and exercises it from the command line.
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

#include "HostCommands.h"
#include "lib/DriverSession.h"

void PrintError(const std::string& message)
{
    std::fprintf(stderr, "mqtt-host: %s\n", message.c_str());
    std::fflush(stderr);
}

int InfoCommand(const CDriverLibrary& driver, const SHostOptions&)
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

int TagsCommand(const CDriverLibrary& driver, const SHostOptions&)
{
    CDriverSession session(driver);
    std::string error;
    std::string text;
    if (!session.Open(error) || !session.TagTreeText(text, error))
    {
        PrintError(error);
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

namespace
{
// The settings file and the --set assignments, in that order.
bool LoadSettings(const SHostOptions& options, CHostSettings& settings)
{
    std::string error;
    if (!options.settingsFile.empty() && !settings.MergeJsonFile(options.settingsFile, error))
    {
        PrintError(error);
        return false;
    }
    for (const std::string& assignment : options.assignments)
    {
        if (!settings.MergeAssignment(assignment, error))
        {
            PrintError(error);
            return false;
        }
    }
    return true;
}
} // namespace

bool PrepareSession(CDriverSession& session, const SHostOptions& options, CHostSettings& settings)
{
    std::string error;
    if (!LoadSettings(options, settings))
        return false;
    if (!session.Open(error) || !session.ApplySettings(settings, error))
    {
        PrintError(error);
        return false;
    }
    return true;
}

int SettingsCommand(const CDriverLibrary& driver, const SHostOptions& options)
{
    CDriverSession session(driver);
    CHostSettings settings;
    if (!PrepareSession(session, options, settings))
        return 1;
    const std::string text = settings.ToJsonText();
    if (options.saveFile.empty())
    {
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    std::ofstream out(options.saveFile, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
    {
        PrintError("cannot write the settings file " + options.saveFile + ": check the folder and its permissions");
        return 1;
    }
    std::fprintf(stderr, "mqtt-host: saved %zu parameters to %s\n", settings.Parameters().size(),
                 options.saveFile.c_str());
    return 0;
}

namespace
{
struct SCommandEntry
{
    const char* name;
    int (*run)(const CDriverLibrary& driver, const SHostOptions& options);
};

const SCommandEntry kCommands[] = {
    {"info", InfoCommand},
    {"tags", TagsCommand},
    {"settings", SettingsCommand},
    {"run", RunCommand},
};
} // namespace

int main(int argc, char** argv)
{
    // Blocked before the driver makes any thread, so every thread inherits the mask and the
    // signals reach only the run loop's signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    SHostOptions options;
    std::string error;
    if (!ParseCommandLine(argc, argv, options, error))
    {
        PrintError(error);
        std::fprintf(stderr, "\n%s", UsageText(options.command).c_str());
        return 2;
    }
    if (options.help)
    {
        std::fputs(UsageText(options.command).c_str(), stdout);
        return 0;
    }

    const std::string path = options.driverPath.empty() ? CDriverLibrary::DefaultPath() : options.driverPath;
    CDriverLibrary driver;
    if (!driver.Load(path, error))
    {
        PrintError("the driver library was not found or could not be loaded (" + error +
                   "); give its path with --driver PATH");
        return 1;
    }
    for (const SCommandEntry& c : kCommands)
    {
        if (options.command == c.name)
            return c.run(driver, options);
    }
    return 2;
}
