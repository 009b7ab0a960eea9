// Text helpers shared by the kojelly tool and its demo server: JSON string writing, making server
// text safe to show on a terminal, and the human units of the tables. The tool reads JSON with
// yyjson and writes the little JSON it needs by hand through append_json_string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kojelly::cli {

// Appends text as a quoted JSON string: quote, backslash and every byte below 0x20 escaped.
void append_json_string(std::string &out, std::string_view text);
std::string json_string(std::string_view text);

// A copy that a terminal shows as plain text: control characters (C0, DEL, C1) and bytes that
// are not UTF-8 become "?", so a server-supplied name cannot move the cursor or change colours.
std::string printable(std::string_view text);

// Characters a terminal gives the text, counting one per UTF-8 code point.
std::size_t display_width(std::string_view text);

// The text cut to at most width characters, ending in "…" when it was cut.
std::string fit(std::string_view text, std::size_t width);

// "-" for a negative size, "512 B", "1.5 KiB", "4.2 GiB" and so on.
std::string human_size(std::int64_t bytes);

}  // namespace kojelly::cli
