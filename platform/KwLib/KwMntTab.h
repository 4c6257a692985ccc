#ifndef KWLIB_KWMNTTAB_H
#define KWLIB_KWMNTTAB_H

#include <cstdint>
#include <list>
#include <string>

#include "QiError.h"

// Reader of the host's mount table (the fstab format of /proc/self/mounts). The agent may point it
// at another table file in the same format. Thread-safe.
class KwMntTab {
 public:
  // One line of the mount table.
  struct Entry {
    std::string m_device;      // the mounted source; for NFS "server:/exported/path"
    std::string m_mountPoint;  // the local directory it is mounted on
    uint64_t m_dumpFrequency = 0;
    std::string m_fsType;
    std::string m_options;
  };

  // Appends one entry per line of the table, in the table's order.
  static CQiError getAll(std::list<Entry>& entries);

  // The table file that getAll reads; "" restores the default, /proc/self/mounts.
  static void SetTablePath(const std::string& path);
  static std::string TablePath();
};

#endif
