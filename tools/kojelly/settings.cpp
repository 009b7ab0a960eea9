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
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host_system.hpp"
#include "json_writer.hpp"
#include "owned.hpp"
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

// The members that name the server's address; the plug-in reads the first one present.
constexpr std::array<std::string_view, 3> kAddressMembers = {"FullUrl", "ServerUrl", "HostName"};
// The members that the plug-in reads (its settings parser); it ignores every other one.
constexpr std::array<std::string_view, 12> kPluginMembers = {
    "FullUrl",  "ServerUrl", "HostName", "ServerPort", "UseHttps",      "UserName",
    "Password", "APIKey",    "ID",       "DeviceId",   "ParallelPages", "RuntimeType"};
// Names longer than this are neither compared nor quoted whole: no member is that long.
constexpr std::size_t kMaxComparedName = 64;
constexpr std::size_t kMostEdits = 2;

// Edits (a byte inserted, removed, replaced, or two neighbours swapped) that turn a into b,
// letters compared without case; the strings are short, so the whole table is kept.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    const std::string x = lower(a);
    const std::string y = lower(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t replace = d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[x.size()][y.size()];
}

bool is_plugin_member(std::string_view name) {
    return std::find(kPluginMembers.begin(), kPluginMembers.end(), name) != kPluginMembers.end();
}

// Whether the object has the member as the plug-in reads it: a text, a number or a boolean.
bool has_value(yyjson_val *root, std::string_view name) {
    yyjson_val *v = yyjson_obj_getn(root, name.data(), name.size());
    return yyjson_is_str(v) || yyjson_is_num(v) || yyjson_is_bool(v);
}

// Calls visit(name, key, value) for each member of the object root (null: none), in order,
// until it returns false; false when it did. Only the root's own members are visited, never what
// they hold, so no nesting depth in a file can exhaust the stack here.
template <typename Visit>
bool each_member(yyjson_val *root, Visit visit) {
    std::size_t idx = 0;
    std::size_t max = 0;
    yyjson_val *key = nullptr;
    yyjson_val *val = nullptr;
    yyjson_obj_foreach(root, idx, max, key, val) {
        if (!visit(std::string_view(yyjson_get_str(key), yyjson_get_len(key)), key, val))
            return false;
    }
    return true;
}

// The warnings about the file's members that the plug-in does not read.
void warn_of_unread_members(yyjson_val *root, const std::string &file) {
    (void)each_member(root, [&file](std::string_view name, yyjson_val *, yyjson_val *) {
        if (is_plugin_member(name)) return true;
        const std::string_view near = nearest_settings_member(name);
        const std::string guess =
            near.empty() ? "" : " (did you mean \"" + std::string(near) + "\"?)";
        std::fprintf(stderr,
                     "kojelly: warning: the settings file %s: \"%s\" is not a setting the "
                     "plug-in reads, so it is ignored%s\n",
                     printable(file).c_str(), printable(fit(name, kMaxComparedName)).c_str(),
                     guess.c_str());
        return true;
    });
}

// The file's text as a JSON object, or bad_file with a message that quotes nothing of it (the
// text may hold a password): for a syntax error, where it is and what yyjson says is wrong.
SettingsStatus read_object(std::string_view text, const std::string &file, Doc &doc,
                           std::string &error) {
    yyjson_read_err err{};
    // Without YYJSON_READ_INSITU the text is only read.
    doc.reset(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, &err));
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
            error = "the settings file " + printable(file) + " cannot be read: out of memory";
            return SettingsStatus::bad_file;
        }
        error = "the settings file " + printable(file) + " is not valid JSON";
        std::size_t line = 0;
        std::size_t column = 0;
        std::size_t character = 0;
        if (yyjson_locate_pos(text.data(), text.size(), err.pos, &line, &column, &character))
            error += " at line " + std::to_string(line) + ", column " + std::to_string(column);
        if (err.msg) error += std::string(": ") + err.msg;
        return SettingsStatus::bad_file;
    }
    if (!yyjson_is_obj(yyjson_doc_get_root(doc.get()))) {
        error = "the settings file " + printable(file) + " does not hold a JSON object";
        return SettingsStatus::bad_file;
    }
    return SettingsStatus::ok;
}

// An empty text when the options and the file's object (root; null for no file) name an address
// and a credential, else what is missing, in the options' words.
std::string missing_server_settings(const SettingsInput &in, yyjson_val *root) {
    const std::string in_file =
        in.file.empty() ? std::string() : " in the settings file " + printable(in.file);
    const bool address =
        in.server || std::any_of(kAddressMembers.begin(), kAddressMembers.end(),
                                 [root](std::string_view name) { return has_value(root, name); });
    if (!address) {
        if (in.file.empty())
            return "--server URL is required: the server's address, e.g. --server "
                   "http://192.168.1.20:8096";
        return "--server URL is required (or FullUrl" + in_file + ")";
    }
    const bool credential = in.user || !in.api_key_env.empty() || has_value(root, "UserName") ||
                            has_value(root, "APIKey");
    if (!credential) {
        std::string message =
            "credentials are required: --user NAME with --password-stdin or --password-env VAR, "
            "or an API key with --api-key-env VAR";
        if (!in.file.empty()) message += " (or UserName and Password, or APIKey," + in_file + ")";
        return message;
    }
    return {};
}

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
    // What the root's members hold is copied by yyjson without recursion, so no nesting depth in
    // the file can exhaust the stack.
    const bool copied =
        each_member(root, [&](std::string_view name, yyjson_val *key, yyjson_val *val) {
            if (is_given(name)) return true;
            const auto address = std::find(kAddressMembers.begin(), kAddressMembers.end(), name);
            if (address != kAddressMembers.end() && yyjson_is_str(val) &&
                has_user_info(std::string_view(yyjson_get_str(val), yyjson_get_len(val)))) {
                error = "the settings file " + file + ": " + std::string(*address) +
                        " must not name a user or password (user:password@host); put them in "
                        "UserName and Password, or an API key in APIKey";
                return false;
            }
            has_device = has_device || name == "DeviceId";
            has_parallel = has_parallel || name == "ParallelPages";
            settings.copy(key, val);
            return true;
        });
    if (!copied) return SettingsStatus::bad_file;
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

bool secret_from_env(const std::string &flag, const std::string &name, std::string &value,
                     std::string &error) {
    const char *text = std::getenv(name.c_str());
    if (!text) {
        error = flag + ": the environment variable " + name + " is not set";
        return false;
    }
    value = text;
    return true;
}

std::string_view nearest_settings_member(std::string_view name) {
    if (is_plugin_member(name) || name.size() > kMaxComparedName) return {};
    for (const std::string_view member : kPluginMembers) {
        if (iequals(member, name)) return member;
    }
    std::string_view nearest;
    std::size_t fewest = kMostEdits + 1;
    for (const std::string_view member : kPluginMembers) {
        const std::size_t edits = edit_distance(name, member);
        if (edits < fewest) {
            fewest = edits;
            nearest = member;
        }
    }
    // A short name is near almost anything: "IP" is one edit from "ID".
    return fewest <= kMostEdits && 2 * fewest < name.size() ? nearest : std::string_view();
}

SettingsStatus settings_from_text(std::string_view text, const std::string &file,
                                  std::vector<SettingsMember> given, std::string &json,
                                  std::string &error, bool *holds_secret) {
    Doc doc;
    if (const SettingsStatus status = read_object(text, file, doc, error);
        status != SettingsStatus::ok)
        return status;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
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
    // The file first, so that what is missing is said before a password is asked for.
    Doc doc;
    yyjson_val *root = nullptr;
    if (!in.file.empty()) {
        std::string text;
        if (!read_file(in.file, text, error)) return SettingsStatus::bad_file;
        if (const SettingsStatus status = read_object(text, in.file, doc, error);
            status != SettingsStatus::ok)
            return status;
        root = yyjson_doc_get_root(doc.get());
        if (yyjson_obj_get(root, "Password") || yyjson_obj_get(root, "APIKey"))
            warn_if_exposed(in.file);
        warn_of_unread_members(root, in.file);
    }
    if (in.server_needed) {
        error = missing_server_settings(in, root);
        if (!error.empty()) return SettingsStatus::bad_input;
    }

    std::vector<SettingsMember> given;
    if (in.server) given.emplace_back("FullUrl", *in.server);
    if (in.user) given.emplace_back("UserName", *in.user);
    std::string secret;
    if (in.password_stdin) {
        if (!read_password(secret, error)) return SettingsStatus::bad_input;
        given.emplace_back("Password", secret);
    } else if (!in.password_env.empty()) {
        if (!secret_from_env("--password-env", in.password_env, secret, error))
            return SettingsStatus::bad_input;
        given.emplace_back("Password", secret);
    }
    if (!in.api_key_env.empty()) {
        if (!secret_from_env("--api-key-env", in.api_key_env, secret, error))
            return SettingsStatus::bad_input;
        given.emplace_back("APIKey", secret);
    }
    if (in.device_id) given.emplace_back("DeviceId", *in.device_id);
    if (in.parallel_pages) given.emplace_back("ParallelPages", std::int64_t{*in.parallel_pages});
    return compose(root, in.file, std::move(given), json, error);
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
