// The examples of docs/answers.md are what the plug-in writes. The page marks each example with
// an `<!-- example: NAME -->` line right before its fenced block; this test loads the plug-in
// with dlopen as a host does, sends every documented request through the tool's libcurl
// transport to a demo server started here, and requires each marked answer to be the plug-in's
// text byte for byte. The server's port changes from run to run; the page writes its address as
// http://127.0.0.1:8096, and that address is the one thing replaced, both ways. A marked block
// that the page lacks, or one that nothing here checks, fails as well, so an example cannot drop
// out of the check by being renamed.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "curl_transport.hpp"
#include "demo_server.hpp"
#include "kojelly.h"

namespace {

using kojelly::cli::CurlOptions;
using kojelly::cli::CurlTransport;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;

// The server address as the page writes it, and the API key of the page's settings.
constexpr std::string_view kDocBase = "http://127.0.0.1:8096";
constexpr const char *kApiKey = "0123456789abcdef0123456789abcdef";

constexpr std::string_view kMarkerOpen = "<!-- example: ";
constexpr std::string_view kMarkerClose = " -->";
constexpr std::string_view kFence = "```";

// Room for every answer of the examples; the largest is under 2 KiB.
constexpr std::int32_t kOutSize = 64 * 1024;

// The marked blocks of a page by name, or why the page cannot be read that way.
struct Blocks {
    std::map<std::string, std::string> text;
    std::string error;
};

// A block is the lines between an opening fence (the line after its marker) and the next line
// that is a bare fence, joined by line feeds, without a final one. Any line that begins like a
// marker must be a whole marker, so that a misspelt one is reported rather than passed over.
Blocks marked_blocks(const std::string &page) {
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

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The plug-in's exports that a host calls for the answers of the page.
struct PluginLib {
    void *handle = nullptr;
    const kojelly_handler_table *table = nullptr;
    std::int32_t (*set_io)(const tessel_io *) = nullptr;
    std::int32_t (*validate)(const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*list)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*stream_url)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*download)(const char *, const char *, char *, std::int32_t) = nullptr;
    std::int32_t (*parse_items)(const char *, char *, std::int32_t) = nullptr;
    const char *(*result_json)() = nullptr;
    const char *(*last_error)() = nullptr;

    ~PluginLib() {
        if (!handle) return;
        if (set_io) set_io(nullptr);
        dlclose(handle);
    }

    // Empty, or the names that could not be resolved.
    std::string load(const char *path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return dlerror();
        std::string missing;
        const auto resolve = [&](const char *name, auto &fn) {
            void *sym = dlsym(handle, name);
            if (!sym) missing += std::string(missing.empty() ? "" : ", ") + name;
            std::memcpy(&fn, &sym, sizeof fn);
        };
        const kojelly_handler_table *(*get)() = nullptr;
        resolve("korch_get", get);
        resolve("kojelly_set_io", set_io);
        resolve("kojelly_validate", validate);
        resolve("kojelly_list", list);
        resolve("kojelly_stream_url", stream_url);
        resolve("kojelly_download", download);
        resolve("kojelly_parse_items", parse_items);
        resolve("kojelly_result_json", result_json);
        resolve("kojelly_last_error", last_error);
        if (missing.empty()) table = get();
        return missing;
    }
};

// What one request left behind: its code, the caller's buffer and both slots.
struct Outcome {
    std::int32_t code = 0;
    std::string out;
    std::string result;
    std::string error;
};

// The "error" member of an error object, or "(not an error object)".
std::string error_member(const std::string &json) {
    std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)> doc(
        yyjson_read(json.data(), json.size(), 0), &yyjson_doc_free);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    const char *text = yyjson_get_str(yyjson_obj_get(root, "error"));
    return yyjson_obj_size(root) == 1 && text ? text : "(not an error object)";
}

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

const Example kExamples[] = {
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
const char *const kInputBlocks[] = {kSettingsBlock, "parse-items-body", "stream-entry"};

class AnswersDocTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::ifstream file(KOJELLY_ANSWERS_DOC, std::ios::binary);
        ASSERT_TRUE(file) << "cannot read " << KOJELLY_ANSWERS_DOC;
        std::ostringstream page;
        page << file.rdbuf();
        blocks_ = new Blocks(marked_blocks(page.str()));

        std::string error;
        ASSERT_TRUE(CurlTransport::global_init(error)) << error;
        DemoOptions o;
        o.api_key = kApiKey;
        server_ = new DemoServer(o);
        ASSERT_TRUE(server_->start(error)) << error;
        CurlOptions c;
        c.bypass_proxy = true;
        transport_ = new CurlTransport(c);

        plugin_ = new PluginLib();
        const std::string missing = plugin_->load(KOJELLY_PLUGIN_PATH);
        ASSERT_EQ(missing, "") << KOJELLY_PLUGIN_PATH;
        ASSERT_EQ(plugin_->set_io(transport_->io()), KOJELLY_OK);
    }
    static void TearDownTestSuite() {
        delete plugin_;  // deselects the io before the transport goes
        // An idle kept-alive connection would hold the server's shutdown until it times out.
        CurlTransport::close_thread_connections();
        delete transport_;
        delete server_;
        delete blocks_;
        plugin_ = nullptr;
        transport_ = nullptr;
        server_ = nullptr;
        blocks_ = nullptr;
    }

    void SetUp() override {
        ASSERT_EQ(blocks_->error, "");
        ASSERT_NE(plugin_->table, nullptr);
    }

    // The text of a marked block; a test fails when the page lacks it.
    static std::string block(const std::string &name) {
        const auto it = blocks_->text.find(name);
        if (it == blocks_->text.end()) {
            ADD_FAILURE() << "docs/answers.md has no block marked " << name;
            return {};
        }
        return it->second;
    }

    // The page's text as sent to this run's server, and the plug-in's as the page writes it.
    static std::string to_server(const std::string &text) {
        return replace_all(text, kDocBase, server_->url());
    }
    static std::string to_page(const std::string &text) {
        return replace_all(text, server_->url(), kDocBase);
    }

    static Outcome run(const Example &e, Via via) {
        const std::string settings = to_server(e.settings ? e.settings : block(kSettingsBlock));
        const std::string arg = e.arg ? e.arg : e.arg_from ? block(e.arg_from) : "";
        const char *s = settings.c_str();
        const char *a = arg.c_str();
        const tessel_io *io = transport_->io();
        const kojelly_handler_table &t = *plugin_->table;
        std::vector<char> out(kOutSize, '\0');
        char *o = out.data();
        Outcome r;
        switch (e.op) {
            case Op::validate:
                r.code = via == Via::table ? t.validate(io, s, o, kOutSize)
                                           : plugin_->validate(s, o, kOutSize);
                break;
            case Op::list:
                r.code = via == Via::table ? t.list(io, s, a, o, kOutSize)
                                           : plugin_->list(s, a, o, kOutSize);
                break;
            case Op::stream_url:
                r.code = via == Via::table ? t.stream_url(io, s, a, o, kOutSize)
                                           : plugin_->stream_url(s, a, o, kOutSize);
                break;
            case Op::download:
                r.code = via == Via::table ? t.download(io, s, a, o, kOutSize)
                                           : plugin_->download(s, a, o, kOutSize);
                break;
            case Op::parse_items:
                r.code = plugin_->parse_items(a, o, kOutSize);
                break;
        }
        r.result = plugin_->result_json();
        r.error = plugin_->last_error();
        r.out = to_page(o);
        return r;
    }

    static Blocks *blocks_;
    static DemoServer *server_;
    static CurlTransport *transport_;
    static PluginLib *plugin_;
};

Blocks *AnswersDocTest::blocks_ = nullptr;
DemoServer *AnswersDocTest::server_ = nullptr;
CurlTransport *AnswersDocTest::transport_ = nullptr;
PluginLib *AnswersDocTest::plugin_ = nullptr;

TEST_F(AnswersDocTest, EveryMarkedBlockIsCheckedAndEveryCheckedBlockIsMarked) {
    std::set<std::string> known(std::begin(kInputBlocks), std::end(kInputBlocks));
    for (const Example &e : kExamples) known.insert(e.answer);
    std::set<std::string> marked;
    for (const auto &[name, text] : blocks_->text) marked.insert(name);
    EXPECT_EQ(marked, known);
}

TEST_F(AnswersDocTest, EachDocumentedAnswerIsWhatThePluginWrites) {
    for (const Example &e : kExamples) {
        const std::string documented = block(e.answer);
        for (const Via via : {Via::table, Via::flat}) {
            if (e.op == Op::parse_items && via == Via::table) continue;
            SCOPED_TRACE(std::string(e.answer) + (via == Via::table ? " (handler table)" : ""));
            const Outcome got = run(e, via);
            EXPECT_EQ(got.code, e.code) << got.error;
            EXPECT_EQ(got.out, documented);
            // The page's delivery rules: an answer is in the result slot too; a failure leaves
            // that slot empty and its message, the error object's text, in the error slot.
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
TEST_F(AnswersDocTest, ParsedPageOfTheFolderExampleIsTheFolderListing) {
    const std::string url = server_->url() +
                            "/Items?ParentId=2fdf7148637f25e00d7ea309db80d3ee&Fields=ParentId,"
                            "ProductionYear,Size,ProviderIds,Container,MediaSources";
    const std::string auth = std::string("Authorization: MediaBrowser Client=\"answers-test\", ") +
                             "Device=\"test\", DeviceId=\"living-room\", Version=\"1\", Token=\"" +
                             kApiKey + "\"";
    const char *lines[] = {auth.c_str()};
    std::string body;
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
    const tessel_http *http = transport_->http();
    std::int32_t status = 0;
    char *error = nullptr;
    const std::int32_t rc = http->request(http->user, &req, &status, &error);
    const std::string why = error ? error : "";
    if (error) http->free(http->user, error);
    ASSERT_EQ(rc, 0) << why;
    ASSERT_EQ(status, 200) << body;

    std::vector<char> out(kOutSize);
    ASSERT_EQ(plugin_->parse_items(body.c_str(), out.data(), kOutSize), KOJELLY_OK)
        << plugin_->last_error();
    EXPECT_EQ(std::string(out.data()), block("list-folder"));
}

// The reader of the marks: each fault of a page must be reported, never read as fewer blocks.
TEST(AnswersDocMarks, ReadsMarkedBlocksAndReportsEveryMalformedPage) {
    struct Case {
        const char *what;
        std::string page;
        std::map<std::string, std::string> blocks;
        std::string error;  // the start of the expected error; empty when the page is sound
    };
    const Case cases[] = {
        {"blocks of one and two lines; an unmarked block is not read",
         "intro\n<!-- example: a -->\n```json\n{}\n```\n```\nfree\n```\n"
         "<!-- example: b -->\n```\nx\n  y\n```\n",
         {{"a", "{}"}, {"b", "x\n  y"}},
         ""},
        {"an empty block", "<!-- example: e -->\n```\n```\n", {{"e", ""}}, ""},
        {"a blank line between marker and fence",
         "<!-- example: a -->\n\n```\n{}\n```\n",
         {},
         "line 1: marker a is not followed"},
        {"a block that is never closed",
         "<!-- example: a -->\n```\n{}\n",
         {},
         "line 1: the block of a is not closed"},
        {"a name marked twice",
         "<!-- example: a -->\n```\n1\n```\n<!-- example: a -->\n```\n2\n```\n",
         {},
         "line 5: a is marked twice"},
        {"a misspelt marker", "<!-- example:a -->\n```\n{}\n```\n", {}, "line 1: malformed marker"},
        {"a marker without a name",
         "<!-- example:  -->\n```\n{}\n```\n",
         {},
         "line 1: malformed marker"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Blocks got = marked_blocks(c.page);
        EXPECT_EQ(got.error.substr(0, c.error.size()), c.error) << got.error;
        EXPECT_EQ(got.error.empty(), c.error.empty()) << got.error;
        if (c.error.empty()) {
            EXPECT_EQ(got.text, c.blocks);
        }
    }
}

}  // namespace
