#ifndef SRC_QUMULOCLUSTER_H
#define SRC_QUMULOCLUSTER_H

#include <algorithm>
#include <string>

// How to reach the cluster's REST service. A plain value. The password is passed only to the
// connection, never logged, and wiped when the record lets go of it.
class CQumuloCluster {
 public:
  CQumuloCluster() = default;
  // The parameter order (url, user, password, version) differs from the field order on purpose:
  // it is the order callers have always used.
  CQumuloCluster(const std::string& url, const std::string& userName, const std::string& password,
                 const std::string& version)
      : m_url(url), m_version(version), m_userName(userName), m_password(password) {}
  CQumuloCluster(const CQumuloCluster&) = default;
  // The password is overwritten, not merely released, when it is replaced or the record goes.
  CQumuloCluster& operator=(const CQumuloCluster& other) {
    if (this != &other) {
      std::fill(m_password.begin(), m_password.end(), '\0');
      m_url = other.m_url;
      m_version = other.m_version;
      m_userName = other.m_userName;
      m_password = other.m_password;
    }
    return *this;
  }
  ~CQumuloCluster() { std::fill(m_password.begin(), m_password.end(), '\0'); }

  std::string m_url;       // "https://" host ":" port
  std::string m_version;   // stored only
  std::string m_userName;
  std::string m_password;
};

#endif
