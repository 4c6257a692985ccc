// TLS material for the emulator: a self-signed CA and a server certificate
// for the bind address, made with OpenSSL and kept as PEM files in the state
// directory. Functions are thread-compatible (callers serialise per directory).
#ifndef CLUSTERSIM_CERTIFICATES_H_
#define CLUSTERSIM_CERTIFICATES_H_

#include <string>

#include "clustersim/status.h"

namespace clustersim {

struct CertificatePaths {
  std::string ca_cert;      // what clients trust
  std::string server_cert;  // the server's certificate
  std::string server_key;   // its private key (mode 0600)
};

// Reuses the files in `state_dir` when they still fit `address` (subjectAltName
// IP or DNS entry, signed by the CA there, not about to expire); otherwise makes
// new ones, keeping an existing CA and the server key.
Status EnsureCertificates(const std::string& state_dir, const std::string& address,
                          CertificatePaths* paths);

// The public-key pin of the first certificate in `cert_file`: "sha256//" and the
// base64 SHA-256 of its SubjectPublicKeyInfo, as clients pin a self-signed server.
Status PublicKeyPin(const std::string& cert_file, std::string* pin);

}  // namespace clustersim

#endif  // CLUSTERSIM_CERTIFICATES_H_
