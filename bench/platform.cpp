// The benchmark program's questions to the operating system (see platform.hpp) on each system.
#include "platform.hpp"

#include <malloc.h>

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#endif

namespace bench::os {

#if defined(_WIN32)

namespace {

bool memory_counters(PROCESS_MEMORY_COUNTERS &c) {
    c = {};
    c.cb = sizeof c;
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) != 0;
}

}  // namespace

long long page_faults() {
    PROCESS_MEMORY_COUNTERS c;
    return memory_counters(c) ? static_cast<long long>(c.PageFaultCount) : 0;
}

// msvcrt's malloc takes its blocks from a heap of its own; _heapmin compacts that one. (Wine
// does not compact, but hands the large blocks back as they are freed.)
void release_free_heap() {
    _heapmin();
}

long long resident_bytes() {
    PROCESS_MEMORY_COUNTERS c;
    return memory_counters(c) ? static_cast<long long>(c.WorkingSetSize) : -1;
}

long long resident_peak_bytes() {
    PROCESS_MEMORY_COUNTERS c;
    return memory_counters(c) ? static_cast<long long>(c.PeakWorkingSetSize) : -1;
}

bool reset_resident_peak() {
    return false;
}

double thread_seconds() {
    static const double tick = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return 1.0 / static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * tick;
}

#else

namespace {

// A field of /proc/self/status in bytes, or -1.
long long status_bytes(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t len = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::atoll(line.c_str() + len + 1) * 1024;
    }
    return -1;
}

}  // namespace

long long page_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

void release_free_heap() {
    malloc_trim(0);
}

long long resident_bytes() {
    return status_bytes("VmRSS");
}

long long resident_peak_bytes() {
    return status_bytes("VmHWM");
}

bool reset_resident_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

#endif

}  // namespace bench::os
