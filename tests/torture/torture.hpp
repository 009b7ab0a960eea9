// The allocation-failure torture harness: a scenario is run once clean to count its allocations
// N, then once for every k = 1..N with only the k-th allocation failing, and once for every k
// with every allocation from the k-th on failing. Each run starts from the same settled state
// (no fake routes, no cached logins, the fake io selected, one small text in every per-thread
// slot) and must end in that state with exactly as many live heap blocks as it began with, with
// readable slots, no secret in any message, and either the clean outcome or a documented
// failure. Also here: the secrets and settings the scenarios share, and a host transport that
// sits in front of the fake io and refuses chosen tokens, as a server does with a revoked
// session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kojelly.h"
#include "support/alloc_fail.hpp"

namespace torture {

// Every secret a scenario hands the library; each is at least 4 bytes long (shorter secrets are
// never masked) and none holds another.
inline constexpr char kPassword[] = "pw-Secret-1357";
inline constexpr char kApiKey[] = "key-Secret-2468";
inline constexpr char kDeviceId[] = "dev-Secret-9753";
inline constexpr char kOldToken[] = "tokOldSecret8642";
inline constexpr char kToken[] = "tokNewSecret1122";
inline constexpr std::string_view kSecrets[] = {kPassword, kApiKey, kDeviceId, kOldToken, kToken};

inline constexpr char kBase[] = "http://srv:8096";
inline constexpr char kKeySettings[] =
    R"({"FullUrl":"http://srv:8096","APIKey":"key-Secret-2468","DeviceId":"dev-Secret-9753"})";
inline constexpr char kLoginSettings[] =
    R"({"FullUrl":"http://srv:8096","UserName":"bob","Password":"pw-Secret-1357","DeviceId":"dev-Secret-9753"})";

// The first secret that text holds, or "" when it holds none.
std::string_view secret_in(std::string_view text);

// Heap blocks that the wrapped allocators handed out and that are not yet freed, process-wide.
int64_t live_blocks();

// What became of the block given to watch_free.
enum class Freed { kNotYet, kWiped, kNotWiped };
// Watches one heap block (one at a time): when it is freed, the wrapped free records whether its
// first n bytes were all zero by then, that is, whether a secret it held was wiped.
void watch_free(const void *block, size_t n);
Freed watched();
// While set (non-empty), every block freed is searched for text over its usable size; text_found
// tells how many freed blocks held it since it was set. An empty text ends the search and keeps
// the count.
void watch_text(std::string_view text);
uint64_t text_found();

// The settled state every run starts from and ends in.
void settle();

// A host's http-backed transport: it forwards every request to the fake io's request function,
// except that a request whose Authorization carries a refused token is answered 401 with a body
// that quotes the token. Safe on any number of threads.
class HostTransport {
public:
    static HostTransport &get();
    const tessel_io *io() const { return &io_; }
    void refuse(const std::string &token);
    void clear();
    // Requests that reached this transport since the process started.
    uint64_t requests() const;

private:
    HostTransport();
    static int32_t request(void *user, const tessel_http_req *req, int32_t *status, char **error);
    static void release(void *user, void *mem);

    tessel_http table_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
    mutable std::mutex lock_;
    std::set<std::string> refused_;
    uint64_t requests_ = 0;
};

// An io that is not http-backed: only the fake's plain get and post slots.
const tessel_io *bare_io();

// An output buffer of a given length, filled beforehand with a marker so that a call that leaves
// it untouched can be told apart from one that wrote into it. Length 0 means no buffer.
class OutBuf {
public:
    explicit OutBuf(int32_t len);
    char *data() { return len_ > 0 ? bytes_.data() : nullptr; }
    int32_t len() const { return len_; }
    std::string text() const { return len_ > 0 ? std::string(bytes_.data()) : std::string(); }
    bool untouched() const { return len_ <= 0 || text() == marker_; }

private:
    int32_t len_;
    std::vector<char> bytes_;
    std::string marker_;
};

// What one call left behind: its code, the output buffer (or returned text) and both slots.
struct Outcome {
    int32_t rc = 0;
    std::string out;
    bool untouched = false;  // the output buffer still holds its marker, or there is none
    std::string result;
    std::string error;
    bool slots_readable = true;
};

// Reads the calling thread's slots; out is the buffer the call wrote into (or NULL).
Outcome capture(int32_t rc, const OutBuf &out);
// The same for a call that returns a text: rc 0 with the text, or -1 for NULL.
Outcome capture_text(const char *text);

// What a failed allocation may make of a request's outcome besides the clean one.
struct Expect {
    bool bufferless = false;           // called without a buffer: the result slot is the only
                                       // place of the answer, and flat answers -9 when that slot
                                       // could not take it
    bool small_buffer = false;         // the buffer cannot hold an error JSON either
    bool carries_credentials = false;  // a successful answer holds the token by design in its
                                       // "url" and "headers" members (a stream answer)
};

// "" when got is the clean outcome or a documented failure outcome, else what is wrong with it.
std::string judge(const Outcome &clean, const Outcome &got, const Expect &x);

// The outcomes of one run, one per call, followed by those of the scenario's after step.
using Trace = std::vector<Outcome>;

// One scenario. run makes the calls under test and returns one outcome per call; after runs
// once the countdown is over (so its allocations never fail) and may inspect what run left
// behind; check compares a run with the clean run and returns "" or what is wrong.
struct Scenario {
    std::string name;
    // Whose allocations the countdown fails: the calling thread's, or also those of the
    // threads that the library starts for the calls.
    alloc_fail::Reach reach = alloc_fail::Reach::thread;
    std::function<void()> setup;
    std::function<Trace()> run;
    std::function<Trace()> after;
    std::function<std::string(const Trace &clean, const Trace &got)> check;
};

// Runs the sweeps of one scenario and reports every faulty run through gtest. The clean trace is
// handed to clean_check, which states what the clean run must have done.
struct Tally {
    uint64_t allocations = 0;  // N, the allocations of a clean run
    uint64_t failed = 0;       // allocations made to fail over both sweeps
};
Tally torture(const Scenario &s, const std::function<void(const Trace &clean)> &clean_check);

}  // namespace torture
