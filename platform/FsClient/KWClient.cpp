#include "KWClient.h"

#include <mutex>

#include "ClientProperties.h"
#include "ClientRegistry.h"
#include "LogWriter.h"

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& RegistryName() {
  static std::string name;
  return name;
}

const char kFunction[] = "KWClient::KWClient(unsigned long)";

}  // namespace

void KWClient::SetRegistryPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  RegistryName() = path;
}

std::string KWClient::RegistryPath() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return RegistryName();
}

KWClient::KWClient(unsigned long clientId) : m_clientId(clientId), m_found(false) {
  const std::string registry = RegistryPath();
  RegistryCheck check = CheckClientRegistry(registry, clientId);
  const ClientRecord& record = check.record;
  if (!check.readable) {
    if (FXLogEnabled(0)) g_ptrLogWriter->Write(0, kFunction, __LINE__, 0, 0, "%s", check.problem.c_str());
    return;
  }
  if (!record.found) {
    if (FXLogEnabled(1)) {
      g_ptrLogWriter->Write(1, kFunction, __LINE__, 0, 0, "Client [%lu] is not in the client registry [%s]",
                            m_clientId, registry.c_str());
    }
    return;
  }
  m_found = true;
  m_hostname = record.hostname;
  // A client without a "fileserver" entry has no properties at all.
  if (record.hasFileServer) {
    m_properties.reset(new ClientProperties(record.userName, record.password,
                                            check.credentialsAllowed ? std::string() : check.problem));
  }
}

KWClient::~KWClient() = default;

int KWClient::getNetworkHostname(std::string& hostname, void*) {
  if (!m_found) return 1;
  hostname = m_hostname;
  return 0;
}

ClientProperties* KWClient::getClientProperties(void*) { return m_properties.get(); }
