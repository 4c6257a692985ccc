// Resident memory and CPU time of this process. Thread-safe.
#ifndef BENCH_SUPPORT_PEAK_MEMORY_H_
#define BENCH_SUPPORT_PEAK_MEMORY_H_

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

}  // namespace bench

#endif  // BENCH_SUPPORT_PEAK_MEMORY_H_
