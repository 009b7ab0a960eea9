// The play command of the kojelly tool; see play_command.hpp.
#include "play_command.hpp"

#include "cli_options.hpp"
#include "output.hpp"
#include "player.hpp"
#include "player_process.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace kojelly::cli {

int cmd_play(Session &s, const std::string &item, const PlayOptions &play) {
    // A missing player is found out before the server is asked anything.
    std::string path;
    if (!play.print) {
        path = find_program(play.player);
        if (path.empty()) {
            std::fprintf(s.err,
                         "kojelly: the player %s is not installed (%s); --player names another: "
                         "mpv, ffplay, vlc or any program\n",
                         printable(play.player).c_str(),
                         names_a_path(play.player) ? "no executable file there"
                                                   : "no program of that name on PATH");
            return kExitNoPlayer;
        }
    }

    Outcome o;
    StreamAnswer a;
    if (const int exit = stream_answer(s, item, o, a); exit != kExitOk) return exit;
    std::string error;
    PlayRequest request;
    request.player = play.player;
    request.url = a.url;
    request.authorization = a.authorization;
    request.title = printable(a.name);
    if (a.year > 0) request.title += " (" + std::to_string(a.year) + ")";
    request.extra = play.args;

    PrivateFiles files;
    PlayerCommand command;
    if (!player_command(request, play.print ? PrivateFile() : files.maker(), command, error)) {
        std::fprintf(s.err, "kojelly: %s\n", error.c_str());
        return kExitTool;
    }
    if (!command.sends_header) {
        std::fprintf(s.err,
                     "kojelly: %s has no option for a request header, so it gets the URL alone; "
                     "a server that takes the token only from the Authorization header refuses "
                     "it\n",
                     printable(play.player).c_str());
    }
    if (play.print) {
        std::fprintf(s.out, "%s\n", shell_line(command).c_str());
        return kExitOk;
    }

    const PlayerRun run = run_player(command, path, files);
    if (!run.started) {
        std::fprintf(s.err, "kojelly: cannot start the player %s: %s\n", path.c_str(),
                     run.error.c_str());
        return kExitNoPlayer;
    }
    // The user stopped the playback: however the player took it, the tool ends as stopped.
    if (run.stopped_by != 0) end_by_signal(run.stopped_by);
    if (run.signal != 0) {
        std::fprintf(s.err, "kojelly: the player %s was ended by signal %d\n",
                     printable(play.player).c_str(), run.signal);
        return kExitPlayer;
    }
    if (run.exit_status != 0) {
        std::fprintf(s.err, "kojelly: the player %s exited with status %d\n",
                     printable(play.player).c_str(), run.exit_status);
        return kExitPlayer;
    }
    return kExitOk;
}

}  // namespace kojelly::cli
