#ifndef SRC_QUMULOCLUSTER_H
#define SRC_QUMULOCLUSTER_H

#include <string>

// How to reach the cluster's REST service. A plain value. The password is passed only to the
// connection and never logged.
class CQumuloCluster {
 public:
  CQumuloCluster() = default;
  // The parameter order (url, user, password, version) differs from the field order on purpose:
  // it is the order callers have always used.
  CQumuloCluster(const std::string& url, const std::string& userName, const std::string& password,
                 const std::string& version)
      : m_url(url), m_version(version), m_userName(userName), m_password(password) {}

  std::string m_url;       // "https://" host ":" port
  std::string m_version;   // stored only
  std::string m_userName;
  std::string m_password;
};

#endif
