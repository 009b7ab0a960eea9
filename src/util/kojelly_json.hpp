// Strict reading of JSON texts: the settings, the entry naming an item, and every server answer.
// Every read runs without read flags (no comments, no trailing commas, no NaN or Infinity,
// invalid UTF-8 refused) and with an error record, so that a reader that ran out of memory is
// told apart from a text that is not JSON. A caller that reads many texts one after another (the
// pages of one listing) may lend the reader a JsonArena, which keeps the memory of one document
// for the next.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <memory>

#include "util/kojelly_owned.hpp"

namespace kojelly {

// Memory for the documents of reads made one after another on one thread: one block taken with
// malloc, from whose start each read's requests are handed out one after another. The block
// holds yyjson's own bound for the read (yyjson_read_max_memory_usage), so a read never runs out
// of it, and an eighth more, so that a later text a little longer still fits; a read whose bound
// the block does not hold replaces it with a larger one. Every page of a listing so reuses one
// block whose pages the kernel has already cleared, and touches no more of it than the reader
// writes. The block serves one document at a time: a read made while a document read into it is
// alive takes its memory from malloc. Not thread-safe; every document read with the arena must
// be released before the arena is.
class JsonArena {
public:
    JsonArena() = default;
    JsonArena(const JsonArena &) = delete;
    JsonArena &operator=(const JsonArena &) = delete;

    // The block's size in bytes; 0 before the first read.
    size_t capacity() const { return cap_; }

private:
    friend class JsonDoc;

    // What a read of len bytes takes its memory from: *alc is the block, or NULL for malloc
    // (while the block holds a live document, or for a text too long to state a bound for).
    // False when the read needs a larger block and it cannot be had; the arena is then left
    // without a block.
    [[nodiscard]] bool lend(size_t len, const yyjson_alc **alc);

    // The reader's allocator over the block.
    static void *take(void *ctx, size_t size);
    static void *resize(void *ctx, void *ptr, size_t old_size, size_t size);
    static void give(void *ctx, void *ptr);

    Malloced<char> block_;
    size_t cap_ = 0;
    size_t used_ = 0;  // bytes handed out to the current read
    size_t last_ = 0;  // where its latest request starts
    yyjson_alc alc_{take, resize, give, this};
    bool lent_ = false;  // a document read into the block is alive
};

// One document read from a text, or the reason there is none.
class JsonDoc {
public:
    // Reads exactly len bytes. The text is only read, never written. A NULL text reads as no
    // document (not out of memory). With an arena, the document's memory comes from it, and the
    // document must be released before the arena is; a read that needs a larger block than the
    // arena can have leaves no document, out of memory.
    static JsonDoc read(const char *text, size_t len, JsonArena *arena = nullptr);

    // The root value; NULL without a document.
    yyjson_val *root() const { return doc_ ? yyjson_doc_get_root(doc_.get()) : nullptr; }
    // The root when it is an object, else NULL.
    yyjson_val *object() const;
    // True when there is no document because the reader could not allocate.
    bool out_of_memory() const { return out_of_memory_; }

private:
    // Frees a document; one read into an arena's block hands the block back to the arena.
    struct Release {
        JsonArena *arena;  // NULL for a document of malloc's memory
        void operator()(yyjson_doc *doc) const noexcept;
    };

    std::unique_ptr<yyjson_doc, Release> doc_;
    bool out_of_memory_ = false;
};

}  // namespace kojelly
