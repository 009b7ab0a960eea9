// Server validation: is the configured address a Jellyfin or Emby server, are the credentials
// accepted, and what are the server's canonical address and identity. It always checks afresh,
// without a session or a cached token; a successful login is cached all the same for the
// requests that follow.
#pragma once

#include <cstdint>

#include "client/kojelly_call.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"

// Checks the server (GET /System/Info/Public without a token), then the credentials (the API
// key on /System/Info, or a login), and writes {"FullUrl","ID","ServerName","ServerVersion"}
// into answer; "ID" only when the settings name no server id. 0, or a status code with call.err
// recorded. The call's session is not used.
[[nodiscard]] int32_t kojelly_do_validate(kojelly::Call &call, kojelly_buf *answer);
