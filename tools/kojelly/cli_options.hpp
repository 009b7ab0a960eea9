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
constexpr int kExitTool = 1;      // the tool itself failed (plug-in, settings file, demo server)
constexpr int kExitUsage = 2;     // the command line is wrong
constexpr int kExitProbe = 3;     // stream --probe could not fetch the stream
constexpr int kExitNoPlayer = 4;  // play: the player is not installed or cannot be started
constexpr int kExitPlayer = 5;    // play: the player failed (a status other than 0, a signal)
constexpr int kExitStatusBase = 10;
constexpr int kExitUnknownStatus = 20;  // a status code the plug-in does not document

int exit_status_for(std::int32_t code);
const char *status_name(std::int32_t code);

constexpr long kDefaultTimeoutSeconds = 60;

// The bounds of a tree walk, for a server whose folders never end or a library larger than
// anyone wants printed: the default depth lies well beyond a real library's folders, and the
// entry limit bounds the requests and the memory of a walk. The walk and the printing go one
// call deeper a level, so no depth may take more stack than a thread has.
constexpr int kDefaultTreeDepth = 32;
constexpr int kMaxTreeDepth = 1000;
constexpr long kDefaultTreeEntries = 100000;
constexpr long kMaxTreeEntries = 100000000;

// The commands; `help` becomes Options::help with the command it names.
enum class Command { none, validate, ls, tree, stream, play, demo };

// What a player is when --player does not name one.
constexpr const char *kDefaultPlayer = "mpv";

struct Options {
    Command command = Command::none;
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
    int depth = 0;  // 0: not given, so kDefaultTreeDepth
    long max_entries = kDefaultTreeEntries;
    long timeout_s = kDefaultTimeoutSeconds;
    int port = 0;
    DemoFlavour flavour = DemoFlavour::jellyfin;  // the server that `demo` imitates
    std::string media;                            // demo --serve: a real file for one more movie
    bool stream_auth = false;  // demo --serve: streams want the token in the header
    std::string player = kDefaultPlayer;
    std::vector<std::string> player_args;
    bool print = false;  // play: print the player's command instead of running it
};

// Fills o from the arguments; false with a message when the command line is wrong.
[[nodiscard]] bool parse_args(int argc, const char *const *argv, Options &o, std::string &error);

// The overview for Command::none, else that command's help.
std::string help_text(Command command);

}  // namespace kojelly::cli
