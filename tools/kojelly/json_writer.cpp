// JSON writing through yyjson's mutable documents; see json_writer.hpp.
#include "json_writer.hpp"

#include <new>

namespace kojelly::cli {
namespace {

void need(bool ok) {
    if (!ok) throw std::bad_alloc();
}

yyjson_mut_val *need(yyjson_mut_val *val) {
    need(val != nullptr);
    return val;
}

}  // namespace

void JsonObject::str(const char *name, std::string_view value) const {
    need(yyjson_mut_obj_add_strncpy(doc_, obj_, name, value.data(), value.size()));
}

void JsonObject::num(const char *name, std::int64_t value) const {
    need(yyjson_mut_obj_add_int(doc_, obj_, name, value));
}

void JsonObject::flag(const char *name, bool value) const {
    need(yyjson_mut_obj_add_bool(doc_, obj_, name, value));
}

void JsonObject::copy(yyjson_val *name, yyjson_val *value) const {
    need(yyjson_mut_obj_add(obj_, need(yyjson_val_mut_copy(doc_, name)),
                            need(yyjson_val_mut_copy(doc_, value))));
}

JsonObject JsonObject::object(const char *name) const {
    return {doc_, need(yyjson_mut_obj_add_obj(doc_, obj_, name))};
}

JsonArray JsonObject::array(const char *name) const {
    return {doc_, need(yyjson_mut_obj_add_arr(doc_, obj_, name))};
}

JsonObject JsonArray::object() const {
    return {doc_, need(yyjson_mut_arr_add_obj(doc_, arr_))};
}

JsonDocument::JsonDocument() : doc_(yyjson_mut_doc_new(nullptr)) {
    need(doc_ != nullptr);
    yyjson_mut_doc_set_root(doc_.get(), need(yyjson_mut_obj(doc_.get())));
}

std::string JsonDocument::text() const {
    std::size_t len = 0;
    const Malloced<char> out(
        yyjson_mut_write(doc_.get(), YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len));
    need(out != nullptr);
    return std::string(out.get(), len);
}

}  // namespace kojelly::cli
