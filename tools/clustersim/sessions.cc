#include "clustersim/sessions.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace clustersim {

namespace {

// Compares without leaking the position of the first difference.
bool SecretEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

SessionTable::SessionTable(std::string user, std::string password, std::chrono::seconds ttl)
    : user_(std::move(user)), password_(std::move(password)), ttl_(ttl) {}

Status SessionTable::Login(const std::string& user, const std::string& password, std::string* token) {
  bool user_ok = SecretEquals(user, user_);
  bool password_ok = SecretEquals(password, password_);
  if (!user_ok || !password_ok) return Status::Unauthorized("wrong user name or password");
  unsigned char random[24];
  if (RAND_bytes(random, sizeof(random)) != 1) return Status::Internal("no random bytes for a token");
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : random) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpiredLocked(now);
  expiry_[text] = now + ttl_;
  *token = std::move(text);
  return Status::Ok();
}

Status SessionTable::Check(const std::string& token) {
  if (token.empty()) return Status::Unauthorized("missing bearer token");
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = expiry_.find(token);
  if (it == expiry_.end()) return Status::Unauthorized("unknown bearer token");
  if (Clock::now() >= it->second) return Status::Unauthorized("bearer token expired");
  return Status::Ok();
}

void SessionTable::ExpireAll() {
  Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : expiry_) entry.second = std::min(entry.second, now);
}

void SessionTable::DropExpiredLocked(Clock::time_point now) {
  // Expired tokens stay a while so that they answer "expired" rather than "unknown".
  if (expiry_.size() < 4096) return;
  for (auto it = expiry_.begin(); it != expiry_.end();) {
    it = it->second + ttl_ < now ? expiry_.erase(it) : std::next(it);
  }
}

}  // namespace clustersim
