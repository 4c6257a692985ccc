#ifndef KWQUMULOSDKWRAPPER_PARSER_H
#define KWQUMULOSDKWRAPPER_PARSER_H

#include <list>
#include <memory>
#include <string>

#include "QiError.h"
#include "QumuloRecords.h"

namespace Qumulo {

class JsonDocumentParser;

// Decodes the cluster's JSON responses into records. Keeps its parsing buffers between calls, so
// one parser serves a whole job cheaply. Not thread-safe.
class CParser {
 public:
  CParser();
  virtual ~CParser();
  CParser(const CParser&) = delete;
  CParser& operator=(const CParser&) = delete;

  // Each returns a clear error (what was expected, where) for malformed JSON or a missing or
  // wrong-typed field; `context` ("GET /v1/...") names the request in that error.
  CQiError ParseLoginToken(const std::string& body, const std::string& context, std::string& token);
  CQiError ParseDirectoryEntry(const std::string& body, const std::string& context, CDirectoryEntry& entry);
  CQiError ParseNFSExports(const std::string& body, const std::string& context, std::list<CNFSExportEntry>& exports);
  // `v3`: the record form of the v3 routes, whose name is the directory's ("<id>_<our name>"): the
  // record's m_directoryName takes it whole and m_name the part after "<id>_".
  CQiError ParseSnapshot(const std::string& body, const std::string& context, CSnapshotInfo& snapshot,
                         bool v3 = false);
  CQiError ParseSnapshotList(const std::string& body, const std::string& context, std::list<CSnapshotInfo>& snapshots,
                             bool v3 = false);
  // Appends the page's entries to `page` in order; `nextPageToken` receives the page's
  // "paging.next" link verbatim ("" when there is none or it is null).
  CQiError ParseDiffPage(const std::string& body, const std::string& context, std::list<CSnapshotDiffInfo>& page,
                         std::string& nextPageToken);
  // "<error_class>: <description>" from the cluster's error body, or "" when there is none.
  std::string ParseErrorDescription(const std::string& body);

 private:
  std::unique_ptr<JsonDocumentParser> m_json;
};

}  // namespace Qumulo

#endif
