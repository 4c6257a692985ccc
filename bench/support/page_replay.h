// Recorded difference pages, and snapshot queries that serve them instead of the cluster.
//
// A page file holds the exact bodies of a difference's pages, in order, each as an 8-byte
// little-endian length followed by the bytes. ReplayedSnapshotQueries hands them to the real parser
// one at a time, so that the snap client's comparison runs with everything but the network.
// None of these is thread-safe; one owner each.
#ifndef BENCH_SUPPORT_PAGE_REPLAY_H_
#define BENCH_SUPPORT_PAGE_REPLAY_H_

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "Connection.h"
#include "Parser.h"
#include "SnapshotQueries.h"

namespace bench {

class PageFileWriter {
 public:
  explicit PageFileWriter(const std::string& path);
  ~PageFileWriter();
  PageFileWriter(const PageFileWriter&) = delete;
  PageFileWriter& operator=(const PageFileWriter&) = delete;

  bool ok() const { return file_ != nullptr && ok_; }
  bool Append(const std::string& body);
  // Flushes and closes; false when any write failed.
  bool Close();

 private:
  FILE* file_;
  bool ok_ = true;
};

class PageFileReader {
 public:
  explicit PageFileReader(const std::string& path);
  ~PageFileReader();
  PageFileReader(const PageFileReader&) = delete;
  PageFileReader& operator=(const PageFileReader&) = delete;

  bool ok() const { return file_ != nullptr; }
  // Reads the next page into *body, reusing its buffer and leaving the spare capacity behind it
  // that the transport's receive buffer leaves, so that the parser reads it in place as it reads a
  // received page. False at the end of the file or on a short record (then *error says which).
  bool Next(std::string* body, std::string* error);

 private:
  FILE* file_;
};

// Records the pages of the difference olderId..newerId through `connection` (logged in), as the
// wrapper asks for them (its page size, its tokens), and the request target of each page in order.
// Returns the number of entries, or -1 with *error set.
long RecordDifference(Qumulo::CConnection& connection, unsigned long olderId, unsigned long newerId,
                      const std::string& pageFile, std::vector<std::string>* targets, std::string* error);

// Snapshot queries whose GetSnapshotDiff parses the next recorded page with the real parser. The
// page token asked for must be the one the previous page gave; other queries are not served.
class ReplayedSnapshotQueries : public Qumulo::CSnapshotQueries {
 public:
  explicit ReplayedSnapshotQueries(const std::string& pageFile);

  bool ok() const { return reader_.ok(); }
  CQiError GetSnapshotDiff(unsigned long olderId, unsigned long newerId, std::list<Qumulo::CSnapshotDiffInfo>& page,
                           std::string& nextPageToken, std::string pageToken) override;
  CQiError CreateSnapshot(const std::string& name, unsigned long directoryId, Qumulo::CSnapshotInfo& snapshot,
                          std::string expiration) override;
  CQiError ListSnapshots(std::list<Qumulo::CSnapshotInfo>& snapshots) override;
  CQiError DeleteSnapshot(unsigned long id) override;

 private:
  PageFileReader reader_;
  Qumulo::CParser parser_;
  std::string body_;
  std::string expectedToken_;  // "" before the first page
  bool finished_ = false;
};

}  // namespace bench

#endif  // BENCH_SUPPORT_PAGE_REPLAY_H_
