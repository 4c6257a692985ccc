#ifndef KWQUMULOSDKWRAPPER_QUMULORECORDS_H
#define KWQUMULOSDKWRAPPER_QUMULORECORDS_H

#include <cstdint>
#include <string>

// Records that the cluster wrapper fills. Plain values; copies copy every field.
namespace Qumulo {

// One snapshot of the cluster.
class CSnapshotInfo {
 public:
  virtual ~CSnapshotInfo() {}

  bool m_inDelete = false;
  std::string m_name;
  uint64_t m_timestamp = 0;        // creation time, seconds since the epoch (two's complement before 1970)
  uint64_t m_sourceFileId = 0;     // the directory the snapshot was taken of
  bool m_hasExpiration = false;
  std::string m_expiration;        // "" when it never expires
  std::string m_directoryName;     // its directory inside the snapshotted tree's ".snapshot"
  uint64_t m_id = 0;
};

// Attributes of one file-system object.
struct CDirectoryEntry {
  std::string m_path;
  bool m_isDirectory = false;
  uint64_t m_fileId = 0;           // stable identifier of the object
  uint64_t m_size = 0;
  uint64_t m_numLinks = 0;
  uint64_t m_owner = 0;
  uint64_t m_group = 0;
  // Seconds since the epoch; a time before 1970 is held in two's complement (read it as int64_t).
  uint64_t m_changeTime = 0;
  uint64_t m_modificationTime = 0;
  uint64_t m_creationTime = 0;
};

// One NFS export, as the cluster lists them.
struct CNFSExportEntry {
  std::string m_description;
  uint64_t m_id = 0;
  std::string m_fsPath;            // the directory the export publishes
  std::string m_exportPath;        // the path NFS clients mount; "/" is the root export
  uint64_t m_tenantId = 0;         // one export path may appear once per tenant; 0 when not given
};

// One changed item between two snapshots.
struct CSnapshotDiffInfo {
  std::string m_path;              // cluster path; directories end with "/"
  int32_t m_changeType = 0;        // 0 created, 1 deleted, 2 modified; the parser refuses any other operation
  bool m_isDirectory = false;
};

// CSnapshotDiffInfo::m_changeType values.
enum SnapshotChangeType : int32_t {
  kSnapshotChangeUnknown = -1,
  kSnapshotChangeCreated = 0,
  kSnapshotChangeDeleted = 1,
  kSnapshotChangeModified = 2,
};

}  // namespace Qumulo

#endif
