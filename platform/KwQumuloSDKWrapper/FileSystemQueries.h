#ifndef KWQUMULOSDKWRAPPER_FILESYSTEMQUERIES_H
#define KWQUMULOSDKWRAPPER_FILESYSTEMQUERIES_H

#include <string>

#include <boost/shared_ptr.hpp>

#include "Connection.h"
#include "Parser.h"
#include "QumuloRecords.h"

namespace Qumulo {

// File-system queries. Shares the connection and the parser; not thread-safe.
class CFileSystemQueries {
 public:
  CFileSystemQueries(boost::shared_ptr<CConnection> connection, boost::shared_ptr<CParser> parser);
  virtual ~CFileSystemQueries();

  // Attributes of the object `path` names: an absolute cluster path, or a decimal file id. Either
  // travels as one URI component ("/" as %2F). `flags` is reserved (pass 0).
  virtual CQiError GetFileAttributes(const std::string& path, CDirectoryEntry& entry, int flags);

 protected:
  boost::shared_ptr<CConnection> m_connection;
  boost::shared_ptr<CParser> m_parser;
};

}  // namespace Qumulo

#endif
