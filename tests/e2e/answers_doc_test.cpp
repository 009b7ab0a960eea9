// The examples of docs/answers.md are what the plug-in writes. This test loads the plug-in with
// dlopen as a host does, sends every documented request through the tool's libcurl transport to
// a demo server started here, and requires each marked answer to be the plug-in's text byte for
// byte (the examples and how they are asked: tests/support/answers_page.hpp). The server's port
// changes from run to run; the page writes its address as http://127.0.0.1:8096, and that
// address is the one thing replaced, both ways.
//
// Every exchange with the server goes through a recording transport, and the recording must be
// tests/data/answers_server.txt, the file that tests/plugin/answers_replay_test.cpp serves
// through the fake server on systems without the demo server: so the replay can never check the
// page against answers this server no longer gives. The recording writes the address as the
// page does, and steadies the two things the server makes up anew each run (its port stated
// alone, and a play session). KOJELLY_UPDATE_ANSWERS_RECORDING=1 rewrites the file instead of
// comparing it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/answers_page.hpp"
#include "demo_server.hpp"
#include "http_transport.hpp"
#include "kojelly.h"

namespace {

using answers_page::Blocks;
using answers_page::Exchange;
using answers_page::kApiKey;
using answers_page::kDocBase;
using answers_page::Plugin;
using answers_page::Runner;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using kojelly::cli::HttpTransport;
using kojelly::cli::TransportOptions;

constexpr const char *kUpdateVariable = "KOJELLY_UPDATE_ANSWERS_RECORDING";

// The plug-in loaded by path, with the exports that a host calls for the answers of the page.
struct PluginLib {
    void *handle = nullptr;
    Plugin entries;

    ~PluginLib() {
        if (!handle) return;
        if (entries.set_io) entries.set_io(nullptr);
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
        resolve("kojelly_set_io", entries.set_io);
        resolve("kojelly_validate", entries.validate);
        resolve("kojelly_list", entries.list);
        resolve("kojelly_stream_url", entries.stream_url);
        resolve("kojelly_download", entries.download);
        resolve("kojelly_parse_items", entries.parse_items);
        resolve("kojelly_result_json", entries.result_json);
        resolve("kojelly_last_error", entries.last_error);
        if (missing.empty()) entries.table = get();
        return missing;
    }
};

// An http-backed io that hands every exchange on to another request table and keeps what was
// sent and what came back, with the server's address written as the page writes it. One
// exchange per (method, URL), as the fake server that replays them holds one answer per route:
// a URL answered differently a second time, or not answered at all, is a problem to report,
// since no replay could reproduce it.
class Recorder {
public:
    Recorder(const tessel_http *inner, std::string base) : inner_(inner), base_(std::move(base)) {
        http_.size = sizeof http_;
        http_.version = 1;
        http_.user = this;
        http_.request = &Recorder::request;
        http_.free = &Recorder::release;
        ctx_.magic = TESSEL_HTTP_CTX_MAGIC;
        ctx_.size = sizeof ctx_;
        ctx_.http = &http_;
        io_.ctx = &ctx_;
    }
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    const tessel_io *io() const { return &io_; }
    const tessel_http *http() const { return &http_; }

    void clear() {
        std::lock_guard lock(lock_);
        exchanges_.clear();
        problems_.clear();
    }
    std::vector<Exchange> exchanges() const {
        std::lock_guard lock(lock_);
        return exchanges_;
    }
    // One line per exchange that cannot be replayed; empty when there is none.
    std::string problems() const {
        std::lock_guard lock(lock_);
        return problems_;
    }

private:
    // What the wrapped request's callbacks see: the caller's record, and the body so far.
    struct Capture {
        const tessel_http_req *caller;
        std::string body;
    };

    static std::int32_t on_header(void *user, const char *name, const char *value) {
        const tessel_http_req *caller = static_cast<Capture *>(user)->caller;
        return caller->on_header ? caller->on_header(caller->user, name, value) : 0;
    }
    static std::int32_t on_body(void *user, const void *bytes, std::uint64_t count) {
        auto *capture = static_cast<Capture *>(user);
        capture->body.append(static_cast<const char *>(bytes), count);
        const tessel_http_req *caller = capture->caller;
        return caller->on_body ? caller->on_body(caller->user, bytes, count) : 0;
    }

    static std::int32_t request(void *user, const tessel_http_req *req, std::int32_t *status,
                                char **error) noexcept {
        auto *self = static_cast<Recorder *>(user);
        try {
            Capture capture{req, {}};
            tessel_http_req wrapped = *req;
            wrapped.on_header = &Recorder::on_header;
            wrapped.on_body = &Recorder::on_body;
            wrapped.user = &capture;
            std::int32_t got = 0;
            const std::int32_t rc =
                self->inner_->request(self->inner_->user, &wrapped, &got, error);
            if (status) *status = got;
            self->keep(*req, rc == 0, got, capture.body);
            return rc;
        } catch (const std::exception &e) {
            // The exchange cannot be kept: the recording test fails on the problem.
            std::lock_guard lock(self->lock_);
            self->problems_ += std::string("recording failed: ") + e.what() + "\n";
            return -1;
        }
    }
    // Error texts come from the wrapped table, which releases them.
    static void release(void *user, void *mem) noexcept {
        const tessel_http *inner = static_cast<Recorder *>(user)->inner_;
        if (inner->free) inner->free(inner->user, mem);
    }

    void keep(const tessel_http_req &req, bool answered, std::int32_t status,
              const std::string &body) {
        Exchange x;
        x.method = req.method;
        x.url = to_page(req.url);
        if (req.body) {
            x.sent = to_page(std::string(static_cast<const char *>(req.body), req.body_len));
        }
        x.status = status;
        x.body = steady(to_page(body));
        std::lock_guard lock(lock_);
        if (!answered) {
            problems_ += x.method + " " + x.url + ": no answer\n";
            return;
        }
        for (const Exchange &seen : exchanges_) {
            if (seen.method != x.method || seen.url != x.url) continue;
            if (seen != x) problems_ += x.method + " " + x.url + ": answered differently again\n";
            return;
        }
        exchanges_.push_back(std::move(x));
    }

    // The server's address, and its port where the server states that alone, as the page
    // writes them.
    std::string to_page(const std::string &text) const {
        const std::string port = base_.substr(base_.find_last_of(':') + 1);
        const std::string doc_port(kDocBase.substr(kDocBase.find_last_of(':') + 1));
        return answers_page::replace_all(answers_page::replace_all(text, base_, kDocBase),
                                         "\"WebSocketPortNumber\":" + port + ",",
                                         "\"WebSocketPortNumber\":" + doc_port + ",");
    }

    // A PlaybackInfo answer names a play session that the server makes up anew each time, and
    // that the plug-in never reads: kept as it came, no two recordings would be alike.
    static std::string steady(std::string body) {
        constexpr std::string_view kMember = "\"PlaySessionId\":\"";
        for (std::size_t at = body.find(kMember); at != std::string::npos;
             at = body.find(kMember, at)) {
            at += kMember.size();
            const std::size_t end = body.find('"', at);
            if (end == std::string::npos) break;
            body.replace(at, end - at, answers_page::kSteadySession);
        }
        return body;
    }

    const tessel_http *inner_;
    const std::string base_;
    tessel_http http_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
    mutable std::mutex lock_;
    std::vector<Exchange> exchanges_;
    std::string problems_;
};

class AnswersDocTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string page;
        ASSERT_TRUE(answers_page::read_file(KOJELLY_ANSWERS_DOC, page))
            << "cannot read " << KOJELLY_ANSWERS_DOC;
        blocks_ = new Blocks(answers_page::marked_blocks(page));

        std::string error;
        ASSERT_TRUE(HttpTransport::global_init(error)) << error;
        DemoOptions o;
        o.api_key = kApiKey;
        server_ = new DemoServer(o);
        ASSERT_TRUE(server_->start(error)) << error;
        TransportOptions c;
        c.bypass_proxy = true;
        transport_ = new HttpTransport(c);
        recorder_ = new Recorder(transport_->http(), server_->url());

        plugin_ = new PluginLib();
        const std::string missing = plugin_->load(KOJELLY_PLUGIN_PATH);
        ASSERT_EQ(missing, "") << KOJELLY_PLUGIN_PATH;
        ASSERT_EQ(plugin_->entries.set_io(recorder_->io()), KOJELLY_OK);
    }
    static void TearDownTestSuite() {
        delete plugin_;  // deselects the io before the transport goes
        // An idle kept-alive connection would hold the server's shutdown until it times out.
        HttpTransport::close_thread_connections();
        delete recorder_;
        delete transport_;
        delete server_;
        delete blocks_;
        plugin_ = nullptr;
        recorder_ = nullptr;
        transport_ = nullptr;
        server_ = nullptr;
        blocks_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(blocks_, nullptr);
        ASSERT_EQ(blocks_->error, "");
        ASSERT_TRUE(plugin_ && plugin_->entries.table);
        recorder_->clear();
    }

    static Runner runner() {
        return Runner(*blocks_, plugin_->entries, recorder_->io(), recorder_->http(),
                      server_->url());
    }

    static Blocks *blocks_;
    static DemoServer *server_;
    static HttpTransport *transport_;
    static Recorder *recorder_;
    static PluginLib *plugin_;
};

Blocks *AnswersDocTest::blocks_ = nullptr;
DemoServer *AnswersDocTest::server_ = nullptr;
HttpTransport *AnswersDocTest::transport_ = nullptr;
Recorder *AnswersDocTest::recorder_ = nullptr;
PluginLib *AnswersDocTest::plugin_ = nullptr;

TEST_F(AnswersDocTest, EachDocumentedAnswerIsWhatThePluginWrites) {
    runner().expect_documented_answers();
}

TEST_F(AnswersDocTest, ParsedPageOfTheFolderExampleIsTheFolderListing) {
    runner().expect_parsed_folder_page_is_the_folder_listing();
}

TEST_F(AnswersDocTest, TheRecordingIsWhatTheDemoServerAnswers) {
    runner().ask_everything();
    ASSERT_EQ(recorder_->problems(), "");
    const std::vector<Exchange> exchanges = recorder_->exchanges();
    const std::string recorded = answers_page::recording_text(exchanges);
    // The replay reads the file back into exactly these exchanges.
    const answers_page::Recording reread = answers_page::parse_recording(recorded);
    ASSERT_EQ(reread.error, "");
    EXPECT_TRUE(reread.exchanges == exchanges);

    const std::string path = answers_page::recording_path(KOJELLY_ANSWERS_DOC);
    const char *update = std::getenv(kUpdateVariable);
    if (update && std::string(update) == "1") {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << recorded;
        file.close();
        ASSERT_TRUE(file) << "cannot write " << path;
        std::cout << "rewrote " << path << " with " << exchanges.size() << " exchanges\n";
        return;
    }
    std::string checked_in;
    ASSERT_TRUE(answers_page::read_file(path, checked_in))
        << "cannot read " << path << "; run this test with " << kUpdateVariable << "=1 to write it";
    EXPECT_EQ(checked_in, recorded)
        << path << " is not what the demo server answers to the requests of docs/answers.md's "
        << "examples, so the replay of the examples without the server no longer checks them "
        << "against real answers. If the server's answers changed on purpose, run this test with "
        << kUpdateVariable << "=1 to rewrite the file, and review its diff.";
}

}  // namespace
