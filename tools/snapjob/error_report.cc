#include "error_report.h"

namespace snapjob {

std::string DescribeFailure(const std::string& operation, const CQiError& error) {
  std::string text = "snapjob: " + operation + " failed: error " + std::to_string(error.Win32Code()) + "\n";
  // Quoted, because the plug-in's messages may begin or end with blanks that matter to whoever
  // compares them with the documented text.
  for (const std::string& message : error.Messages()) text += "  message: \"" + message + "\"\n";
  for (const std::string& location : error.LocationStack()) text += "  at " + location + "\n";
  return text;
}

}  // namespace snapjob
