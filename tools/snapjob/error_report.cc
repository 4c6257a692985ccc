#include "error_report.h"

#include "ClientRegistry.h"
#include "fingerprint.h"

namespace snapjob {
namespace {

const unsigned int kAccessDenied = 5;
const unsigned int kUntrustedCertificate = 12175;  // the wrapper's code for a failed TLS handshake or verification
const unsigned int kTimedOut = 1460;               // the wrapper's code for a deadline or stall

bool Says(const CQiError& error, const char* text) {
  for (const std::string& message : error.Messages()) {
    if (message.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string CertificateHint(const CQiError& error, const ConnectionOptions& connection, const std::string& host) {
  if (Says(error, "pinned public key")) {
    // As ssh does for a changed host key: the key may have been renewed, or this is another host.
    std::string text = "  hint: the cluster's public key changed since it was pinned (or this is not the cluster)\n"
                       "    pinned:    " + connection.pin + "\n";
    CertificateFacts facts;
    std::string problem;
    if (!host.empty() && FetchCertificate(host, 8000, &facts, &problem))
      text += "    presented: " + facts.pin + "\n";
    text += "    if the key was renewed on purpose, check the new pin on the cluster itself and pin it again: "
            "snapjob fingerprint --host " + (host.empty() ? std::string("HOST") : host) + "\n";
    return text;
  }
  if (Says(error, "certificate has expired")) {
    return "  hint: the cluster's certificate has expired: renew it on the cluster (or check this host's clock)\n";
  }
  if (Says(error, "certificate is not yet valid")) {
    return "  hint: the cluster's certificate is not valid yet: check this host's clock and the cluster's\n";
  }
  return "  hint: the cluster's certificate is not trusted: trust its CA with --ca-file FILE, or pin its public key "
         "with --pin sha256//KEY (snapjob fingerprint --host HOST prints it)\n";
}

}  // namespace

std::string DescribeFailure(const std::string& operation, const CQiError& error,
                            const ConnectionOptions& connection) {
  std::string text = "snapjob: " + operation + " failed: error " + std::to_string(error.Win32Code()) + "\n";
  // Quoted, because the plug-in's messages may begin or end with blanks that matter to whoever
  // compares them with the documented text.
  for (const std::string& message : error.Messages()) text += "  message: \"" + message + "\"\n";
  for (const std::string& location : error.LocationStack()) text += "  at " + location + "\n";
  const RegistryCheck registry = CheckClientRegistry(connection.registry, connection.client_id);
  const std::string host = registry.problem.empty() ? registry.record.hostname : std::string();
  if (error.Win32Code() == kUntrustedCertificate) text += CertificateHint(error, connection, host);
  if (error.Win32Code() == kAccessDenied && Says(error, "login refused")) {
    text += "  hint: the cluster refused the user name and password of the \"fileserver\" entry of client " +
            std::to_string(connection.client_id) + " in client registry [" + connection.registry + "]\n";
  } else if (error.Win32Code() == kTimedOut) {
    text += "  hint: a cluster that is slow rather than hung needs more time: --request-timeout SECONDS (the most "
            "one request may take) or --stall-timeout SECONDS (the window in which 1 KiB must arrive)\n";
  }
  return text;
}

}  // namespace snapjob
