// What the benchmark program asks of the operating system, in one place: the page faults of the
// process, handing freed heap back, the resident memory and its peak, and the clock the paired
// ratios are timed with (platform.cpp, one half per system).
#pragma once

namespace bench::os {

// The page faults of the process so far, every thread.
// Linux: the minor faults only (getrusage), pages the kernel cleared or mapped for memory taken
// fresh, none read from disk. Windows: PageFaultCount of the process's memory counters, which
// counts every fault, soft and hard, so there it bounds the same figure from above; Wine keeps no
// such count and reports 0.
long long page_faults();

// Hands the free memory of the C library's heap back to the system, so that what a listing takes
// afterwards shows in the resident size.
void release_free_heap();

// The resident memory of the process (Linux VmRSS, Windows the working set), in bytes; -1 when
// the system does not say.
long long resident_bytes();

// The largest resident memory of the process (Linux VmHWM, Windows the peak working set) since
// the start or since reset_resident_peak(), in bytes; -1 when the system does not say.
long long resident_peak_bytes();

// Makes the peak start again from the current resident size. False when the system cannot:
// Windows keeps the peak for the life of the process, and resident_peak_bytes() is then the
// process's peak so far.
bool reset_resident_peak();

// Seconds, for timing one stretch of the calling thread's work against another.
// Linux: the thread's CPU time, so that a stretch in which another process ran costs nothing.
// Windows: the wall clock (the performance counter). A thread's CPU time advances there only at
// the scheduler's tick (15.6 ms; 10 ms under Wine), longer than the parse of a page, and its
// cycle count is not kept under Wine; a stretch in which the thread was preempted counts whole.
double thread_seconds();

}  // namespace bench::os
