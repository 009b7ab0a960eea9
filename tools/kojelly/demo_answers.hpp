// The JSON bodies of the demo server's answers, written the way a current server of the chosen
// flavour writes them: its public information, a login's user and session, pages of items (the
// root views, a folder's children, a lookup by id), one item for a user, and an item's playback
// information with its media source. The server decides what to answer; this only writes it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "demo_library.hpp"
#include "demo_server.hpp"

namespace kojelly::cli {

// The optional item fields a request names in its Fields query, in lower case.
using ItemFields = std::set<std::string>;

// What a successful login hands out, and the client that logged in as its Authorization header
// names it.
struct DemoSession {
    std::string token;  // the access token
    std::string id;     // the session's own id
    std::string client;
    std::string device;
    std::string device_id;
    std::string version;
};

// /System/Info/Public, or /System/Info when full. url is the server's own address.
std::string public_info_json(const DemoLibrary &library, DemoFlavour flavour,
                             const std::string &url, int port, bool full);

// The answer to /Users/AuthenticateByName for options.user.
std::string login_json(const DemoLibrary &library, const DemoOptions &options,
                       const DemoSession &session);

// A page of items: the given ones, out of total, the first of them being number start.
std::string page_json(const DemoLibrary &library, const std::vector<const DemoItem *> &items,
                      std::int64_t total, std::int64_t start, const ItemFields &fields);

// The one page of the library's views.
std::string root_page_json(const DemoLibrary &library, const ItemFields &fields);

// /Users/{id}/Items/{id}: the item with every optional field.
std::string user_item_json(const DemoLibrary &library, const DemoItem &item);

// /Items/{id}/PlaybackInfo: one media source for a file, none for a folder.
std::string playback_info_json(const DemoItem &item, const std::string &play_session_id);

}  // namespace kojelly::cli
