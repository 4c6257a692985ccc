// The plug-in's snapshot names, read back: "kwsnap", client, application, job and directory
// number joined by "_", each number in plain decimal. Stateless.
#ifndef SNAPJOB_SNAPSHOT_NAMES_H_
#define SNAPJOB_SNAPSHOT_NAMES_H_

#include <cstdint>
#include <string>

namespace snapjob {

struct SnapshotName {
  uint32_t client = 0;
  uint32_t app = 0;
  int64_t job = 0;
  uint64_t directory = 0;
};

// True only for a name the plug-in could have made: exactly five fields, numbers in range and
// written as the plug-in writes them (no sign but a job's "-", no leading zeros), so that no other
// name is ever taken, and deleted, for one of its own.
bool ParseSnapshotName(const std::string& name, SnapshotName* parsed);

std::string FormatSnapshotName(const SnapshotName& name);

}  // namespace snapjob

#endif  // SNAPJOB_SNAPSHOT_NAMES_H_
