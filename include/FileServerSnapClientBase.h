#ifndef INCLUDE_FILESERVERSNAPCLIENTBASE_H
#define INCLUDE_FILESERVERSNAPCLIENTBASE_H

#include <functional>
#include <list>
#include <set>
#include <string>

#include "FileServerRecords.h"
#include "HostTypes.h"
#include "QiError.h"

// The agent's snapshot plug-in interface. The agent obtains an object from GetSnapClient, drives it
// through these operations on one thread at a time, and deletes it through this base. Every
// operation returns its outcome as a CQiError; none throws. The slot order is part of the binary
// contract with the agent: do not reorder.
//
// Lifetimes. Two things the client hands out carry code of the plug-in and must go first:
//  - the item callable of CompareSnapshots refers to the client without owning it: drop it (or stop
//    calling it) before the client is deleted;
//  - a content mapper that UpdateContentMapperPaths created because it was given a null pointer is
//    released through the plug-in's code: release it before the plug-in library is closed.
// Then delete the client, and only then dlclose the library.
//
// CompareSnapshots: sourceVolume is a backup path exactly as given to ConfigureSnapshot (a trailing
// "/" may be there or not); localVolume is only logged. Initialize with a null content mapper
// resolves backup paths through the mount table, with one through the agent's auto-mounts;
// RepopulateContentMapperPaths given a null mapper does nothing and succeeds.
class CFileServerSnapClientBase {
 public:
  virtual ~CFileServerSnapClientBase() {}

  virtual CQiError Initialize(LONGLONG jobId, ULONG clientId, ULONG appId1, ULONG appId2,
                              const std::string& unused1, const std::string& unused2,
                              const std::string& snapMapFile, LONGLONG previousJobId, LONGLONG unused3,
                              LONGLONG unused4, LONGLONG unused5, const ContentMapperAPIPtr& contentMapper) = 0;
  virtual CQiError InitArray(ULONG clientId) = 0;
  virtual CQiError VerifySnapScanSupport() = 0;
  virtual CQiError ConfigureSnapshot(std::list<std::string>& backupPaths, const std::list<std::string>& includes,
                                     const std::list<std::string>& excludes) = 0;
  virtual CQiError ManageSnapshots() = 0;
  virtual CQiError CompareSnapshots(std::string sourceVolume, std::string localVolume,
                                    std::function<FileServerSnapshotCompareItem()>& itemSource) = 0;
  virtual CQiError CleanupSnapshot(const std::set<std::string>& names) = 0;
  virtual CQiError UpdateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
  virtual CQiError CleanupSnapshotsPostBackup(bool backupSucceeded) = 0;
  virtual CQiError RepopulateContentMapperPaths(ContentMapperAPIPtr& contentMapper) = 0;
  virtual CQiError DeleteAutoMountFailedSnapshots(const std::list<std::string>& paths) = 0;
};

#endif
