// Redaction: keeps credentials out of messages. URL redaction drops user information and masks
// credential query values; scrubbing masks the known secrets of a call in a finished message;
// the body line reduces an answer to one short printable line for quoting.
#pragma once

#include <cstddef>
#include <cstdint>

struct kojelly_cfg;

// Writes a redacted copy of text into out (truncated to size - 1, NUL-terminated); nothing for
// size 0. Never writes an unredacted remainder, even when its working buffer cannot grow.
void kojelly_redact_into(const char *text, char *out, uint64_t size);
// Masks in place, with "***", the settings' password, API key and device id (cfg may be NULL)
// and then the token (may be NULL). Secrets of 3 bytes or fewer are left alone.
void kojelly_scrub(char *msg, const kojelly_cfg *cfg, const char *token);
// Writes the first line of body, at most 160 bytes, non-printable bytes as spaces.
void kojelly_body_line(const char *body, char *out, size_t size);

namespace kojelly {

// Replaces every occurrence of secret (4 bytes or longer) in msg by "***"; msg never grows.
void mask(char *msg, const char *secret);

}  // namespace kojelly
