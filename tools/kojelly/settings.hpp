// Where the kojelly tool's server settings come from and how they become the settings JSON that
// every plug-in call carries. Secrets never come from the command line: the password is read
// from standard input or an environment variable, the API key from an environment variable, or
// both from a settings file (the plug-in's own JSON object). Flags override the file's members.
// Without a DeviceId the tool supplies one that is stable for this machine and user, so that a
// server does not list a new device for every run; without ParallelPages it asks the plug-in to
// fetch up to kDefaultParallelPages pages of a folder at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kojelly::cli {

// Pages of a folder the plug-in may fetch at once ("ParallelPages"). The plug-in's own default
// is one page after another; the tool's transport runs requests on any number of threads, so
// it asks for a few at once and a large folder on a distant server waits for a quarter of the
// round trips.
constexpr int kDefaultParallelPages = 4;
constexpr int kMaxParallelPages = 16;

struct SettingsInput {
    std::string file;  // --settings
    std::optional<std::string> server;
    std::optional<std::string> user;
    std::optional<std::string> device_id;
    std::optional<int> parallel_pages;  // --parallel
    bool password_stdin = false;
    std::string password_env;  // variable name
    std::string api_key_env;   // variable name
    // The command talks to a server: the settings must name an address and a credential (a
    // user or an API key), which is checked before a password is read.
    bool server_needed = false;
};

enum class SettingsStatus {
    ok,
    bad_input,  // a variable not set, no password on standard input, a user in --server
    bad_file,   // the settings file cannot be read, holds no JSON object, or a user in an address
};

// The settings JSON object text, or the failure with a message for the user: bad_input, naming
// the options, when server_needed and neither the options nor the file give an address or a
// credential. Warns on stderr of each member of the file that the plug-in does not read (naming
// the member it is nearest to) and of a file holding a secret that others can read.
[[nodiscard]] SettingsStatus build_settings(const SettingsInput &in, std::string &json,
                                            std::string &error);

// The value of the environment variable name into value; false with a message that names the
// option (flag) and the variable when it is not set.
[[nodiscard]] bool secret_from_env(const std::string &flag, const std::string &name,
                                   std::string &value, std::string &error);

// The settings member that the plug-in reads and that name most likely meant: the one equal to
// it but for case, else the nearest within a small edit distance. Empty when name is a member
// the plug-in reads, or when no member is near.
std::string_view nearest_settings_member(std::string_view name);

// A member of the settings JSON that an option gives: its name (a string literal) and value, a
// text or a whole number.
struct SettingsMember {
    SettingsMember(const char *member, std::string text) : name(member), value(std::move(text)) {}
    SettingsMember(const char *member, std::int64_t number) : name(member), value(number) {}

    const char *name;
    std::variant<std::string, std::int64_t> value;
};

// The settings JSON from a settings file's text and the members that options give: the file's
// members in their order, but for those named in given, then given in its order, then the
// stable DeviceId when neither has one, then ParallelPages kDefaultParallelPages when neither
// has that. bad_file with a message that names file but quotes
// nothing of the text when the text is not a JSON object (for a syntax error, with the line and
// column and what is wrong there) or an address in it (FullUrl, ServerUrl, HostName) names a
// user; json is then left alone. When the text holds an object and
// holds_secret is not null, *holds_secret tells whether it has a Password or an APIKey member,
// even when the file is refused. Reads no file: only the machine id, for a DeviceId.
[[nodiscard]] SettingsStatus settings_from_text(std::string_view text, const std::string &file,
                                                std::vector<SettingsMember> given,
                                                std::string &json, std::string &error,
                                                bool *holds_secret = nullptr);

// "kojelly-cli-" and 16 hex digits derived from the machine id and the user id.
std::string stable_device_id();

}  // namespace kojelly::cli
