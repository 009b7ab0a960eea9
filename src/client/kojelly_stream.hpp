// Stream URL: resolves an entry that names a playable item into the static stream URL, the
// Authorization header that the host must send with it, and a few facts about the file. The item
// is looked up first (it must exist and not be a folder), then its playback information is read.
// The library never fetches the stream itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"

struct kojelly_sess;

namespace kojelly {

// The stream operation of the request driver: arg is the item id taken from the entry.
[[nodiscard]] int32_t op_stream(kojelly_sess *sess, const char *id, kojelly_buf *answer, char *msg,
                                size_t msg_size);

}  // namespace kojelly

// Writes the stream answer of the item id into answer. 0, or a status code with one line in msg.
[[nodiscard]] int32_t kojelly_do_stream(kojelly_sess *sess, const char *id, kojelly_buf *answer,
                                        char *msg, size_t msg_size);

// The stream URL handler: arg is the entry JSON. Bad settings are reported before a bad entry.
int32_t h_stream_url(const tessel_io *io, const char *settings, const char *arg, char *out,
                     int32_t out_len) noexcept;
