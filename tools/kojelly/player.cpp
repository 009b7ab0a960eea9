// Player command lines; see player.hpp.
#include "player.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::string_view kHeaderName = "Authorization: ";
constexpr std::string_view kCrlf = "\r\n";

// Characters that no POSIX shell gives a meaning to in a word.
bool plain(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return false;
    return std::isalnum(u) != 0 || std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
}

bool has_line_break(std::string_view text) {
    return text.find_first_of(kCrlf) != std::string_view::npos;
}

}  // namespace

PlayerKind player_kind(std::string_view player) {
    // The last part of a path names the player, with or without ".exe": /usr/bin/mpv and
    // C:\Programs\mpv.exe are both mpv.
    const auto slash = player.find_last_of("/\\");
    std::string_view name = slash == std::string_view::npos ? player : player.substr(slash + 1);
    if (constexpr std::string_view exe = ".exe";
        name.size() > exe.size() && iequals(name.substr(name.size() - exe.size()), exe)) {
        name.remove_suffix(exe.size());
    }
    if (name == "mpv") return PlayerKind::mpv;
    if (name == "ffplay") return PlayerKind::ffplay;
    if (name == "vlc" || name == "cvlc") return PlayerKind::vlc;
    return PlayerKind::other;
}

bool player_command(const PlayRequest &request, const PrivateFile &private_file, PlayerCommand &out,
                    std::string &error) {
    if (has_line_break(request.url) || has_line_break(request.authorization)) {
        error = "the stream URL or the Authorization header holds a line break";
        return false;
    }
    std::string header(kHeaderName);
    header += request.authorization;
    out = {};
    out.argv.push_back(request.player);
    auto &argv = out.argv;
    const auto add_extra = [&] {
        argv.insert(argv.end(), request.extra.begin(), request.extra.end());
    };
    switch (player_kind(request.player)) {
        case PlayerKind::mpv:
            // The stream is a plain file: no site extractor should ever be handed its URL.
            argv.emplace_back("--ytdl=no");
            if (!request.title.empty()) argv.push_back("--force-media-title=" + request.title);
            if (private_file) {
                // %N% quotes N bytes as they are: commas, quotes and '#' included.
                const std::string conf = "http-header-fields-append=%" +
                                         std::to_string(header.size()) + "%" + header + "\n";
                const std::string include = private_file(conf);
                const std::string playlist =
                    include.empty() ? "" : private_file(request.url + "\n");
                if (playlist.empty()) {
                    error = "cannot make the private files that hand mpv the header and the URL";
                    return false;
                }
                argv.push_back("--include=" + include);
                add_extra();
                argv.push_back("--playlist=" + playlist);
            } else {
                argv.push_back("--http-header-fields-append=" + header);
                add_extra();
                argv.push_back(request.url);
            }
            break;
        case PlayerKind::ffplay:
            argv.emplace_back("-headers");
            argv.push_back(header + std::string(kCrlf));
            if (!request.title.empty()) {
                argv.emplace_back("-window_title");
                argv.push_back(request.title);
            }
            add_extra();
            argv.push_back(request.url);
            break;
        case PlayerKind::vlc:
            if (!request.title.empty()) argv.push_back("--meta-title=" + request.title);
            add_extra();
            argv.push_back(request.url);
            out.sends_header = false;
            break;
        case PlayerKind::other:
            add_extra();
            argv.push_back(request.url);
            out.env.emplace_back(kAuthorizationVar, request.authorization);
            break;
    }
    return true;
}

std::string shell_quote(std::string_view arg) {
    if (!arg.empty() && std::all_of(arg.begin(), arg.end(), plain)) return std::string(arg);
    std::string out;
    bool quoted = false;  // inside single quotes
    const auto quote = [&](bool want) {
        if (want != quoted) out += '\'';
        quoted = want;
    };
    for (std::size_t i = 0; i < arg.size(); ++i) {
        const char c = arg[i];
        if (c == '\'') {
            quote(false);
            out += "\\'";
        } else if (c == '\r') {
            quote(false);
            const bool pair = i + 1 < arg.size() && arg[i + 1] == '\n';
            out += pair ? "\"${crlf%.}\"" : "\"${crlf%??}\"";
            if (pair) ++i;
        } else {
            quote(true);
            out += c;
        }
    }
    quote(false);
    return out.empty() ? "''" : out;
}

std::string shell_line(const PlayerCommand &command) {
    std::string out;
    // A CR typed or pasted into a terminal arrives as a line end, so it is made by printf; the
    // dot keeps the command substitution from dropping the LF behind it.
    bool has_cr = false;
    for (const std::string &arg : command.argv)
        has_cr = has_cr || arg.find('\r') != std::string::npos;
    for (const auto &[name, value] : command.env)
        has_cr = has_cr || value.find('\r') != std::string::npos;
    if (has_cr) out = "crlf=$(printf '\\r\\n.'); ";
    for (const auto &[name, value] : command.env) {
        out += name;
        out += '=';
        out += shell_quote(value);
        out += ' ';
    }
    for (std::size_t i = 0; i < command.argv.size(); ++i) {
        if (i > 0) out += ' ';
        out += shell_quote(command.argv[i]);
    }
    return out;
}

}  // namespace kojelly::cli
