// Answer reading and human output of the kojelly tool; see output.hpp.
#include "output.hpp"

#include <yyjson.h>

#include <algorithm>

#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::size_t kMaxNameWidth = 48;
constexpr std::size_t kKindWidth = 4;
constexpr std::size_t kYearWidth = 4;
constexpr std::size_t kSizeWidth = 9;

using Doc = Handle<yyjson_doc, yyjson_doc_free>;

Doc parse(std::string_view json) {
    return Doc(yyjson_read(json.data(), json.size(), 0));
}

std::string str(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

std::int64_t num(yyjson_val *obj, const char *key, std::int64_t fallback) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : fallback;
}

std::string pad(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t w = display_width(text);
    if (w < width) out.append(width - w, ' ');
    return out;
}

std::string pad_left(std::string_view text, std::size_t width) {
    const std::size_t w = display_width(text);
    return (w < width ? std::string(width - w, ' ') : std::string()) + std::string(text);
}

std::string year_text(int year) {
    return year > 0 ? std::to_string(year) : "-";
}

}  // namespace

bool parse_listing(std::string_view json, std::vector<Entry> &out, std::string &error) {
    out.clear();
    const Doc doc = parse(json);
    yyjson_val *items = doc ? yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items") : nullptr;
    if (!yyjson_is_arr(items)) {
        error = "the plug-in's listing has no \"items\" array";
        return false;
    }
    std::size_t idx = 0;
    std::size_t max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(items, idx, max, item) {
        Entry e;
        e.name = str(item, "name");
        e.id = str(item, "id");
        e.type = str(item, "type");
        e.container = str(item, "container");
        e.folder = yyjson_get_bool(yyjson_obj_get(item, "folder"));
        e.year = static_cast<int>(num(item, "year", 0));
        e.size = num(item, "size", -1);
        out.push_back(std::move(e));
    }
    return true;
}

bool parse_fields(std::string_view json, std::vector<std::pair<std::string, std::string>> &out) {
    out.clear();
    const Doc doc = parse(json);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) return false;
    std::size_t idx = 0;
    std::size_t max = 0;
    yyjson_val *key = nullptr;
    yyjson_val *val = nullptr;
    yyjson_obj_foreach(root, idx, max, key, val) {
        if (yyjson_is_str(val)) out.emplace_back(yyjson_get_str(key), yyjson_get_str(val));
    }
    return true;
}

bool parse_stream(std::string_view json, StreamAnswer &out, std::string &error) {
    const Doc doc = parse(json);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    out = StreamAnswer{};
    out.url = str(root, "url");
    if (out.url.empty()) {
        error = "the plug-in's stream answer has no \"url\"";
        return false;
    }
    out.authorization = str(yyjson_obj_get(root, "headers"), "Authorization");
    out.id = str(root, "id");
    out.name = str(root, "name");
    out.container = str(root, "container");
    out.size = num(root, "size", -1);
    out.year = static_cast<int>(num(root, "year", 0));
    return true;
}

void print_table(std::FILE *out, const std::vector<Entry> &entries, std::size_t limit) {
    const std::size_t shown = std::min(limit, entries.size());
    std::size_t name_width = display_width("NAME");
    for (std::size_t i = 0; i < shown; ++i) {
        const std::size_t w =
            display_width(printable(entries[i].name)) + (entries[i].folder ? 1 : 0);
        name_width = std::max(name_width, std::min(w, kMaxNameWidth));
    }
    std::fprintf(out, "%s  %s  %s  %s  %s\n", pad("NAME", name_width).c_str(),
                 pad("KIND", kKindWidth).c_str(), pad("YEAR", kYearWidth).c_str(),
                 pad_left("SIZE", kSizeWidth).c_str(), "ID");
    for (std::size_t i = 0; i < shown; ++i) {
        const Entry &e = entries[i];
        const std::string name = fit(printable(e.name) + (e.folder ? "/" : ""), name_width);
        std::fprintf(out, "%s  %s  %s  %s  %s\n", pad(name, name_width).c_str(),
                     pad(e.folder ? "dir" : "file", kKindWidth).c_str(),
                     pad(year_text(e.year), kYearWidth).c_str(),
                     pad_left(human_size(e.size), kSizeWidth).c_str(), printable(e.id).c_str());
    }
    if (shown < entries.size()) std::fprintf(out, "… %zu more\n", entries.size() - shown);
    std::fprintf(out, "%zu %s\n", entries.size(), entries.size() == 1 ? "item" : "items");
}

void print_fields(std::FILE *out, const std::vector<std::pair<std::string, std::string>> &fields,
                  std::string_view indent) {
    std::size_t width = 0;
    for (const auto &[key, value] : fields) width = std::max(width, display_width(key));
    for (const auto &[key, value] : fields) {
        std::fprintf(out, "%.*s%s  %s\n", static_cast<int>(indent.size()), indent.data(),
                     pad(printable(key), width).c_str(), printable(value).c_str());
    }
}

void print_tree_line(std::FILE *out, const TreeDrawing &drawing, std::string_view prefix,
                     bool last, const Entry &entry, std::string_view note) {
    std::string details;
    if (!entry.folder) {
        details = "  [" + year_text(entry.year) + ", " + human_size(entry.size) + "]";
    } else if (entry.year > 0) {
        details = "  [" + year_text(entry.year) + "]";
    }
    const std::string shown_note = note.empty() ? std::string() : "  (" + printable(note) + ")";
    std::fprintf(out, "%.*s%s%s%s%s  %s%s\n", static_cast<int>(prefix.size()), prefix.data(),
                 last ? drawing.last_branch : drawing.branch, printable(entry.name).c_str(),
                 entry.folder ? "/" : "", details.c_str(), printable(entry.id).c_str(),
                 shown_note.c_str());
}

std::string tree_child_prefix(const TreeDrawing &drawing, std::string_view prefix, bool last) {
    return std::string(prefix) + (last ? drawing.blank : drawing.through);
}

}  // namespace kojelly::cli
