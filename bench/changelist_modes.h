// The measured sides of the change-list benchmark, each run in a child process of its own:
//  (a) the plug-in, loaded with dlopen, runs a real job and then CompareSnapshots over HTTPS;
//  (b) the snap client's own CompareSnapshots over recorded pages: parsing, list building and
//      hand-out without network or emulator.
// Both then pull every item through the callable until the end-of-list item, and report one
// "result ..." line on standard output.
#ifndef BENCH_CHANGELIST_MODES_H_
#define BENCH_CHANGELIST_MODES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FileServerRecords.h"

namespace bench {

// What one side measured, and a tally of what it handed out (for checking that the sides agree).
struct PullResult {
  uint64_t items = 0;
  double compareSeconds = 0;  // CompareSnapshots: every page fetched, parsed, listed
  double pullSeconds = 0;     // every item pulled through the callable, and what it freed handed back
  double cpuSeconds = 0;      // the process's user + system time over both
  long peakKib = -1;          // the process's VmHWM at the end
  long growthKib = -1;        // how far resident memory rose above its level before the comparison
  double warmSeconds = -1;    // touching the memory the side was to need, before its clock started
  uint64_t pathBytes = 0;     // total length of the handed-out paths
  uint64_t created = 0, modified = 0, deleted = 0, other = 0, directories = 0;

  double Seconds() const { return compareSeconds + pullSeconds; }
  double ItemsPerSecond() const { return Seconds() > 0 ? static_cast<double>(items) / Seconds() : 0; }
  double BytesPerItem() const { return items > 0 && growthKib >= 0 ? growthKib * 1024.0 / items : 0; }
  // Same items, paths and kinds.
  bool SameTally(const PullResult& other) const;

  std::string ToLine() const;                       // "result items=... ..."
  static bool FromLine(const std::string& line, PullResult* result);
};

// Pulls until the end-of-list item, tallying what comes out.
void PullAll(const std::function<FileServerSnapshotCompareItem()>& source, PullResult* result);

// The child entry points; `args` are the arguments after "--mode a|b", --warm-bytes N among them.
// Return the exit status.
int RunEndToEndMode(const std::vector<std::string>& args);
int RunFloorMode(const std::vector<std::string>& args);

}  // namespace bench

#endif  // BENCH_CHANGELIST_MODES_H_
