// The benchmark program: how close the listing pipeline comes to one yyjson read of its input.
//
//   P      yyjson_read_opts of a 500-item page and its release: the floor of any listing.
//   E1     kojelly_parse_items of the same page: the export end to end, answer in the slot.
//   P_sum  P over every page of a folder, once each: the floor of E2.
//   E2     kojelly_list of a folder of 1000 .. 100000 items served by the fake io in pages of
//          500, the answer left in the result slot.
//   S      kojelly_stream_url with an API key and with a cached login, on 1 and 2 threads.
//   C      kojelly_full_url: one settings parse and URL normalisation.
//   E1_over_P, E2_over_P_sum  the two ratios, each iteration timing baseline and case back to back.
//
// Before the cases run, one listing of the 100000-item folder is made, with the freed heap handed
// back first; its peak resident memory above what the process held just before goes into the
// output's context, with the listing's size and the largest page. Then the minor page faults of
// that folder's listing are counted (getrusage) over a few more listings, as the timed cases see
// it: every fault is a page the kernel cleared for memory the listing took fresh. E2 reports the
// same count per listing as its page_faults counter. --emit_dir=DIR writes the 500-item page and
// its listing for the Python comparison. Every other argument goes to Google Benchmark.
// What each system measures differently (the faults, the peak, the clock of the ratios) is told
// in platform.hpp.
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "kojelly.h"
#include "page_gen.hpp"
#include "platform.hpp"

namespace {

constexpr uint64_t kSeed = 20240501;
constexpr uint64_t kMaxFolder = 100000;
constexpr uint64_t kPages = kMaxFolder / bench::kPageItems;
constexpr uint64_t kFolderSizes[] = {1000, 2000, 5000, 10000, 20000, 50000, 100000};
constexpr uint64_t kStreamItem = 4242424;
constexpr int kStatusOk = 200;
// Listings of the biggest folder over which its page faults are counted; the median is reported.
constexpr int kFaultListings = 5;
constexpr uint64_t kPageBytes = 4096;

// The items of every folder carry this parent id; each folder size has its own id in the URLs.
const std::string kParentId = bench::hex_id(1000000001);
const std::string kLibraryRoot = bench::hex_id(1000000002);
const std::string kUserId = bench::hex_id(1000000003);
const std::string kLoginToken = bench::hex_id(1000000004);
const std::string kApiKey = bench::hex_id(1000000005);
const std::string kStreamId = bench::hex_id(kStreamItem);

const std::string kKeySettings = R"({"RuntimeType":"JELLYFIN","FullUrl":"http://media.lan:8096",)"
                                 R"("APIKey":")" +
                                 kApiKey + R"(","DeviceId":"bench-device-0001"})";
const std::string kLoginSettings =
    R"({"RuntimeType":"JELLYFIN","FullUrl":"http://media.lan:8096","UserName":"bench",)"
    R"("Password":"correct horse battery staple","DeviceId":"bench-device-0001"})";
// A settings text that makes the parser work: host, port and scheme given apart, mixed case.
const std::string kUrlSettings =
    R"({"RuntimeType":"JELLYFIN","ServerUrl":" Media.Example.ORG/jellyfin/ ","ServerPort":"8920",)"
    R"("UseHttps":true,"UserName":"bob","Password":"hunter2","DeviceId":"living-room-tv-01"})";
const std::string kEntry =
    R"({"name":"Heat","path":")" + kStreamId + R"(","folder":false,"id":")" + kStreamId + "\"}";

std::string g_base;  // the normalised base URL of the settings above

// A folder of n items as the fake server holds it: n/500 pages, the first n/500 pages of the
// biggest folder with n as their total. Every size is served at once, under its own id, so
// that no case has to rebuild the route table (and churn the heap) before it runs.
struct Folder {
    uint64_t items;
    std::string id;
    std::vector<std::string> pages;
    uint64_t bytes;
};
std::vector<Folder> g_folders;
std::string g_page;  // the first page of the biggest folder: the page of P and E1
uint64_t g_largest_page = 0;
uint64_t g_stream_answers = 0;  // bytes of server answers one stream request reads

const Folder &folder(uint64_t n) {
    for (const Folder &f : g_folders)
        if (f.items == n) return f;
    std::fprintf(stderr, "bench: no folder of %llu items\n", static_cast<unsigned long long>(n));
    std::abort();
}

std::string page_url(const std::string &folder_id, uint64_t start) {
    return g_base + "/Items?ParentId=" + folder_id +
           "&Fields=ParentId%2CProductionYear%2CSize%2CProviderIds%2CContainer%2CMediaSources"
           "&SortBy=SortName&SortOrder=Ascending&StartIndex=" +
           std::to_string(start) + "&Limit=500";
}

bool route(const char *method, const std::string &url, const std::string &body) {
    return kojelly_fake_set(method, url.c_str(), kStatusOk, body.c_str()) == KOJELLY_OK;
}

bool route_stream() {
    const std::string item = bench::movie_item(kParentId, kStreamItem, kSeed);
    const std::string lookup = "{\"Items\":[" + item + "],\"TotalRecordCount\":1,\"StartIndex\":0}";
    const std::string playback = bench::playback_info(kStreamItem, kSeed);
    g_stream_answers = lookup.size() + playback.size();
    return route("GET", g_base + "/Items?Ids=" + kStreamId + "&Fields=ParentId%2CSize%2CContainer",
                 lookup) &&
           route("GET", g_base + "/Users/" + kUserId + "/Items/" + kStreamId, item) &&
           route("GET", g_base + "/Items/" + kStreamId + "/PlaybackInfo", playback) &&
           route("POST", g_base + "/Users/AuthenticateByName",
                 bench::login_answer(kUserId, kLoginToken));
}

// Builds every folder size from the pages of the biggest one and routes their lookups and pages.
// Page by page, so that no large stretch of freed heap is left behind for the cases to run in.
bool route_folders() {
    // The fake io looks a request's route up by a scan of its table under its lock: the stream
    // routes go first, so that the stream case measures the library and not that scan.
    if (!route_stream()) return false;
    for (uint64_t n : kFolderSizes)
        g_folders.push_back(Folder{n, bench::hex_id(2000000000 + n), {}, 0});
    for (uint64_t k = 0; k < kPages; ++k) {
        const std::string body =
            bench::items_body(kParentId, k * bench::kPageItems, bench::kPageItems, kSeed);
        for (Folder &f : g_folders) {
            if (k >= f.items / bench::kPageItems) continue;
            f.pages.push_back(
                bench::page(body, static_cast<int64_t>(f.items), k * bench::kPageItems));
            f.bytes += f.pages.back().size();
            g_largest_page = std::max<uint64_t>(g_largest_page, f.pages.back().size());
            if (!route("GET", page_url(f.id, k * bench::kPageItems), f.pages.back())) return false;
        }
    }
    for (const Folder &f : g_folders) {
        if (!route("GET", g_base + "/Items?Ids=" + f.id + "&Fields=ParentId%2CSize%2CContainer",
                   bench::folder_lookup(f.id, kLibraryRoot)))
            return false;
    }
    g_page = folder(kMaxFolder).pages[0];
    return true;
}

// ---- P, E1 ----------------------------------------------------------------------------------

void BM_P(benchmark::State &state) {
    for (auto _ : state) {
        yyjson_doc *doc = yyjson_read_opts(g_page.data(), g_page.size(), 0, nullptr, nullptr);
        if (!doc) {
            state.SkipWithError("the page does not parse");
            break;
        }
        benchmark::DoNotOptimize(yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_page.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(bench::kPageItems));
}
BENCHMARK(BM_P)->Name("P")->Unit(benchmark::kMicrosecond);

void BM_E1(benchmark::State &state) {
    for (auto _ : state) {
        if (kojelly_parse_items(g_page.c_str(), nullptr, 0) != KOJELLY_OK) {
            state.SkipWithError(kojelly_last_error());
            break;
        }
        benchmark::DoNotOptimize(kojelly_result_json());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_page.size()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(bench::kPageItems));
    state.counters["listing_bytes"] = static_cast<double>(std::strlen(kojelly_result_json()));
}
BENCHMARK(BM_E1)->Name("E1")->Unit(benchmark::kMicrosecond);

// ---- P_sum, E2 ------------------------------------------------------------------------------

void BM_P_sum(benchmark::State &state) {
    const Folder &f = folder(static_cast<uint64_t>(state.range(0)));
    for (auto _ : state) {
        for (const std::string &p : f.pages) {
            yyjson_doc *doc =
                yyjson_read_opts(const_cast<char *>(p.data()), p.size(), 0, nullptr, nullptr);
            if (!doc) {
                state.SkipWithError("a page does not parse");
                return;
            }
            benchmark::DoNotOptimize(yyjson_doc_get_root(doc));
            yyjson_doc_free(doc);
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.bytes));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.items));
}

void BM_E2(benchmark::State &state) {
    const Folder &f = folder(static_cast<uint64_t>(state.range(0)));
    const long long faults = bench::os::page_faults();
    for (auto _ : state) {
        if (kojelly_list(kKeySettings.c_str(), f.id.c_str(), nullptr, 0) != KOJELLY_OK) {
            state.SkipWithError(kojelly_last_error());
            return;
        }
    }
    state.counters["page_faults"] = benchmark::Counter(
        static_cast<double>(bench::os::page_faults() - faults), benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(f.bytes));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.items));
    state.counters["listing_bytes"] = static_cast<double>(std::strlen(kojelly_result_json()));
}

void folder_sizes(benchmark::internal::Benchmark *b) {
    for (uint64_t n : kFolderSizes) b->Arg(static_cast<int64_t>(n));
}
BENCHMARK(BM_P_sum)->Name("P_sum")->Apply(folder_sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_E2)->Name("E2")->Apply(folder_sizes)->Unit(benchmark::kMillisecond);

// ---- paired ratios ----------------------------------------------------------------------------
// The machine is shared: another process's load changes both sides of a ratio, but not at once
// when they are timed minutes apart. Here every iteration times the baseline and the case back to
// back on the same pages, in turn one first and the other first (whichever runs second finds the
// page in the cache and the first one's memory freed), and the ratio is the median of the
// iterations' ratios.

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

bool read_pages(const std::vector<std::string> &pages) {
    for (const std::string &p : pages) {
        yyjson_doc *doc =
            yyjson_read_opts(const_cast<char *>(p.data()), p.size(), 0, nullptr, nullptr);
        if (!doc) return false;
        benchmark::DoNotOptimize(yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
    }
    return true;
}

void BM_E1_over_P(benchmark::State &state) {
    std::vector<double> ratios;
    const std::vector<std::string> one{g_page};
    bool case_first = false;
    for (auto _ : state) {
        double base = 0, spent = 0;
        for (int half = 0; half < 2; ++half) {
            const double t0 = bench::os::thread_seconds();
            if ((half == 0) == case_first) {
                if (kojelly_parse_items(g_page.c_str(), nullptr, 0) != KOJELLY_OK) {
                    state.SkipWithError(kojelly_last_error());
                    return;
                }
                spent = bench::os::thread_seconds() - t0;
            } else {
                if (!read_pages(one)) state.SkipWithError("the page does not parse");
                base = bench::os::thread_seconds() - t0;
            }
        }
        case_first = !case_first;
        state.SetIterationTime(spent);
        ratios.push_back(spent / base);
    }
    state.counters["ratio"] = median(ratios);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(bench::kPageItems));
}
BENCHMARK(BM_E1_over_P)->Name("E1_over_P")->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_E2_over_P_sum(benchmark::State &state) {
    const Folder &f = folder(static_cast<uint64_t>(state.range(0)));
    std::vector<double> ratios;
    bool case_first = false;
    for (auto _ : state) {
        double base = 0, spent = 0;
        for (int half = 0; half < 2; ++half) {
            const double t0 = bench::os::thread_seconds();
            if ((half == 0) == case_first) {
                if (kojelly_list(kKeySettings.c_str(), f.id.c_str(), nullptr, 0) != KOJELLY_OK) {
                    state.SkipWithError(kojelly_last_error());
                    return;
                }
                spent = bench::os::thread_seconds() - t0;
            } else {
                if (!read_pages(f.pages)) state.SkipWithError("a page does not parse");
                base = bench::os::thread_seconds() - t0;
            }
        }
        case_first = !case_first;
        state.SetIterationTime(spent);
        ratios.push_back(spent / base);
    }
    state.counters["ratio"] = median(ratios);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.items));
}
BENCHMARK(BM_E2_over_P_sum)
    ->Name("E2_over_P_sum")
    ->Arg(kMaxFolder)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---- S, C -----------------------------------------------------------------------------------

void BM_S(benchmark::State &state, const std::string *settings) {
    for (auto _ : state) {
        if (kojelly_stream_url(settings->c_str(), kEntry.c_str(), nullptr, 0) != KOJELLY_OK) {
            state.SkipWithError(kojelly_last_error());
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(g_stream_answers));
}
BENCHMARK_CAPTURE(BM_S, api_key, &kKeySettings)
    ->Name("S/api_key")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_S, cached_login, &kLoginSettings)
    ->Name("S/cached_login")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

void BM_C(benchmark::State &state) {
    for (auto _ : state) {
        const char *url = kojelly_full_url(kUrlSettings.c_str());
        if (!url) {
            state.SkipWithError(kojelly_last_error());
            return;
        }
        benchmark::DoNotOptimize(url);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kUrlSettings.size()));
}
BENCHMARK(BM_C)->Name("C");

// ---- set-up and the memory of the big listing -----------------------------------------------

// One listing of the biggest folder: its peak resident memory above what the process held just
// before. Freed heap is handed back first, so that what the listing reuses counts as its own.
bool measure_listing_memory() {
    const Folder &f = folder(kMaxFolder);
    bench::os::release_free_heap();
    const long long before = bench::os::resident_bytes();
    const bool reset = bench::os::reset_resident_peak();
    const long long faults = bench::os::page_faults();
    const int32_t rc = kojelly_list(kKeySettings.c_str(), f.id.c_str(), nullptr, 0);
    const long long peak = bench::os::resident_peak_bytes();
    const long long cold_faults = bench::os::page_faults() - faults;
    if (rc != KOJELLY_OK) {
        std::fprintf(stderr, "bench: the 100000-item listing failed: %s\n", kojelly_last_error());
        return false;
    }
    const size_t listing = std::strlen(kojelly_result_json());
    benchmark::AddCustomContext("rss_before", std::to_string(before));
    benchmark::AddCustomContext("rss_peak", std::to_string(peak));
    benchmark::AddCustomContext("rss_peak_valid", reset ? "1" : "0");
    benchmark::AddCustomContext("listing_faults_cold", std::to_string(cold_faults));
    benchmark::AddCustomContext("listing_json_bytes", std::to_string(listing));
    benchmark::AddCustomContext("largest_page_bytes", std::to_string(g_largest_page));
    benchmark::AddCustomContext("folder_items", std::to_string(kMaxFolder));
    benchmark::AddCustomContext("folder_bytes", std::to_string(f.bytes));
    benchmark::AddCustomContext("page_bytes", std::to_string(g_page.size()));
    benchmark::AddCustomContext("page_items", std::to_string(bench::kPageItems));
    benchmark::AddCustomContext("stream_answer_bytes", std::to_string(g_stream_answers));
    return true;
}

// The minor page faults of one listing of the biggest folder, the median over kFaultListings,
// with the pages of its answer beside it.
bool count_listing_faults() {
    const Folder &f = folder(kMaxFolder);
    std::vector<double> faults;
    for (int i = 0; i < kFaultListings; ++i) {
        const long long before = bench::os::page_faults();
        if (kojelly_list(kKeySettings.c_str(), f.id.c_str(), nullptr, 0) != KOJELLY_OK) {
            std::fprintf(stderr, "bench: the 100000-item listing failed: %s\n",
                         kojelly_last_error());
            return false;
        }
        faults.push_back(static_cast<double>(bench::os::page_faults() - before));
    }
    const uint64_t listing = std::strlen(kojelly_result_json());
    benchmark::AddCustomContext("listing_faults",
                                std::to_string(static_cast<long long>(median(faults))));
    benchmark::AddCustomContext("listing_pages",
                                std::to_string((listing + kPageBytes - 1) / kPageBytes));
    return true;
}

bool write_file(const std::string &path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return static_cast<bool>(out);
}

// The page of P and E1 and the library's listing of it, for the Python comparison.
bool emit(const std::string &dir) {
    if (kojelly_parse_items(g_page.c_str(), nullptr, 0) != KOJELLY_OK) return false;
    return write_file(dir + "/page_500.json", g_page) &&
           write_file(dir + "/listing_500.json", kojelly_result_json());
}

bool set_up() {
    const char *base = kojelly_full_url(kKeySettings.c_str());
    if (!base) {
        std::fprintf(stderr, "bench: settings refused: %s\n", kojelly_last_error());
        return false;
    }
    g_base = base;
    kojelly_use_fake();
    if (!route_folders()) {
        std::fprintf(stderr, "bench: the fake io refused a route\n");
        return false;
    }
    if (!measure_listing_memory() || !count_listing_faults()) return false;
    // The cached-login case starts with its login done.
    kojelly_forget_tokens();
    if (kojelly_stream_url(kLoginSettings.c_str(), kEntry.c_str(), nullptr, 0) != KOJELLY_OK ||
        kojelly_stream_url(kKeySettings.c_str(), kEntry.c_str(), nullptr, 0) != KOJELLY_OK) {
        std::fprintf(stderr, "bench: stream request failed: %s\n", kojelly_last_error());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string emit_dir;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        constexpr std::string_view kEmit = "--emit_dir=";
        const std::string_view arg = argv[i];
        if (arg.substr(0, kEmit.size()) == kEmit) {
            emit_dir = std::string(arg.substr(kEmit.size()));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    if (!set_up()) return 1;
    if (!emit_dir.empty() && !emit(emit_dir)) {
        std::fprintf(stderr, "bench: cannot write the pages to %s\n", emit_dir.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
