// Folder pages: the URL of one page, and the pages fetched ahead of a listing by worker threads
// when the settings allow more than one request at a time. The thread that lists the folder
// still takes every page in start-index order and merges it exactly as it merges a page it
// fetched itself; the workers only send requests. At most `lanes` requests are in flight, and
// a worker starts the request for a page only while it lies less than `lanes` pages beyond the
// last page taken, so that the pages held at once stay bounded and a listing that ends early
// has sent at most lanes - 1 requests more than it needed. Once a page has failed, no request
// for a later page starts.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "client/kojelly_call.hpp"
#include "request/kojelly_body_room.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_owned.hpp"

namespace kojelly {

// Items asked for per folder page; a page this full may be followed by another.
inline constexpr int64_t kPageSize = 500;
// "Fields" of every folder page.
inline constexpr char kListingFields[] =
    "ParentId,ProductionYear,Size,ProviderIds,Container,MediaSources";

// The URL of the folder page that starts at start; false when memory runs out. Its parameters go
// in one fixed order, which servers and their caches see as one query.
[[nodiscard]] bool page_url(kojelly_buf *url, const char *base, const char *folder_id,
                            int64_t start);

// The pages of one folder at first, first + kPageSize, ... (count of them), fetched by up to
// lanes worker threads through the call's session, collected into blocks of the call's room.
// The workers use nothing else of the call; each records its failure in an error of its own.
class PageFetch {
public:
    PageFetch(Call &call, const char *folder_id, int64_t first, uint64_t count, int32_t lanes);
    ~PageFetch() { stop(); }
    PageFetch(const PageFetch &) = delete;
    PageFetch &operator=(const PageFetch &) = delete;

    // Starts the workers. false when not one could be started: nothing was sent, and the
    // caller fetches the pages itself.
    [[nodiscard]] bool start();
    // Whether the next page to take is the one that begins at start.
    [[nodiscard]] bool next_is(int64_t start) const;
    // Waits for the next page. 0 with its URL, its answer (whatever its status) and the loan of
    // its body handed over, or the status code of its request with err recorded, as
    // Session::send reports it.
    [[nodiscard]] int32_t take(kojelly_buf *url, kojelly_resp *resp, BodyRoom::Loan *loan,
                               Error &err);
    // Lets no further request start, waits for the workers and releases every page not taken.
    void stop();

private:
    // One page's outcome while it waits to be taken; all-zero when empty.
    struct Slot {
        kojelly_buf url;
        kojelly_resp resp;
        BodyRoom::Loan loan;
        bool done;
        Error err;
    };

    void work();
    void fetch(uint64_t k, Slot *out);
    static void clear(Slot *slot);

    Session &session_;
    BodyRoom &room_;
    const char *base_url_;
    const char *folder_id_;
    int64_t first_;
    int32_t lanes_;
    Malloced<Slot> slots_;  // lanes_ of them; page k waits in slot k % lanes_
    std::array<std::thread, kMaxParallelPages> workers_;
    size_t started_ = 0;

    mutable std::mutex lock_;          // everything below, and the slots while workers run
    std::condition_variable wanted_;   // the window moved, or stopping
    std::condition_variable arrived_;  // a page arrived
    uint64_t end_;                     // pages before this one may be requested
    uint64_t issued_ = 0;              // pages requested so far
    uint64_t taken_ = 0;               // pages handed to the caller
    uint64_t base_ = 0;  // the page the caller waits for or holds: requests stay below base + lanes
    bool stopping_ = false;
};

}  // namespace kojelly
