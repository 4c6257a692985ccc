#ifndef FSCLIENT_KWCLIENT_H
#define FSCLIENT_KWCLIENT_H

#include <memory>
#include <string>

class ClientProperties;

// The agent's view of one of its clients, read from the client registry file that the agent names
// with SetRegistryPath. The registry is JSON:
//   {"clients": [{"id": 7, "hostname": "127.0.0.9",
//                 "fileserver": {"username": "admin", "password": "secret"}}]}
// Each object reads the registry once, at construction. Not thread-safe per object.
class KWClient {
 public:
  explicit KWClient(unsigned long clientId);
  ~KWClient();
  KWClient(const KWClient&) = delete;
  KWClient& operator=(const KWClient&) = delete;

  // 0 and the client's network host name; non-zero when the client or the registry is missing.
  int getNetworkHostname(std::string& hostname, void* reserved);
  // The client's properties, owned by this object; null when the client is not in the registry or
  // has no "fileserver" entry.
  ClientProperties* getClientProperties(void* reserved);

  // The registry file that new KWClient objects read.
  static void SetRegistryPath(const std::string& path);
  static std::string RegistryPath();

 private:
  unsigned long m_clientId;
  bool m_found;
  std::string m_hostname;
  std::unique_ptr<ClientProperties> m_properties;
};

#endif
