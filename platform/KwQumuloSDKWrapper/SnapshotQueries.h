#ifndef KWQUMULOSDKWRAPPER_SNAPSHOTQUERIES_H
#define KWQUMULOSDKWRAPPER_SNAPSHOTQUERIES_H

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <unordered_set>

#include <boost/shared_ptr.hpp>

#include "Connection.h"
#include "Parser.h"
#include "QumuloRecords.h"

namespace Qumulo {

struct HttpResponse;

// Snapshot queries, through the v3 snapshot routes, or through v2 for the rest of the connection
// once the cluster shows it has no v3 ones. Shares the connection and the parser; not thread-safe.
class CSnapshotQueries {
 public:
  CSnapshotQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser);
  virtual ~CSnapshotQueries();

  // Snapshots the directory with identifier `directoryId` under `name`; `expiration` "" never
  // expires. Not repeated on failure: a lost answer could otherwise leave two snapshots.
  virtual CQiError CreateSnapshot(const std::string& name, unsigned long directoryId, CSnapshotInfo& snapshot,
                                  std::string expiration);
  // Every snapshot of the cluster, appended in the cluster's order; snapshots being deleted are left
  // out. A record's m_name is the name its creator gave, m_directoryName its directory.
  virtual CQiError ListSnapshots(std::list<CSnapshotInfo>& snapshots);
  // Succeeds once the snapshot is gone: also when the cluster no longer knows it, or is already
  // deleting it (deletion runs in the background).
  virtual CQiError DeleteSnapshot(unsigned long id);
  // One page of the difference between two snapshots: appends it to `page` and sets
  // `nextPageToken` ("" after the last page). `pageToken` "" asks for the first page; any other
  // token is the cluster's link to a page and must be a relative URI. An older id of 0 (no
  // previous snapshot) asks nothing of the difference route: the one page holds one created
  // entry, the newer snapshot's directory, which means that all of it is new. A page whose link
  // leads back to a page of the same comparison fails, and so does one past the bounds of
  // TransportOptions (maxDiffPages, maxDiffItems), so that a cluster cannot make it endless.
  virtual CQiError GetSnapshotDiff(unsigned long olderId, unsigned long newerId, std::list<CSnapshotDiffInfo>& page,
                                   std::string& nextPageToken, std::string pageToken);

 protected:
  boost::shared_ptr<CConnection> m_connection;
  boost::shared_ptr<CParser> m_parser;

 private:
  CQiError GetSnapshot(unsigned long id, CSnapshotInfo& snapshot);
  const std::string& SnapshotsPath() const;
  // True, and v2 from now on, when `result` is the cluster's answer that the v3 route does not exist.
  bool FallBackToV2(const CQiError& result, const HttpResponse& response);
  // Sends `method` to the snapshots route plus `below` (and `v3Query` through v3), again through v2
  // when v3 is missing; `target` receives the path asked. `body` builds the body for the version in use.
  CQiError SendSnapshotRequest(const std::string& method, const std::string& below, const char* v3Query,
                               const std::function<std::string()>& body, bool idempotent, HttpResponse& response,
                               std::string& target);
  CQiError WholeDirectoryPage(unsigned long newerId, std::list<CSnapshotDiffInfo>& page, std::string& nextPageToken);
  std::string m_pageBody;  // the page being parsed, while the next one is received
  // Every page asked for in the current comparison: a link back to one of them would loop forever.
  std::unordered_set<std::string> m_requestedPages;
  uint64_t m_diffPages = 0;  // pages and entries of the current comparison, against the bounds
  uint64_t m_diffItems = 0;
  bool m_v2Only = false;  // the cluster has no v3 snapshot routes
};

}  // namespace Qumulo

#endif
