// The command line of mqtt-host: a command and its options, and the help texts.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/OutputFormat.h"

struct SHostOptions
{
    std::string command;    // "info", "tags", "settings" or "run"; empty with --help alone
    bool help = false;      // --help / -h: print the (command's) help and stop
    std::string driverPath; // --driver; empty: MQTT.so beside mqtt-host
    std::string settingsFile;
    std::vector<std::string> assignments; // --set KEY=VALUE, in order
    std::string saveFile;
    std::vector<std::string> tags;                            // --tag ITEM; callback number = index + 1
    std::vector<std::pair<std::string, std::string>> writes;  // --write ITEM VALUE
    double durationSeconds = 0;                               // 0: until SIGINT/SIGTERM
    EOutputFormat output = EOutputFormat::Text;
};

// Returns false with a sentence in `error` for an unknown command, an option the command
// does not take, a missing option argument or a malformed number.
bool ParseCommandLine(int argc, const char* const* argv, SHostOptions& options, std::string& error);

// The general help (empty command) or the help of one command.
std::string UsageText(std::string_view command);
