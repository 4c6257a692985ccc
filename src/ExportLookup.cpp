// Export lookup: from a backup path, through the mount table or the auto-mount converter and the
// cluster's NFS exports, to the cluster directory behind it.

#include <algorithm>

#include "FXPath.h"
#include "FXString.h"
#include "FileShareAutoMount.h"
#include "KwMntTab.h"
#include "QumuloSnapClient.h"
#include "Shares.h"
#include "SnapClientSupport.h"

namespace {

// The path part of an NFS source "server:/path": everything after the first ":", or the whole text
// when it has none (a local device).
std::string PathAfterServer(const std::string& source) {
  const size_t colon = source.find(':');
  return colon == std::string::npos ? source : source.substr(colon + 1);
}

// The part of `path` below `base` ("a/b" for /mnt/p/a/b/ below /mnt/p), as it was written; ""
// when path is base itself.
std::string PathBelow(const std::string& path, const std::string& base) {
  size_t baseLength = base.find_last_not_of('/');
  baseLength = baseLength == std::string::npos ? 0 : baseLength + 1;
  return path.size() <= baseLength ? std::string() : path.substr(baseLength);
}

// `path`'s components joined by single "/", without "." and empty ones and without delimiters at
// either end. False when a component is "..": the cluster would resolve it against its own tree,
// which may climb out of the directory the host mounted.
bool NormalisedComponents(const std::string& path, std::string& out) {
  out.clear();
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const size_t length = end - start;
    if (length == 2 && path.compare(start, 2, "..") == 0) return false;
    if (length > 0 && !(length == 1 && path[start] == '.')) {
      if (!out.empty()) out += '/';
      out.append(path, start, length);
    }
    start = end + 1;
  }
  return true;
}

// The export paths are the same but for trailing delimiters.
bool SameExportPath(std::string a, std::string b) {
  FXPath::RemoveTrailingDelimiter(a).IgnoreError();
  FXPath::RemoveTrailingDelimiter(b).IgnoreError();
  return a == b;
}

// The tenants that export `exportPath`, in the cluster's order: the host's mount reaches one of
// them, and nothing here tells which.
std::list<uint64_t> TenantsExporting(const std::list<Qumulo::CNFSExportEntry>& exports, const std::string& exportPath) {
  std::list<uint64_t> tenants;
  for (const Qumulo::CNFSExportEntry& entry : exports) {
    if (SameExportPath(entry.m_exportPath, exportPath) &&
        std::find(tenants.begin(), tenants.end(), entry.m_tenantId) == tenants.end()) {
      tenants.push_back(entry.m_tenantId);
    }
  }
  return tenants;
}

}  // namespace

CQiError CQumuloSnapClient::GetExportInfo(std::string& backupPath, const std::list<std::string>&,
                                          const std::list<std::string>&, bool&, FileServerExportInfo& info) {
  return RunAtBoundary(snapfn::kGetExportInfo, [&]() -> CQiError {
    // Read once per process: the mount table is assumed stable for the agent's life. Callers in
    // mount-table mode must not overlap.
    static std::list<KwMntTab::Entry> s_mntList;

    if (!m_useContentMapper && s_mntList.empty()) {
      CQiError result = KwMntTab::getAll(s_mntList);
      if (result.IsError()) return result.Push(SNAP_LOCATION(snapfn::kGetExportInfo));
    }

    std::string mountPath;   // the path on the server of what the host mounted
    std::string shownPath;   // the same as the source gave it, for the log
    std::string belowMount;  // the backup path's components below its mount point
    if (!m_useContentMapper) {
      SNAP_LOG(2, snapfn::kGetExportInfo, "Scan Content [%s]", backupPath.c_str());
      // The path lives on the deepest mount that holds it (the longest mount point), as the kernel
      // resolves it: what an outer mount has below an inner mount point is hidden from the host, and
      // of two mounts on one point the later one, listed after it, hides the earlier.
      const KwMntTab::Entry* match = nullptr;
      size_t matchLength = 0;
      for (const KwMntTab::Entry& entry : s_mntList) {
        // The root file system holds every path and so says nothing about where it lives.
        if (entry.m_mountPoint == "/" || !FXPath::IsDescendantOf(backupPath, entry.m_mountPoint, true)) continue;
        const size_t length = entry.m_mountPoint.find_last_not_of('/') + 1;
        if (match == nullptr || length >= matchLength) {
          match = &entry;
          matchLength = length;
        }
      }
      if (match == nullptr) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetExportInfo), snapcode::kFailed,
                                       " Scan Content [%s] is not mounted", backupPath.c_str());
      }
      mountPath = PathAfterServer(match->m_device);
      shownPath = mountPath;
      // The export is chosen for what the host mounted; a deeper backup path then names its own
      // directory below the mount's source, so that its snapshot, and the ".snapshot" directory the
      // agent reads through, are its own. Choosing with the deeper path could pick an export the
      // host never mounted, publishing another directory altogether.
      if (!NormalisedComponents(PathBelow(backupPath, match->m_mountPoint), belowMount)) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetExportInfo), snapcode::kBadArguments,
                                       "Backup path [%s] climbs out of its mount point [%s] with \"..\"",
                                       backupPath.c_str(), match->m_mountPoint.c_str());
      }
      SNAP_LOG(2, snapfn::kGetExportInfo, "NFS mount path [%s]", shownPath.c_str());
    } else {
      std::string mountFormat;
      std::string serverRoot;
      bool noExportPath = false;
      CQiError converted = FileShareAutoMount::convertScanToMountFormat(backupPath, mountFormat, serverRoot,
                                                                         noExportPath);
      std::string pathOnServer;
      shownPath = PathAfterServer(mountFormat);
      if (converted.IsError() || noExportPath || !NormalisedComponents(shownPath, pathOnServer)) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetExportInfo), snapcode::kAutoMountFailed,
                                       "Could not find export path for [%s]", backupPath.c_str());
      }
      // The lookup works on the normalised path; the log shows the share as the converter gave it.
      mountPath = "/" + pathOnServer;
      SNAP_LOG(2, snapfn::kGetExportInfo, "NFS mount path [%s]", shownPath.c_str());
    }

    std::list<Qumulo::CNFSExportEntry> exports;
    CQiError listed = m_shares->GetNFSExports(exports);
    if (listed.IsError()) return listed.Push(SNAP_LOCATION(snapfn::kGetExportInfo));

    // The first export that holds the mount path wins, in the cluster's order; the root export is
    // only the fallback, and a later root export replaces an earlier one.
    Qumulo::CNFSExportEntry chosen;
    Qumulo::CNFSExportEntry rootExport;
    bool found = false;
    bool haveRoot = false;
    for (const Qumulo::CNFSExportEntry& entry : exports) {
      if (entry.m_exportPath != "/" && FXPath::IsDescendantOf(mountPath, entry.m_exportPath, true)) {
        chosen = entry;
        found = true;
        SNAP_LOG(0, snapfn::kGetExportInfo, "Found NFS Export [%s] for backup path : [%s], mountPath[%s]",
                 entry.m_exportPath.c_str(), backupPath.c_str(), shownPath.c_str());
        break;
      }
      if (entry.m_exportPath == "/") {
        rootExport = entry;
        haveRoot = true;
      }
    }
    if (!found) {
      if (!haveRoot) {
        return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetExportInfo), snapcode::kNotFound,
                                       "Unable to find NFS Exports for the backup path [%s] in qumulo cluster",
                                       backupPath.c_str());
      }
      chosen = rootExport;
      SNAP_LOG(0, snapfn::kGetExportInfo, "Found NFS Export [%s] for backup path : [%s]",
               chosen.m_exportPath.c_str(), backupPath.c_str());
    }
    // Guessing a tenant would snapshot another tenant's directory, and report success.
    const std::list<uint64_t> tenants = TenantsExporting(exports, chosen.m_exportPath);
    if (tenants.size() > 1) {
      std::string named;
      for (uint64_t tenant : tenants) named += (named.empty() ? "" : ", ") + std::to_string(tenant);
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(snapfn::kGetExportInfo), snapcode::kFailed,
                                     "NFS export path [%s] is exported by tenants %s; cannot tell which tenant the "
                                     "mount of backup path [%s] reaches",
                                     chosen.m_exportPath.c_str(), named.c_str(), backupPath.c_str());
    }

    std::string resultBackupPath = backupPath;
    FXPath::AppendTrailingDelimiter(resultBackupPath).IgnoreError();
    std::string workingPath = mountPath;
    FXPath::RemoveTrailingDelimiter(chosen.m_exportPath).IgnoreError();
    FXPath::RemoveTrailingDelimiter(chosen.m_fsPath).IgnoreError();
    SNAP_LOG(0, snapfn::kGetExportInfo, "SharePath[%s], ExportPath[%s] FSPath[%s]", shownPath.c_str(),
             chosen.m_exportPath.c_str(), chosen.m_fsPath.c_str());
    FXString::ReplaceLeft(workingPath, chosen.m_exportPath, chosen.m_fsPath);
    if (!belowMount.empty()) {
      if (workingPath.empty()) workingPath = "/";
      FXPath::Append(workingPath, belowMount, 0).IgnoreError();
    }
    if (workingPath.empty() || workingPath.back() != '/') workingPath += '/';

    info.m_backupPath = resultBackupPath;
    info.m_fsPath = workingPath;
    SNAP_LOG(0, snapfn::kGetExportInfo, "Backup Path [%s] => Qumulo Filesystem Path [%s]", info.m_backupPath.c_str(),
             info.m_fsPath.c_str());
    return CQiError::Success();
  });
}
