#include "error_report.h"

namespace snapjob {
namespace {
const unsigned int kUntrustedCertificate = 12175;  // the wrapper's code for a failed TLS verification
const unsigned int kTimedOut = 1460;               // the wrapper's code for a deadline or stall
}  // namespace

std::string DescribeFailure(const std::string& operation, const CQiError& error) {
  std::string text = "snapjob: " + operation + " failed: error " + std::to_string(error.Win32Code()) + "\n";
  // Quoted, because the plug-in's messages may begin or end with blanks that matter to whoever
  // compares them with the documented text.
  for (const std::string& message : error.Messages()) text += "  message: \"" + message + "\"\n";
  for (const std::string& location : error.LocationStack()) text += "  at " + location + "\n";
  if (error.Win32Code() == kUntrustedCertificate) {
    text += "  hint: the cluster's certificate is not trusted: trust its CA with --ca-file FILE, or pin its "
            "public key with --pin sha256//KEY (snapjob fingerprint --host HOST prints it)\n";
  } else if (error.Win32Code() == kTimedOut) {
    text += "  hint: a cluster that is slow rather than hung needs more time: --request-timeout SECONDS (the most "
            "one request may take) or --stall-timeout SECONDS (the window in which 1 KiB must arrive)\n";
  }
  return text;
}

}  // namespace snapjob
