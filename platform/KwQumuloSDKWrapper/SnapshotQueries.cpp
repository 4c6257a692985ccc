#include "SnapshotQueries.h"

#include "ErrorCodes.h"
#include "FXErrorUtil.h"
#include "FileSystemQueries.h"
#include "HttpTransport.h"
#include "LogWriter.h"
#include "WireText.h"

namespace Qumulo {

namespace {

// Newer clusters deprecate the v2 snapshot routes and older ones lack v3: v3 is asked first. The
// difference route exists only in v2.
const std::string kV2Snapshots = "/v2/snapshots/";
const std::string kV3Snapshots = "/v3/snapshots/";

std::string DiffPath(unsigned long newerId, unsigned long olderId) {
  return kV2Snapshots + std::to_string(newerId) + "/changes-since/" + std::to_string(olderId);
}

}  // namespace

const std::string& CSnapshotQueries::SnapshotsPath() const { return m_v2Only ? kV2Snapshots : kV3Snapshots; }

bool CSnapshotQueries::FallBackToV2(const CQiError& result, const HttpResponse& response) {
  if (m_v2Only || !result.IsError() || response.status != 404) return false;
  // An unknown snapshot is 404 too, with its own class: only an unknown route means no v3.
  static const std::string kNoRoute = "http_not_found_error";
  const std::string description = m_parser->ParseErrorDescription(response.Body());
  if (description.compare(0, kNoRoute.size(), kNoRoute) != 0 ||
      (description.size() > kNoRoute.size() && description[kNoRoute.size()] != ':')) {
    return false;
  }
  m_v2Only = true;
  if (FXLogEnabled(1)) {
    g_ptrLogWriter->Write(1, __PRETTY_FUNCTION__, __LINE__, 0, 0,
                          "the cluster has no %s routes; using %s for the rest of the connection",
                          kV3Snapshots.c_str(), kV2Snapshots.c_str());
  }
  return true;
}

CQiError CSnapshotQueries::SendSnapshotRequest(const std::string& method, const std::string& below,
                                               const char* v3Query, const std::function<std::string()>& body,
                                               bool idempotent, HttpResponse& response, std::string& target) {
  auto send = [&]() {
    target = SnapshotsPath() + below + (m_v2Only ? "" : v3Query);
    return m_connection->Send(method, target, body ? body() : std::string(), idempotent, response);
  };
  CQiError result = send();
  if (FallBackToV2(result, response)) result = send();
  return result;
}

CSnapshotQueries::CSnapshotQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}

CSnapshotQueries::~CSnapshotQueries() = default;

CQiError CSnapshotQueries::CreateSnapshot(const std::string& name, unsigned long directoryId, CSnapshotInfo& snapshot,
                                          std::string expiration) {
  // v3 takes our name as the suffix of its own "<id>_<suffix>", and no expiration as null.
  auto body = [&]() {
    std::string text = m_v2Only ? "{\"name\": " : "{\"name_suffix\": ";
    AppendJsonString(text, name);
    text += ", \"expiration\": ";
    if (m_v2Only || !expiration.empty()) {
      AppendJsonString(text, expiration);
    } else {
      text += "null";
    }
    return text + ", \"source_file_id\": \"" + std::to_string(directoryId) + "\"}";
  };

  HttpResponse response;
  std::string target;
  CQiError result = SendSnapshotRequest("POST", std::string(), "", body, false, response, target);
  if (result.IsError()) {
    const unsigned int code = result.Win32Code();
    if (code != kErrorConnectionReset && code != kErrorTimeout) return result.Push(QW_HERE);
    // The request may have been carried out with only its answer lost. Repeating it could leave
    // two snapshots, so look for the one it would have made instead.
    std::list<CSnapshotInfo> existing;
    CQiError listed = ListSnapshots(existing);
    if (!listed.IsError()) {
      for (auto it = existing.rbegin(); it != existing.rend(); ++it) {
        if (it->m_name == name && it->m_sourceFileId == directoryId) {
          if (FXLogEnabled(1)) {
            g_ptrLogWriter->Write(1, __PRETTY_FUNCTION__, __LINE__, 0, 0,
                                  "the answer to creating snapshot %s was lost; the cluster has it as id %llu",
                                  name.c_str(), static_cast<unsigned long long>(it->m_id));
          }
          snapshot = *it;
          return CQiError::Success();
        }
      }
    }
    // A dropped connection lost the request or its answer; a timed-out one may still be carried out
    // after the listing, so only the first proves anything by absence.
    const char* outcome = listed.IsError()           ? "perhaps created (the cluster could not be asked)"
                          : code == kErrorTimeout ? "perhaps created (the cluster may still carry out the request "
                                                    "that timed out; a later job's reconciliation removes it)"
                                                  : "not created";
    return result.Push(QW_HERE, "snapshot %s of directory %lu was %s; not repeated, so that no second snapshot appears",
                       name.c_str(), directoryId, outcome);
  }
  result = m_parser->ParseSnapshot(response.Body(), "POST " + target, snapshot, !m_v2Only);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

CQiError CSnapshotQueries::ListSnapshots(std::list<CSnapshotInfo>& snapshots) {
  HttpResponse response;
  std::string target;
  // Only live ones: v2 leaves out those being deleted by itself.
  CQiError result =
      SendSnapshotRequest("GET", std::string(), "?filter=exclude_in_delete", nullptr, true, response, target);
  if (result.IsError()) return result.Push(QW_HERE);
  std::list<CSnapshotInfo> listed;
  result = m_parser->ParseSnapshotList(response.Body(), "GET " + target, listed, !m_v2Only);
  if (result.IsError()) return result.Push(QW_HERE);
  // The cluster leaves them out already; a snapshot on its way out is gone for every caller.
  listed.remove_if([](const CSnapshotInfo& snapshot) { return snapshot.m_inDelete; });
  snapshots.splice(snapshots.end(), listed);
  return CQiError::Success();
}

CQiError CSnapshotQueries::GetSnapshot(unsigned long id, CSnapshotInfo& snapshot) {
  HttpResponse response;
  std::string target;
  CQiError result = SendSnapshotRequest("GET", std::to_string(id), "", nullptr, true, response, target);
  if (result.IsError()) return result.Push(QW_HERE);
  result = m_parser->ParseSnapshot(response.Body(), "GET " + target, snapshot, !m_v2Only);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

CQiError CSnapshotQueries::DeleteSnapshot(unsigned long id) {
  HttpResponse response;
  std::string target;
  CQiError result = SendSnapshotRequest("DELETE", std::to_string(id), "", nullptr, true, response, target);
  if (!result.IsError() || result.Win32Code() == kErrorNotFound) return CQiError::Success();
  // A cluster may refuse to delete twice what it is deleting already; either way it will be gone.
  if (response.status != 0) {
    CSnapshotInfo snapshot;
    CQiError asked = GetSnapshot(id, snapshot);
    if (asked.Win32Code() == kErrorNotFound || (!asked.IsError() && snapshot.m_inDelete)) return CQiError::Success();
  }
  return result.Push(QW_HERE);
}

CQiError CSnapshotQueries::WholeDirectoryPage(unsigned long newerId, std::list<CSnapshotDiffInfo>& page,
                                              std::string& nextPageToken) {
  CSnapshotInfo snapshot;
  CQiError result = GetSnapshot(newerId, snapshot);
  if (result.IsError()) return result.Push(QW_HERE, "no previous snapshot: cannot find snapshot %lu", newerId);
  CDirectoryEntry directory;
  result = CFileSystemQueries(m_connection, m_parser)
               .GetFileAttributes(std::to_string(snapshot.m_sourceFileId), directory, 0);
  if (result.IsError()) {
    return result.Push(QW_HERE, "no previous snapshot: cannot find the directory of snapshot %lu", newerId);
  }
  CSnapshotDiffInfo& entry = page.emplace_back();
  entry.m_path = directory.m_path;
  if (entry.m_path.empty() || entry.m_path.back() != '/') entry.m_path += '/';
  entry.m_changeType = kSnapshotChangeCreated;
  entry.m_isDirectory = true;
  nextPageToken.clear();
  return CQiError::Success();
}

CQiError CSnapshotQueries::GetSnapshotDiff(unsigned long olderId, unsigned long newerId,
                                           std::list<CSnapshotDiffInfo>& page, std::string& nextPageToken,
                                           std::string pageToken) {
  if (olderId == 0 && pageToken.empty()) return WholeDirectoryPage(newerId, page, nextPageToken);

  std::string target;
  if (pageToken.empty()) {
    m_requestedPages.clear();
    m_diffPages = 0;
    m_diffItems = 0;
    target = DiffPath(newerId, olderId);
    const unsigned int limit = m_connection->Options().diffPageSize;
    if (limit > 0) target += "?limit=" + std::to_string(limit);
  } else if (IsRelativeUri(pageToken)) {
    // The cluster's own link to the page, asked for as it stands.
    target = pageToken;
  } else {
    std::string shown = pageToken.substr(0, 100);
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    }
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidParameter,
                                   "difference of snapshots %lu and %lu: the page link \"%s\" is not a relative "
                                   "URI; refused, so that no request goes elsewhere",
                                   olderId, newerId, shown.c_str());
  }
  HttpResponse response;
  CQiError result = m_connection->Send("GET", target, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE);
  m_requestedPages.insert(target);

  // Pages are asked for one after another, so the next one is fetched on the side while this one
  // is parsed; its link is read off the end of this body first. Should the parse disagree, the
  // next request simply does not match the fetched one and is made afresh.
  m_connection->TakeBody(m_pageBody);
  std::string upcoming;
  if (PeekNextPageToken(m_pageBody, upcoming) && IsRelativeUri(upcoming) && m_requestedPages.count(upcoming) == 0) {
    m_connection->Prefetch(upcoming);
  }
  const size_t before = page.size();
  std::string next;
  result = m_parser->ParseDiffPage(m_pageBody, "GET " + target, page, next);
  if (result.IsError()) return result.Push(QW_HERE);
  // Fresh links without end, full pages or empty ones, are cut off by the bounds.
  const TransportOptions& options = m_connection->Options();
  ++m_diffPages;
  m_diffItems += page.size() - before;
  if (m_diffItems > options.maxDiffItems || (!next.empty() && m_diffPages >= options.maxDiffPages)) {
    page.resize(before);
    const bool items = m_diffItems > options.maxDiffItems;
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidData,
                                   "GET %s: the difference of snapshots %lu and %lu runs past %llu %s; refused, so "
                                   "that it cannot run without end (raise TransportOptions::%s for a longer "
                                   "difference)",
                                   target.c_str(), olderId, newerId,
                                   static_cast<unsigned long long>(items ? options.maxDiffItems : options.maxDiffPages),
                                   items ? "entries" : "pages", items ? "maxDiffItems" : "maxDiffPages");
  }
  if (!next.empty() && m_requestedPages.count(next) != 0) {
    page.resize(before);
    return FXErrorUtil::ErrorWin32(QW_HERE, kErrorInvalidData,
                                   "GET %s: malformed response from the cluster: the next page's link leads back to a "
                                   "page of this difference already fetched (%s); the difference would never end",
                                   target.c_str(), next.c_str());
  }
  nextPageToken.swap(next);
  return CQiError::Success();
}

}  // namespace Qumulo
