// What the wrapper and end-to-end tests share: a connection with its query objects, built as the
// snap client builds them, and an error's messages as one text. Not thread-safe.
#ifndef TESTS_COMMON_WRAPPERCLIENT_H_
#define TESTS_COMMON_WRAPPERCLIENT_H_

#include <boost/make_shared.hpp>

#include <memory>
#include <string>

#include "Connection.h"
#include "FileSystemQueries.h"
#include "Parser.h"
#include "Shares.h"
#include "SnapshotQueries.h"

namespace wrappertest {

struct WrapperClient {
  explicit WrapperClient(const Qumulo::TransportOptions& options)
      : connection(boost::make_shared<Qumulo::CConnection>(options)),
        files(new Qumulo::CFileSystemQueries(connection, parser)),
        shares(new Qumulo::CShares(connection, parser)),
        snapshots(new Qumulo::CSnapshotQueries(connection, parser)) {}

  boost::shared_ptr<Qumulo::CParser> parser = boost::make_shared<Qumulo::CParser>();
  boost::shared_ptr<Qumulo::CConnection> connection;
  std::unique_ptr<Qumulo::CFileSystemQueries> files;
  std::unique_ptr<Qumulo::CShares> shares;
  std::unique_ptr<Qumulo::CSnapshotQueries> snapshots;
};

inline std::string ErrorMessages(const CQiError& error) {
  std::string text;
  for (const auto& message : error.Messages()) text += message + "\n";
  return text;
}

}  // namespace wrappertest

#endif  // TESTS_COMMON_WRAPPERCLIENT_H_
