// The kojelly tool's commands (validate, ls, tree, stream) over a loaded plug-in with the
// transport installed. Each prints its result for a person, or the plug-in's JSON with --json,
// and returns the tool's exit status; a plug-in failure prints the plug-in's message (already
// scrubbed of secrets) with the status it came with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli_options.hpp"
#include "output.hpp"
#include "plugin.hpp"
#include "terminal.hpp"
#include "tessel_http.h"

namespace kojelly::cli {

struct Session {
    Plugin *plugin = nullptr;
    std::string settings;
    const tessel_http *media = nullptr;  // the transport for --probe
    bool json = false;
    bool progress = false;  // the tree walk's progress line on err
    bool ascii = !text_is_utf8();  // the tree drawn in ASCII (kAsciiTree)
    std::FILE *out = stdout;
    std::FILE *err = stderr;
};

int cmd_validate(Session &s);
// limit: rows shown in the table (the demo shows the start of a long listing).
int cmd_ls(Session &s, const std::string &folder_id,
           std::size_t limit = static_cast<std::size_t>(-1));
// What bounds a tree walk: a folder depth levels below the start is shown but not listed, and
// once max_entries entries have been seen no further folder is listed. When the default depth
// or the entry limit leaves a folder unlisted, the tree marks it and a notice says so; a depth
// the user gave cuts the tree where asked, silently.
struct TreeBounds {
    int depth = kDefaultTreeDepth;
    bool depth_given = false;
    std::size_t max_entries = kDefaultTreeEntries;
};
int cmd_tree(Session &s, const std::string &folder_id, const TreeBounds &bounds);
int cmd_stream(Session &s, const std::string &item, bool probe);

// Prints the failure and returns its exit status.
int report(Session &s, const Outcome &o);

// The entry JSON for a stream request: the argument itself when it is JSON (an object or a
// string), else the argument as a JSON string, so that a bare id can be typed as it is.
std::string entry_for(std::string_view item);

// Asks the plug-in for the stream of item (as entry_for makes it) and reads the answer, whose
// JSON is left in o, into a. kExitOk, or the exit status once the failure has been printed.
int stream_answer(Session &s, const std::string &item, Outcome &o, StreamAnswer &a);

// The first bytes of a stream, fetched with the support library's Range GET (tessel_http_range)
// through http, with the Authorization header the plug-in answered with added to it (empty:
// none). The token in the URL alone does not open a stream on a server that reads tokens only
// from headers or from a query name the plug-in does not use.
struct Probe {
    std::int32_t result = -1;  // the transport's result; 0 = an answer arrived
    std::int32_t status = 0;
    std::string content_range;
    std::uint64_t bytes = 0;
    std::string error;
    bool ok() const { return result == 0 && (status == 200 || status == 206); }
};
constexpr std::int64_t kProbeBytes = 64 * 1024;
Probe probe_stream(const tessel_http *http, const std::string &url,
                   const std::string &authorization);

// A folder's listing: exit 0 with the plug-in's JSON and its entries, or the exit status and a
// message ready to print.
struct Listing {
    int exit = 0;
    std::string message;
    std::string json;
    std::vector<Entry> entries;
};
Listing fetch_listing(Session &s, const std::string &folder_id);

}  // namespace kojelly::cli
