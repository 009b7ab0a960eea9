// Where the kojelly tool's server settings come from and how they become the settings JSON that
// every plug-in call carries. Secrets never come from the command line: the password is read
// from standard input or an environment variable, the API key from an environment variable, or
// both from a settings file (the plug-in's own JSON object). Flags override the file's members.
// Without a DeviceId the tool supplies one that is stable for this machine and user, so that a
// server does not list a new device for every run.
#pragma once

#include <optional>
#include <string>

namespace kojelly::cli {

struct SettingsInput {
    std::string file;  // --settings
    std::optional<std::string> server;
    std::optional<std::string> user;
    std::optional<std::string> device_id;
    bool password_stdin = false;
    std::string password_env;  // variable name
    std::string api_key_env;   // variable name
};

enum class SettingsStatus {
    ok,
    bad_input,  // a variable not set, no password on standard input, a user in --server
    bad_file,   // the settings file cannot be read, holds no JSON object, or a user in an address
};

// The settings JSON object text, or the failure with a message for the user.
[[nodiscard]] SettingsStatus build_settings(const SettingsInput &in, std::string &json,
                                            std::string &error);

// "kojelly-cli-" and 16 hex digits derived from the machine id and the user id.
std::string stable_device_id();

}  // namespace kojelly::cli
