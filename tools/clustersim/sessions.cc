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

constexpr std::chrono::seconds kLongestPause{32};
// A client's wrong logins are forgotten after this long without one.
constexpr std::chrono::minutes kFailureMemory{15};

}  // namespace

SessionTable::SessionTable(std::string user, std::string password, std::chrono::seconds ttl)
    : user_(std::move(user)), password_(std::move(password)), ttl_(ttl) {}

Status SessionTable::Login(const std::string& user, const std::string& password, const std::string& client,
                           std::string* token, std::chrono::seconds* retry_after) {
  // Refused before the credentials are looked at, or a guesser would learn from a 429 nothing less.
  Status throttled = Throttled(client, Clock::now(), retry_after);
  if (!throttled.ok()) return throttled;
  bool user_ok = SecretEquals(user, user_);
  bool password_ok = SecretEquals(password, password_);
  if (!user_ok || !password_ok) {
    CountFailure(client, Clock::now());
    return Status::Unauthorized("wrong user name or password");
  }
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
  failures_.erase(client);
  DropExpiredLocked(now);
  expiry_[text] = now + ttl_;
  issued_.emplace_back(now + ttl_, text);
  *token = std::move(text);
  return Status::Ok();
}

size_t SessionTable::tokens() {
  std::lock_guard<std::mutex> lock(mutex_);
  return expiry_.size();
}

Status SessionTable::Throttled(const std::string& client, Clock::time_point now, std::chrono::seconds* retry_after) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = failures_.find(client);
  if (it == failures_.end() || now >= it->second.retry_at) return Status::Ok();
  auto wait = std::chrono::ceil<std::chrono::seconds>(it->second.retry_at - now);
  if (retry_after != nullptr) *retry_after = wait;
  return Status::ServerTrouble(429, "too many wrong logins from " + client + "; try again in " +
                                        std::to_string(wait.count()) + " s");
}

void SessionTable::CountFailure(const std::string& client, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failures_.size() >= 4096) {
    for (auto it = failures_.begin(); it != failures_.end();) {
      it = now - it->second.last > kFailureMemory ? failures_.erase(it) : std::next(it);
    }
  }
  Failures& failures = failures_[client];
  if (now - failures.last > kFailureMemory) failures = Failures();
  failures.last = now;
  if (++failures.count < kFreeFailures) return;
  const int doublings = std::min(failures.count - kFreeFailures, 5);
  failures.retry_at = now + std::min<std::chrono::seconds>(kLongestPause, std::chrono::seconds(int64_t{1} << doublings));
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
  // Expired tokens stay a lifetime longer so that they answer "expired" rather than "unknown".
  // Tokens expire in the order they were issued, so only the oldest are ever looked at.
  while (!issued_.empty() && issued_.front().first + ttl_ < now) {
    expiry_.erase(issued_.front().second);
    issued_.pop_front();
  }
}

}  // namespace clustersim
