// The URL normaliser over any address text: it either refuses with a message, or yields a base
// URL of the normalised shape that is its own normal form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base_url.hpp"
#include "fuzz_check.hpp"
#include "request/kojelly_cfg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    char msg[256] = {};
    char *url = kojelly_norm_base(text.c_str(), msg, sizeof msg);
    if (url) {
        fuzz::check_base_url(url);
        // User information never survives, whatever the text held.
        const std::string_view u = url;
        fuzz::check(u.find('@') == std::string_view::npos, "no user information");
    } else {
        fuzz::check(std::string(msg).rfind("FullUrl", 0) == 0, "a refusal names FullUrl");
    }
    std::free(url);
    return 0;
}
