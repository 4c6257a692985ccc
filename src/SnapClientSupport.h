#ifndef SRC_SNAPCLIENTSUPPORT_H
#define SRC_SNAPCLIENTSUPPORT_H

#include <exception>
#include <new>

#include "FXCodeLocation.h"
#include "FXErrorUtil.h"
#include "LogWriter.h"
#include "QiError.h"

// Code locations and log lines of the snap client carry the file name "QumuloSnapClient" and the
// function's signature text as the agent's support tools expect to read it, written out literally
// because the compiler's own text differs between compilers.
namespace snapfn {
constexpr char kFile[] = "QumuloSnapClient";
constexpr char kInitialize[] =
    "virtual CQiError CQumuloSnapClient::Initialize(LONGLONG, ULONG, ULONG, ULONG, const string&, const string&, "
    "const string&, LONGLONG, LONGLONG, LONGLONG, LONGLONG, const ContentMapperAPIPtr&)";
constexpr char kInitArray[] = "virtual CQiError CQumuloSnapClient::InitArray(ULONG)";
constexpr char kConfigure[] = "CQiError CQumuloSnapClient::Configure()";
constexpr char kGetExportInfo[] =
    "CQiError CQumuloSnapClient::GetExportInfo(std::string&, const std::__cxx11::list<std::__cxx11::basic_string<char> "
    ">&, const std::__cxx11::list<std::__cxx11::basic_string<char> >&, bool&, FileServerExportInfo&)";
constexpr char kGetSnapshotName[] =
    "CQiError CQumuloSnapClient::GetSnapshotName(LONGLONG, const string&, std::string&, long long unsigned int&)";
constexpr char kConfigureSnapshot[] =
    "virtual CQiError CQumuloSnapClient::ConfigureSnapshot(std::__cxx11::list<std::__cxx11::basic_string<char> >&, "
    "const std::__cxx11::list<std::__cxx11::basic_string<char> >&, const "
    "std::__cxx11::list<std::__cxx11::basic_string<char> >&)";
constexpr char kManageSnapshots[] = "virtual CQiError CQumuloSnapClient::ManageSnapshots()";
constexpr char kCleanupSnapshot[] =
    "virtual CQiError CQumuloSnapClient::CleanupSnapshot(const std::set<std::__cxx11::basic_string<char> >&)";
constexpr char kCompareSnapshots[] =
    "virtual CQiError CQumuloSnapClient::CompareSnapshots(std::string, std::string, "
    "std::function<FileServerSnapshotCompareItem()>&)";
constexpr char kGetSnapshotCompareItem[] = "FileServerSnapshotCompareItem CQumuloSnapClient::GetSnapshotCompareItem()";
constexpr char kUpdateContentMapperPaths[] =
    "virtual CQiError CQumuloSnapClient::UpdateContentMapperPaths(ContentMapperAPIPtr&)";
constexpr char kRepopulateContentMapperPaths[] =
    "virtual CQiError CQumuloSnapClient::RepopulateContentMapperPaths(ContentMapperAPIPtr&)";
constexpr char kSaveSnapshotInformation[] = "virtual CQiError CQumuloSnapClient::SaveSnapshotInformation()";
constexpr char kConstructor[] = "CQumuloSnapClient::CQumuloSnapClient()";
}  // namespace snapfn

// Win32-style codes the snap client raises.
namespace snapcode {
constexpr unsigned int kInvalidData = 13;       // the cluster answered with a path or name we must not use
constexpr unsigned int kNotEnoughMemory = 14;     // an object that had to be created is missing
constexpr unsigned int kDiskFull = 112;           // the change list could not be written to its spill file
constexpr unsigned int kBadArguments = 160;       // client id 0, a content mapper of the wrong kind
constexpr unsigned int kNotFound = 774;           // a required service, state or record is missing
constexpr unsigned int kAutoMountFailed = 1168;   // no mount form for an auto-mounted path
constexpr unsigned int kFailed = 1627;            // the operation failed
}  // namespace snapcode

#define SNAP_LOCATION(function) FXCodeLocation(snapfn::kFile, (function), __LINE__)

// Writes one log line when the global writer's level admits it.
#define SNAP_LOG(level, function, ...)                                                 \
  do {                                                                                 \
    if (FXLogEnabled(level)) g_ptrLogWriter->Write((level), (function), __LINE__, 0, 0, __VA_ARGS__); \
  } while (0)

// Runs an operation's body so that nothing it throws reaches the agent: an exception becomes a
// failed CQiError at the operation's location. Building that error allocates too; on a heap too
// exhausted for it, the bare status of code 14 stands in, since it needs no memory, and an agent
// process must not abort for want of an error message.
template <typename Body>
CQiError RunAtBoundary(const char* function, Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(function), snapcode::kNotEnoughMemory, "Out of memory");
    } catch (const std::exception& e) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(function), snapcode::kFailed, "Unexpected failure: %s", e.what());
    } catch (...) {
      return FXErrorUtil::ErrorWin32(SNAP_LOCATION(function), snapcode::kFailed, "Unexpected failure");
    }
  } catch (...) {
    return CQiError(FXErrorUtil::StatusFromWin32(snapcode::kNotEnoughMemory), nullptr);
  }
}

#endif
