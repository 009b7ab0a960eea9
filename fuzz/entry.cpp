// Entry JSON, the text a host passes to name the item of a stream request: the result is either
// an id of an id form, or -2 with a message and no id.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "wire/kojelly_wire.hpp"
#include "util/kojelly_msg.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string entry = fuzz::text_of(data, size);
    char *id = nullptr;
    kojelly::Error err;
    const int rc = kojelly_entry_id(entry.c_str(), &id, err);
    if (rc == 0) {
        fuzz::check(id && kojelly_id_ok(id), "an entry names an id of an id form");
    } else {
        fuzz::check(rc == KOJELLY_ENOTFOUND && !id && err.msg[0], "-2, a message and no id");
    }
    std::free(id);
    return 0;
}
