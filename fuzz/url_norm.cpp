// The URL normaliser over any address text: it either refuses with a message, or yields a base
// URL of the normalised shape that is its own normal form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base_url.hpp"
#include "fuzz_check.hpp"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_msg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    kojelly::Error err;
    char *url = kojelly_norm_base(text.c_str(), err);
    if (url) {
        fuzz::check_base_url(url);
        // User information never survives, whatever the text held.
        const std::string_view u = url;
        fuzz::check(u.find('@') == std::string_view::npos, "no user information");
    } else {
        fuzz::check(std::string(err.msg).rfind("FullUrl", 0) == 0, "a refusal names FullUrl");
    }
    std::free(url);
    return 0;
}
