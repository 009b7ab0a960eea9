// Writing JSON through yyjson's mutable documents, for the demo server's answers and the
// settings the tool hands to the plug-in. yyjson reports a failed allocation as a false or NULL
// result; here it becomes std::bad_alloc, so a document is either complete or never written
// (the demo server's HTTP library answers 500 for an escaping exception).
#pragma once

#include <yyjson.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "owned.hpp"

namespace kojelly::cli {

class JsonArray;

// An object inside a JsonDocument; valid while the document lives. Members appear in the order
// they are added. yyjson keeps the name pointer, so names are string literals; values are
// copied.
class JsonObject {
public:
    JsonObject(yyjson_mut_doc *doc, yyjson_mut_val *obj) : doc_(doc), obj_(obj) {}

    void str(const char *name, std::string_view value) const;
    void num(const char *name, std::int64_t value) const;
    void flag(const char *name, bool value) const;
    // A value of another document's tree, copied, under a name that is copied too.
    void copy(yyjson_val *name, yyjson_val *value) const;
    JsonObject object(const char *name) const;
    JsonArray array(const char *name) const;

private:
    yyjson_mut_doc *doc_;
    yyjson_mut_val *obj_;
};

// An array inside a JsonDocument; valid while the document lives.
class JsonArray {
public:
    JsonArray(yyjson_mut_doc *doc, yyjson_mut_val *arr) : doc_(doc), arr_(arr) {}

    // Appends an empty object and returns it for filling.
    JsonObject object() const;

private:
    yyjson_mut_doc *doc_;
    yyjson_mut_val *arr_;
};

// A document whose root is an object.
class JsonDocument {
public:
    JsonDocument();

    JsonObject root() const { return {doc_.get(), yyjson_mut_doc_get_root(doc_.get())}; }

    // The compact text. Bytes that are not UTF-8 pass through as they are rather than failing
    // the whole document: a text typed by a user or sent by a client is not checked anywhere.
    std::string text() const;

private:
    Handle<yyjson_mut_doc, yyjson_mut_doc_free> doc_;
};

}  // namespace kojelly::cli
