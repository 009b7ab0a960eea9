// Stream URL: resolves an entry that names a playable item into the static stream URL, the
// Authorization header that the host must send with it, and a few facts about the file. The item
// is looked up first (it must exist and not be a folder), then its playback information is read.
// The library never fetches the stream itself.
#pragma once

#include <cstdint>

#include "client/kojelly_call.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"

// Writes the stream answer of the item id (taken from the entry that names it) into answer. 0, or a
// status code with call.err recorded.
[[nodiscard]] int32_t kojelly_do_stream(kojelly::Call &call, const char *id, kojelly_buf *answer);
