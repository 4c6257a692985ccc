// Temporary: every operation fails clearly until the transport lands.
#include <mutex>

#include "Connection.h"
#include "FXErrorUtil.h"
#include "FileSystemQueries.h"
#include "Parser.h"
#include "Shares.h"
#include "SnapshotQueries.h"

namespace Qumulo {

class HttpTransport {};
class JsonDocumentParser {};

static std::mutex g_defaultMutex;
static TransportOptions g_default;

void TransportOptions::SetDefault(const TransportOptions& options) {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  g_default = options;
}

TransportOptions TransportOptions::Default() {
  std::lock_guard<std::mutex> lock(g_defaultMutex);
  return g_default;
}

static CQiError NotImplemented(const char* function) {
  return FXErrorUtil::ErrorWin32(FXCodeLocation("KwQumuloSDKWrapper", function, __LINE__), 50, "%s: not implemented yet",
                                 function);
}

CConnection::CConnection() : m_options(TransportOptions::Default()) {}
CConnection::CConnection(const TransportOptions& options) : m_options(options) {}
CConnection::~CConnection() = default;
CQiError CConnection::Connect(const std::string&, const std::string&, const std::string&) {
  return NotImplemented("CQiError Qumulo::CConnection::Connect(...)");
}
CQiError CConnection::Send(const std::string&, const std::string&, const std::string&, bool, HttpResponse&) {
  return NotImplemented("CQiError Qumulo::CConnection::Send(...)");
}

CParser::CParser() = default;
CParser::~CParser() = default;

CFileSystemQueries::CFileSystemQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}
CFileSystemQueries::~CFileSystemQueries() = default;
CQiError CFileSystemQueries::GetFileAttributes(const std::string&, CDirectoryEntry&, int) {
  return NotImplemented("CQiError Qumulo::CFileSystemQueries::GetFileAttributes(...)");
}

CShares::CShares(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}
CShares::~CShares() = default;
CQiError CShares::GetNFSExports(std::list<CNFSExportEntry>&) {
  return NotImplemented("CQiError Qumulo::CShares::GetNFSExports(...)");
}

CSnapshotQueries::CSnapshotQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}
CSnapshotQueries::~CSnapshotQueries() = default;
CQiError CSnapshotQueries::CreateSnapshot(const std::string&, unsigned long, CSnapshotInfo&, std::string) {
  return NotImplemented("CQiError Qumulo::CSnapshotQueries::CreateSnapshot(...)");
}
CQiError CSnapshotQueries::ListSnapshots(std::list<CSnapshotInfo>&) {
  return NotImplemented("CQiError Qumulo::CSnapshotQueries::ListSnapshots(...)");
}
CQiError CSnapshotQueries::DeleteSnapshot(unsigned long) {
  return NotImplemented("CQiError Qumulo::CSnapshotQueries::DeleteSnapshot(...)");
}
CQiError CSnapshotQueries::GetSnapshotDiff(unsigned long, unsigned long, std::list<CSnapshotDiffInfo>&, std::string&,
                                           std::string) {
  return NotImplemented("CQiError Qumulo::CSnapshotQueries::GetSnapshotDiff(...)");
}

}  // namespace Qumulo
