// Redaction of plain texts: keeps credentials out of messages. URL redaction drops user
// information and masks credential query values; mask() replaces one known secret in a finished
// message; the body line reduces an answer to one short printable line for quoting.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes a redacted copy of text into out (truncated to size - 1, NUL-terminated); nothing for
// size 0. Never writes an unredacted remainder, even when its working buffer cannot grow.
void kojelly_redact_into(const char *text, char *out, uint64_t size);
// Writes the first line of body, at most 160 bytes, non-printable bytes as spaces.
void kojelly_body_line(const char *body, char *out, size_t size);

namespace kojelly {

// Replaces every occurrence of secret (4 bytes or longer) in msg by "***"; msg never grows.
void mask(char *msg, const char *secret);

}  // namespace kojelly
