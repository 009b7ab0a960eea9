// The slow-server benchmark: how much of a large listing's wall time ParallelPages wins back when
// every request waits for a distant server.
//
//   L/latency_ms:T/parallel:N  kojelly_list of a folder of 100000 items (200 pages of 500)
//       through an http-backed io whose every request sleeps T ms and is then answered by the
//       support library's scripted fake server (tessel_http_fake), with ParallelPages N in the
//       settings. One listing per iteration, wall time; T = 20 and 200, N = 1, 2, 4 and 8.
//
// Before the cases run, one listing with ParallelPages 1 and no latency is kept as the reference:
// every case compares its answer with it byte for byte and fails (SkipWithError) when they
// differ. The counter "speedup" of a case is the median wall time of N = 1 at its latency over
// its own; N = 1 runs first at each latency. --smoke lists a folder of 2000 items at 1 ms, so
// that CI sees the program run without waiting minutes. Every other argument goes to Google
// Benchmark.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kojelly.h"
#include "page_gen.hpp"
#include "tessel_http.h"

namespace {

constexpr uint64_t kSeed = 20240501;
constexpr int32_t kStatusOk = 200;
constexpr uint32_t kHttpTableVersion = 1;
constexpr const char *kJsonHeaders = "Content-Type: application/json; charset=utf-8";
constexpr int kParallel[] = {1, 2, 4, 8};

// A latency and how often its cases repeat: a listing of 200 pages one after another takes
// 200 round trips, 40 s at 200 ms, so the slow latency repeats least.
struct Plan {
    int latency_ms;
    int repetitions;
};
constexpr Plan kPlans[] = {{20, 3}, {200, 2}};
constexpr Plan kSmokePlan = {1, 1};
constexpr uint64_t kFolderItems = 100000;
constexpr uint64_t kSmokeFolderItems = 2000;

const std::string kParentId = bench::hex_id(1000000001);
const std::string kLibraryRoot = bench::hex_id(1000000002);
const std::string kApiKey = bench::hex_id(1000000005);
const std::string kFolderId = bench::hex_id(3000000001);

std::string g_base;       // the normalised base URL of the settings
std::string g_reference;  // the answer with ParallelPages 1
uint64_t g_folder_items = 0;
uint64_t g_folder_bytes = 0;
// The wall times of the ParallelPages 1 listings at each latency, in seconds.
std::map<int, std::vector<double>> g_sequential;

std::string settings(int parallel) {
    return R"({"RuntimeType":"JELLYFIN","FullUrl":"http://media.lan:8096","APIKey":")" + kApiKey +
           R"(","DeviceId":"bench-device-0001","ParallelPages":)" + std::to_string(parallel) + "}";
}

// An http-backed io in front of the fake server whose every request first sleeps for the
// latency, as one to a distant server waits for its round trip; the sleep takes no CPU, so any
// number of requests may wait at once. Never moved: the io points into itself.
class SlowIo {
public:
    explicit SlowIo(int latency_ms) : latency_(latency_ms) {
        http_.size = sizeof http_;
        http_.version = kHttpTableVersion;
        http_.user = this;
        http_.request = &SlowIo::request;
        http_.free = &SlowIo::release;
        ctx_.magic = TESSEL_HTTP_CTX_MAGIC;
        ctx_.size = sizeof ctx_;
        ctx_.http = &http_;
        io_.ctx = &ctx_;
    }
    SlowIo(const SlowIo &) = delete;
    SlowIo &operator=(const SlowIo &) = delete;

    const tessel_io *io() const { return &io_; }

private:
    static int32_t request(void *user, const tessel_http_req *req, int32_t *status, char **error) {
        std::this_thread::sleep_for(static_cast<const SlowIo *>(user)->latency_);
        const tessel_http *fake = tessel_http_fake();
        return fake->request(fake->user, req, status, error);
    }
    static void release(void *, void *mem) {
        const tessel_http *fake = tessel_http_fake();
        fake->free(fake->user, mem);
    }

    std::chrono::milliseconds latency_;
    tessel_http http_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
};

// The plug-in may still read an io after it was replaced, until the calls that started with it
// return; these live as long as the process.
std::vector<std::unique_ptr<SlowIo>> g_ios;

const SlowIo *slow_io(int latency_ms) {
    return g_ios.emplace_back(std::make_unique<SlowIo>(latency_ms)).get();
}

std::string page_url(uint64_t start) {
    return g_base + "/Items?ParentId=" + kFolderId +
           "&Fields=ParentId%2CProductionYear%2CSize%2CProviderIds%2CContainer%2CMediaSources"
           "&SortBy=SortName&SortOrder=Ascending&StartIndex=" +
           std::to_string(start) + "&Limit=500";
}

bool route(const std::string &url, const std::string &body) {
    return tessel_fake_set("GET", url.c_str(), kStatusOk, kJsonHeaders, body.data(), body.size()) ==
           0;
}

// The folder's lookup and pages on the fake server, one page at a time: the server keeps its
// own copy of each.
bool route_folder(uint64_t items) {
    if (!route(g_base + "/Items?Ids=" + kFolderId + "&Fields=ParentId%2CSize%2CContainer",
               bench::folder_lookup(kFolderId, kLibraryRoot)))
        return false;
    for (uint64_t start = 0; start < items; start += bench::kPageItems) {
        const std::string body = bench::items_body(kParentId, start, bench::kPageItems, kSeed);
        const std::string page = bench::page(body, static_cast<int64_t>(items), start);
        g_folder_bytes += page.size();
        if (!route(page_url(start), page)) return false;
    }
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_L(benchmark::State &state, const SlowIo *io, int latency_ms, int parallel) {
    if (kojelly_set_io(io->io()) != KOJELLY_OK) {
        state.SkipWithError("the plug-in refused the slow io");
        return;
    }
    const std::string text = settings(parallel);
    double spent = 0;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        const int32_t rc = kojelly_list(text.c_str(), kFolderId.c_str(), nullptr, 0);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        state.PauseTiming();
        if (rc != KOJELLY_OK) {
            state.SkipWithError(kojelly_last_error());
            break;
        }
        if (std::string_view(kojelly_result_json()) != g_reference) {
            state.SkipWithError("the answer differs from the one with ParallelPages 1");
            break;
        }
        spent += seconds;
        if (parallel == 1) g_sequential[latency_ms].push_back(seconds);
        state.ResumeTiming();
    }
    state.counters["latency_ms"] = latency_ms;
    state.counters["parallel"] = parallel;
    const auto sequential = g_sequential.find(latency_ms);
    if (state.iterations() > 0 && sequential != g_sequential.end()) {
        state.counters["speedup"] =
            median(sequential->second) / (spent / static_cast<double>(state.iterations()));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(g_folder_items));
}

bool set_up(uint64_t items) {
    const std::string text = settings(1);
    const char *base = kojelly_full_url(text.c_str());
    if (!base) {
        std::fprintf(stderr, "bench_slow: settings refused: %s\n", kojelly_last_error());
        return false;
    }
    g_base = base;
    g_folder_items = items;
    tessel_fake_reset();
    if (!route_folder(items)) {
        std::fprintf(stderr, "bench_slow: the fake server refused a route\n");
        return false;
    }
    if (kojelly_set_io(slow_io(0)->io()) != KOJELLY_OK ||
        kojelly_list(text.c_str(), kFolderId.c_str(), nullptr, 0) != KOJELLY_OK) {
        std::fprintf(stderr, "bench_slow: the reference listing failed: %s\n",
                     kojelly_last_error());
        return false;
    }
    g_reference = kojelly_result_json();
    benchmark::AddCustomContext("slow_folder_items", std::to_string(items));
    benchmark::AddCustomContext("slow_pages", std::to_string(items / bench::kPageItems));
    benchmark::AddCustomContext("slow_folder_bytes", std::to_string(g_folder_bytes));
    benchmark::AddCustomContext("slow_listing_bytes", std::to_string(g_reference.size()));
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    bool smoke = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            smoke = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    if (!set_up(smoke ? kSmokeFolderItems : kFolderItems)) return 1;
    std::vector<Plan> plans(std::begin(kPlans), std::end(kPlans));
    if (smoke) plans = {kSmokePlan};
    for (const Plan &plan : plans) {
        const SlowIo *io = slow_io(plan.latency_ms);
        for (const int parallel : kParallel) {
            const std::string name = "L/latency_ms:" + std::to_string(plan.latency_ms) +
                                     "/parallel:" + std::to_string(parallel);
            benchmark::RegisterBenchmark(name.c_str(), BM_L, io, plan.latency_ms, parallel)
                ->Iterations(1)
                ->Repetitions(plan.repetitions)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
