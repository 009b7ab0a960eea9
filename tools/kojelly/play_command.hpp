// The play command: resolves an item to its stream through the plug-in, as `stream` does, and
// starts a media player on it with the Authorization header, or prints the command that would.
#pragma once

#include <string>
#include <vector>

#include "commands.hpp"

namespace kojelly::cli {

struct PlayOptions {
    std::string player = "mpv";     // mpv, ffplay, vlc, or any program: a name on PATH or a path
    std::vector<std::string> args;  // the player's own arguments, placed before the stream
    bool print = false;             // print the command for a POSIX shell instead of running it
};

// The exit status: 0 when the player ended with 0 (or the command was printed), kExitNoPlayer
// when the player is not installed or cannot be started, kExitPlayer when it failed, and the
// statuses of `stream` when the item cannot be resolved.
int cmd_play(Session &s, const std::string &item, const PlayOptions &play);

}  // namespace kojelly::cli
