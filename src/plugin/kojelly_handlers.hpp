// The handler table that korch_get hands to the host, and the request handlers behind it.
#pragma once

#include <cstdint>

#include "kojelly.h"

// The constant table returned by korch_get.
extern const kojelly_handler_table kojelly_handler;

// Refuses every download: -6, with the fixed error JSON when the buffer holds it.
int32_t h_download(const tessel_io *io, const char *settings, const char *arg, char *out,
                   int32_t out_len) noexcept;
