#include "Shares.h"

#include "ErrorCodes.h"
#include "HttpTransport.h"

namespace Qumulo {

CShares::CShares(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser)
    : m_connection(std::move(connection)), m_parser(std::move(parser)) {}

CShares::~CShares() = default;

CQiError CShares::GetNFSExports(std::list<CNFSExportEntry>& exports) {
  static const std::string kPath = "/v2/nfs/exports/";
  HttpResponse response;
  CQiError result = m_connection->Send("GET", kPath, std::string(), true, response);
  if (result.IsError()) return result.Push(QW_HERE);
  result = m_parser->ParseNFSExports(response.Body(), "GET " + kPath, exports);
  if (result.IsError()) return result.Push(QW_HERE);
  return CQiError::Success();
}

}  // namespace Qumulo
