// Starting a media player on a stream: the command line that each known player needs to fetch
// the stream URL with the Authorization header, and that command written out for a POSIX shell.
// Running it is player_process.hpp's.
//
// Where each player takes the header:
//   mpv     --http-header-fields-append, which appends one whole header; the plain list option
//           would split the value at its commas. When run, the option comes from an include file
//           and the URL from a playlist file, both anonymous memory files that only the player
//           inherits, so neither the token nor the URL is on its command line.
//   ffplay  -headers with the CRLF-terminated header line: on the command line, as ffmpeg's
//           tools have no other way to take it.
//   vlc     none: it has no option for a request header, so it gets the URL alone.
//   other   the URL as the last argument and the header's value in the environment variable
//           KOJELLY_AUTHORIZATION, which only the same user can read, for a wrapper script.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kojelly::cli {

enum class PlayerKind { mpv, ffplay, vlc, other };

// The kind of player a program name or path names, by its last path component.
PlayerKind player_kind(std::string_view player);

constexpr const char *kAuthorizationVar = "KOJELLY_AUTHORIZATION";

struct PlayRequest {
    std::string player = "mpv";  // a program name looked up on PATH, or a path
    std::string url;
    std::string authorization;       // the Authorization header's value
    std::string title;               // what the player shows as the title; empty: its own
    std::vector<std::string> extra;  // the user's own player arguments, placed before the stream
};

struct PlayerCommand {
    std::vector<std::string> argv;  // argv[0] is PlayRequest::player as given
    std::vector<std::pair<std::string, std::string>> env;  // set for the player
    bool sends_header = true;  // false when the player has no way to send the header (vlc)
};

// Makes a file only this user and the player can read, holding text, and returns the path the
// player opens it by; empty when it cannot.
using PrivateFile = std::function<std::string(const std::string &text)>;

// The command that plays the request. With private_file, a player that can read the header (and
// the URL) from a file gets them that way; without it, or for any other player, they are on the
// command line. False with a message when the header or the URL holds a line break (no player
// option can carry one) or a private file could not be made.
[[nodiscard]] bool player_command(const PlayRequest &request, const PrivateFile &private_file,
                                  PlayerCommand &out, std::string &error);

// One argument quoted for a POSIX shell: as it is when it holds only characters no shell treats
// specially, else in single quotes. A CR, with the LF after it if there is one, is written as an
// expansion of the variable crlf, which shell_line() defines, since a CR pasted into a terminal
// arrives as a line end; a lone LF stays inside the quotes.
std::string shell_quote(std::string_view arg);

// The command as one line for a POSIX shell: the environment as assignments before the
// program, then the quoted arguments; preceded by `crlf=$(printf '\r\n.'); ` when an argument
// needs it.
std::string shell_line(const PlayerCommand &command);

}  // namespace kojelly::cli
