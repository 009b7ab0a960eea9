// The handler table that korch_get hands to the host, and the request handlers behind it: each
// is the request driver's frame around one task.
#pragma once

#include <cstdint>

#include "kojelly.h"

// The constant table returned by korch_get.
extern const kojelly_handler_table kojelly_handler;

// The request handlers of the table. Each runs the request driver's frame with its task.
int32_t h_validate(const tessel_io *io, const char *settings, char *out, int32_t out_len) noexcept;
// arg: the folder id, NULL or "" for the root.
int32_t h_list(const tessel_io *io, const char *settings, const char *arg, char *out,
               int32_t out_len) noexcept;
// arg: the entry JSON naming a playable item.
int32_t h_stream_url(const tessel_io *io, const char *settings, const char *arg, char *out,
                     int32_t out_len) noexcept;
// Refuses every download: -6, with the fixed error JSON when the buffer holds it.
int32_t h_download(const tessel_io *io, const char *settings, const char *arg, char *out,
                   int32_t out_len) noexcept;
