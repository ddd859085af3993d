#include "lib/CommandLine.h"

#include <charconv>
#include <cmath>

namespace
{
// Which options each command takes (bit set of EOption).
enum EOption : unsigned
{
    OPT_DRIVER = 1,
    OPT_SETTINGS = 2,
    OPT_SET = 4,
    OPT_SAVE = 8,
    OPT_TAG = 16,
    OPT_WRITE = 32,
    OPT_DURATION = 64,
    OPT_OUTPUT = 128,
};

struct SCommand
{
    const char* name;
    unsigned options;
    const char* help;
};

const SCommand kCommands[] = {
    {"info", OPT_DRIVER,
     "usage: mqtt-host info [--driver PATH]\n"
     "\n"
     "Prints the driver name, the capability word and the version words.\n"},
    {"tags", OPT_DRIVER,
     "usage: mqtt-host tags [--driver PATH]\n"
     "\n"
     "Prints the driver's built-in tag tree as the tag browser import delivers it: folders,\n"
     "tags with their access, the event block with its elements, and their help texts.\n"
     "Every built-in tag is addressed by its name as item string (e.g. IO.PhysicalLayerStatus).\n"},
    {"settings", OPT_DRIVER | OPT_SETTINGS | OPT_SET | OPT_SAVE,
     "usage: mqtt-host settings [--settings FILE] [--set KEY=VALUE]... [--save FILE] [--driver PATH]\n"
     "\n"
     "Builds the driver configuration the way `run` does (the driver's defaults, then the\n"
     "settings file, then each --set), hands it to the driver, and prints the configuration\n"
     "the driver ended up with (defaults and renamed legacy keys included) as a settings file.\n"},
    {"run", OPT_DRIVER | OPT_SETTINGS | OPT_SET | OPT_TAG | OPT_WRITE | OPT_DURATION | OPT_OUTPUT,
     "usage: mqtt-host run [--settings FILE] [--set KEY=VALUE]... [--tag ITEM]...\n"
     "                     [--write ITEM VALUE]... [--duration SECONDS] [--output text|jsonl]\n"
     "                     [--driver PATH]\n"
     "\n"
     "Starts communication, subscribes every --tag (callback numbers 1, 2, ... in order) and\n"
     "prints every notification on standard output until SIGINT or SIGTERM (or --duration).\n"
     "Built-in tags (items beginning with \"IO.\") cannot be subscribed; they are read every\n"
     "second and printed when their value changes. The driver's events (IO.DravoEvent) are\n"
     "printed as they arrive. Once the broker link is up, each --write is performed once.\n"
     "\n"
     "While running, each line on standard input that is a JSON object is a command:\n"
     "  {\"write\": ITEM, \"value\": V}   writes V (a number, a string or true/false) to ITEM\n"
     "  {\"read\": ITEM}                reads a built-in tag (IO.*) through drvIO; the driver's own\n"
     "                                tags deliver their values only as notifications\n"
     "  {\"status\": NAME}              answers drvGetStatus (NAME: LOG or LOGFILE)\n"
     "Their results, and the host's own notices, go to standard error.\n"
     "\n"
     "The exit code is 0 unless start-up failed (unreadable settings, invalid tag, driver\n"
     "that cannot start).\n"},
};

const char* const kOptionsHelp =
    "options:\n"
    "  --driver PATH        driver library to load (default: MQTT.so beside mqtt-host)\n"
    "  --settings FILE      JSON settings file: an object of key -> value, e.g.\n"
    "                       {\"IO.Ethernet.MainIP\": \"127.0.0.1\", \"IO.Ethernet.MainPort\": 1883}\n"
    "                       whole numbers become I32 (U32 above 2147483647), other numbers\n"
    "                       R64, strings STR, true/false I32 1/0; null removes a key\n"
    "  --set KEY=VALUE      sets one key after the file (repeatable). A key that holds a text\n"
    "                       stays a text; otherwise a JSON number, true/false or \"quoted\"\n"
    "                       string takes that meaning and anything else is a text\n"
    "  --save FILE          (settings) writes the resulting settings file instead of printing it\n"
    "  --tag ITEM           (run) subscribes the item string ITEM (repeatable), e.g.\n"
    "                       plant/temp   plant/data;J1;V2   plant/temp (Deadband:5%)\n"
    "  --write ITEM VALUE   (run) writes VALUE to ITEM once connected (repeatable); a VALUE\n"
    "                       that reads as a JSON number is written as a number, else as text\n"
    "  --duration SECONDS   (run) stops after this many seconds (default: until a signal)\n"
    "  --output text|jsonl  (run) text: a readable live view; jsonl: one JSON object per\n"
    "                       notification with \"tag\", \"callback\", \"value\", \"type\",\n"
    "                       \"quality\" and \"time\" (ISO 8601 UTC), and per driver event\n"
    "  --help, -h           this help; `mqtt-host COMMAND --help` for one command\n";

const SCommand* FindCommand(std::string_view name)
{
    for (const SCommand& c : kCommands)
    {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

struct SOptionName
{
    const char* name;
    EOption option;
    int arguments;
};

const SOptionName kOptions[] = {
    {"--driver", OPT_DRIVER, 1}, {"--settings", OPT_SETTINGS, 1}, {"--set", OPT_SET, 1},
    {"--save", OPT_SAVE, 1},     {"--tag", OPT_TAG, 1},           {"--write", OPT_WRITE, 2},
    {"--duration", OPT_DURATION, 1}, {"--output", OPT_OUTPUT, 1},
};

bool ParseSeconds(std::string_view text, double& seconds)
{
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return err == std::errc() && end == text.data() + text.size() && std::isfinite(seconds) && seconds > 0;
}

bool Apply(const SOptionName& option, const char* const* args, SHostOptions& options, std::string& error)
{
    switch (option.option)
    {
    case OPT_DRIVER:
        options.driverPath = args[0];
        break;
    case OPT_SETTINGS:
        options.settingsFile = args[0];
        break;
    case OPT_SET:
        options.assignments.emplace_back(args[0]);
        break;
    case OPT_SAVE:
        options.saveFile = args[0];
        break;
    case OPT_TAG:
        options.tags.emplace_back(args[0]);
        break;
    case OPT_WRITE:
        options.writes.emplace_back(args[0], args[1]);
        break;
    case OPT_DURATION:
        if (!ParseSeconds(args[0], options.durationSeconds))
        {
            error = "--duration expects a positive number of seconds, got \"" + std::string(args[0]) + "\"";
            return false;
        }
        break;
    case OPT_OUTPUT:
        if (!ParseOutputFormat(args[0], options.output))
        {
            error = "--output expects text or jsonl, got \"" + std::string(args[0]) + "\"";
            return false;
        }
        break;
    }
    return true;
}
} // namespace

bool ParseCommandLine(int argc, const char* const* argv, SHostOptions& options, std::string& error)
{
    options = SHostOptions{};
    const SCommand* command = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            options.help = true;
            continue;
        }
        const SOptionName* option = nullptr;
        for (const SOptionName& o : kOptions)
        {
            if (arg == o.name)
                option = &o;
        }
        if (option != nullptr)
        {
            if (command != nullptr && (command->options & option->option) == 0)
            {
                error = std::string(arg) + " is not an option of \"" + command->name + "\"";
                return false;
            }
            if (i + option->arguments >= argc)
            {
                error = std::string(arg) + (option->arguments == 1 ? " needs a value" : " needs an item and a value");
                return false;
            }
            if (!Apply(*option, argv + i + 1, options, error))
                return false;
            i += option->arguments;
            continue;
        }
        if (command == nullptr && !arg.starts_with("-"))
        {
            command = FindCommand(arg);
            if (command == nullptr)
            {
                error = "unknown command \"" + std::string(arg) + "\" (commands: info, tags, settings, run)";
                return false;
            }
            options.command = command->name;
            continue;
        }
        error = "unexpected argument \"" + std::string(arg) + "\"";
        return false;
    }
    if (command == nullptr && !options.help)
    {
        error = "no command given";
        return false;
    }
    // Options given before the command are checked against it now.
    if (command != nullptr)
    {
        const unsigned given = (options.driverPath.empty() ? 0u : OPT_DRIVER) |
                               (options.settingsFile.empty() ? 0u : OPT_SETTINGS) |
                               (options.assignments.empty() ? 0u : OPT_SET) | (options.saveFile.empty() ? 0u : OPT_SAVE) |
                               (options.tags.empty() ? 0u : OPT_TAG) | (options.writes.empty() ? 0u : OPT_WRITE) |
                               (options.durationSeconds > 0 ? OPT_DURATION : 0u);
        for (const SOptionName& o : kOptions)
        {
            if ((given & o.option) != 0 && (command->options & o.option) == 0)
            {
                error = std::string(o.name) + " is not an option of \"" + command->name + "\"";
                return false;
            }
        }
    }
    return true;
}

std::string UsageText(std::string_view command)
{
    if (const SCommand* c = FindCommand(command))
        return std::string(c->help) + "\n" + kOptionsHelp;
    std::string text = "usage: mqtt-host COMMAND [options]\n"
                       "\n"
                       "The reference SCADA host of the MQTT driver: loads MQTT.so the way a SCADA host\n"
                       "does and drives it through its services.\n"
                       "\n"
                       "commands:\n"
                       "  info      driver name, capability word and version words\n"
                       "  tags      the built-in tag tree of the tag browser\n"
                       "  settings  build, check and save a driver configuration\n"
                       "  run       connect, subscribe tags, print values, write values\n"
                       "\n";
    return text + kOptionsHelp;
}
