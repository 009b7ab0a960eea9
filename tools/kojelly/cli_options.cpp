// Command-line parsing and help of the kojelly tool; see cli_options.hpp. Two tables describe
// the command line: the commands, and the options with the commands they apply to, where their
// values go and their help. The parser and every help text are read from them, so that the help
// cannot fall behind what the parser accepts.
#include "cli_options.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr long kMaxTimeoutSeconds = 86400;
constexpr long kMaxPort = 65535;
constexpr std::size_t kIndent = 2;
constexpr std::size_t kGap = 2;
constexpr std::size_t kHelpWidth = 80;

struct CommandDef {
    std::string_view name;
    Command id = Command::none;
    std::string_view args = {};  // the arguments, as the usage line shows them
    std::size_t min_args = 0;
    std::size_t max_args = 0;
    std::string_view summary;     // the overview's lines, separated by '\n'
    std::string_view about = {};  // the command's own help; empty: the overview is its help
    std::string_view json = {};   // what --json prints; empty when --json does not apply
};

constexpr std::array<CommandDef, 7> kCommands = {{
    {.name = "validate",
     .id = Command::validate,
     .summary = "check the settings: is it a Jellyfin/Emby server, are the\n"
                "credentials accepted, its canonical address and identity",
     .about = "Checks the server settings the way a host does before it saves them: asks\n"
              "/System/Info/Public whether the address is a Jellyfin or Emby server, then\n"
              "checks the API key or logs in, and prints the canonical address (FullUrl), the\n"
              "server's ID, name and version.",
     .json = "print the plug-in's validation answer"},
    {.name = "ls",
     .id = Command::ls,
     .args = "[FOLDER_ID]",
     .max_args = 1,
     .summary = "list a folder; without FOLDER_ID the user's libraries",
     .about = "Lists a folder: name, kind (dir or file), year, size and id of each entry, in\n"
              "the server's order. Without FOLDER_ID it lists the root: the user's libraries.\n"
              "Large folders are fetched page by page (500 entries a page), up to "
              "{--parallel} pages\n"
              "at once unless --parallel says otherwise.",
     .json = "print the plug-in's listing JSON"},
    {.name = "tree",
     .id = Command::tree,
     .args = "[FOLDER_ID]",
     .max_args = 1,
     .summary = "walk the folders below FOLDER_ID (or below the libraries)",
     .about = "Walks the folders below FOLDER_ID (without it, below the user's libraries) and\n"
              "prints them as a tree, files with their year and size. A progress line runs on\n"
              "standard error while it walks, when that is a terminal. A folder that fails is\n"
              "marked and the walk goes on; the exit status is then the first failure's.\n"
              "The walk stops {--depth} levels deep and lists no folder after "
              "{--max-entries} entries, unless\n"
              "--depth or --max-entries says otherwise; a folder that the default depth or the\n"
              "entry limit left unlisted is marked, and a notice on standard error says so.",
     .json = "print one line per listed folder: {\"folder\":ID,\"depth\":N,\n"
             "\"listing\":<the plug-in's listing JSON>}; when the default\n"
             "depth or the entry limit cut the walk short, a last line\n"
             "{\"cut_short\":{\"folders_not_listed\":N,...}}, whose \"depth\"\n"
             "and \"max_entries\" members name the bounds that did"},
    {.name = "stream",
     .id = Command::stream,
     .args = "ITEM",
     .min_args = 1,
     .max_args = 1,
     .summary = "resolve a playable item (an id or a listing entry's JSON)\n"
                "to its stream URL and the Authorization header to send",
     .about = "Resolves a playable item to its direct stream URL and prints the URL, the\n"
              "Authorization header a player must send with it, and the file's size and\n"
              "container. ITEM is an item id, or the JSON of an entry from `ls --json`.",
     .json = "print the plug-in's stream answer (the probe report goes to\n"
             "standard error)"},
    {.name = "play",
     .id = Command::play,
     .args = "ITEM",
     .min_args = 1,
     .max_args = 1,
     .summary = "play an item (an id or a listing entry's JSON) with a media\n"
                "player that sends the Authorization header",
     .about = "Resolves ITEM as `stream` does and starts a media player ({--player} unless "
              "--player\n"
              "says otherwise, found on PATH) on the stream URL, with the Authorization\n"
              "header passed the way that player takes it, and waits for it to end:\n"
              "  mpv     --http-header-fields-append; the header and the URL come from\n"
              "          private memory files, so neither shows in the process list\n"
              "  ffplay  -headers with the CRLF-terminated line, on its command line\n"
              "  vlc     cannot send a header: it gets the URL alone\n"
              "  other   the URL as the last argument; the header's value in the\n"
              "          environment variable KOJELLY_AUTHORIZATION\n"
              "The player runs without a shell. Exit status 4 when it is not installed or\n"
              "cannot be started, 5 when it ends with a status other than 0."},
    {.name = "demo",
     .id = Command::demo,
     .summary = "run validate, ls, tree and stream against a built-in\n"
                "demo server (--flavour jellyfin or emby); `demo --serve`\n"
                "only runs the server (not on Windows: point kojelly.exe\n"
                "at the demo server of the Linux tool)",
     .about = "Starts a demo server on 127.0.0.1 (a free port) that answers as a Jellyfin or\n"
              "Emby server does, with a generated library: 1200 movies (more than two pages)\n"
              "and a shows library with series, seasons, episodes and nested folders. Then\n"
              "runs, through the plug-in and the tool's own HTTP transport: validate, ls of\n"
              "the libraries, ls of the movies, a tree of the shows and stream --probe of a\n"
              "movie."},
    {.name = "help",
     .args = "[COMMAND]",
     .max_args = 1,
     .summary = "this text, or a command's help"},
}};

// Where the overview lists an option; a command's own options are listed in its help instead.
enum class Section { settings, other, own, refused };

struct OptionDef;
// Stores an option's value; false when the value is not one the option takes.
using Setter = bool (*)(Options &o, const std::string &value, const OptionDef &def);

struct OptionDef {
    std::string_view name;
    std::string_view alias = {};     // a short spelling
    std::string_view arg = {};       // the value's name in the help; empty for a flag
    std::string_view commands = {};  // "" every command but demo, "*" all, else the one command
    Section section;
    // With commands "": the option applies to demo --serve too, and demo's help says so thus.
    std::string_view serve_help = {};
    Setter set = nullptr;
    std::string_view wants = {};  // what a value must be, said when it is not; a number's range
                                  // follows it
    long min = 0;                 // a number: the values it takes
    long max = 0;
    std::optional<long> fallback = {};    // a number's value when the option is not given
    std::string_view text_fallback = {};  // a text's value when the option is not given
    // Lines separated by '\n'. Here and in every help text "{--name}" stands for the default of
    // the option --name and "{--name.max}" for the largest number it takes.
    std::string_view help = {};
};

template <typename T>
Options &holder(Options &o, T Options::*) {
    return o;
}
template <typename T>
SettingsInput &holder(Options &o, T SettingsInput::*) {
    return o.settings;
}

// true into a flag's member, the text into a value's.
template <auto member>
bool store(Options &o, const std::string &value, const OptionDef &) {
    auto &field = holder(o, member).*member;
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, bool>) {
        field = true;
    } else {
        field = value;
    }
    return true;
}

template <auto member>
bool store_number(Options &o, const std::string &value, const OptionDef &def);

bool store_flavour(Options &o, const std::string &value, const OptionDef &) {
    return parse_flavour(value, o.flavour);
}

bool add_player_arg(Options &o, const std::string &value, const OptionDef &) {
    o.player_args.push_back(value);
    return true;
}

bool store_server(Options &o, const std::string &value, const OptionDef &) {
    o.settings.server = value;
    return !trim(value).empty();
}

bool store_player(Options &o, const std::string &value, const OptionDef &) {
    o.player = value;
    return !value.empty();
}

constexpr std::array<OptionDef, 28> kOptions = {{
    {.name = "--server",
     .arg = "URL",
     .section = Section::settings,
     .set = store_server,
     .wants = "the server's address, e.g. http://192.168.1.20:8096",
     .help = "the server address, e.g. https://media.example:8920"},
    {.name = "--user",
     .arg = "NAME",
     .section = Section::settings,
     .set = store<&SettingsInput::user>,
     .help = "log in as NAME"},
    {.name = "--password-stdin",
     .section = Section::settings,
     .set = store<&SettingsInput::password_stdin>,
     .help = "read the password from standard input (asked for,\n"
             "without echo, when that is a terminal)"},
    {.name = "--password-env",
     .arg = "VAR",
     .section = Section::settings,
     .serve_help = "with --serve: the demo user's password is in the\n"
                   "environment variable VAR (instead of \"demo\")",
     .set = store<&SettingsInput::password_env>,
     .help = "the password is in the environment variable VAR"},
    {.name = "--api-key-env",
     .arg = "VAR",
     .section = Section::settings,
     .serve_help = "with --serve: the server accepts the API key in the\n"
                   "environment variable VAR (instead of a random one), so\n"
                   "that the same commands work against every run",
     .set = store<&SettingsInput::api_key_env>,
     .help = "use the API key in the environment variable VAR"},
    {.name = "--device-id",
     .arg = "ID",
     .section = Section::settings,
     .set = store<&SettingsInput::device_id>,
     .help = "the DeviceId to present; by default one that stays the\n"
             "same for this machine and user"},
    {.name = "--settings",
     .arg = "FILE",
     .section = Section::settings,
     .set = store<&SettingsInput::file>,
     .help = "a JSON object with the plug-in's settings keys\n"
             "(FullUrl, UserName, Password, APIKey, DeviceId, ...);\n"
             "the options above override its members"},
    {.name = "--plugin",
     .arg = "PATH",
     .commands = "*",
     .section = Section::other,
     .set = store<&Options::plugin>,
     .help = "the plug-in to load (default: libkojelly.so, on Windows\n"
             "kojelly.dll, next to this program)"},
    {.name = "--json",
     .section = Section::other,
     .set = store<&Options::json>,
     .help = "print the plug-in's JSON answers instead of tables"},
    {.name = "--insecure",
     .section = Section::other,
     .set = store<&Options::insecure>,
     .help = "accept any TLS certificate (self-signed servers)"},
    {.name = "--timeout",
     .arg = "SECONDS",
     .commands = "*",
     .section = Section::other,
     .set = store_number<&Options::timeout_s>,
     .wants = "a whole number of seconds",
     .min = 1,
     .max = kMaxTimeoutSeconds,
     .fallback = kDefaultTimeoutSeconds,
     .help = "give up on one HTTP exchange after SECONDS (default {--timeout})"},
    {.name = "--parallel",
     .arg = "N",
     .commands = "*",
     .section = Section::other,
     .set = store_number<&SettingsInput::parallel_pages>,
     .wants = "a whole number",
     .min = 1,
     .max = kMaxParallelPages,
     .fallback = kDefaultParallelPages,
     .help = "let the plug-in fetch up to N pages of a folder at once\n"
             "(default {--parallel}; 1 fetches them one after another); it\n"
             "overrides ParallelPages of a --settings file"},
    {.name = "--verbose",
     .commands = "*",
     .section = Section::other,
     .set = store<&Options::verbose>,
     .help = "log every HTTP exchange on standard error, with\n"
             "credentials in URLs masked"},
    {.name = "--version",
     .commands = "*",
     .section = Section::other,
     .set = store<&Options::version>,
     .help = "print the versions of the tool and of the plug-in"},
    {.name = "--help",
     .alias = "-h",
     .commands = "*",
     .section = Section::other,
     .set = store<&Options::help>,
     .help = "this text; after a command, that command's help"},
    {.name = "--depth",
     .arg = "N",
     .commands = "tree",
     .section = Section::own,
     .set = store_number<&Options::depth>,
     .wants = "a whole number",
     .min = 1,
     .max = kMaxTreeDepth,
     .fallback = kDefaultTreeDepth,
     .help = "list at most N levels below the start (default {--depth})"},
    {.name = "--max-entries",
     .arg = "N",
     .commands = "tree",
     .section = Section::own,
     .set = store_number<&Options::max_entries>,
     .wants = "a whole number",
     .min = 1,
     .max = kMaxTreeEntries,
     .fallback = kDefaultTreeEntries,
     .help = "list no further folder once N entries have been seen\n"
             "(default {--max-entries})"},
    {.name = "--probe",
     .commands = "stream",
     .section = Section::own,
     .set = store<&Options::probe>,
     .help = "also fetch the first 64 KiB of the stream as a player does (a Range\n"
             "GET with the Authorization header, through the same transport,\n"
             "following redirects) and report the HTTP status, Content-Range and\n"
             "bytes received; exit status 3 when it fails"},
    {.name = "--player",
     .arg = "P",
     .commands = "play",
     .section = Section::own,
     .set = store_player,
     .wants = "a program: mpv, ffplay, vlc, or another name or path",
     .text_fallback = kDefaultPlayer,
     .help = "the player (default {--player}): mpv, ffplay, vlc, or any\n"
             "other program, looked up on PATH unless it is a path"},
    {.name = "--player-arg",
     .arg = "ARG",
     .commands = "play",
     .section = Section::own,
     .set = add_player_arg,
     .help = "one more argument for the player, placed before the\n"
             "stream, e.g. --player-arg --start=30; repeat it for more"},
    {.name = "--print",
     .commands = "play",
     .section = Section::own,
     .set = store<&Options::print>,
     .help = "print the player's command for a POSIX shell instead of\n"
             "running it; the header is inline there, as a pasted\n"
             "command has no private file to read it from"},
    {.name = "--flavour",
     .arg = "F",
     .commands = "demo",
     .section = Section::own,
     .set = store_flavour,
     .wants = "jellyfin or emby",
     .help = "the server to imitate:\n"
             "jellyfin  a current Jellyfin server (the default): item\n"
             "          ids of 32 hex digits; /UserViews answers 400\n"
             "          to an API key, whose libraries are at\n"
             "          /Library/MediaFolders; a token in the query\n"
             "          only as ApiKey\n"
             "emby      an Emby server: numeric item ids; no\n"
             "          /UserViews, a user's libraries are at\n"
             "          /Users/{user id}/Views; a token in the query\n"
             "          as api_key"},
    {.name = "--serve",
     .commands = "demo",
     .section = Section::own,
     .set = store<&Options::serve>,
     .help = "only run the server, until interrupted, and print how\n"
             "to reach it (user \"demo\", password \"demo\", and a\n"
             "random API key)"},
    {.name = "--port",
     .arg = "N",
     .commands = "demo",
     .section = Section::own,
     .set = store_number<&Options::port>,
     .wants = "a port number",
     .min = 1,
     .max = kMaxPort,
     .help = "with --serve: listen on port N instead of a free one"},
    {.name = "--media",
     .arg = "FILE",
     .commands = "demo",
     .section = Section::own,
     .set = store<&Options::media>,
     .help = "with --serve: one more movie stands for this real file, so\n"
             "that players can play it: the file's size, the container\n"
             "its extension names, byte ranges from the file; every\n"
             "stream request is printed"},
    {.name = "--stream-auth",
     .commands = "demo",
     .section = Section::own,
     .set = store<&Options::stream_auth>,
     .help = "with --serve: a stream request needs the token in its\n"
             "Authorization header; the URL's token is ignored"},
    // Spelled out so that the answer explains why rather than saying "unknown option".
    {.name = "--password", .arg = "SECRET", .commands = "*", .section = Section::refused},
    {.name = "--api-key", .arg = "SECRET", .commands = "*", .section = Section::refused},
}};

const OptionDef *find_option(std::string_view name) {
    for (const OptionDef &def : kOptions) {
        if (def.name == name || (!def.alias.empty() && def.alias == name)) return &def;
    }
    return nullptr;
}

template <auto member>
bool store_number(Options &o, const std::string &value, const OptionDef &def) {
    long n = 0;
    const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || ptr != value.data() + value.size() || n < def.min || n > def.max)
        return false;
    auto &field = holder(o, member).*member;
    field = static_cast<std::remove_cvref_t<decltype(field)>>(n);
    return true;
}

const CommandDef *find_command(std::string_view name) {
    for (const CommandDef &def : kCommands) {
        if (def.name == name) return &def;
    }
    return nullptr;
}

bool applies(const OptionDef &def, std::string_view command) {
    if (command.empty()) return true;
    // --json reaches only the commands that have a JSON answer to print.
    if (def.name == "--json") {
        const CommandDef *c = find_command(command);
        return c && !c->json.empty();
    }
    if (def.commands == "*") return true;
    if (def.commands.empty()) return command != "demo" || !def.serve_help.empty();
    return def.commands == command;
}

// ---- Help ---------------------------------------------------------------------------------

// "--server URL", "ls [FOLDER_ID]"; the name alone when it takes nothing.
std::string with_arg(std::string_view name, std::string_view arg) {
    std::string out(name);
    if (!arg.empty()) {
        out += ' ';
        out += arg;
    }
    return out;
}

// "-h, --help", "--server URL".
std::string label_of(const OptionDef &def) {
    std::string label;
    if (!def.alias.empty()) {
        label += def.alias;
        label += ", ";
    }
    label += with_arg(def.name, def.arg);
    return label;
}

// What "{--name}" or "{--name.max}" in a help text stands for; empty for a reference that names
// no option or nothing the option has.
std::string referenced_value(std::string_view reference) {
    std::string_view part;
    if (const auto dot = reference.find('.'); dot != std::string_view::npos) {
        part = reference.substr(dot + 1);
        reference = reference.substr(0, dot);
    }
    const OptionDef *def = find_option(reference);
    if (!def) return {};
    if (part.empty() && def->fallback) return std::to_string(*def->fallback);
    if (part.empty()) return std::string(def->text_fallback);
    if (part == "min" && def->max > def->min) return std::to_string(def->min);
    if (part == "max" && def->max > def->min) return std::to_string(def->max);
    return {};
}

// A help text with its references to the option table filled in; a reference that resolves to
// nothing stays as it is written.
std::string expand(std::string_view text) {
    std::string out;
    while (true) {
        const auto open = text.find("{--");
        const auto close = open == std::string_view::npos ? open : text.find('}', open);
        if (close == std::string_view::npos) break;
        out += text.substr(0, open);
        const std::string value = referenced_value(text.substr(open + 1, close - open - 1));
        out += value.empty() ? text.substr(open, close + 1 - open) : std::string_view(value);
        text.remove_prefix(close + 1);
    }
    out += text;
    return out;
}

struct Row {
    std::string label;
    std::string text;  // lines separated by '\n'
};

std::size_t label_width(const std::vector<Row> &rows) {
    std::size_t width = 0;
    for (const Row &row : rows) width = std::max(width, row.label.size());
    return width;
}

// One row a line group: the label indented, the text's lines aligned one gap after a label of
// width characters (by default the longest label of these rows).
void append_rows(std::string &out, const std::vector<Row> &rows, std::size_t width = 0) {
    const std::size_t column = kIndent + std::max(width, label_width(rows)) + kGap;
    for (const Row &row : rows) {
        std::string_view text = row.text;
        out.append(kIndent, ' ');
        out += row.label;
        out.append(column - kIndent - row.label.size(), ' ');
        while (true) {
            const auto end = text.find('\n');
            out += text.substr(0, end);
            out += '\n';
            if (end == std::string_view::npos) break;
            text.remove_prefix(end + 1);
            out.append(column, ' ');
        }
    }
}

// The text's words in lines of at most kHelpWidth characters.
void append_wrapped(std::string &out, std::string_view text) {
    std::size_t line = 0;
    for (const std::string &word : split(text, ' ')) {
        if (line > 0 && line + 1 + word.size() > kHelpWidth) {
            out += '\n';
            line = 0;
        } else if (line > 0) {
            out += ' ';
            ++line;
        }
        out += word;
        line += word.size();
    }
    out += '\n';
}

std::vector<Row> option_rows(Section section, std::string_view command = {}) {
    std::vector<Row> rows;
    for (const OptionDef &def : kOptions) {
        if (def.section == section && (command.empty() || def.commands == command))
            rows.push_back({label_of(def), expand(def.help)});
    }
    return rows;
}

constexpr std::string_view kOverviewHead =
    "kojelly - browse a Jellyfin or Emby server through the kojelly plug-in\n"
    "\n"
    "Usage: kojelly [OPTIONS] COMMAND [ARGS]\n";

constexpr std::string_view kOverviewTail =
    "Proxies come from the environment (http_proxy, https_proxy, no_proxy) as\n"
    "libcurl reads them; on Windows from the system's proxy settings, as WinHTTP\n"
    "reads them. API requests never follow redirects.\n"
    "\n"
    "Exit status:\n"
    "  0   success\n"
    "  1   the tool itself failed: plug-in not loadable, settings file unreadable,\n"
    "      demo server not started, an answer it could not read\n"
    "  2   usage error\n"
    "  3   stream --probe: the stream could not be fetched\n"
    "  4   play: the player is not installed or cannot be started\n"
    "  5   play: the player ended with a status other than 0, or by a signal;\n"
    "      stopped by the user (Ctrl-C, SIGTERM, SIGHUP), the tool ends by that\n"
    "      signal as the player ends, and a shell shows 128 + its number\n"
    "  11  credentials refused (plug-in status -1)\n"
    "  12  item or folder not found, or not of the kind needed (-2)\n"
    "  13  the server throttled the request, HTTP 429 (-3)\n"
    "  14  no transport, server unreachable, timed out or failing with 5xx (-4)\n"
    "  15  any other failure: unexpected status, malformed answer, a limit (-5)\n"
    "  16  not supported (-6)\n"
    "  18  invalid settings or arguments (-8)\n"
    "  19  answer too large for the output buffer (-9)\n"
    "  20  a status code the plug-in does not document\n";

std::string overview() {
    std::string out(kOverviewHead);
    out += "\nCommands:\n";
    std::vector<Row> commands;
    for (const CommandDef &def : kCommands)
        commands.push_back({with_arg(def.name, def.args), expand(def.summary)});
    append_rows(out, commands);
    const std::vector<Row> settings = option_rows(Section::settings);
    const std::vector<Row> other = option_rows(Section::other);
    const std::size_t width = std::max(label_width(settings), label_width(other));
    out += "\nServer settings (a secret is never an argument: others can read those):\n";
    append_rows(out, settings, width);
    out += "\nOther options:\n";
    append_rows(out, other, width);
    out += '\n';
    out += kOverviewTail;
    return out;
}

std::string command_help(const CommandDef &command) {
    std::vector<Row> rows = option_rows(Section::own, command.name);
    const bool demo = command.id == Command::demo;
    for (const OptionDef &def : kOptions) {
        if (demo && !def.serve_help.empty())
            rows.push_back({label_of(def), expand(def.serve_help)});
    }
    std::string out = "Usage: kojelly ";
    out += with_arg(command.name, command.args);
    // Options that do not fit the line continue below the first one.
    const std::size_t indent = out.size() + 1;
    std::size_t line_start = 0;
    const auto add = [&](std::string_view piece) {
        if (out.size() - line_start + 1 + piece.size() > kHelpWidth) {
            out += '\n';
            line_start = out.size();
            out.append(indent, ' ');
        } else {
            out += ' ';
        }
        out += piece;
    };
    for (const Row &row : rows) add("[" + row.label + "]");
    add("[OPTIONS]");
    out += "\n\n";
    out += expand(command.about);
    out += "\n\n";
    if (!command.json.empty()) rows.push_back({"--json", expand(command.json)});
    append_rows(out, rows);
    // The overview's options that reach this command, unless they all do.
    std::vector<std::string_view> shared;
    bool all = true;
    for (const OptionDef &def : kOptions) {
        if (def.section != Section::settings && def.section != Section::other) continue;
        if (demo && !def.serve_help.empty()) continue;  // listed above, with their own help
        if (applies(def, command.name)) {
            shared.push_back(def.name);
        } else {
            all = false;
        }
    }
    out += '\n';
    if (all) {
        out += "Server settings and other options: kojelly --help.\n";
        return out;
    }
    std::string note;
    for (std::size_t i = 0; i < shared.size(); ++i) {
        if (i > 0) note += i + 1 == shared.size() ? " and " : ", ";
        note += shared[i];
    }
    note += " apply as for the other commands (kojelly --help).";
    append_wrapped(out, note);
    return out;
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
    std::string name;  // the command as typed
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (options_end || arg.size() < 2 || arg[0] != '-') {
            if (name.empty())
                name = arg;
            else
                o.args.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        const auto eq = arg.find('=');
        const std::string_view option = arg.substr(0, eq);
        const OptionDef *def = find_option(option);
        if (!def) {
            error = "unknown option " + std::string(option);
            return false;
        }
        if (def->section == Section::refused) {
            error = std::string(option) +
                    " does not exist: a secret on the command line is visible to every user of "
                    "this machine; use --password-stdin, --password-env, --api-key-env or "
                    "--settings";
            return false;
        }
        std::string value;
        if (!def->arg.empty()) {
            if (eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = std::string(option) + " wants a value";
                return false;
            }
        } else if (eq != std::string_view::npos) {
            error = std::string(option) + " takes no value";
            return false;
        }
        given.emplace_back(def, std::move(value));
    }
    if (name == "help") {
        o.help = true;
        name = o.args.empty() ? "" : o.args.front();
        o.args.clear();
    }
    const CommandDef *command = name.empty() ? nullptr : find_command(name);
    if (!name.empty() && !command) {
        error = "unknown command " + name;
        return false;
    }
    if (command) o.command = command->id;
    for (const auto &[def, value] : given) {
        if (!applies(*def, name)) {
            error = std::string(def->name) + " does not apply to " + name;
            return false;
        }
        if (!def->set(o, value, *def)) {
            error = std::string(def->name) + " wants " + std::string(def->wants);
            if (def->max > def->min)
                error += " from " + std::to_string(def->min) + " to " + std::to_string(def->max);
            return false;
        }
    }
    if (o.help || o.version) return true;
    if (!command) {
        error = "no command given";
        return false;
    }
    if (o.args.size() < command->min_args || o.args.size() > command->max_args) {
        error = "wrong number of arguments for " + name;
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
    if ((!o.media.empty() || o.stream_auth) && !o.serve) {
        error = "--media and --stream-auth apply to demo --serve only";
        return false;
    }
    if (o.command == Command::demo && !o.serve &&
        (!o.settings.password_env.empty() || !o.settings.api_key_env.empty())) {
        error = "--password-env and --api-key-env apply to demo with --serve only";
        return false;
    }
    return true;
}

std::string help_text(Command command) {
    for (const CommandDef &def : kCommands) {
        if (def.id == command && command != Command::none && !def.about.empty())
            return command_help(def);
    }
    return overview();
}

}  // namespace kojelly::cli
