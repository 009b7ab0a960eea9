// A yyjson document owned by one scope, for test code that reads back what the library or the
// tool wrote. Header-only, so that test binaries of every folder (and the fuzz targets) can use
// it without a build rule of its own.
#pragma once

#include <yyjson.h>

#include <memory>
#include <string_view>

namespace json_doc {

struct DocFree {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

// The text read as strict JSON (exactly its bytes, no read flags); null when it is not JSON.
inline Doc read(std::string_view text) {
    return Doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr));
}

}  // namespace json_doc
