// Bearer-token sessions: login with the configured user name and password,
// tokens that expire after a fixed lifetime. Thread-safe.
#ifndef CLUSTERSIM_SESSIONS_H_
#define CLUSTERSIM_SESSIONS_H_

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "clustersim/status.h"

namespace clustersim {

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  SessionTable(std::string user, std::string password, std::chrono::seconds ttl);

  // Issues a new token for matching credentials; 401 otherwise.
  Status Login(const std::string& user, const std::string& password, std::string* token);
  // 401 for an unknown or expired token.
  Status Check(const std::string& token);
  // Every token issued so far expires now.
  void ExpireAll();
  std::chrono::seconds ttl() const { return ttl_; }

 private:
  void DropExpiredLocked(Clock::time_point now);

  const std::string user_;
  const std::string password_;
  const std::chrono::seconds ttl_;
  std::mutex mutex_;
  std::unordered_map<std::string, Clock::time_point> expiry_;  // token -> expiry
};

}  // namespace clustersim

#endif  // CLUSTERSIM_SESSIONS_H_
