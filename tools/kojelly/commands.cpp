// The validate, ls, tree and stream commands of the kojelly tool; see commands.hpp.
#include "commands.hpp"

#include <set>

#include "cli_options.hpp"
#include "json_writer.hpp"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr const char *kClearLine = "\r\033[K";
// Room for "Authorization: " and the NUL around a header value.
constexpr std::size_t kHeaderLineSlack = 32;

std::string failure_text(const Outcome &o) {
    return printable(o.text) + " (status " + std::to_string(o.code) + ": " + status_name(o.code) +
           ")";
}

void print_json_line(std::FILE *out, const std::string &json) {
    std::fputs(json.c_str(), out);
    std::fputc('\n', out);
}

struct Walk {
    TreeBounds bounds;
    const TreeDrawing *drawing = &kUnicodeTree;
    int first_exit = 0;
    std::size_t folders = 0;
    std::size_t entries = 0;
    std::size_t cut_by_depth = 0;    // folders the default depth left unlisted
    std::size_t cut_by_entries = 0;  // folders the entry limit left unlisted
    std::set<std::string> seen;
    bool progress_shown = false;
};

void show_progress(Session &s, Walk &w) {
    if (!s.progress) return;
    std::fprintf(s.err, "%swalking: %zu folders listed, %zu entries", kClearLine, w.folders,
                 w.entries);
    std::fflush(s.err);
    w.progress_shown = true;
}

// The progress line goes away before a line of the tree takes its place on the terminal.
void clear_progress(Session &s, Walk &w) {
    if (!w.progress_shown) return;
    std::fputs(kClearLine, s.err);
    w.progress_shown = false;
}

// Lists one folder of the walk. What was printed so far goes out first, so that a walk stopped
// while it waits for the server (Ctrl-C) leaves everything it has shown.
Listing list_for_walk(Session &s, Walk &w, const std::string &folder_id, int level) {
    std::fflush(s.out);
    Listing l = fetch_listing(s, folder_id);
    ++w.folders;
    if (l.exit != 0) {
        if (w.first_exit == 0) w.first_exit = l.exit;
        return l;
    }
    w.entries += l.entries.size();
    if (s.json) {
        std::string line = "{\"folder\":";
        append_json_string(line, folder_id);
        line += ",\"depth\":" + std::to_string(level) + ",\"listing\":" + l.json + "}";
        print_json_line(s.out, line);
    }
    show_progress(s, w);
    return l;
}

// Prints the entries of a folder listed at level, each line as soon as it is known, and below
// each folder among them its own entries, the bounds permitting. A folder below that fails keeps
// its place in the tree with the reason; a folder met again (a server may link one folder from
// two places) is not walked twice, so a cycle cannot make the walk endless, and the bounds stop
// a server that makes up new folders without end. Only the listings on the way down to the
// folder being walked are held.
void walk(Session &s, Walk &w, const std::vector<Entry> &entries, int level,
          const std::string &prefix) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry &e = entries[i];
        const bool last = i + 1 == entries.size();
        const bool descend = e.folder && level < w.bounds.depth;
        std::string note;
        Listing below;
        bool listed = false;
        if (e.folder && !descend && !w.bounds.depth_given) {
            ++w.cut_by_depth;
            note = "not listed: the default depth of " + std::to_string(w.bounds.depth);
        } else if (descend && w.seen.count(e.id) > 0) {
            note = "listed above";
        } else if (descend && w.entries >= w.bounds.max_entries) {
            ++w.cut_by_entries;
            note = "not listed: the limit of " + std::to_string(w.bounds.max_entries) + " entries";
        } else if (descend) {
            w.seen.insert(e.id);
            below = list_for_walk(s, w, e.id, level + 1);
            listed = below.exit == 0;
            if (!listed) note = "error: " + below.message;
        }
        if (!s.json) {
            clear_progress(s, w);
            print_tree_line(s.out, *w.drawing, prefix, last, e, note);
        }
        if (listed) walk(s, w, below.entries, level + 1, tree_child_prefix(*w.drawing, prefix, last));
    }
}

// A request table that hands every request on to another one with a few header lines added,
// so that a request the support library builds itself (the Range GET) still carries the
// Authorization header the plug-in answered with. libcurl sends such a line to the URL's own
// host only, never on to the host of a redirect.
class WithHeaders {
public:
    WithHeaders(const tessel_http *inner, std::vector<std::string> lines)
        : inner_(inner), lines_(std::move(lines)) {
        table_.size = sizeof table_;
        table_.version = inner->version;
        table_.user = this;
        table_.request = &WithHeaders::request;
        table_.free = &WithHeaders::release;
    }
    WithHeaders(const WithHeaders &) = delete;
    WithHeaders &operator=(const WithHeaders &) = delete;

    const tessel_http *http() const { return &table_; }

private:
    static std::int32_t request(void *user, const tessel_http_req *req, std::int32_t *status,
                                char **error) noexcept {
        const auto &self = *static_cast<const WithHeaders *>(user);
        try {
            std::vector<const char *> lines(req->headers, req->headers + req->header_count);
            for (const std::string &line : self.lines_) lines.push_back(line.c_str());
            tessel_http_req with = *req;
            with.headers = lines.data();
            with.header_count = lines.size();
            if (!self.lines_.empty()) with.credentials = 1;
            return self.inner_->request(self.inner_->user, &with, status, error);
        } catch (...) {
            // No text: only the inner table knows how to allocate one its free() accepts.
            if (error) *error = nullptr;
            return -1;
        }
    }
    static void release(void *user, void *mem) noexcept {
        const tessel_http *inner = static_cast<const WithHeaders *>(user)->inner_;
        inner->free(inner->user, mem);
    }

    const tessel_http *inner_;
    std::vector<std::string> lines_;
    tessel_http table_{};
};

}  // namespace

int report(Session &s, const Outcome &o) {
    std::fprintf(s.err, "kojelly: %s\n", failure_text(o).c_str());
    return exit_status_for(o.code);
}

Listing fetch_listing(Session &s, const std::string &folder_id) {
    Listing l;
    const Outcome o = s.plugin->list(s.settings, folder_id);
    if (!o.ok()) {
        l.exit = exit_status_for(o.code);
        l.message = failure_text(o);
        return l;
    }
    l.json = o.text;
    if (!parse_listing(l.json, l.entries, l.message)) l.exit = kExitTool;
    return l;
}

int cmd_validate(Session &s) {
    const Outcome o = s.plugin->validate(s.settings);
    if (!o.ok()) return report(s, o);
    if (s.json) {
        print_json_line(s.out, o.text);
        return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    if (!parse_fields(o.text, fields)) {
        std::fprintf(s.err, "kojelly: the plug-in's validation answer is not a JSON object\n");
        return kExitTool;
    }
    print_fields(s.out, fields);
    std::fprintf(s.out, "The server is reachable and accepts the credentials.\n");
    return kExitOk;
}

int cmd_ls(Session &s, const std::string &folder_id, std::size_t limit) {
    const Listing l = fetch_listing(s, folder_id);
    if (l.exit != 0) {
        std::fprintf(s.err, "kojelly: %s\n", l.message.c_str());
        return l.exit;
    }
    if (s.json) {
        print_json_line(s.out, l.json);
    } else {
        print_table(s.out, l.entries, limit);
    }
    return kExitOk;
}

// Says on err, and with --json in a last line on out, which bounds cut the walk short.
void report_cut(Session &s, const Walk &w) {
    const std::size_t cut = w.cut_by_depth + w.cut_by_entries;
    if (cut == 0) return;
    const auto folders = [](std::size_t n) { return n == 1 ? "folder" : "folders"; };
    if (w.cut_by_depth > 0) {
        std::fprintf(s.err,
                     "kojelly: the walk stopped at the default depth of %d and left %zu %s "
                     "unlisted (--depth N goes deeper)\n",
                     w.bounds.depth, w.cut_by_depth, folders(w.cut_by_depth));
    }
    if (w.cut_by_entries > 0) {
        std::fprintf(s.err,
                     "kojelly: the walk stopped at the limit of %zu entries and left %zu %s "
                     "unlisted (--max-entries N raises it)\n",
                     w.bounds.max_entries, w.cut_by_entries, folders(w.cut_by_entries));
    }
    if (!s.json) return;
    const JsonDocument doc;
    const JsonObject report = doc.root().object("cut_short");
    report.num("folders_not_listed", static_cast<std::int64_t>(cut));
    if (w.cut_by_depth > 0) report.num("depth", w.bounds.depth);
    if (w.cut_by_entries > 0)
        report.num("max_entries", static_cast<std::int64_t>(w.bounds.max_entries));
    print_json_line(s.out, doc.text());
}

int cmd_tree(Session &s, const std::string &folder_id, const TreeBounds &bounds) {
    Walk w;
    w.bounds = bounds;
    w.drawing = s.ascii ? &kAsciiTree : &kUnicodeTree;
    w.seen.insert(folder_id);
    const Listing top = list_for_walk(s, w, folder_id, 1);
    if (top.exit != 0) {
        clear_progress(s, w);
        std::fprintf(s.err, "kojelly: %s\n", top.message.c_str());
        return top.exit;
    }
    if (!s.json) {
        clear_progress(s, w);
        std::fprintf(s.out, "%s\n",
                     folder_id.empty() ? "(libraries)" : printable(folder_id).c_str());
    }
    walk(s, w, top.entries, 1, "");
    clear_progress(s, w);
    if (!s.json) std::fprintf(s.out, "%zu folders listed, %zu entries\n", w.folders, w.entries);
    report_cut(s, w);
    if (w.first_exit != 0) {
        std::fprintf(s.err, "kojelly: some folders could not be listed; see the marks above\n");
    }
    return w.first_exit;
}

std::string entry_for(std::string_view item) {
    const std::string_view t = trim(item);
    if (!t.empty() && (t.front() == '{' || t.front() == '"')) return std::string(item);
    return json_string(item);
}

Probe probe_stream(const tessel_http *http, const std::string &url,
                   const std::string &authorization) {
    Probe p;
    std::vector<std::string> lines;
    if (!authorization.empty()) {
        std::vector<char> line(authorization.size() + kHeaderLineSlack);
        if (tessel_header_line("Authorization", authorization.c_str(), line.data(), line.size()) !=
            0) {
            p.error = "the Authorization header is not a valid header value";
            return p;
        }
        lines.emplace_back(line.data());
    }
    const WithHeaders authorized(http, std::move(lines));
    tessel_collect collected;
    tessel_collect_init(&collected, static_cast<std::uint64_t>(kProbeBytes));
    const Handle<tessel_collect, tessel_collect_free> c(&collected);
    char *error = nullptr;
    p.result = tessel_http_range(authorized.http(), url.c_str(), 0, kProbeBytes - 1, c.get(),
                                 &p.status, &error);
    if (error) {
        p.error = error;
        authorized.http()->free(authorized.http()->user, error);
    }
    if (p.result != 0 && p.error.empty()) p.error = "transport failure";
    if (const char *range = tessel_hdrs_get(&c->headers, "Content-Range")) p.content_range = range;
    p.bytes = c->body.len;
    return p;
}

int stream_answer(Session &s, const std::string &item, Outcome &o, StreamAnswer &a) {
    o = s.plugin->stream_url(s.settings, entry_for(item));
    if (!o.ok()) return report(s, o);
    std::string why;
    if (!parse_stream(o.text, a, why)) {
        std::fprintf(s.err, "kojelly: %s\n", why.c_str());
        return kExitTool;
    }
    return kExitOk;
}

int cmd_stream(Session &s, const std::string &item, bool probe) {
    Outcome o;
    StreamAnswer a;
    if (const int exit = stream_answer(s, item, o, a); exit != kExitOk) return exit;
    if (s.json) {
        print_json_line(s.out, o.text);
    } else {
        std::string size = human_size(a.size);
        if (a.size >= 0) size += " (" + std::to_string(a.size) + " bytes)";
        std::vector<std::pair<std::string, std::string>> fields = {
            {"name", a.name + (a.year > 0 ? " (" + std::to_string(a.year) + ")" : "")},
            {"id", a.id},
            {"url", a.url},
            {"header", "Authorization: " + a.authorization},
            {"size", size},
            {"container", a.container.empty() ? "-" : a.container},
        };
        print_fields(s.out, fields);
    }
    if (!probe) return kExitOk;

    const Probe p = probe_stream(s.media, a.url, a.authorization);
    std::FILE *where = s.json ? s.err : s.out;
    if (p.result != 0) {
        std::fprintf(s.err, "kojelly: probe of %s failed: %s\n",
                     printable(s.plugin->redact(a.url)).c_str(), printable(p.error).c_str());
        return kExitProbe;
    }
    std::string line = "HTTP " + std::to_string(p.status);
    if (!p.content_range.empty()) line += ", Content-Range: " + printable(p.content_range);
    line += ", " + std::to_string(p.bytes) + " bytes received";
    if (p.status == 200) line += " (the server ignored the range; stopped after 64 KiB)";
    // Aligned with the fields above, whose longest key is "container".
    std::fprintf(where, s.json ? "probe: %s\n" : "probe      %s\n", line.c_str());
    if (!p.ok()) {
        std::fprintf(s.err, "kojelly: probe of %s failed: HTTP %d\n",
                     printable(s.plugin->redact(a.url)).c_str(), p.status);
        return kExitProbe;
    }
    return kExitOk;
}

}  // namespace kojelly::cli
