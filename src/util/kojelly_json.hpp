// Strict reading of JSON texts: the settings, the entry naming an item, and every server answer.
// Every read runs without read flags (no comments, no trailing commas, no NaN or Infinity,
// invalid UTF-8 refused) and with an error record, so that a reader that ran out of memory is
// told apart from a text that is not JSON. A caller that reads many texts one after another (the
// pages of one listing) may lend the reader a JsonArena, which keeps the memory of one document
// for the next.
#pragma once

#include <yyjson.h>

#include <cstddef>

#include "util/kojelly_owned.hpp"

namespace kojelly {

// yyjson_doc_free is an inline function of the yyjson header; this one has external linkage, so
// handles that name it can be used from any translation unit.
void doc_free(yyjson_doc *doc) noexcept;
using Doc = Handle<yyjson_doc, doc_free>;

// Memory for the documents of reads made one after another on one thread. The reader's requests
// are handed out from one block taken with malloc, from its start again as soon as every
// document read with the arena has been released; a request that does not fit goes to malloc or
// realloc on its own. The block is sized from the first text's length, then by what the reads
// so far needed per byte of text, so every page of a listing reuses one block whose pages the
// kernel has already cleared. Not thread-safe; every document read with the arena must be
// released before the arena is.
class JsonArena {
public:
    JsonArena();
    ~JsonArena();
    JsonArena(const JsonArena &) = delete;
    JsonArena &operator=(const JsonArena &) = delete;

    // Called before a read of len bytes. When no document of the arena is alive and the reads
    // so far say that this one needs more than the block holds, the block is replaced by one
    // an eighth larger than that. False when that block cannot be had (the arena is then left
    // without a block, and a later read takes its memory from malloc).
    [[nodiscard]] bool fit(size_t len);
    // The allocator to read with.
    const yyjson_alc *alc() const { return &alc_; }
    // The block's size in bytes; 0 before the first read.
    size_t capacity() const { return cap_; }
    // Bytes the last read asked for outside the block.
    size_t spilled() const { return spilled_; }

private:
    static void *take(void *ctx, size_t size);
    static void *resize(void *ctx, void *ptr, size_t old_size, size_t size);
    static void give(void *ctx, void *ptr);
    bool owns(const void *p) const;
    void *bump(size_t size);

    yyjson_alc alc_;
    char *block_ = nullptr;
    size_t cap_ = 0;
    size_t used_ = 0;   // bytes handed out from the block since it was last empty
    size_t last_ = 0;   // offset of the latest request handed out from the block
    size_t live_ = 0;   // requests from the block not yet given back
    // What the current read asked for: the block from where the read began up to its high-water
    // mark, and the bytes it asked of malloc; with the length of its text they size the block
    // for the next read.
    size_t read_start_ = 0;
    size_t high_ = 0;
    size_t spilled_ = 0;
    size_t read_len_ = 0;
    double per_byte_ = 0;  // the most any read needed per byte of its text
};

// One document read from a text, or the reason there is none.
class JsonDoc {
public:
    // Reads exactly len bytes. The text is only read, never written. A NULL text reads as no
    // document (not out of memory). With an arena, the document's memory comes from it, and the
    // document must be released before the arena is; an arena that cannot fit the read leaves no
    // document, out of memory.
    static JsonDoc read(const char *text, size_t len, JsonArena *arena = nullptr);

    // The root value; NULL without a document.
    yyjson_val *root() const { return doc_ ? yyjson_doc_get_root(doc_.get()) : nullptr; }
    // The root when it is an object, else NULL.
    yyjson_val *object() const;
    // True when there is no document because the reader could not allocate.
    bool out_of_memory() const { return out_of_memory_; }

private:
    Doc doc_;
    bool out_of_memory_ = false;
};

}  // namespace kojelly
