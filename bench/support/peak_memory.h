// Resident memory and CPU time of this process. Thread-safe.
#ifndef BENCH_SUPPORT_PEAK_MEMORY_H_
#define BENCH_SUPPORT_PEAK_MEMORY_H_

#include <cstddef>

namespace bench {

// The high-water mark of resident memory (VmHWM) in KiB; -1 when it cannot be read.
long PeakResidentKib();
// Resident memory now (VmRSS) in KiB; -1 when it cannot be read.
long ResidentKib();
// Lowers the high-water mark to the resident memory of now, so that a later PeakResidentKib covers
// only what came after. False when the kernel does not allow it.
bool ResetPeakResident();

// CPU seconds (user and system) this process has used so far.
double CpuSeconds();

// Touches `bytes` of fresh memory and gives it back at once; returns the seconds that took, -1 when
// the memory could not be mapped. A virtual machine's host may back guest memory only at its first
// touch, at many times the cost of the guest's own zeroing, and take freed memory back a while
// later; the pages given back here are the next ones this process maps.
double TouchFreshMemory(size_t bytes);

}  // namespace bench

#endif  // BENCH_SUPPORT_PEAK_MEMORY_H_
