// The small server answers, each body given to all three parsers: the login answer (a token of
// the plain alphabet that headers and URLs can carry unescaped, and a user id of an id form),
// the public server information (id and version present) and the playback information (a
// source count and a size of -1 or more). A refusal is -5 with a message and empty outputs. The
// first bytes also go through the status mapping, which knows only the library's codes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fuzz_check.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "wire/kojelly_wire.hpp"
#include "util/kojelly_msg.hpp"

namespace {

bool token_byte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

void check_status_mapping(const uint8_t *data, size_t size) {
    int32_t status = 0;
    std::memcpy(&status, data, std::min(size, sizeof status));
    for (const int missing : {KOJELLY_ENOTFOUND, KOJELLY_ETRANSPORT, KOJELLY_EFAIL}) {
        const int code = kojelly_map_status(status, missing);
        fuzz::check(code == KOJELLY_OK || code == KOJELLY_EAUTH || code == KOJELLY_ETHROTTLED ||
                        code == KOJELLY_ETRANSPORT || code == KOJELLY_EFAIL || code == missing,
                    "a status maps to a library code");
        fuzz::check((code == KOJELLY_OK) == (status >= 200 && status <= 299),
                    "exactly 2xx is a success");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    kojelly::Error err;

    char *token = nullptr;
    char *user_id = nullptr;
    if (kojelly_parse_auth(body, size, &token, &user_id, err) == 0) {
        fuzz::check(token && *token, "a login gives a token");
        const std::string_view t = token ? token : "";
        fuzz::check(std::all_of(t.begin(), t.end(), token_byte), "a token of the plain alphabet");
        fuzz::check(user_id && kojelly_id_ok(user_id), "a login gives a user id of an id form");
    } else {
        fuzz::check(!token && !user_id && err.msg[0], "a refused login leaves nothing behind");
    }
    std::free(token);
    std::free(user_id);

    err = kojelly::Error{};
    kojelly_info info{};
    if (kojelly_parse_info(body, size, &info, err) == 0) {
        fuzz::check(info.id && *info.id && info.version && *info.version, "id and version");
        fuzz::check(!info.server_name || *info.server_name, "a name is NULL or not empty");
    } else {
        fuzz::check(!info.id && !info.server_name && !info.version && err.msg[0],
                    "a refused answer leaves an empty record");
    }
    kojelly_info_free(&info);

    err = kojelly::Error{};
    kojelly_playback pb{};
    if (kojelly_parse_playback(body, size, &pb, err) == 0) {
        fuzz::check(pb.sources >= 0 && pb.size >= -1, "a source count and a size");
        fuzz::check(pb.sources > 0 || (pb.size == -1 && !pb.container && !pb.source_id),
                    "nothing is read without a source");
    } else {
        fuzz::check(pb.sources == 0 && pb.size == -1 && !pb.container && !pb.source_id && err.msg[0],
                    "a refused answer leaves the initial record");
    }
    kojelly_playback_free(&pb);

    check_status_mapping(data, size);
    return 0;
}
