// The kojelly tool's command line: commands, options, help texts and exit statuses. Options may
// come before or after the command; secrets have no option of their own (see settings.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "demo_library.hpp"
#include "settings.hpp"

namespace kojelly::cli {

// Exit statuses. A plug-in status code -N ends the tool with 10 + N, so each code has its own.
constexpr int kExitOk = 0;
constexpr int kExitTool = 1;   // the tool itself failed (plug-in, settings file, demo server)
constexpr int kExitUsage = 2;  // the command line is wrong
constexpr int kExitProbe = 3;  // stream --probe could not fetch the stream
constexpr int kExitStatusBase = 10;
constexpr int kExitUnknownStatus = 20;  // a status code the plug-in does not document

int exit_status_for(std::int32_t code);
const char *status_name(std::int32_t code);

constexpr long kDefaultTimeoutSeconds = 60;

struct Options {
    std::string command;
    std::vector<std::string> args;
    std::string plugin;  // empty: next to the executable
    SettingsInput settings;
    bool json = false;
    bool verbose = false;
    bool insecure = false;
    bool help = false;
    bool version = false;
    bool probe = false;
    bool serve = false;
    int depth = 0;  // 0: no limit
    long timeout_s = kDefaultTimeoutSeconds;
    int port = 0;
    DemoFlavour flavour = DemoFlavour::jellyfin;  // the server that `demo` imitates
};

// Fills o from the arguments; false with a message when the command line is wrong.
[[nodiscard]] bool parse_args(int argc, const char *const *argv, Options &o, std::string &error);

// The overview for an empty command, else that command's help; "" for an unknown command.
std::string help_text(std::string_view command);

}  // namespace kojelly::cli
