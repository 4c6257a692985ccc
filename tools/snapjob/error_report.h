// How snapjob tells a person that an operation of the plug-in failed: the operation's name, the
// error code, every message and every code location the error passed, and what to do about it.
// Stateless, but a changed key is confirmed by a connection to the host.
#ifndef SNAPJOB_ERROR_REPORT_H_
#define SNAPJOB_ERROR_REPORT_H_

#include <string>

#include "QiError.h"
#include "options.h"

namespace snapjob {

// For example:
//   snapjob: ConfigureSnapshot failed: error 1627
//     message: " Scan Content [/mnt/x] is not mounted"
//     at QumuloSnapClient: CQiError CQumuloSnapClient::GetExportInfo(...):120: ...
// With the connection the command used, a refused login, an untrusted or expired certificate and a
// changed key get a hint that says what to do.
std::string DescribeFailure(const std::string& operation, const CQiError& error,
                            const ConnectionOptions& connection);

}  // namespace snapjob

#endif  // SNAPJOB_ERROR_REPORT_H_
