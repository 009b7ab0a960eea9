// The torture harness: live-block accounting over the wrapped free, the settled state, the host
// transport, outcome capture and judging, and the two sweeps of a scenario.
#include "torture/torture.hpp"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fakes/kojelly_io_fake.hpp"
#include "support/alloc_fail.hpp"
#include "support/heap_size.hpp"
#include "support/json_doc.hpp"

namespace {

using torture::Expect;
using torture::kPassword;
using torture::Outcome;
using torture::secret_in;

std::atomic<uint64_t> g_freed{0};

// The block that watch_free names, how many of its bytes must be zero, and what was found.
std::atomic<const void *> g_watch_block{nullptr};
std::atomic<size_t> g_watch_len{0};
std::atomic<torture::Freed> g_watch_state{torture::Freed::kNotYet};
// The text that watch_text names (set and read on the test's own thread), and its findings.
std::string g_watch_text;
std::atomic<bool> g_watching_text{false};
std::atomic<uint64_t> g_text_found{0};

// Scenario totals, printed once the whole run is over.
std::atomic<uint64_t> g_scenarios{0};
std::atomic<uint64_t> g_failed{0};

class Totals : public ::testing::Environment {
public:
    void TearDown() override {
        if (g_scenarios.load() == 0) return;
        std::printf("[ torture  ] %" PRIu64 " scenarios, %" PRIu64 " allocations failed in total\n",
                    g_scenarios.load(), g_failed.load());
    }
};

[[maybe_unused]] ::testing::Environment *const g_totals =
    ::testing::AddGlobalTestEnvironment(new Totals);

constexpr char kOom[] = "out of memory";
constexpr char kTooSmall[] = "output buffer too small";
constexpr size_t kMaxProblems = 5;

// The message of an error JSON {"error":"..."}; false when text is not exactly one.
bool error_message(const std::string &text, std::string *msg) {
    const json_doc::Doc doc = json_doc::read(text);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 1) return false;
    yyjson_val *e = yyjson_obj_get(root, "error");
    if (!yyjson_is_str(e)) return false;
    msg->assign(yyjson_get_str(e), yyjson_get_len(e));
    return true;
}

// True when got is want with the end of one URL cut off: what a message holds when the
// redaction of the URL it quotes ran out of memory part-way (the redacted part is kept, the rest
// never written).
bool url_cut(const std::string &want, const std::string &got) {
    if (got.size() >= want.size()) return false;
    size_t p = 0;
    while (p < got.size() && got[p] == want[p]) ++p;
    const size_t cut = want.size() - got.size();
    if (got.compare(p, std::string::npos, want, p + cut, std::string::npos) != 0) return false;
    const size_t space = p == 0 ? std::string::npos : want.rfind(' ', p - 1);
    const size_t start = space == std::string::npos ? 0 : space + 1;
    if (want.compare(start, 4, "http") != 0) return false;
    const size_t end = want.find(' ', start);
    return end == std::string::npos || p + cut <= end;
}

// "GET <url>: oom" and its kin: the fake io ran out of memory inside the request, or could not
// even copy its error text.
bool transport_oom(const std::string &msg) {
    const bool method = msg.rfind("GET ", 0) == 0 || msg.rfind("POST ", 0) == 0;
    auto ends = [&](std::string_view tail) {
        return msg.size() >= tail.size() &&
               msg.compare(msg.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
    };
    return method && (ends(": oom") || ends(": transport failure"));
}

// The part of a successful answer that may name a secret: everything, or for a stream answer
// everything behind its "url" and "headers" members, which carry the token by design.
std::string_view open_part(std::string_view answer, bool carries_credentials) {
    if (!carries_credentials) return answer;
    const size_t cut = answer.find(R"(},"size":)");
    return cut == std::string_view::npos ? answer : answer.substr(cut);
}

std::string secret_problem(const Outcome &o, const Expect &x) {
    const bool by_design = x.carries_credentials && o.rc == 0;
    if (std::string_view s = secret_in(o.error); !s.empty())
        return "the error slot names " + std::string(s) + ": " + o.error;
    if (std::string_view s = secret_in(open_part(o.out, by_design)); !s.empty())
        return "the output names " + std::string(s) + ": " + o.out;
    if (std::string_view s = secret_in(open_part(o.result, by_design)); !s.empty())
        return "the result slot names " + std::string(s) + ": " + o.result;
    if (by_design && (o.out.find(kPassword) != std::string::npos ||
                      o.result.find(kPassword) != std::string::npos))
        return "a stream answer names the password";
    return "";
}

}  // namespace

extern "C" {
void __real_free(void *p);

// Every free of the test binary comes through here (it is linked with --wrap=free), so the
// blocks freed can be set against the blocks the countdown allocator handed out.
void __wrap_free(void *p) {
    if (p) g_freed.fetch_add(1, std::memory_order_relaxed);
    if (p && p == g_watch_block.load(std::memory_order_acquire)) {
        const auto *bytes = static_cast<const unsigned char *>(p);
        const size_t n = g_watch_len.load(std::memory_order_relaxed);
        bool zero = true;
        for (size_t i = 0; i < n; ++i) zero = zero && bytes[i] == 0;
        g_watch_state.store(zero ? torture::Freed::kWiped : torture::Freed::kNotWiped);
        g_watch_block.store(nullptr, std::memory_order_release);
    }
    if (p && g_watching_text.load(std::memory_order_acquire)) {
        const std::string_view block(static_cast<const char *>(p), alloc_fail::usable_size(p));
        if (block.find(g_watch_text) != std::string_view::npos) g_text_found.fetch_add(1);
    }
    __real_free(p);
}
}

namespace torture {

std::string_view secret_in(std::string_view text) {
    for (std::string_view s : kSecrets) {
        if (text.find(s) != std::string_view::npos) return s;
    }
    return {};
}

void watch_free(const void *block, size_t n) {
    g_watch_state.store(Freed::kNotYet);
    g_watch_len.store(n, std::memory_order_relaxed);
    g_watch_block.store(block, std::memory_order_release);
}

Freed watched() {
    return g_watch_state.load();
}

void watch_text(std::string_view text) {
    g_watching_text.store(false, std::memory_order_release);
    if (text.empty()) return;
    g_watch_text.assign(text);
    g_text_found.store(0);
    g_watching_text.store(true, std::memory_order_release);
}

uint64_t text_found() {
    return g_text_found.load();
}

int64_t live_blocks() {
    return static_cast<int64_t>(alloc_fail::blocks_made()) -
           static_cast<int64_t>(g_freed.load(std::memory_order_relaxed));
}

void settle() {
    kojelly_fake_reset();
    kojelly_forget_tokens();
    (void)kojelly_use_fake();
    (void)kojelly_allow_writes(0);
    (void)kojelly_redact("");
    (void)kojelly_fake_last_url();
    HostTransport::get().clear();
}

HostTransport &HostTransport::get() {
    static HostTransport host;
    return host;
}

HostTransport::HostTransport() {
    table_ = tessel_http{32, 1, this, &HostTransport::request, &HostTransport::release};
    ctx_ = tessel_http_ctx{TESSEL_HTTP_CTX_MAGIC, 24, &table_, nullptr};
    io_ = tessel_io{&ctx_, nullptr, nullptr, nullptr};
}

void HostTransport::refuse(const std::string &token) {
    std::lock_guard<std::mutex> hold(lock_);
    refused_.insert(token);
}

void HostTransport::clear() {
    std::lock_guard<std::mutex> hold(lock_);
    refused_.clear();
}

uint64_t HostTransport::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

int32_t HostTransport::request(void *user, const tessel_http_req *req, int32_t *status,
                               char **error) {
    auto *self = static_cast<HostTransport *>(user);
    static constexpr std::string_view kMark = "Token=\"";
    std::string token;
    for (uint64_t i = 0; req->headers && i < req->header_count; ++i) {
        const std::string_view line = req->headers[i] ? req->headers[i] : "";
        if (line.rfind("Authorization: ", 0) != 0) continue;
        const size_t at = line.find(kMark);
        if (at == std::string_view::npos) break;
        const std::string_view rest = line.substr(at + kMark.size());
        token.assign(rest.substr(0, rest.find('"')));
    }
    bool refused = false;
    {
        std::lock_guard<std::mutex> hold(self->lock_);
        ++self->requests_;
        refused = !token.empty() && self->refused_.count(token) > 0;
    }
    if (!refused) return kojelly::fake_request(nullptr, req, status, error);
    if (error) *error = nullptr;
    *status = 401;
    const std::string body = "session " + token + " was revoked";
    if (req->on_body) (void)req->on_body(req->user, body.data(), body.size());
    return 0;
}

void HostTransport::release(void *, void *mem) {
    std::free(mem);
}

const tessel_io *bare_io() {
    static const tessel_io io{nullptr, kojelly::f_get, kojelly::f_post, kojelly::f_free};
    return &io;
}

OutBuf::OutBuf(int32_t len) : len_(len) {
    if (len_ <= 0) return;
    bytes_.assign(static_cast<size_t>(len_), 'U');
    bytes_.back() = '\0';
    marker_.assign(bytes_.data());
}

Outcome capture(int32_t rc, const OutBuf &out) {
    Outcome o;
    o.rc = rc;
    o.out = out.text();
    o.untouched = out.untouched();
    const char *result = kojelly_result_json();
    const char *error = kojelly_last_error();
    o.slots_readable = result && error;
    o.result = result ? result : "";
    o.error = error ? error : "";
    return o;
}

Outcome capture_text(const char *text) {
    Outcome o;
    o.rc = text ? 0 : -1;
    o.out = text ? text : "";
    const char *result = kojelly_result_json();
    const char *error = kojelly_last_error();
    o.slots_readable = result && error;
    o.result = result ? result : "";
    o.error = error ? error : "";
    return o;
}

std::string judge(const Outcome &clean, const Outcome &got, const Expect &x) {
    if (!got.slots_readable) return "a slot reads NULL";
    if (std::string p = secret_problem(got, x); !p.empty()) return p;

    if (got.rc == clean.rc && got.out == clean.out) {
        // Without a buffer the result slot is the only place the answer goes.
        if (x.bufferless && got.rc == KOJELLY_OK && got.result.empty() && !clean.result.empty())
            return "a success whose answer is lost: the result slot is empty";
        // The same outcome; a slot whose copy failed reads "".
        if (!got.result.empty() && got.result != clean.result)
            return "the result slot holds " + got.result;
        if (!got.error.empty() && got.error != clean.error)
            return "the error slot holds " + got.error;
        return "";
    }
    if (got.rc == 0) return "a success with another answer: " + got.out;

    std::string from_out;
    if (!got.untouched && !got.out.empty() && !error_message(got.out, &from_out))
        return "the output is neither untouched nor an error JSON: " + got.out;
    if (!got.untouched && got.out.empty() && !x.small_buffer)
        return "the output was emptied although the error JSON fits";
    if (!got.error.empty() && !from_out.empty() && got.error != from_out)
        return "the output says \"" + from_out + "\" but the error slot \"" + got.error + "\"";
    const std::string msg = got.error.empty() ? from_out : got.error;

    if (got.rc == KOJELLY_ETOOSMALL) {
        // Without a buffer the answer lives only in the result slot; when that copy fails the
        // flat export has nothing to hand over and reports the handler's -9.
        if (x.bufferless && got.result.empty() && (msg.empty() || msg == kTooSmall)) return "";
        return "-9 after a failed allocation: " + msg;
    }
    if (!got.result.empty()) return "the result slot holds text after a failure: " + got.result;

    const bool oom = msg == kOom && (got.rc == KOJELLY_EFAIL || got.rc == KOJELLY_ETRANSPORT ||
                                     got.rc == KOJELLY_EINVAL);
    const bool transport = got.rc == KOJELLY_ETRANSPORT && transport_oom(msg);
    // The clean failure itself, when only its error JSON or a slot copy could not be made.
    const bool same = got.rc == clean.rc && msg == clean.error;
    const bool cut = got.rc == clean.rc && url_cut(clean.error, msg);
    if (oom || transport || same || cut) return "";
    if (msg.empty()) {
        // Neither the slot nor the buffer could take the message: only the code is left.
        if (got.rc == KOJELLY_EFAIL || got.rc == KOJELLY_ETRANSPORT || got.rc == KOJELLY_EINVAL ||
            got.rc == clean.rc)
            return "";
    }
    return "undocumented failure " + std::to_string(got.rc) + " \"" + msg + "\"";
}

namespace {

// The trace of run with the outcomes of the scenario's after step appended.
Trace with_after(const Scenario &s, Trace trace) {
    if (s.after) {
        const Trace more = s.after();
        trace.insert(trace.end(), more.begin(), more.end());
    }
    return trace;
}

}  // namespace

Tally torture(const Scenario &s, const std::function<void(const Trace &clean)> &clean_check) {
    Tally tally;
    settle();
    int64_t before = live_blocks();
    if (s.setup) s.setup();
    Trace clean;
    tally.allocations = alloc_fail::count([&] { clean = s.run(); }, s.reach);
    clean = with_after(s, std::move(clean));
    settle();
    EXPECT_EQ(live_blocks(), before) << s.name << ": the clean run leaks";
    clean_check(clean);

    const uint64_t failures_before = alloc_fail::failures();
    std::vector<std::string> problems;
    uint64_t faulty = 0;
    for (const bool all_after : {false, true}) {
        for (uint64_t k = 1; k <= tally.allocations; ++k) {
            settle();
            before = live_blocks();
            if (s.setup) s.setup();
            Trace got;
            {
                alloc_fail::Countdown countdown(k, all_after, s.reach);
                got = s.run();
            }
            got = with_after(s, std::move(got));
            std::string problem = s.check(clean, got);
            settle();
            if (const int64_t leaked = live_blocks() - before; leaked != 0)
                problem +=
                    (problem.empty() ? "" : "; ") + std::to_string(leaked) + " heap blocks leaked";
            if (problem.empty()) continue;
            ++faulty;
            if (problems.size() < kMaxProblems)
                problems.push_back("k=" + std::to_string(k) +
                                   (all_after ? " and every later one" : " only") + ": " + problem);
        }
    }
    tally.failed = alloc_fail::failures() - failures_before;
    std::string listing;
    for (const std::string &p : problems) listing += "\n  " + p;
    EXPECT_EQ(faulty, 0u) << s.name << ": " << faulty << " faulty runs" << listing;

    g_scenarios.fetch_add(1);
    g_failed.fetch_add(tally.failed);
    std::printf("[ torture  ] %-44s N=%-5" PRIu64 " failed %" PRIu64 "\n", s.name.c_str(),
                tally.allocations, tally.failed);
    return tally;
}

}  // namespace torture
