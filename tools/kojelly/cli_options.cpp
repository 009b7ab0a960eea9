// Command-line parsing and help of the kojelly tool; see cli_options.hpp.
#include "cli_options.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <optional>

namespace kojelly::cli {
namespace {

constexpr long kMaxTimeoutSeconds = 86400;
constexpr long kMaxPort = 65535;
constexpr long kMaxDepth = INT_MAX;

constexpr std::array<std::string_view, 5> kCommands = {"validate", "ls", "tree", "stream", "demo"};

enum class Kind { flag, value };

// An option, and the commands it applies to ("" = every command but demo, "*" = all, "!" = none:
// an option that is refused with a reason).
struct OptionDef {
    std::string_view name;
    Kind kind;
    std::string_view commands;
};

constexpr std::array<OptionDef, 21> kOptionDefs = {{
    {"--help", Kind::flag, "*"},
    {"--version", Kind::flag, "*"},
    {"--plugin", Kind::value, "*"},
    {"--verbose", Kind::flag, "*"},
    {"--timeout", Kind::value, "*"},
    {"--insecure", Kind::flag, ""},
    {"--json", Kind::flag, ""},
    {"--settings", Kind::value, ""},
    {"--server", Kind::value, ""},
    {"--user", Kind::value, ""},
    {"--password-stdin", Kind::flag, ""},
    {"--password-env", Kind::value, ""},
    {"--api-key-env", Kind::value, ""},
    {"--device-id", Kind::value, ""},
    {"--depth", Kind::value, "tree"},
    {"--probe", Kind::flag, "stream"},
    {"--serve", Kind::flag, "demo"},
    {"--port", Kind::value, "demo"},
    {"--flavour", Kind::value, "demo"},
    // Spelled out so that the answer explains why rather than saying "unknown option".
    {"--password", Kind::value, "!"},
    {"--api-key", Kind::value, "!"},
}};

const OptionDef *find_option(std::string_view name) {
    for (const OptionDef &s : kOptionDefs) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

bool applies(const OptionDef &s, std::string_view command) {
    if (s.commands == "*" || command.empty()) return true;
    if (s.commands.empty()) return command != "demo";
    return s.commands == command;
}

bool number(std::string_view text, long min, long max, long &out) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size() && out >= min && out <= max;
}

struct Flag {
    std::string_view name;
    bool Options::*member;
};
constexpr std::array<Flag, 7> kFlags = {{
    {"--help", &Options::help},
    {"--version", &Options::version},
    {"--verbose", &Options::verbose},
    {"--insecure", &Options::insecure},
    {"--json", &Options::json},
    {"--probe", &Options::probe},
    {"--serve", &Options::serve},
}};

struct Text {
    std::string_view name;
    std::string SettingsInput::*member;
};
constexpr std::array<Text, 3> kTexts = {{
    {"--settings", &SettingsInput::file},
    {"--password-env", &SettingsInput::password_env},
    {"--api-key-env", &SettingsInput::api_key_env},
}};

struct Optional {
    std::string_view name;
    std::optional<std::string> SettingsInput::*member;
};
constexpr std::array<Optional, 3> kOptionals = {{
    {"--server", &SettingsInput::server},
    {"--user", &SettingsInput::user},
    {"--device-id", &SettingsInput::device_id},
}};

struct Number {
    std::string_view name;
    long min;
    long max;
    const char *complaint;
};
constexpr std::array<Number, 3> kNumbers = {{
    {"--timeout", 1, kMaxTimeoutSeconds, "a whole number of seconds from 1 to 86400"},
    {"--depth", 1, kMaxDepth, "a whole number of at least 1"},
    {"--port", 1, kMaxPort, "a port number from 1 to 65535"},
}};

bool apply(Options &o, std::string_view name, const std::string &value, std::string &error) {
    if (name == "--plugin") o.plugin = value;
    if (name == "--password-stdin") o.settings.password_stdin = true;
    if (name == "--flavour" && !parse_flavour(value, o.flavour)) {
        error = "--flavour wants jellyfin or emby";
        return false;
    }
    for (const Flag &f : kFlags) {
        if (f.name == name) o.*f.member = true;
    }
    for (const Text &t : kTexts) {
        if (t.name == name) o.settings.*t.member = value;
    }
    for (const Optional &t : kOptionals) {
        if (t.name == name) o.settings.*t.member = value;
    }
    for (const Number &num : kNumbers) {
        if (num.name != name) continue;
        long n = 0;
        if (!number(value, num.min, num.max, n)) {
            error = std::string(name) + " wants " + num.complaint;
            return false;
        }
        if (name == "--timeout") o.timeout_s = n;
        if (name == "--depth") o.depth = static_cast<int>(n);
        if (name == "--port") o.port = static_cast<int>(n);
    }
    return true;
}

}  // namespace

int exit_status_for(std::int32_t code) {
    switch (code) {
        case 0:
            return kExitOk;
        case -1:
        case -2:
        case -3:
        case -4:
        case -5:
        case -6:
        case -8:
        case -9:
            return kExitStatusBase - code;
        default:
            return kExitUnknownStatus;
    }
}

const char *status_name(std::int32_t code) {
    switch (code) {
        case 0:
            return "success";
        case -1:
            return "credentials refused";
        case -2:
            return "not found";
        case -3:
            return "throttled";
        case -4:
            return "server unreachable or failing";
        case -5:
            return "failed";
        case -6:
            return "not supported";
        case -8:
            return "invalid settings or arguments";
        case -9:
            return "output buffer too small";
        default:
            return "unknown status";
    }
}

bool parse_args(int argc, const char *const *argv, Options &o, std::string &error) {
    std::vector<std::pair<const OptionDef *, std::string>> given;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            if (o.command.empty())
                o.command = arg;
            else
                o.args.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h") {
            o.help = true;
            continue;
        }
        const auto eq = arg.find('=');
        const std::string_view name = arg.substr(0, eq);
        const OptionDef *def = find_option(name);
        if (!def) {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (def->commands == "!") {
            error = std::string(name) +
                    " does not exist: a secret on the command line is visible to every user of "
                    "this machine; use --password-stdin, --password-env, --api-key-env or "
                    "--settings";
            return false;
        }
        std::string value;
        if (def->kind == Kind::value) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = std::string(name) + " wants a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            error = std::string(name) + " takes no value";
            return false;
        }
        given.emplace_back(def, std::move(value));
    }
    if (o.command == "help") {
        o.help = true;
        o.command = o.args.empty() ? "" : o.args.front();
        o.args.clear();
    }
    if (!o.command.empty() &&
        std::find(kCommands.begin(), kCommands.end(), o.command) == kCommands.end()) {
        error = "unknown command " + o.command;
        return false;
    }
    for (const auto &[def, value] : given) {
        if (!applies(*def, o.command)) {
            error = std::string(def->name) + " does not apply to " + o.command;
            return false;
        }
        if (!apply(o, def->name, value, error)) return false;
    }
    if (o.help || o.version) return true;
    if (o.command.empty()) {
        error = "no command given";
        return false;
    }
    const std::size_t n = o.args.size();
    const bool count_ok = o.command == "stream"                        ? n == 1
                          : (o.command == "ls" || o.command == "tree") ? n <= 1
                                                                       : n == 0;
    if (!count_ok) {
        error = "wrong number of arguments for " + o.command;
        return false;
    }
    if (o.settings.password_stdin && !o.settings.password_env.empty()) {
        error = "--password-stdin and --password-env exclude each other";
        return false;
    }
    if (o.port != 0 && !o.serve) {
        error = "--port applies to demo --serve only";
        return false;
    }
    return true;
}

std::string help_text(std::string_view command) {
    if (command.empty()) {
        return R"(kojelly - browse a Jellyfin or Emby server through the kojelly plug-in

Usage: kojelly [OPTIONS] COMMAND [ARGS]

Commands:
  validate            check the settings: is it a Jellyfin/Emby server, are the
                      credentials accepted, its canonical address and identity
  ls [FOLDER_ID]      list a folder; without FOLDER_ID the user's libraries
  tree [FOLDER_ID]    walk the folders below FOLDER_ID (or below the libraries)
  stream ITEM         resolve a playable item (an id or a listing entry's JSON)
                      to its stream URL and the Authorization header to send
  demo                run validate, ls, tree and stream against a built-in
                      demo server (--flavour jellyfin or emby); `demo --serve`
                      only runs the server
  help [COMMAND]      this text, or a command's help

Server settings (a secret is never an argument: others can read those):
  --server URL          the server address, e.g. https://media.example:8920
  --user NAME           log in as NAME
  --password-stdin      read the password from standard input (asked for,
                        without echo, when that is a terminal)
  --password-env VAR    the password is in the environment variable VAR
  --api-key-env VAR     use the API key in the environment variable VAR
  --device-id ID        the DeviceId to present; by default one that stays the
                        same for this machine and user
  --settings FILE       a JSON object with the plug-in's settings keys
                        (FullUrl, UserName, Password, APIKey, DeviceId, ...);
                        the options above override its members

Other options:
  --plugin PATH         the plug-in to load (default: libkojelly.so next to
                        this program)
  --json                print the plug-in's JSON answers instead of tables
  --insecure            accept any TLS certificate (self-signed servers)
  --timeout SECONDS     give up on one HTTP exchange after SECONDS (default 60)
  --verbose             log every HTTP exchange on standard error, with
                        credentials in URLs masked
  --version             print the versions of the tool and of the plug-in
  -h, --help            this text; after a command, that command's help

Proxies come from the environment (http_proxy, https_proxy, no_proxy) as
libcurl reads them. API requests never follow redirects.

Exit status:
  0   success
  1   the tool itself failed: plug-in not loadable, settings file unreadable,
      demo server not started, an answer it could not read
  2   usage error
  3   stream --probe: the stream could not be fetched
  11  credentials refused (plug-in status -1)
  12  item or folder not found, or not of the kind needed (-2)
  13  the server throttled the request, HTTP 429 (-3)
  14  no transport, server unreachable, timed out or failing with 5xx (-4)
  15  any other failure: unexpected status, malformed answer, a limit (-5)
  16  not supported (-6)
  18  invalid settings or arguments (-8)
  19  answer too large for the output buffer (-9)
  20  a status code the plug-in does not document
)";
    }
    if (command == "validate") {
        return R"(Usage: kojelly validate [OPTIONS]

Checks the server settings the way a host does before it saves them: asks
/System/Info/Public whether the address is a Jellyfin or Emby server, then
checks the API key or logs in, and prints the canonical address (FullUrl), the
server's ID, name and version.

  --json    print the plug-in's validation answer

Server settings and other options: kojelly --help.
)";
    }
    if (command == "ls") {
        return R"(Usage: kojelly ls [FOLDER_ID] [OPTIONS]

Lists a folder: name, kind (dir or file), year, size and id of each entry, in
the server's order. Without FOLDER_ID it lists the root: the user's libraries.
Large folders are fetched page by page (500 entries a page).

  --json    print the plug-in's listing JSON

Server settings and other options: kojelly --help.
)";
    }
    if (command == "tree") {
        return R"(Usage: kojelly tree [FOLDER_ID] [--depth N] [OPTIONS]

Walks the folders below FOLDER_ID (without it, below the user's libraries) and
prints them as a tree, files with their year and size. A progress line runs on
standard error while it walks, when that is a terminal. A folder that fails is
marked and the walk goes on; the exit status is then the first failure's.

  --depth N   list at most N levels below the start (default: no limit)
  --json      print one line per listed folder: {"folder":ID,"depth":N,
              "listing":<the plug-in's listing JSON>}

Server settings and other options: kojelly --help.
)";
    }
    if (command == "stream") {
        return R"(Usage: kojelly stream ITEM [--probe] [OPTIONS]

Resolves a playable item to its direct stream URL and prints the URL, the
Authorization header a player must send with it, and the file's size and
container. ITEM is an item id, or the JSON of an entry from `ls --json`.

  --probe   also fetch the first 64 KiB of the stream as a player does (a Range
            GET with the Authorization header, through the same transport,
            following redirects) and report the HTTP status, Content-Range and
            bytes received; exit status 3 when it fails
  --json    print the plug-in's stream answer (the probe report goes to
            standard error)

Server settings and other options: kojelly --help.
)";
    }
    if (command == "demo") {
        return R"(Usage: kojelly demo [--flavour F] [--serve [--port N]] [OPTIONS]

Starts a demo server on 127.0.0.1 (a free port) that answers as a Jellyfin or
Emby server does, with a generated library: 1200 movies (more than two pages)
and a shows library with series, seasons, episodes and nested folders. Then
runs, through the plug-in and the tool's own HTTP transport: validate, ls of
the libraries, ls of the movies, a tree of the shows and stream --probe of a
movie.

  --flavour F  the server to imitate:
               jellyfin  a current Jellyfin server (the default): item ids of
                         32 hex digits; /UserViews answers 400 to an API key,
                         whose libraries are at /Library/MediaFolders; a token
                         in the query only as ApiKey
               emby      an Emby server: numeric item ids; no /UserViews, a
                         user's libraries are at /Users/{user id}/Views; a
                         token in the query as api_key
  --serve      only run the server, until interrupted, and print how to reach
               it (user "demo", password "demo", and an API key)
  --port N     with --serve: listen on port N instead of a free one

--plugin, --verbose and --timeout apply as for the other commands.
)";
    }
    return {};
}

}  // namespace kojelly::cli
