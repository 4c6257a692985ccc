#include "fingerprint.h"

#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "exit_codes.h"

namespace snapjob {
namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Freer<SSL, SSL_free>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

// A connected TCP socket to host:port, or -1 with the reason.
int Dial(const std::string& host, int port, std::string* error) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    *error = "cannot resolve " + host + ": " + ::gai_strerror(resolved);
    return -1;
  }
  int fd = -1;
  for (addrinfo* address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
    if (fd >= 0 && ::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) *error = "cannot connect to " + host + " port " + std::to_string(port);
  return fd;
}

std::string PinOf(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (length <= 0) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  const bool hashed = EVP_Digest(der, static_cast<size_t>(length), digest, &digest_length, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) return "";
  unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int written = EVP_EncodeBlock(base64, digest, static_cast<int>(digest_length));
  return "sha256//" + std::string(reinterpret_cast<char*>(base64), static_cast<size_t>(written));
}

std::string SubjectOf(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253) < 0) return "";
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : "";
}

std::string ExpiryOf(X509* certificate) {
  struct tm when = {};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &when) != 1) return "";
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &when);
  return text;
}

}  // namespace

bool FetchCertificate(const std::string& host, int port, CertificateFacts* facts, std::string* error) {
  SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context) {
    *error = "cannot set up TLS";
    return false;
  }
  // It reports, it does not trust: the person compares the pin with the cluster's own.
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  const int fd = Dial(host, port, error);
  if (fd < 0) return false;
  SslPtr ssl(SSL_new(context.get()));
  X509Ptr certificate;
  if (ssl && SSL_set_fd(ssl.get(), fd) == 1) {
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    if (SSL_connect(ssl.get()) == 1) certificate.reset(SSL_get1_peer_certificate(ssl.get()));
  }
  if (ssl) SSL_shutdown(ssl.get());
  ssl.reset();
  ::close(fd);
  if (!certificate) {
    *error = "no TLS certificate from " + host + " port " + std::to_string(port);
    return false;
  }
  facts->pin = PinOf(certificate.get());
  facts->subject = SubjectOf(certificate.get());
  facts->expires = ExpiryOf(certificate.get());
  if (facts->pin.empty()) {
    *error = "cannot read the public key of the certificate of " + host;
    return false;
  }
  return true;
}

int FingerprintCommand(const FingerprintOptions& options) {
  CertificateFacts facts;
  std::string error;
  if (!FetchCertificate(options.host, options.port, &facts, &error)) {
    std::fprintf(stderr, "snapjob: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("pin      %s\nsubject  %s\nexpires  %s\n", facts.pin.c_str(), facts.subject.c_str(),
              facts.expires.c_str());
  return kExitOk;
}

}  // namespace snapjob
