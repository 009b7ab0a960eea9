// Strict JSON reads with an error record, and the arena that lends them its memory.
#include "util/kojelly_json.hpp"

#include <cstdlib>
#include <cstring>

namespace kojelly {

namespace {

// What a block holds beyond the bound of the read that sized it: room for a page a little
// longer than that one, so that the block is not replaced for every page that is.
constexpr size_t kBlockSlackDivisor = 8;
// Requests are handed out in multiples of this, which keeps each aligned for the values.
constexpr size_t kGrain = 16;

size_t grains(size_t size) {
    return (size + kGrain - 1) & ~(kGrain - 1);
}

}  // namespace

bool JsonArena::lend(size_t len, const yyjson_alc **alc) {
    *alc = nullptr;
    const size_t bound = yyjson_read_max_memory_usage(len, 0);
    if (lent_ || bound == 0) return true;
    if (bound > cap_) {
        // The old block goes first: its pages are resident, the new one's are not yet.
        block_.reset();
        cap_ = 0;
        const size_t size = bound + bound / kBlockSlackDivisor;
        block_.reset(static_cast<char *>(std::malloc(size)));
        if (!block_) return false;
        cap_ = size;
    }
    used_ = 0;
    last_ = 0;
    *alc = &alc_;
    return true;
}

// The reader asks for the text's copy, then for its value array, which it may grow: handing
// them out one after another from the block's start fills the block from there and touches no
// more of it than the reader writes. yyjson's own pool allocator over the same block wrote the
// header of its free rest at the end of the reader's first estimate, past what the reader filled
// and at another place for every page: a listing from cold took 48 fresh pages more
// (bench/findings.md).
void *JsonArena::take(void *ctx, size_t size) {
    auto *a = static_cast<JsonArena *>(ctx);
    if (size > a->cap_ || grains(size) > a->cap_ - a->used_) return nullptr;
    a->last_ = a->used_;
    a->used_ += grains(size);
    return a->block_.get() + a->last_;
}

void *JsonArena::resize(void *ctx, void *ptr, size_t old_size, size_t size) {
    auto *a = static_cast<JsonArena *>(ctx);
    // The latest request grows in place: the reader grows its value array this way when a text
    // holds more values than it estimated.
    if (static_cast<char *>(ptr) == a->block_.get() + a->last_ && size <= a->cap_ &&
        grains(size) <= a->cap_ - a->last_) {
        a->used_ = a->last_ + grains(size);
        return ptr;
    }
    void *moved = take(ctx, size);
    if (moved) std::memcpy(moved, ptr, old_size);
    return moved;
}

// The block is taken back whole when the document goes.
void JsonArena::give(void *, void *) {}

void JsonDoc::Release::operator()(yyjson_doc *doc) const noexcept {
    yyjson_doc_free(doc);
    if (arena) arena->lent_ = false;
}

JsonDoc JsonDoc::read(const char *text, size_t len, JsonArena *arena) {
    JsonDoc read;
    if (!text) return read;
    const yyjson_alc *alc = nullptr;
    if (arena && !arena->lend(len, &alc)) {
        read.out_of_memory_ = true;
        return read;
    }
    yyjson_read_err err{};
    // Without YYJSON_READ_INSITU the reader never writes to the text.
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text), len, 0, alc, &err);
    JsonArena *holder = doc && alc ? arena : nullptr;
    if (holder) holder->lent_ = true;
    read.doc_ = std::unique_ptr<yyjson_doc, Release>(doc, Release{holder});
    read.out_of_memory_ = !doc && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
    return read;
}

yyjson_val *JsonDoc::object() const {
    yyjson_val *r = root();
    return yyjson_is_obj(r) ? r : nullptr;
}

}  // namespace kojelly
