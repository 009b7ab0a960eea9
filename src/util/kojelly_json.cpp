// Strict JSON reads with an error record.
#include "util/kojelly_json.hpp"

namespace kojelly {

void doc_free(yyjson_doc *doc) noexcept {
    yyjson_doc_free(doc);
}

JsonDoc JsonDoc::read(const char *text, size_t len) {
    JsonDoc read;
    if (!text) return read;
    yyjson_read_err err{};
    // Without YYJSON_READ_INSITU the reader never writes to the text.
    read.doc_.reset(yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, &err));
    read.out_of_memory_ = !read.doc_ && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
    return read;
}

yyjson_val *JsonDoc::object() const {
    yyjson_val *r = root();
    return yyjson_is_obj(r) ? r : nullptr;
}

}  // namespace kojelly
