// The commands of mqtt-host. Each returns the process exit code and prints its own errors.
#pragma once
#include "lib/CommandLine.h"
#include "lib/DriverLibrary.h"
#include "lib/DriverSession.h"

int InfoCommand(const CDriverLibrary& driver, const SHostOptions& options);
int TagsCommand(const CDriverLibrary& driver, const SHostOptions& options);
int SettingsCommand(const CDriverLibrary& driver, const SHostOptions& options);
// SIGINT and SIGTERM must be blocked in every thread before the driver starts any (main
// does so first thing); the command waits for them on a signalfd.
int RunCommand(const CDriverLibrary& driver, const SHostOptions& options);

// Reads the settings file and the assignments, opens the session and hands the settings
// to the driver; on failure prints why and returns false.
bool PrepareSession(CDriverSession& session, const SHostOptions& options, CHostSettings& settings);

// "mqtt-host: <message>" on standard error.
void PrintError(const std::string& message);
