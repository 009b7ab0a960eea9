// Server answers as a current Jellyfin sends them for a folder listing and a stream request:
// /Items pages whose items carry every member the server adds for the listing fields (names
// that are not ASCII or need escaping, provider ids, user data, image tags and blur hashes,
// media sources with their streams), a folder lookup, a login and a PlaybackInfo answer. The
// output depends only on the seed, so every run, and the Python comparison, reads the same bytes.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Items per /Items page, as the listing asks for them.
inline constexpr uint64_t kPageItems = 500;
// Share of items that are folders (box sets), and of the others that have no production year.
inline constexpr uint64_t kFolderPercent = 5;
inline constexpr uint64_t kNoYearPercent = 8;

// 32 lowercase hexadecimal digits, distinct for every n.
std::string hex_id(uint64_t n);

// The elements of the "Items" array (without brackets) for items first .. first+count-1 of the
// folder parent_id.
std::string items_body(const std::string &parent_id, uint64_t first, uint64_t count, uint64_t seed);

// One /Items page around an items_body.
std::string page(const std::string &body, int64_t total, uint64_t start);

// The answer to a lookup by API key (/Items?Ids=...) of a folder.
std::string folder_lookup(const std::string &folder_id, const std::string &parent_id);

// One playable item (never a folder) as /Users/{uid}/Items/{id} answers it.
std::string movie_item(const std::string &parent_id, uint64_t n, uint64_t seed);

// PlaybackInfo of item n: one media source with its streams.
std::string playback_info(uint64_t n, uint64_t seed);

// The answer of POST /Users/AuthenticateByName.
std::string login_answer(const std::string &user_id, const std::string &token);

}  // namespace bench
