#ifndef INCLUDE_FILESERVERRECORDS_H
#define INCLUDE_FILESERVERRECORDS_H

#include <cstdint>
#include <string>

// Records of the backup agent that cross the snap client interface. Plain values: default
// construction zeroes every number and flag and empties every string; copies copy every field.
// Fields the plug-in neither reads nor writes are kept so that whole-record copies stay faithful.

// One backup path that received a snapshot in the current job.
struct FileServerExportInfo {
  std::string m_backupPath;        // as the agent gave it, ending with one "/"
  std::string m_mountPath;         // not used by the plug-in
  std::string m_fsPath;            // cluster file-system path behind the backup path, ending with "/"
  std::string m_snapshotName;      // the snapshot taken in this job
  uint64_t m_snapshotId = 0;
  std::string m_prevSnapshotName;  // the previous job's snapshot of the same path
  uint64_t m_prevSnapshotId = 0;   // 0 when there is none
  bool m_runSnapDiffScan = false;  // a previous snapshot was found, so the path can be compared
  std::string m_serverName;        // not used by the plug-in
  std::string m_exportPath;        // not used by the plug-in
  std::string m_shareName;         // not used by the plug-in
  bool m_isAutoMounted = false;    // not used by the plug-in
};

// Attributes of one item.
struct FileServerItemInformation {
  uint64_t m_size = 0;
  uint32_t m_mode = 0;             // POSIX file-type bits: 0x4000 directory, 0x8000 regular file
  uint64_t m_uid = 0;
  uint64_t m_gid = 0;
  uint64_t m_accessTime = 0;
  uint64_t m_modifyTime = 0;
  uint64_t m_changeTime = 0;
  uint64_t m_fileId = 0;
  bool m_exists = false;           // the item exists in the newer snapshot
};

// One change-list item handed to the agent.
struct FileServerSnapshotCompareItem {
  int32_t m_changeType = 0;        // 0 none, 1 new, 2 modified, 4 deleted, 5 end of list
  std::string m_path;              // the item's path as the agent knows it
  FileServerItemInformation m_info;
  std::string m_secondaryPath;     // always "" from this plug-in
  FileServerItemInformation m_secondaryInfo;
  bool m_newDirectory = false;     // the item is a new directory
};

// Change types of FileServerSnapshotCompareItem::m_changeType.
enum FileServerChangeType : int32_t {
  kFileServerChangeNone = 0,
  kFileServerChangeNew = 1,
  kFileServerChangeModified = 2,
  kFileServerChangeDeleted = 4,
  kFileServerChangeEndOfList = 5,
};

#endif
