// Settings JSON: every text a host may pass as settings, with and without the need for
// credentials. A parse either fails with -8, a message and an empty record, or yields a record
// whose base URL has the normalised shape, whose device id can travel in the Authorization
// header, and whose trimmed fields are trimmed.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base_url.hpp"
#include "fuzz_check.hpp"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_msg.hpp"

namespace {

constexpr size_t kMaxDeviceId = 64;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void check_trimmed(const char *field) {
    if (!field || !*field) return;
    const std::string_view f = field;
    fuzz::check(!blank(f.front()) && !blank(f.back()), "a trimmed field has no outer blanks");
}

void check_device_id(std::string_view id) {
    fuzz::check(!id.empty() && id.size() <= kMaxDeviceId, "a device id of 1 to 64 bytes");
    for (const char c : id) {
        const auto b = static_cast<unsigned char>(c);
        fuzz::check(b >= 0x20 && b != 0x7F && c != '"' && c != ',' && c != '\\',
                    "no byte that would break the quoted header value");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    for (const int need_credentials : {0, 1}) {
        kojelly_cfg cfg{};
        kojelly::Error err;
        const int rc = kojelly_cfg_parse(text.c_str(), need_credentials, &cfg, err);
        if (rc == 0) {
            fuzz::check(cfg.base_url && cfg.password && cfg.device_id, "the fields always set");
            fuzz::check_base_url(cfg.base_url);
            check_device_id(cfg.device_id);
            check_trimmed(cfg.user_name);
            check_trimmed(cfg.api_key);
            check_trimmed(cfg.server_id);
            if (need_credentials) fuzz::check(cfg.api_key || cfg.user_name, "credentials");
        } else {
            fuzz::check(rc == -8, "a failed parse gives -8");
            fuzz::check(err.msg[0] != '\0', "a failed parse says why");
            fuzz::check(!cfg.base_url && !cfg.user_name && !cfg.password && !cfg.api_key &&
                            !cfg.server_id && !cfg.device_id,
                        "a failed parse leaves an empty record");
        }
        kojelly_cfg_free(&cfg);
    }
    return 0;
}
