// How snapjob tells a person that an operation of the plug-in failed: the operation's name, the
// error code, every message and every code location the error passed. Stateless.
#ifndef SNAPJOB_ERROR_REPORT_H_
#define SNAPJOB_ERROR_REPORT_H_

#include <string>

#include "QiError.h"

namespace snapjob {

// For example:
//   snapjob: ConfigureSnapshot failed: error 1627
//     message: " Scan Content [/mnt/x] is not mounted"
//     at QumuloSnapClient: CQiError CQumuloSnapClient::GetExportInfo(...):120: ...
std::string DescribeFailure(const std::string& operation, const CQiError& error);

}  // namespace snapjob

#endif  // SNAPJOB_ERROR_REPORT_H_
