// Folder page URLs, and the worker threads that fetch pages ahead of a listing.
#include "client/kojelly_pages.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "kojelly.h"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_wire.hpp"

namespace kojelly {
namespace {

// Room for the decimal text of a 64-bit start index.
constexpr size_t kIndexText = 24;

}  // namespace

bool page_url(kojelly_buf *url, const char *base, const char *folder_id, int64_t start) {
    char index[kIndexText];
    std::snprintf(index, sizeof index, "%lld", static_cast<long long>(start));
    char limit[kIndexText];
    std::snprintf(limit, sizeof limit, "%lld", static_cast<long long>(kPageSize));
    return kojelly_buf_adds(url, base) == 0 && kojelly_buf_adds(url, "/Items") == 0 &&
           kojelly_buf_query(url, "ParentId", folder_id) == 0 &&
           kojelly_buf_query(url, "Fields", kListingFields) == 0 &&
           kojelly_buf_query(url, "SortBy", "SortName") == 0 &&
           kojelly_buf_query(url, "SortOrder", "Ascending") == 0 &&
           kojelly_buf_query(url, "StartIndex", index) == 0 &&
           kojelly_buf_query(url, "Limit", limit) == 0;
}

PageFetch::PageFetch(Call &call, const char *folder_id, int64_t first, uint64_t count,
                     int32_t lanes)
    : session_(call.session),
      room_(call.room),
      base_url_(call.base()),
      folder_id_(folder_id),
      first_(first),
      lanes_(lanes < 1                   ? 1
             : lanes > kMaxParallelPages ? kMaxParallelPages
                                         : lanes),
      end_(count) {}

bool PageFetch::start() {
    slots_.reset(static_cast<Slot *>(std::calloc(static_cast<size_t>(lanes_), sizeof(Slot))));
    if (!slots_) return false;
    const size_t wanted = end_ < static_cast<uint64_t>(lanes_) ? static_cast<size_t>(end_)
                                                               : static_cast<size_t>(lanes_);
    for (size_t i = 0; i < wanted; ++i) {
        // A thread that cannot be made (no memory, or the system's thread limit) leaves the
        // pages to those already running.
        try {
            workers_[started_] = std::thread(&PageFetch::work, this);
            ++started_;
        } catch (const std::exception &) {
            break;
        }
    }
    return started_ > 0;
}

bool PageFetch::next_is(int64_t start) const {
    std::lock_guard hold(lock_);
    return started_ > 0 && !stopping_ && taken_ < end_ &&
           start == first_ + static_cast<int64_t>(taken_) * kPageSize;
}

int32_t PageFetch::take(kojelly_buf *url, kojelly_resp *resp, BodyRoom::Loan *loan, Error &err) {
    std::unique_lock hold(lock_);
    const uint64_t k = taken_;
    Slot &slot = slots_.get()[k % static_cast<uint64_t>(lanes_)];
    // The caller has merged every page before this one and goes on: the window moves.
    base_ = k;
    wanted_.notify_all();
    arrived_.wait(hold, [&] { return slot.done; });
    ++taken_;
    const int32_t code = slot.err.code;
    if (code != KOJELLY_OK) {
        err.take(slot.err);
    } else {
        *url = std::exchange(slot.url, kojelly_buf{});
        *resp = std::exchange(slot.resp, kojelly_resp{});
        *loan = slot.loan;
    }
    clear(&slot);
    return code;
}

void PageFetch::stop() {
    {
        std::lock_guard hold(lock_);
        stopping_ = true;
    }
    wanted_.notify_all();
    for (size_t i = 0; i < started_; ++i) workers_[i].join();
    started_ = 0;
    if (!slots_) return;
    for (int32_t i = 0; i < lanes_; ++i) clear(&slots_.get()[i]);
    slots_.reset();
}

void PageFetch::work() {
    for (;;) {
        uint64_t k;
        {
            std::unique_lock hold(lock_);
            wanted_.wait(hold, [&] {
                return stopping_ || issued_ >= end_ ||
                       issued_ < base_ + static_cast<uint64_t>(lanes_);
            });
            if (stopping_ || issued_ >= end_) return;
            k = issued_++;
        }
        Slot got{};
        fetch(k, &got);
        // A page that failed, or was answered with a status other than success, ends the
        // listing there, whatever the pages before it give: later pages are not needed.
        const bool ends = got.err.code != KOJELLY_OK ||
                          kojelly_map_status(got.resp.status, KOJELLY_ENOTFOUND) != KOJELLY_OK;
        {
            std::lock_guard hold(lock_);
            if (ends && end_ > k + 1) end_ = k + 1;
            Slot &slot = slots_.get()[k % static_cast<uint64_t>(lanes_)];
            slot = got;
            slot.done = true;
        }
        arrived_.notify_all();
        wanted_.notify_all();
    }
}

void PageFetch::fetch(uint64_t k, Slot *out) {
    const int64_t start = first_ + static_cast<int64_t>(k) * kPageSize;
    if (!page_url(&out->url, base_url_, folder_id_, start)) {
        out->err.out_of_memory();
        return;
    }
    out->loan.room = &room_;
    out->err.code = session_.send(out->url.data, nullptr, &out->resp, out->err, &out->loan);
}

void PageFetch::clear(Slot *slot) {
    kojelly_buf_free(&slot->url);
    kojelly_resp_free(&slot->resp);
    *slot = Slot{};
}

}  // namespace kojelly
