#include "clustersim/certificates.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace clustersim {

namespace {

struct X509Free { void operator()(X509* p) const { X509_free(p); } };
struct KeyFree { void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); } };
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

constexpr long kValidDays = 3650;

std::string OpenSslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  char text[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, text, sizeof(text));
  ERR_clear_error();
  return what + ": " + text;
}

bool IsIpAddress(const std::string& address) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

KeyPtr GenerateKey() {
  return KeyPtr(EVP_EC_gen("P-256"));
}

X509Ptr ReadCertificate(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  X509Ptr cert(PEM_read_X509(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  ERR_clear_error();
  return cert;
}

KeyPtr ReadKey(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return nullptr;
  KeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  ERR_clear_error();
  return key;
}

// Writes through a temporary file and a rename, so a crash never leaves half a PEM.
Status WritePem(const std::string& path, mode_t mode, X509* cert, EVP_PKEY* key) {
  std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Status::Internal("cannot write " + temp);
  ::fchmod(fd, mode);
  FILE* file = ::fdopen(fd, "w");
  if (file == nullptr) {
    ::close(fd);
    return Status::Internal("cannot write " + temp);
  }
  bool ok = cert != nullptr ? PEM_write_X509(file, cert) == 1
                            : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = (std::fflush(file) == 0) && ok;
  ok = (::fsync(fileno(file)) == 0) && ok;
  ok = (std::fclose(file) == 0) && ok;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return Status::Internal(OpenSslError("cannot write " + path));
  }
  return Status::Ok();
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// Makes a certificate for `key`, signed by `issuer_key` (self-signed when issuer is null).
X509Ptr MakeCertificate(EVP_PKEY* key, const std::string& common_name, X509* issuer,
                        EVP_PKEY* issuer_key, bool is_ca, const std::string& subject_alt_name) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof(serial_bytes)) != 1) return nullptr;
  serial_bytes[0] &= 0x7f;  // keep the serial positive
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof(serial_bytes), nullptr);
  bool ok = serial != nullptr && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(serial);
  ok = ok && X509_set_version(cert.get(), 2) == 1;
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr;
  ok = ok && X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidDays * 24 * 3600) != nullptr;
  ok = ok && X509_set_pubkey(cert.get(), key) == 1;
  X509_NAME* name = X509_get_subject_name(cert.get());
  ok = ok && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("clustersim"), -1, -1, 0) == 1;
  ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                                        0) == 1;
  X509* signer = issuer != nullptr ? issuer : cert.get();
  ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1;
  if (is_ca) {
    ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    ok = ok && AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    ok = ok && AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    ok = ok && AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    ok = ok && AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    ok = ok && AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    ok = ok && AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    ok = ok && AddExtension(cert.get(), signer, NID_subject_alt_name, subject_alt_name);
  }
  ok = ok && X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0;
  if (!ok) return nullptr;
  return cert;
}

bool ExpiresWithinADay(X509* cert) {
  time_t horizon = time(nullptr) + 24 * 3600;
  return X509_cmp_time(X509_get0_notAfter(cert), &horizon) <= 0;
}

bool ServerCertificateFits(X509* server, EVP_PKEY* server_key, X509* ca, const std::string& address) {
  EVP_PKEY* ca_public = X509_get0_pubkey(ca);
  bool matches_address = IsIpAddress(address)
                             ? X509_check_ip_asc(server, address.c_str(), 0) == 1
                             : X509_check_host(server, address.c_str(), address.size(), 0, nullptr) == 1;
  bool ok = ca_public != nullptr && X509_verify(server, ca_public) == 1 && matches_address &&
            X509_check_private_key(server, server_key) == 1 && !ExpiresWithinADay(server);
  ERR_clear_error();
  return ok;
}

}  // namespace

Status EnsureCertificates(const std::string& state_dir, const std::string& address,
                          CertificatePaths* paths) {
  paths->ca_cert = state_dir + "/ca.pem";
  paths->server_cert = state_dir + "/server.pem";
  paths->server_key = state_dir + "/server-key.pem";
  const std::string ca_key_path = state_dir + "/ca-key.pem";

  X509Ptr ca = ReadCertificate(paths->ca_cert);
  KeyPtr ca_key = ReadKey(ca_key_path);
  bool ca_usable = ca && ca_key && X509_check_private_key(ca.get(), ca_key.get()) == 1 &&
                   !ExpiresWithinADay(ca.get());
  ERR_clear_error();
  if (ca_usable) {
    X509Ptr server = ReadCertificate(paths->server_cert);
    KeyPtr server_key = ReadKey(paths->server_key);
    if (server && server_key && ServerCertificateFits(server.get(), server_key.get(), ca.get(), address)) {
      return Status::Ok();
    }
  } else {
    ca_key = GenerateKey();
    if (!ca_key) return Status::Internal(OpenSslError("cannot make the CA key"));
    ca = MakeCertificate(ca_key.get(), "clustersim CA", nullptr, nullptr, true, "");
    if (!ca) return Status::Internal(OpenSslError("cannot make the CA certificate"));
    Status status = WritePem(ca_key_path, 0600, nullptr, ca_key.get());
    if (status.ok()) status = WritePem(paths->ca_cert, 0644, ca.get(), nullptr);
    if (!status.ok()) return status;
  }

  // A new address gets a new certificate for the same key, so that clients pinning the key keep working.
  KeyPtr server_key = ReadKey(paths->server_key);
  if (!server_key) server_key = GenerateKey();
  if (!server_key) return Status::Internal(OpenSslError("cannot make the server key"));
  std::string alt_name = (IsIpAddress(address) ? "IP:" : "DNS:") + address;
  if (address != "localhost") alt_name += ",DNS:localhost";
  X509Ptr server = MakeCertificate(server_key.get(), address, ca.get(), ca_key.get(), false, alt_name);
  if (!server) return Status::Internal(OpenSslError("cannot make the server certificate"));
  Status status = WritePem(paths->server_key, 0600, nullptr, server_key.get());
  if (status.ok()) status = WritePem(paths->server_cert, 0644, server.get(), nullptr);
  return status;
}

Status PublicKeyPin(const std::string& cert_file, std::string* pin) {
  X509Ptr cert = ReadCertificate(cert_file);
  if (!cert) return Status::BadRequest("cannot read a certificate from " + cert_file);
  unsigned char* der = nullptr;
  int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &der);
  if (length <= 0) return Status::Internal(OpenSslError("encoding the public key of " + cert_file));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  bool hashed = EVP_Digest(der, static_cast<size_t>(length), digest, &digest_length, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!hashed) return Status::Internal(OpenSslError("hashing the public key of " + cert_file));
  unsigned char base64[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int encoded = EVP_EncodeBlock(base64, digest, static_cast<int>(digest_length));
  *pin = "sha256//" + std::string(reinterpret_cast<char*>(base64), static_cast<size_t>(encoded));
  return Status::Ok();
}

}  // namespace clustersim
