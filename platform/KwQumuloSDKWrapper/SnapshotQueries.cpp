#include "SnapshotQueries.h"

#include "ErrorCodes.h"
#include "FXErrorUtil.h"
#include "HttpTransport.h"
#include "LogWriter.h"
#include "WireText.h"

namespace Qumulo {

namespace {
const std::string kSnapshotsPath = "/v1/snapshots";
}  // namespace

CSnapshotQueries::CSnapshotQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}

CSnapshotQueries::~CSnapshotQueries() = default;

CQiError CSnapshotQueries::CreateSnapshot(const std::string& name, unsigned long directoryId, CSnapshotInfo& snapshot,
                                          std::string expiration) {
  std::string body = "{\"name\": ";
  AppendJsonString(body, name);
  body += ", \"source_file_id\": \"" + std::to_string(directoryId) + "\", \"expiration\": ";
  AppendJsonString(body, expiration);
  body += "}";

  HttpResponse response;
  CQiError result = m_connection->Send("POST", kSnapshotsPath, body, false, response);
  if (result.IsError()) {
    const unsigned int code = result.Win32Code();
    if (code != kErrorConnectionReset && code != kErrorTimeout) return result.Push(QW_HERE);
    // The request may have been carried out with only its answer lost. Repeating it could leave
    // two snapshots, so look for the one it would have made instead.
    std::list<CSnapshotInfo> existing;
    CQiError listed = ListSnapshots(existing);
    if (!listed.IsError()) {
      for (auto it = existing.rbegin(); it != existing.rend(); ++it) {
        if (it->m_name == name && it->m_sourceFileId == directoryId && !it->m_inDelete) {
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
    return result.Push(QW_HERE, "snapshot %s of directory %lu was %s; not repeated, so that no second snapshot appears",
                       name.c_str(), directoryId,
                       listed.IsError() ? "perhaps created (the cluster could not be asked)" : "not created");
  }
  result = m_parser->ParseSnapshot(response.Body(), "POST " + kSnapshotsPath, snapshot);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

CQiError CSnapshotQueries::ListSnapshots(std::list<CSnapshotInfo>& snapshots) {
  HttpResponse response;
  CQiError result = m_connection->Send("GET", kSnapshotsPath, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE);
  result = m_parser->ParseSnapshotList(response.Body(), "GET " + kSnapshotsPath, snapshots);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

CQiError CSnapshotQueries::DeleteSnapshot(unsigned long id) {
  const std::string target = kSnapshotsPath + "/" + std::to_string(id);
  HttpResponse response;
  CQiError result = m_connection->Send("DELETE", target, std::string(), true, response);
  // A repeated delete finds nothing when an earlier try went through and only its answer was lost.
  if (result.IsError() && !(result.Win32Code() == kErrorNotFound && response.attempts > 1)) {
    return result.Push(QW_HERE);
  }
  return CQiError::Success();
}

std::string CSnapshotQueries::DiffTarget(unsigned long olderId, unsigned long newerId, const std::string& pageToken) const {
  std::string target = kSnapshotsPath + "/" + std::to_string(newerId) + "/changes-since/" + std::to_string(olderId);
  const unsigned int limit = m_connection->Options().diffPageSize;
  char separator = '?';
  if (limit > 0) {
    target += "?limit=" + std::to_string(limit);
    separator = '&';
  }
  if (!pageToken.empty()) {
    target += separator;
    target += "after=" + PercentEncode(pageToken);
  }
  return target;
}

CQiError CSnapshotQueries::GetSnapshotDiff(unsigned long olderId, unsigned long newerId,
                                           std::list<CSnapshotDiffInfo>& page, std::string& nextPageToken,
                                           std::string pageToken) {
  const std::string target = DiffTarget(olderId, newerId, pageToken);
  HttpResponse response;
  CQiError result = m_connection->Send("GET", target, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE);

  // Pages are asked for one after another, so the next one is fetched on the side while this one
  // is parsed; its token is read off the end of this body first. Should the parse disagree, the
  // next request simply does not match the fetched one and is made afresh.
  m_connection->TakeBody(m_pageBody);
  std::string upcoming;
  if (PeekNextPageToken(m_pageBody, upcoming) && !upcoming.empty()) {
    m_connection->Prefetch(DiffTarget(olderId, newerId, upcoming));
  }
  result = m_parser->ParseDiffPage(m_pageBody, "GET " + target, page, nextPageToken);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

}  // namespace Qumulo
