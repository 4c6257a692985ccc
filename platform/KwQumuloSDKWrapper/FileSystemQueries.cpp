#include "FileSystemQueries.h"

#include "ErrorCodes.h"
#include "HttpTransport.h"
#include "WireText.h"

namespace Qumulo {

CFileSystemQueries::CFileSystemQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}

CFileSystemQueries::~CFileSystemQueries() = default;

CQiError CFileSystemQueries::GetFileAttributes(const std::string& path, CDirectoryEntry& entry, int /*flags*/) {
  const std::string target = "/v1/files/" + PercentEncode(path) + "/info/attributes";
  HttpResponse response;
  CQiError result = m_connection->Send("GET", target, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE);
  result = m_parser->ParseDirectoryEntry(response.Body(), "GET " + target, entry);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

}  // namespace Qumulo
