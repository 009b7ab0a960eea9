// Settings of the kojelly tool; see settings.hpp.
#include "settings.hpp"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <yyjson.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "kojelly_owned.hpp"
#include "tessel_http.h"
#include "text.hpp"

namespace kojelly::cli {
namespace {

// The plug-in refuses larger settings; reading more would only delay that answer.
constexpr std::size_t kMaxSettingsBytes = 1048576;
constexpr std::size_t kDeviceIdDigestBytes = 8;
constexpr mode_t kGroupOrOtherBits = 077;

using Doc = Handle<yyjson_doc, yyjson_doc_free>;

void append_value(std::string &out, yyjson_val *v) {
    switch (yyjson_get_type(v)) {
        case YYJSON_TYPE_NULL:
            out += "null";
            break;
        case YYJSON_TYPE_BOOL:
            out += yyjson_get_bool(v) ? "true" : "false";
            break;
        case YYJSON_TYPE_STR:
            append_json_string(out, std::string_view(yyjson_get_str(v), yyjson_get_len(v)));
            break;
        case YYJSON_TYPE_NUM: {
            std::array<char, 40> text{};
            if (yyjson_is_uint(v)) {
                std::snprintf(text.data(), text.size(), "%" PRIu64, yyjson_get_uint(v));
            } else if (yyjson_is_sint(v)) {
                std::snprintf(text.data(), text.size(), "%" PRId64, yyjson_get_sint(v));
            } else {
                std::snprintf(text.data(), text.size(), "%.17g", yyjson_get_real(v));
            }
            out += text.data();
            break;
        }
        case YYJSON_TYPE_ARR: {
            out += '[';
            std::size_t idx = 0;
            std::size_t max = 0;
            yyjson_val *item = nullptr;
            yyjson_arr_foreach(v, idx, max, item) {
                if (idx > 0) out += ',';
                append_value(out, item);
            }
            out += ']';
            break;
        }
        case YYJSON_TYPE_OBJ: {
            out += '{';
            std::size_t idx = 0;
            std::size_t max = 0;
            yyjson_val *key = nullptr;
            yyjson_val *val = nullptr;
            yyjson_obj_foreach(v, idx, max, key, val) {
                if (idx > 0) out += ',';
                append_value(out, key);
                out += ':';
                append_value(out, val);
            }
            out += '}';
            break;
        }
        default:
            out += "null";
    }
}

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
    const bool tty = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (tty) {
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
    }
    password.clear();
    int c = 0;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') password += static_cast<char>(c);
    const bool got = c == '\n' || !password.empty();
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::fputc('\n', stderr);
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
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

void warn_if_exposed(const std::string &path, yyjson_val *root) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || (st.st_mode & kGroupOrOtherBits) == 0) return;
    if (yyjson_obj_get(root, "Password") || yyjson_obj_get(root, "APIKey")) {
        std::fprintf(stderr,
                     "kojelly: warning: %s holds a secret and is readable by others "
                     "(chmod 600 it)\n",
                     printable(path).c_str());
    }
}

}  // namespace

SettingsStatus build_settings(const SettingsInput &in, std::string &json, std::string &error) {
    std::vector<std::pair<std::string, std::string>> set;  // key, JSON value
    if (in.server) set.emplace_back("FullUrl", json_string(*in.server));
    if (in.user) set.emplace_back("UserName", json_string(*in.user));
    std::string secret;
    if (in.password_stdin) {
        if (!read_password(secret, error)) return SettingsStatus::bad_input;
        set.emplace_back("Password", json_string(secret));
    } else if (!in.password_env.empty()) {
        if (!from_env("--password-env", in.password_env, secret, error))
            return SettingsStatus::bad_input;
        set.emplace_back("Password", json_string(secret));
    }
    if (!in.api_key_env.empty()) {
        if (!from_env("--api-key-env", in.api_key_env, secret, error))
            return SettingsStatus::bad_input;
        set.emplace_back("APIKey", json_string(secret));
    }
    if (in.device_id) set.emplace_back("DeviceId", json_string(*in.device_id));

    std::set<std::string> overridden;
    for (const auto &[key, value] : set) overridden.insert(key);
    json = "{";
    bool has_device = in.device_id.has_value();
    if (!in.file.empty()) {
        std::string text;
        if (!read_file(in.file, text, error)) return SettingsStatus::bad_file;
        Doc doc(yyjson_read_opts(text.data(), text.size(), 0, nullptr, nullptr));
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        if (!yyjson_is_obj(root)) {
            error = "the settings file " + in.file + " does not hold a JSON object";
            return SettingsStatus::bad_file;
        }
        warn_if_exposed(in.file, root);
        std::size_t idx = 0;
        std::size_t max = 0;
        yyjson_val *key = nullptr;
        yyjson_val *val = nullptr;
        yyjson_obj_foreach(root, idx, max, key, val) {
            const std::string name(yyjson_get_str(key), yyjson_get_len(key));
            if (overridden.count(name)) continue;
            has_device = has_device || name == "DeviceId";
            if (json.size() > 1) json += ',';
            append_value(json, key);
            json += ':';
            append_value(json, val);
        }
    }
    if (!has_device) set.emplace_back("DeviceId", json_string(stable_device_id()));
    for (const auto &[key, value] : set) {
        if (json.size() > 1) json += ',';
        append_json_string(json, key);
        json += ':';
        json += value;
    }
    json += '}';
    return SettingsStatus::ok;
}

std::string stable_device_id() {
    std::string seed;
    for (const char *path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        if (in && std::getline(in, seed) && !seed.empty()) break;
        seed.clear();
    }
    if (seed.empty()) {
        std::array<char, 256> host{};
        if (gethostname(host.data(), host.size() - 1) == 0) seed = host.data();
    }
    seed += ":" + std::to_string(getuid());
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
