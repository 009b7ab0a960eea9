// Strict JSON reads with an error record, and the arena that lends them its memory.
#include "util/kojelly_json.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kojelly {

namespace {

// Requests are handed out in multiples of this, which also keeps every one aligned for the
// document's values.
constexpr size_t kGrain = 16;
// What a block holds beyond the measured need: room for a page a little longer than the ones
// measured, so that the block is not replaced for every page that is.
constexpr size_t kBlockSlackDivisor = 8;
constexpr size_t kBlockSlackMin = size_t{64} << 10;
// What the first read is expected to ask for per byte of its text, before any read was measured:
// the reader copies the text and estimates one 16-byte value for every 6 bytes of a compact
// text (fewer for an indented one), so 4 holds a server's answer with room to spare.
constexpr double kFirstPerByte = 4;

size_t grains(size_t size) {
    return size <= kGrain ? kGrain : (size + kGrain - 1) & ~(kGrain - 1);
}

}  // namespace

void doc_free(yyjson_doc *doc) noexcept {
    yyjson_doc_free(doc);
}

JsonArena::JsonArena() : alc_{take, resize, give, this} {}

JsonArena::~JsonArena() {
    std::free(block_);
}

bool JsonArena::fit(size_t len) {
    if (read_len_ != 0) {
        const double need =
            static_cast<double>(high_ - read_start_ + spilled_) / static_cast<double>(read_len_);
        per_byte_ = std::max(per_byte_, need);
    }
    read_start_ = used_;
    high_ = used_;
    spilled_ = 0;
    read_len_ = len;
    if (live_ != 0) return true;
    const double need = (per_byte_ > 0 ? per_byte_ : kFirstPerByte) * static_cast<double>(len);
    if (need <= static_cast<double>(cap_)) return true;
    // A text of up to the body limit never needs more than a few hundred MiB; anything larger
    // is left to malloc.
    if (need > static_cast<double>(SIZE_MAX / 4)) return true;
    const size_t want = static_cast<size_t>(need);
    const size_t size = want + std::max(want / kBlockSlackDivisor, kBlockSlackMin);
    std::free(block_);
    block_ = static_cast<char *>(std::malloc(size));
    cap_ = block_ ? size : 0;
    used_ = 0;
    last_ = 0;
    read_start_ = 0;
    high_ = 0;
    return block_ != nullptr;
}

bool JsonArena::owns(const void *p) const {
    const auto at = reinterpret_cast<uintptr_t>(p);
    const auto start = reinterpret_cast<uintptr_t>(block_);
    return block_ && at >= start && at - start < cap_;
}

void *JsonArena::bump(size_t size) {
    if (!block_ || size > cap_) return nullptr;
    const size_t n = grains(size);
    if (n > cap_ - used_) return nullptr;
    last_ = used_;
    used_ += n;
    ++live_;
    high_ = std::max(high_, used_);
    return block_ + last_;
}

void *JsonArena::take(void *ctx, size_t size) {
    auto *a = static_cast<JsonArena *>(ctx);
    if (void *p = a->bump(size)) return p;
    a->spilled_ += size;
    return std::malloc(size);
}

void *JsonArena::resize(void *ctx, void *ptr, size_t old_size, size_t size) {
    auto *a = static_cast<JsonArena *>(ctx);
    if (!ptr) return take(ctx, size);
    if (!a->owns(ptr)) {
        if (size > old_size) a->spilled_ += size - old_size;
        return std::realloc(ptr, size);
    }
    // The latest request grows in place while the block has room behind it: the reader grows
    // its value array this way when a text holds more values than it estimated.
    const size_t at = static_cast<size_t>(static_cast<char *>(ptr) - a->block_);
    if (at == a->last_ && size <= a->cap_ && grains(size) <= a->cap_ - at) {
        a->used_ = at + grains(size);
        a->high_ = std::max(a->high_, a->used_);
        return ptr;
    }
    void *moved = take(ctx, size);
    if (!moved) return nullptr;
    std::memcpy(moved, ptr, std::min(old_size, size));
    give(ctx, ptr);
    return moved;
}

void JsonArena::give(void *ctx, void *ptr) {
    auto *a = static_cast<JsonArena *>(ctx);
    if (!ptr) return;
    if (!a->owns(ptr)) {
        std::free(ptr);
        return;
    }
    --a->live_;
    if (a->live_ == 0) {
        a->used_ = 0;
        a->last_ = 0;
    } else if (static_cast<char *>(ptr) == a->block_ + a->last_) {
        a->used_ = a->last_;
    }
}

JsonDoc JsonDoc::read(const char *text, size_t len, JsonArena *arena) {
    JsonDoc read;
    if (!text) return read;
    if (arena && !arena->fit(len)) {
        read.out_of_memory_ = true;
        return read;
    }
    yyjson_read_err err{};
    // Without YYJSON_READ_INSITU the reader never writes to the text.
    read.doc_.reset(yyjson_read_opts(const_cast<char *>(text), len, 0,
                                     arena ? arena->alc() : nullptr, &err));
    read.out_of_memory_ = !read.doc_ && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
    return read;
}

yyjson_val *JsonDoc::object() const {
    yyjson_val *r = root();
    return yyjson_is_obj(r) ? r : nullptr;
}

}  // namespace kojelly
