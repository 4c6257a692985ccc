// Bearer-token sessions: login with the configured user name and password,
// tokens that expire after a fixed lifetime. Wrong logins from one client
// address slow that address down. Thread-safe.
#ifndef CLUSTERSIM_SESSIONS_H_
#define CLUSTERSIM_SESSIONS_H_

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "clustersim/status.h"

namespace clustersim {

class SessionTable {
 public:
  using Clock = std::chrono::steady_clock;

  SessionTable(std::string user, std::string password, std::chrono::seconds ttl);

  // Issues a new token for matching credentials; 401 otherwise. After kFreeFailures wrong logins
  // from `client` (an address), its next attempt is refused with 429 until a pause has passed that
  // doubles with each further wrong one (1 s up to 32 s); *retry_after is set to what remains.
  // A right login clears the count.
  Status Login(const std::string& user, const std::string& password, const std::string& client, std::string* token,
               std::chrono::seconds* retry_after = nullptr);
  // 401 for an unknown or expired token.
  Status Check(const std::string& token);
  // Every token issued so far expires now.
  void ExpireAll();
  std::chrono::seconds ttl() const { return ttl_; }
  size_t tokens();  // issued and not yet forgotten

  static constexpr int kFreeFailures = 5;

 private:
  struct Failures {
    int count = 0;
    Clock::time_point retry_at;
    Clock::time_point last;
  };

  Status Throttled(const std::string& client, Clock::time_point now, std::chrono::seconds* retry_after);
  void CountFailure(const std::string& client, Clock::time_point now);
  void DropExpiredLocked(Clock::time_point now);

  const std::string user_;
  const std::string password_;
  const std::chrono::seconds ttl_;
  std::mutex mutex_;
  std::unordered_map<std::string, Clock::time_point> expiry_;  // token -> expiry
  std::deque<std::pair<Clock::time_point, std::string>> issued_;  // (expiry, token) in order of issue
  std::unordered_map<std::string, Failures> failures_;            // by client address
};

}  // namespace clustersim

#endif  // CLUSTERSIM_SESSIONS_H_
