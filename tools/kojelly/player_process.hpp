// Running a media player: finding its program, the private files that hand it the stream's
// header and URL, and the run itself, which the tool waits for. player_process_posix.cpp and
// player_process_windows.cpp implement it.
#pragma once

#include <memory>
#include <string>

#include "player.hpp"

namespace kojelly::cli {

// Whether a player name is a path (holds a directory separator: '/', and on Windows '\\' too)
// rather than a program name to look up.
bool names_a_path(const std::string &name);

// The path of the program a player name runs: a path as it is when it names an executable
// file, else the first executable file of that name along PATH (on Windows also the name with
// ".exe" or ".com" added when it has no extension). Empty when there is none.
std::string find_program(const std::string &name);

// Files for one player run that only this user and the player can read, made by the callback
// of maker() and gone with this object. On POSIX systems they are anonymous memory files,
// opened by the player through their /dev/fd paths and closed on exec in every other program;
// on Windows, files in the user's own temporary folder, deleted with this object.
class PrivateFiles {
public:
    PrivateFiles();
    ~PrivateFiles();
    PrivateFiles(const PrivateFiles &) = delete;
    PrivateFiles &operator=(const PrivateFiles &) = delete;

    PrivateFile maker();

    struct State;
    const State &state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

// How a player run ended.
struct PlayerRun {
    bool started = false;
    int exit_status = -1;  // when it exited
    int signal = 0;        // when a signal ended it (POSIX systems)
    // A signal that asked the tool itself to stop while the player ran (SIGTERM or SIGHUP sent
    // to the tool, SIGINT or SIGQUIT from its terminal: the user stopping the playback), the
    // first of them; 0 for none. The player decides how it ends, which then is no failure of
    // its own. POSIX systems only: on Windows Ctrl-C reaches the player alone.
    int stopped_by = 0;
    std::string error;  // why it could not be started
};

// Runs the command with the program at path (from find_program), without a shell, with the
// files of files open to it, and waits for it. While it runs, the interruptions that a terminal
// sends to the player as well (SIGINT and SIGQUIT; Ctrl-C and Ctrl-Break on Windows) only are
// noted here, so that the player decides; SIGTERM and SIGHUP are passed on to it.
PlayerRun run_player(const PlayerCommand &command, const std::string &path,
                     const PrivateFiles &files);

}  // namespace kojelly::cli
