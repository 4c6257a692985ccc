// `snapjob fingerprint`: what certificate a host presents, without trusting it: the pin of its
// public key as --pin takes it, its subject and its expiry. Stateless.
#ifndef SNAPJOB_FINGERPRINT_H_
#define SNAPJOB_FINGERPRINT_H_

#include <string>

#include "options.h"

namespace snapjob {

struct CertificateFacts {
  std::string pin;      // "sha256//" + base64 of the SHA-256 of the DER SubjectPublicKeyInfo
  std::string subject;  // RFC 2253 form
  std::string expires;  // "YYYY-MM-DDTHH:MM:SSZ"
};

// Connects over TLS with verification off and reads the leaf certificate. False with the reason.
bool FetchCertificate(const std::string& host, int port, CertificateFacts* facts, std::string* error);

// Prints the facts on standard output; returns the exit status.
int FingerprintCommand(const FingerprintOptions& options);

}  // namespace snapjob

#endif  // SNAPJOB_FINGERPRINT_H_
