// Strict JSON reads with an error record, and the arena that lends them its memory.
#include "util/kojelly_json.hpp"

#include <cstdlib>

namespace kojelly {

namespace {

// What a block holds beyond the bound of the read that sized it: room for a page a little
// longer than that one, so that the block is not replaced for every page that is.
constexpr size_t kBlockSlackDivisor = 8;

}  // namespace

void doc_free(yyjson_doc *doc) noexcept {
    yyjson_doc_free(doc);
}

bool JsonArena::lend(size_t len, const yyjson_alc **alc) {
    *alc = nullptr;
    const size_t bound = yyjson_read_max_memory_usage(len, 0);
    if (lent_ || bound == 0) return true;
    if (bound > cap_) {
        const size_t size = bound + bound / kBlockSlackDivisor;
        block_.reset();
        cap_ = 0;
        block_.reset(static_cast<char *>(std::malloc(size)));
        if (!block_) return false;
        cap_ = size;
    }
    // A fresh pool over the whole block: the documents read into it before have all been freed.
    if (!yyjson_alc_pool_init(&pool_, block_.get(), cap_)) return true;
    *alc = &pool_;
    return true;
}

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
