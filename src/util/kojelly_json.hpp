// Strict reading of JSON texts: the settings, the entry naming an item, and every server answer.
// Every read runs without read flags (no comments, no trailing commas, no NaN or Infinity,
// invalid UTF-8 refused) and with an error record, so that a reader that ran out of memory is
// told apart from a text that is not JSON.
#pragma once

#include <yyjson.h>

#include <cstddef>

#include "util/kojelly_owned.hpp"

namespace kojelly {

// yyjson_doc_free is an inline function of the yyjson header; this one has external linkage, so
// handles that name it can be used from any translation unit.
void doc_free(yyjson_doc *doc) noexcept;
using Doc = Handle<yyjson_doc, doc_free>;

// One document read from a text, or the reason there is none.
class JsonDoc {
public:
    // Reads exactly len bytes. The text is only read, never written. A NULL text reads as no
    // document (not out of memory).
    static JsonDoc read(const char *text, size_t len);

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
