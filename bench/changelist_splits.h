// Where the change list's time goes, measured apart in the driver process after the sides ran:
//  - the parser alone: every recorded page parsed into a page list that is emptied each time;
//  - a lean parse: the same, reading each entry's fields with simdjson's on-demand lookups in
//    document order; the yardstick for the wrapper's parser;
//  - a lean hand-out: the items of the recorded pages handed out with the snap client's path
//    translation, built straight into each item's path with the prefixes trimmed once; the
//    yardstick for the snap client's own hand-out (the pull column).
// Not thread-safe.
#ifndef BENCH_CHANGELIST_SPLITS_H_
#define BENCH_CHANGELIST_SPLITS_H_

#include <string>

#include "changelist_modes.h"

namespace bench {

struct Timing {
  double wallSeconds = -1;  // negative on failure
  double cpuSeconds = -1;   // this process's user + system time
};

Timing TimeParseOnly(const std::string& pageFile);
// *entries receives the number of entries read.
Timing TimeLeanParse(const std::string& pageFile, size_t* entries);
// `fsPath` and `backupPath` as the snap client has them for the compared path. *tally receives
// what was handed out, to be checked against the sides.
Timing TimeLeanHandOut(const std::string& pageFile, const std::string& fsPath, const std::string& backupPath,
                       PullResult* tally);

}  // namespace bench

#endif  // BENCH_CHANGELIST_SPLITS_H_
