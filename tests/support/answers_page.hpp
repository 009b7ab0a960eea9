// The examples of docs/answers.md and how a test asks the plug-in for them, shared by the two
// tests that hold the page to the plug-in: tests/e2e/answers_doc_test.cpp, which asks the demo
// server over libcurl (Linux only) and records what it answers, and
// tests/plugin/answers_replay_test.cpp, which serves that recording through the scripted fake
// server on every system the plug-in builds for.
//
// The page marks each example with an `<!-- example: NAME -->` line right before its fenced
// block. The page writes the server's address as http://127.0.0.1:8096; that address is the one
// thing a test may replace, both ways, when its server listens elsewhere.
//
// Header-only: the two tests live in binaries of different folders, and this keeps either from
// needing a build rule for the other's sources.
#pragma once

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_doc.hpp"
#include "kojelly.h"

namespace answers_page {

// The server address as the page writes it, and the API key of the page's settings.
constexpr std::string_view kDocBase = "http://127.0.0.1:8096";
constexpr const char *kApiKey = "0123456789abcdef0123456789abcdef";

// Room for every answer of the examples; the largest is under 2 KiB.
constexpr std::int32_t kOutSize = 64 * 1024;

// ---- The page ---------------------------------------------------------------------------------

constexpr std::string_view kMarkerOpen = "<!-- example: ";
constexpr std::string_view kMarkerClose = " -->";
constexpr std::string_view kFence = "```";

// The marked blocks of a page by name, or why the page cannot be read that way.
struct Blocks {
    std::map<std::string, std::string> text;
    std::string error;
};

// A block is the lines between an opening fence (the line after its marker) and the next line
// that is a bare fence, joined by line feeds, without a final one. Any line that begins like a
// marker must be a whole marker, so that a misspelt one is reported rather than passed over.
inline Blocks marked_blocks(const std::string &page) {
    Blocks b;
    std::vector<std::string> lines;
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (!line.starts_with("<!-- example")) continue;
        const std::string where = "line " + std::to_string(i + 1) + ": ";
        if (!line.starts_with(kMarkerOpen) || !line.ends_with(kMarkerClose) ||
            line.size() <= kMarkerOpen.size() + kMarkerClose.size()) {
            b.error = where + "malformed marker " + lines[i];
            return b;
        }
        const std::string name(line.substr(kMarkerOpen.size(),
                                           line.size() - kMarkerOpen.size() - kMarkerClose.size()));
        if (i + 1 >= lines.size() || !lines[i + 1].starts_with(kFence)) {
            b.error = where + "marker " + name + " is not followed by a fenced block";
            return b;
        }
        std::string content;
        std::size_t end = i + 2;
        for (; end < lines.size() && lines[end] != kFence; ++end) {
            if (end > i + 2) content += '\n';
            content += lines[end];
        }
        if (end == lines.size()) {
            b.error = where + "the block of " + name + " is not closed";
            return b;
        }
        if (!b.text.emplace(name, content).second) {
            b.error = where + name + " is marked twice";
            return b;
        }
        i = end;
    }
    return b;
}

inline std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The whole file as it is on disk (no line-end translation on Windows); false when it cannot be
// read.
inline bool read_file(const std::string &path, std::string &text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream all;
    all << file.rdbuf();
    text = all.str();
    return true;
}

// The checked-in recording of the demo server's answers, found from the page's path
// (docs/answers.md of the same source tree), so that both tests name the one file the same way.
// Forward slashes only: the Windows test runs under Wine, which opens "/work/..." on the drive
// that maps the Linux root.
inline std::string recording_path(const std::string &page_path) {
    std::string root = page_path;
    for (int up = 0; up < 2; ++up) {
        const std::size_t slash = root.find_last_of('/');
        root = slash == std::string::npos ? std::string(".") : root.substr(0, slash);
    }
    return root + "/tests/data/answers_server.txt";
}

// ---- The examples -----------------------------------------------------------------------------

enum class Op { validate, list, stream_url, download, parse_items };
// The two ways a host reaches a request: the handler table with its io, or a flat export over
// the io selected with kojelly_set_io. kojelly_parse_items has only the second.
enum class Via { table, flat };

// A documented request and the marked block that shows its answer. Settings and argument are
// either text written here or the content of a marked input block of the page.
struct Example {
    const char *answer;
    Op op;
    const char *arg;       // the folder id, the entry or the body; NULL for none or a block
    const char *arg_from;  // marker of the block holding the argument, or NULL
    const char *settings;  // NULL for the page's own settings block
    std::int32_t code;
};

constexpr const char *kSettingsBlock = "settings";

inline const Example kExamples[] = {
    {"validate", Op::validate, nullptr, nullptr, nullptr, KOJELLY_OK},
    {"list-root", Op::list, "", nullptr, nullptr, KOJELLY_OK},
    {"list-folder", Op::list, "2fdf7148637f25e00d7ea309db80d3ee", nullptr, nullptr, KOJELLY_OK},
    {"list-empty", Op::list, "b6cffb9c30060482955f2e44e9bd8509", nullptr, nullptr, KOJELLY_OK},
    {"parse-items", Op::parse_items, nullptr, "parse-items-body", nullptr, KOJELLY_OK},
    {"stream", Op::stream_url, nullptr, "stream-entry", nullptr, KOJELLY_OK},
    {"error-no-folder", Op::list, "00000000000000000000000000000000", nullptr, nullptr,
     KOJELLY_ENOTFOUND},
    {"error-stream-folder", Op::stream_url, "\"2fdf7148637f25e00d7ea309db80d3ee\"", nullptr,
     nullptr, KOJELLY_ENOTFOUND},
    {"error-settings", Op::validate, nullptr, nullptr, R"({"FullUrl":"http://127.0.0.1:8096"})",
     KOJELLY_EINVAL},
    {"error-download", Op::download, nullptr, "stream-entry", nullptr, KOJELLY_EUNSUPPORTED},
};

// Blocks that are requests rather than answers.
inline const char *const kInputBlocks[] = {kSettingsBlock, "parse-items-body", "stream-entry"};

// The /Items page of the folder example as a host fetches it itself for kojelly_parse_items,
// with the fields the page names.
constexpr std::string_view kFolderPage =
    "/Items?ParentId=2fdf7148637f25e00d7ea309db80d3ee&Fields=ParentId,ProductionYear,Size,"
    "ProviderIds,Container,MediaSources";

// ---- Asking the plug-in -----------------------------------------------------------------------

// The exports a host calls for the answers of the page: resolved from the loaded library by the
// end-to-end test, taken from the linked plug-in by the replay.
struct Plugin {
    const kojelly_handler_table *table = nullptr;
    std::int32_t (*set_io)(const tessel_io *) = nullptr;
    std::int32_t (*validate)(const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*list)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*stream_url)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*download)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*parse_items)(const char *, char *, std::int32_t) = nullptr;
    const char *(*result_json)() = nullptr;
    const char *(*last_error)() = nullptr;
};

// What one request left behind: its code, the caller's buffer and both slots.
struct Outcome {
    std::int32_t code = 0;
    std::string out;
    std::string result;
    std::string error;
};

// The "error" member of an error object, or "(not an error object)".
inline std::string error_member(const std::string &json) {
    const json_doc::Doc doc = json_doc::read(json);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    const char *text = yyjson_get_str(yyjson_obj_get(root, "error"));
    return yyjson_obj_size(root) == 1 && text ? text : "(not an error object)";
}

// One page's examples asked of one plug-in over one transport. io is what the handler table
// gets and what the caller has selected with set_io for the flat exports; http is its request
// table, for the host's own fetch; base is the address the server really has.
class Runner {
public:
    Runner(const Blocks &blocks, const Plugin &plugin, const tessel_io *io, const tessel_http *http,
           std::string base)
        : blocks_(blocks), plugin_(plugin), io_(io), http_(http), base_(std::move(base)) {}

    // The text of a marked block; the running test fails when the page lacks it.
    std::string block(const std::string &name) const {
        const auto it = blocks_.text.find(name);
        if (it == blocks_.text.end()) {
            ADD_FAILURE() << "docs/answers.md has no block marked " << name;
            return {};
        }
        return it->second;
    }

    // The page's text as sent to the server, and the plug-in's as the page writes it.
    std::string to_server(const std::string &text) const {
        return replace_all(text, kDocBase, base_);
    }
    std::string to_page(const std::string &text) const {
        return replace_all(text, base_, kDocBase);
    }

    Outcome run(const Example &e, Via via) const {
        const std::string settings = to_server(e.settings ? e.settings : block(kSettingsBlock));
        const std::string arg = e.arg ? e.arg : e.arg_from ? block(e.arg_from) : "";
        const char *s = settings.c_str();
        const char *a = arg.c_str();
        const kojelly_handler_table &t = *plugin_.table;
        std::vector<char> out(kOutSize, '\0');
        char *o = out.data();
        Outcome r;
        switch (e.op) {
            case Op::validate:
                r.code = via == Via::table ? t.validate(io_, s, o, kOutSize)
                                           : plugin_.validate(s, o, kOutSize);
                break;
            case Op::list:
                r.code = via == Via::table ? t.list(io_, s, a, o, kOutSize)
                                           : plugin_.list(s, a, o, kOutSize);
                break;
            case Op::stream_url:
                r.code = via == Via::table ? t.stream_url(io_, s, a, o, kOutSize)
                                           : plugin_.stream_url(s, a, o, kOutSize);
                break;
            case Op::download:
                r.code = via == Via::table ? t.download(io_, s, a, o, kOutSize)
                                           : plugin_.download(s, a, o, kOutSize);
                break;
            case Op::parse_items:
                r.code = plugin_.parse_items(a, o, kOutSize);
                break;
        }
        r.result = plugin_.result_json();
        r.error = plugin_.last_error();
        r.out = to_page(o);
        return r;
    }

    // Every example, each way a host reaches it, requiring the code, the buffer and both slots
    // to be what the page shows.
    void expect_documented_answers() const {
        for (const Example &e : kExamples) {
            const std::string documented = block(e.answer);
            for (const Via via : ways(e)) {
                SCOPED_TRACE(std::string(e.answer) + (via == Via::table ? " (handler table)" : ""));
                const Outcome got = run(e, via);
                EXPECT_EQ(got.code, e.code) << got.error;
                EXPECT_EQ(got.out, documented);
                // The page's delivery rules: an answer is in the result slot too; a failure
                // leaves that slot empty and its message, the error object's text, in the error
                // slot.
                if (e.code == KOJELLY_OK) {
                    EXPECT_EQ(to_page(got.result), documented);
                    EXPECT_EQ(got.error, "");
                } else {
                    EXPECT_EQ(got.result, "");
                    EXPECT_EQ(got.error, error_member(documented));
                }
            }
        }
    }

    // The page says that kojelly_parse_items turns the /Items answer for the folder example into
    // exactly that example: the host's own fetch, with the fields the page names.
    void expect_parsed_folder_page_is_the_folder_listing() const {
        std::string body;
        std::string why;
        const std::int32_t status = fetch_folder_page(body, why);
        ASSERT_EQ(status, 200) << why << body;
        std::vector<char> out(kOutSize);
        ASSERT_EQ(plugin_.parse_items(body.c_str(), out.data(), kOutSize), KOJELLY_OK)
            << plugin_.last_error();
        EXPECT_EQ(std::string(out.data()), block("list-folder"));
    }

    // Every request the two checks above make, without checking the answers: what the server's
    // recording has to hold.
    void ask_everything() const {
        for (const Example &e : kExamples) {
            for (const Via via : ways(e)) run(e, via);
        }
        std::string body;
        std::string why;
        fetch_folder_page(body, why);
    }

private:
    static std::vector<Via> ways(const Example &e) {
        if (e.op == Op::parse_items) return {Via::flat};
        return {Via::table, Via::flat};
    }

    // The status of the host's GET of the folder page (0 when no answer came, with the
    // transport's reason in why) and its body.
    std::int32_t fetch_folder_page(std::string &body, std::string &why) const {
        const std::string url = base_ + std::string(kFolderPage);
        const std::string auth =
            std::string("Authorization: MediaBrowser Client=\"answers-test\", ") +
            "Device=\"test\", DeviceId=\"living-room\", Version=\"1\", Token=\"" + kApiKey + "\"";
        const char *lines[] = {auth.c_str()};
        tessel_http_req req{};
        req.size = sizeof req;
        req.method = "GET";
        req.url = url.c_str();
        req.headers = lines;
        req.header_count = 1;
        req.on_header = [](void *, const char *, const char *) -> std::int32_t { return 0; };
        req.on_body = [](void *user, const void *bytes, std::uint64_t n) -> std::int32_t {
            static_cast<std::string *>(user)->append(static_cast<const char *>(bytes), n);
            return 0;
        };
        req.user = &body;
        std::int32_t status = 0;
        char *error = nullptr;
        const std::int32_t rc = http_->request(http_->user, &req, &status, &error);
        if (error) {
            why = error;
            if (http_->free) http_->free(http_->user, error);
        }
        return rc == 0 ? status : 0;
    }

    const Blocks &blocks_;
    Plugin plugin_;
    const tessel_io *io_;
    const tessel_http *http_;
    std::string base_;
};

// ---- The recording of the demo server's answers -----------------------------------------------
//
// A text file of exchanges, each the method and URL as the plug-in (or the host) sent them, the
// request body when there was one, and the status and body of the answer, with the server's
// address written as the page writes it. Bodies are stored with their length, byte for byte, so
// that any answer survives; the demo server's are one line of JSON each, so a change to one
// shows as that line in a diff. Each exchange follows a blank line:
//
//   GET http://127.0.0.1:8096/System/Info/Public
//   answer 200 152
//   {"LocalAddress":...}
//
// and a request with a body has "sent N", a line feed and its N bytes and a line feed between
// the request line and the answer. Each (method, URL) appears once: the fake server that replays
// the file holds one answer per route.

struct Exchange {
    std::string method;
    std::string url;
    std::string sent;  // request body; empty for none
    std::int32_t status = 0;
    std::string body;

    bool operator==(const Exchange &) const = default;
};

// What the recording writes for a value the server makes up anew with every answer.
constexpr const char *kSteadySession = "00000000000000000000000000000000";

inline constexpr std::string_view kRecordingHeading =
    "# The demo server's answers to every request made while docs/answers.md's examples are\n"
    "# checked, with its address written as http://127.0.0.1:8096 (its port alone as 8096).\n"
    "# tests/e2e/answers_doc_test.cpp records them and requires this file to be what it recorded\n"
    "# (set KOJELLY_UPDATE_ANSWERS_RECORDING=1 to rewrite it); "
    "tests/plugin/answers_replay_test.cpp\n"
    "# serves them through the fake server. Bodies are stored with their length in bytes. The\n"
    "# play session of a PlaybackInfo answer, new with every answer, is written as 32 zeros.\n";

inline std::string recording_text(const std::vector<Exchange> &exchanges) {
    std::string text(kRecordingHeading);
    for (const Exchange &x : exchanges) {
        text += "\n" + x.method + " " + x.url + "\n";
        if (!x.sent.empty()) text += "sent " + std::to_string(x.sent.size()) + "\n" + x.sent + "\n";
        text += "answer " + std::to_string(x.status) + " " + std::to_string(x.body.size()) + "\n" +
                x.body + "\n";
    }
    return text;
}

struct Recording {
    std::vector<Exchange> exchanges;
    std::string error;  // empty when the text was read whole
};

// Reads what recording_text writes; anything else is reported with the line where it starts,
// never read as fewer exchanges.
inline Recording parse_recording(const std::string &text) {
    Recording r;
    std::size_t at = 0;
    std::size_t next = 1;     // the number of the line that starts at `at`
    std::size_t current = 0;  // the number of the line next_line returned last
    const auto fail = [&](std::size_t line_no, const std::string &why) {
        r.exchanges.clear();
        r.error = "line " + std::to_string(line_no) + ": " + why;
        return r;
    };
    // The next line without its line feed; false at the end or when the line is not ended.
    const auto next_line = [&](std::string &line) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        line = text.substr(at, end - at);
        at = end + 1;
        current = next++;
        return true;
    };
    // `count` bytes and the line feed after them.
    const auto bytes = [&](const std::string &count, std::string &into) {
        if (count.empty() || count.size() > 9 ||
            count.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        const std::size_t n = std::stoul(count);
        if (text.size() - at < n + 1 || text[at + n] != '\n') return false;
        into = text.substr(at, n);
        for (const char c : into) next += c == '\n';
        at += n + 1;
        ++next;
        return true;
    };
    std::string line;
    while (at < text.size() && text[at] == '#') {
        if (!next_line(line)) return fail(next, "unended comment");
    }
    while (at < text.size()) {
        if (!next_line(line)) return fail(next, "expected the blank line before an exchange");
        if (!line.empty()) return fail(current, "expected the blank line before an exchange");
        Exchange x;
        if (!next_line(line)) return fail(next, "expected a request line");
        const std::size_t request_line = current;
        const std::size_t space = line.find(' ');
        if (space == std::string::npos || space == 0 || space + 1 == line.size() ||
            line.find(' ', space + 1) != std::string::npos) {
            return fail(current, "expected \"METHOD URL\", got \"" + line + "\"");
        }
        x.method = line.substr(0, space);
        x.url = line.substr(space + 1);
        if (!next_line(line)) return fail(next, "expected the answer of " + x.url);
        if (line.starts_with("sent ")) {
            if (!bytes(line.substr(5), x.sent) || x.sent.empty()) {
                return fail(current, "the sent body of " + x.url + " does not have its length");
            }
            if (!next_line(line)) return fail(next, "expected the answer of " + x.url);
        }
        const std::size_t space2 = line.find(' ', 7);
        if (!line.starts_with("answer ") || space2 == std::string::npos) {
            return fail(current, "expected \"answer STATUS LENGTH\", got \"" + line + "\"");
        }
        const std::string status = line.substr(7, space2 - 7);
        if (status.size() != 3 || status.find_first_not_of("0123456789") != std::string::npos) {
            return fail(current, "status " + status + " is not three digits");
        }
        x.status = std::stoi(status);
        if (!bytes(line.substr(space2 + 1), x.body)) {
            return fail(current, "the answer of " + x.url + " does not have its length");
        }
        for (const Exchange &seen : r.exchanges) {
            if (seen.method == x.method && seen.url == x.url) {
                return fail(request_line, x.method + " " + x.url + " is recorded twice");
            }
        }
        r.exchanges.push_back(std::move(x));
    }
    return r;
}

}  // namespace answers_page
