// Settings of the kojelly tool; see settings.hpp.
#include "settings.hpp"

#include <yyjson.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host_system.hpp"
#include "json_writer.hpp"
#include "kojelly_owned.hpp"
#include "terminal.hpp"
#include "tessel_http.h"
#include "text.hpp"

namespace kojelly::cli {
namespace {

// The plug-in refuses larger settings; reading more would only delay that answer.
constexpr std::size_t kMaxSettingsBytes = 1048576;
constexpr std::size_t kDeviceIdDigestBytes = 8;

using Doc = Handle<yyjson_doc, yyjson_doc_free>;

bool read_file(const std::string &path, std::string &text, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the settings file " + path;
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (text.size() > kMaxSettingsBytes) {
        error = "the settings file " + path + " is larger than 1 MiB";
        return false;
    }
    return true;
}

// Reads one line from standard input; with a terminal there, asks for it without echo.
bool read_password(std::string &password, std::string &error) {
    const bool tty = stdin_is_terminal();
    bool got = false;
    {
        std::optional<QuietInput> quiet;
        if (tty) {
            quiet.emplace();
            std::fputs("Password: ", stderr);
            std::fflush(stderr);
        }
        got = read_input_line(password);
    }
    if (tty) std::fputc('\n', stderr);
    if (!got) error = "--password-stdin: standard input holds no password";
    return got;
}

bool from_env(const std::string &flag, const std::string &name, std::string &value,
              std::string &error) {
    const char *text = std::getenv(name.c_str());
    if (!text) {
        error = flag + ": the environment variable " + name + " is not set";
        return false;
    }
    value = text;
    return true;
}

// The members that name the server's address; the plug-in reads the first one present.
constexpr std::array<std::string_view, 3> kAddressMembers = {"FullUrl", "ServerUrl", "HostName"};

// Whether an address names a user, with or without a password ("user:password@host", the scheme
// optional as the plug-in takes a bare host too). The plug-in drops them without a word, so the
// login the user meant never happens; and a command line is readable by every user.
bool has_user_info(std::string_view address) {
    address = trim(address);
    const auto mark = address.find("://");
    if (mark != std::string_view::npos &&
        address.substr(0, mark).find_first_of("/?#@") == std::string_view::npos) {
        address.remove_prefix(mark + 3);
    } else if (address.starts_with("//")) {
        address.remove_prefix(2);
    }
    return address.substr(0, address.find_first_of("/?#")).find('@') != std::string_view::npos;
}

void warn_if_exposed(const std::string &path) {
    if (!readable_by_others(path)) return;
    std::fprintf(stderr,
                 "kojelly: warning: %s holds a secret and is readable by others "
                 "(chmod 600 it)\n",
                 printable(path).c_str());
}

// The settings JSON from the members of a settings file's object (root; null for no file) and
// the given ones; see settings_from_text.
SettingsStatus compose(yyjson_val *root, const std::string &file, std::vector<SettingsMember> given,
                       std::string &json, std::string &error) {
    const auto is_given = [&given](std::string_view name) {
        return std::any_of(given.begin(), given.end(),
                           [name](const SettingsMember &member) { return name == member.name; });
    };
    const JsonDocument doc;
    const JsonObject settings = doc.root();
    bool has_device = is_given("DeviceId");
    bool has_parallel = is_given("ParallelPages");
    // Only the root's own members are visited; what they hold is copied by yyjson without
    // recursion, so no nesting depth in the file can exhaust the stack.
    std::size_t idx = 0;
    std::size_t max = 0;
    yyjson_val *key = nullptr;
    yyjson_val *val = nullptr;
    yyjson_obj_foreach(root, idx, max, key, val) {
        const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
        if (is_given(name)) continue;
        const auto address = std::find(kAddressMembers.begin(), kAddressMembers.end(), name);
        if (address != kAddressMembers.end() && yyjson_is_str(val) &&
            has_user_info(std::string_view(yyjson_get_str(val), yyjson_get_len(val)))) {
            error = "the settings file " + file + ": " + std::string(*address) +
                    " must not name a user or password (user:password@host); put them in "
                    "UserName and Password, or an API key in APIKey";
            return SettingsStatus::bad_file;
        }
        has_device = has_device || name == "DeviceId";
        has_parallel = has_parallel || name == "ParallelPages";
        settings.copy(key, val);
    }
    if (!has_device) given.emplace_back("DeviceId", stable_device_id());
    if (!has_parallel) given.emplace_back("ParallelPages", std::int64_t{kDefaultParallelPages});
    for (const SettingsMember &member : given) {
        if (const auto *text = std::get_if<std::string>(&member.value)) {
            settings.str(member.name, *text);
        } else {
            settings.num(member.name, std::get<std::int64_t>(member.value));
        }
    }
    json = doc.text();
    return SettingsStatus::ok;
}

}  // namespace

SettingsStatus settings_from_text(std::string_view text, const std::string &file,
                                  std::vector<SettingsMember> given, std::string &json,
                                  std::string &error, bool *holds_secret) {
    const Doc doc(yyjson_read(text.data(), text.size(), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        error = "the settings file " + file + " does not hold a JSON object";
        return SettingsStatus::bad_file;
    }
    if (holds_secret)
        *holds_secret = yyjson_obj_get(root, "Password") || yyjson_obj_get(root, "APIKey");
    return compose(root, file, std::move(given), json, error);
}

SettingsStatus build_settings(const SettingsInput &in, std::string &json, std::string &error) {
    // Refused before a password is asked for. The message leaves the address out: it holds a
    // secret.
    if (in.server && has_user_info(*in.server)) {
        error =
            "--server must not name a user or password (user:password@host), as every user of "
            "this machine can read a command line: give the user with --user and the password "
            "with --password-stdin or --password-env, an API key with --api-key-env, or put "
            "them in a settings file (--settings)";
        return SettingsStatus::bad_input;
    }
    std::vector<SettingsMember> given;
    if (in.server) given.emplace_back("FullUrl", *in.server);
    if (in.user) given.emplace_back("UserName", *in.user);
    std::string secret;
    if (in.password_stdin) {
        if (!read_password(secret, error)) return SettingsStatus::bad_input;
        given.emplace_back("Password", secret);
    } else if (!in.password_env.empty()) {
        if (!from_env("--password-env", in.password_env, secret, error))
            return SettingsStatus::bad_input;
        given.emplace_back("Password", secret);
    }
    if (!in.api_key_env.empty()) {
        if (!from_env("--api-key-env", in.api_key_env, secret, error))
            return SettingsStatus::bad_input;
        given.emplace_back("APIKey", secret);
    }
    if (in.device_id) given.emplace_back("DeviceId", *in.device_id);
    if (in.parallel_pages) given.emplace_back("ParallelPages", std::int64_t{*in.parallel_pages});

    if (in.file.empty()) return compose(nullptr, in.file, std::move(given), json, error);
    std::string text;
    if (!read_file(in.file, text, error)) return SettingsStatus::bad_file;
    bool holds_secret = false;
    const SettingsStatus status =
        settings_from_text(text, in.file, std::move(given), json, error, &holds_secret);
    if (holds_secret) warn_if_exposed(in.file);
    return status;
}

std::string stable_device_id() {
    const std::string seed = machine_and_user();
    std::array<unsigned char, 16> digest{};
    tessel_md5(seed.data(), seed.size(), digest.data());
    std::string id = "kojelly-cli-";
    std::array<char, 3> hex{};
    for (std::size_t i = 0; i < kDeviceIdDigestBytes; ++i) {
        std::snprintf(hex.data(), hex.size(), "%02x", digest[i]);
        id += hex.data();
    }
    return id;
}

}  // namespace kojelly::cli
