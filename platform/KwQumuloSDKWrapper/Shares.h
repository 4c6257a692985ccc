#ifndef KWQUMULOSDKWRAPPER_SHARES_H
#define KWQUMULOSDKWRAPPER_SHARES_H

#include <list>

#include <boost/shared_ptr.hpp>

#include "Connection.h"
#include "Parser.h"
#include "QumuloRecords.h"

namespace Qumulo {

// NFS export queries. Shares the connection and the parser; not thread-safe.
class CShares {
 public:
  CShares(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser);
  virtual ~CShares();

  // Every NFS export, appended in the cluster's order.
  virtual CQiError GetNFSExports(std::list<CNFSExportEntry>& exports);

 protected:
  boost::shared_ptr<CConnection> m_connection;
  boost::shared_ptr<CParser> m_parser;
};

}  // namespace Qumulo

#endif
