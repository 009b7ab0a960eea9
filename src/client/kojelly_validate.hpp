// Server validation: is the configured address a Jellyfin or Emby server, are the credentials
// accepted, and what are the server's canonical address and identity. It always checks afresh,
// without a session or a cached token; a successful login is cached all the same for the
// requests that follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kojelly.h"
#include "tessel_http.h"
#include "util/kojelly_buf.hpp"

struct kojelly_cfg;

// Checks the server (GET /System/Info/Public without a token), then the credentials (the API
// key on /System/Info, or a login), and writes {"FullUrl","ID","ServerName","ServerVersion"}
// into answer; "ID" only when server_id is NULL or empty. 0, or a status code with one line in
// msg.
[[nodiscard]] int32_t kojelly_do_validate(const tessel_http *const *transport,
                                          const kojelly_cfg *cfg, const char *server_id,
                                          kojelly_buf *answer, char *msg, size_t msg_size);
