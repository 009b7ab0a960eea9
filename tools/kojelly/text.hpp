// Text helpers shared by the kojelly tool, its transport and its demo server: ASCII case folding,
// trimming and splitting, JSON string writing, making server text safe to show on a terminal,
// and the human units of the tables. Case folding and white space are ASCII only on purpose:
// HTTP names and the demo server's paths compare that way whatever the process locale says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kojelly::cli {

// Equal but for the case of ASCII letters.
bool iequals(std::string_view a, std::string_view b);

// A copy with the ASCII letters in lower case; every other byte unchanged.
std::string lower(std::string_view text);

// The text without the ASCII white space (space, tab, CR, LF, VT, FF) at either end.
std::string_view trim(std::string_view text);

// The pieces between the separators, empty ones included: n separators give n + 1 pieces.
std::vector<std::string> split(std::string_view text, char sep);

// 32 lower-case hex digits: hi then lo, 16 digits each.
std::string hex128(std::uint64_t hi, std::uint64_t lo);

// Appends text as a quoted JSON string: quote, backslash and every byte below 0x20 escaped.
void append_json_string(std::string &out, std::string_view text);
std::string json_string(std::string_view text);

// A copy that a terminal shows as plain text: control characters (C0, DEL, C1), the
// bidirectional embeddings, overrides and isolates (U+202A to U+202E, U+2066 to U+2069) and bytes
// that are not UTF-8 become "?", so a server-supplied name cannot move the cursor, change
// colours or reorder what the line shows.
std::string printable(std::string_view text);

// Characters a terminal gives the text, counting one per UTF-8 code point.
std::size_t display_width(std::string_view text);

// The text cut to at most width characters, ending in "…" when it was cut.
std::string fit(std::string_view text, std::size_t width);

// "-" for a negative size, "512 B", "1.5 KiB", "4.2 GiB" and so on.
std::string human_size(std::int64_t bytes);

}  // namespace kojelly::cli
