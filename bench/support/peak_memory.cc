#include "peak_memory.h"

#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

long StatusField(const char* name) {
  FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  long value = -1;
  char line[256];
  const size_t length = std::strlen(name);
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
      value = std::strtol(line + length + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(file);
  return value;
}

}  // namespace

long PeakResidentKib() { return StatusField("VmHWM"); }
long ResidentKib() { return StatusField("VmRSS"); }

bool ResetPeakResident() {
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

double CpuSeconds() {
  struct rusage usage = {};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double TouchFreshMemory(size_t bytes) {
  const auto start = std::chrono::steady_clock::now();
  void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return -1;
  // Huge pages as the change list takes them, small ones as the heap does.
  ::madvise(mapped, bytes / 4 * 3, MADV_HUGEPAGE);
  char* memory = static_cast<char*>(mapped);
  for (size_t at = 0; at < bytes; at += 4096) memory[at] = 1;
  ::munmap(mapped, bytes);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace bench
