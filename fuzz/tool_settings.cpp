// The kojelly tool's settings file reader (settings_from_text): any file text, with any of the
// options that may stand beside it. The reader either refuses the file as a bad file with a
// short message that names it and leaves the settings alone, or writes one JSON object: the
// file's members that no option replaced, unchanged and in their order, then the options'
// members in theirs, then a DeviceId and then a ParallelPages when neither had one, and no
// address that names a user. The first input byte's low six bits choose the options; the rest is
// the file.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.hpp"
#include "settings.hpp"
#include "support/json_doc.hpp"

namespace {

using kojelly::cli::SettingsMember;
using kojelly::cli::SettingsStatus;

constexpr const char *kFile = "settings.json";
// A refusal's message is made of fixed words and the file's name; one that grows with the file
// would be quoting it.
constexpr std::size_t kMaxMessage = 256;

std::vector<SettingsMember> options_of(uint8_t pick) {
    std::vector<SettingsMember> given;
    if (pick & 0x01) given.emplace_back("FullUrl", "http://127.0.0.1:8096");
    if (pick & 0x02) given.emplace_back("UserName", "fuzz-user");
    if (pick & 0x04) given.emplace_back("Password", "fuzz-password");
    if (pick & 0x08) given.emplace_back("APIKey", "fuzz-api-key");
    if (pick & 0x10) given.emplace_back("DeviceId", "fuzz-device");
    if (pick & 0x20) given.emplace_back("ParallelPages", std::int64_t{7});
    return given;
}

std::string_view str_of(yyjson_val *v) {
    return yyjson_is_str(v) ? std::string_view(yyjson_get_str(v), yyjson_get_len(v))
                            : std::string_view();
}

// A value as yyjson writes it, to compare a member of the file with its copy.
std::string written(yyjson_val *v) {
    std::size_t len = 0;
    char *text = yyjson_val_write(v, 0, &len);
    fuzz::check(text != nullptr, "a value read can be written");
    std::string out(text, len);
    std::free(text);
    return out;
}

bool is_address(std::string_view name) {
    return name == "FullUrl" || name == "ServerUrl" || name == "HostName";
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool scheme_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Whether a URL's authority holds user information: a '@' between the scheme's "://" (if it
// has a scheme of the URL grammar) and the first '/', '?' or '#'.
bool names_user(std::string_view url) {
    while (!url.empty() && blank(url.front())) url.remove_prefix(1);
    const auto mark = url.find("://");
    bool scheme = mark != std::string_view::npos && mark > 0;
    for (std::size_t i = 0; scheme && i < mark; ++i) scheme = scheme_char(url[i]);
    if (scheme) url.remove_prefix(mark + 3);
    return url.substr(0, url.find_first_of("/?#")).find('@') != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::vector<SettingsMember> given = options_of(data[0]);
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const std::string untouched = "untouched";
    std::string json = untouched;
    std::string error;
    bool holds_secret = false;
    const SettingsStatus status =
        kojelly::cli::settings_from_text(text, kFile, given, json, error, &holds_secret);

    const json_doc::Doc file = json_doc::read(text);
    yyjson_val *root = file ? yyjson_doc_get_root(file.get()) : nullptr;
    if (yyjson_is_obj(root)) {
        fuzz::check(holds_secret == (yyjson_obj_get(root, "Password") != nullptr ||
                                     yyjson_obj_get(root, "APIKey") != nullptr),
                    "holds_secret tells whether the file has a Password or an APIKey");
    }
    if (status != SettingsStatus::ok) {
        fuzz::check(status == SettingsStatus::bad_file, "a file is refused as a bad file");
        fuzz::check(json == untouched, "a refused file writes no settings");
        fuzz::check(error.find(kFile) != std::string::npos, "the refusal names the file");
        fuzz::check(error.size() < kMaxMessage, "the refusal quotes nothing of the file");
        return 0;
    }
    fuzz::check(yyjson_is_obj(root), "only a JSON object is read as settings");
    const json_doc::Doc out = json_doc::read(json);
    yyjson_val *settings = out ? yyjson_doc_get_root(out.get()) : nullptr;
    fuzz::check(yyjson_is_obj(settings), "the settings are one JSON object");

    const auto is_given = [&given](std::string_view name) {
        for (const SettingsMember &member : given) {
            if (name == member.name) return true;
        }
        return false;
    };
    bool device = is_given("DeviceId");
    bool parallel = is_given("ParallelPages");
    yyjson_obj_iter next = yyjson_obj_iter_with(settings);
    yyjson_obj_iter from_file = yyjson_obj_iter_with(root);
    while (yyjson_val *key = yyjson_obj_iter_next(&from_file)) {
        const std::string_view name = str_of(key);
        if (is_given(name)) continue;
        device = device || name == "DeviceId";
        parallel = parallel || name == "ParallelPages";
        yyjson_val *copy = yyjson_obj_iter_next(&next);
        fuzz::check(copy && str_of(copy) == name, "the file's members keep their order");
        yyjson_val *val = yyjson_obj_iter_get_val(key);
        fuzz::check(written(yyjson_obj_iter_get_val(copy)) == written(val),
                    "the file's members keep their values");
        if (is_address(name) && yyjson_is_str(val))
            fuzz::check(!names_user(str_of(val)), "no address that names a user is taken");
    }
    for (const SettingsMember &member : given) {
        yyjson_val *key = yyjson_obj_iter_next(&next);
        fuzz::check(key && str_of(key) == member.name, "the options' members follow the file's");
        yyjson_val *val = yyjson_obj_iter_get_val(key);
        const auto *text = std::get_if<std::string>(&member.value);
        fuzz::check(text ? str_of(val) == *text
                         : yyjson_is_int(val) &&
                               yyjson_get_sint(val) == std::get<std::int64_t>(member.value),
                    "the options' members keep their values, texts and numbers alike");
    }
    if (!device) {
        yyjson_val *key = yyjson_obj_iter_next(&next);
        fuzz::check(key && str_of(key) == "DeviceId" &&
                        str_of(yyjson_obj_iter_get_val(key)).starts_with("kojelly-cli-"),
                    "a DeviceId when neither the file nor an option has one");
    }
    if (!parallel) {
        yyjson_val *key = yyjson_obj_iter_next(&next);
        fuzz::check(key && str_of(key) == "ParallelPages" &&
                        yyjson_get_sint(yyjson_obj_iter_get_val(key)) ==
                            kojelly::cli::kDefaultParallelPages,
                    "the default ParallelPages when neither the file nor an option has one");
    }
    fuzz::check(yyjson_obj_iter_next(&next) == nullptr, "nothing else in the settings");
    return 0;
}
