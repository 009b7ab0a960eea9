// Body blocks kept across the requests of one listing, so that its pages are collected into
// blocks whose memory the kernel has already cleared instead of a fresh block per page.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/kojelly_buf.hpp"
#include "util/platform.hpp"

struct kojelly_resp;

namespace kojelly {

// A request made with a Loan collects its answer's body into a block that the room lends (a kept
// one, or a new one that grows as any buffer does), and the loan records the block's capacity.
// Once the answer has been read, give_back() hands the body over to the room with that capacity,
// for the next request. Nothing is recognised by address: only what is handed back explicitly is
// kept, and a response that is not handed back frees its body as any other. Every member may be
// called from several threads at once, so worker threads may fetch with the room while another
// thread gives bodies back.
class BodyRoom {
public:
    // Blocks kept between requests, at most.
    static constexpr size_t kKept = 4;

    // The block one request collected its body into.
    struct Loan {
        BodyRoom *room = nullptr;
        uint64_t cap = 0;  // the capacity of the response's body block; 0 before the answer
    };

    BodyRoom() = default;
    ~BodyRoom();
    BodyRoom(const BodyRoom &) = delete;
    BodyRoom &operator=(const BodyRoom &) = delete;

    // A kept block emptied (an empty text), or an empty buffer when none is kept.
    kojelly_buf lend();
    // Takes the body of resp, whose block the loan recorded, when room is left to keep it; resp
    // then holds no body (NULL, length 0) and keeps its headers. True when taken. Only a
    // response of a request made with this loan may be passed.
    bool give_back(kojelly_resp *resp, const Loan &loan);

private:
    struct Block {
        char *data;
        uint64_t cap;
    };
    platform::Lock lock_;
    Block kept_[kKept]{};
};

}  // namespace kojelly
