#include "ClientProperties.h"

#include "LogWriter.h"

ClientProperties::ClientProperties(std::string userName, std::string password, std::string registryPath,
                                   bool registryIsPrivate)
    : m_userName(std::move(userName)),
      m_password(std::move(password)),
      m_registryPath(std::move(registryPath)),
      m_registryIsPrivate(registryIsPrivate) {}

ClientProperties::~ClientProperties() = default;

int ClientProperties::getFileServerCredentials(std::string& userName, std::string& password, bool, void*) {
  if (!m_registryIsPrivate) {
    if (FXLogEnabled(0)) {
      g_ptrLogWriter->Write(0, "int ClientProperties::getFileServerCredentials(std::string&, std::string&, bool, void*)",
                            __LINE__, 0, 0,
                            "Client registry [%s] may be read by group or others; its credentials are refused "
                            "(make it readable by its owner only)",
                            m_registryPath.c_str());
    }
    return 2;
  }
  if (m_userName.empty()) return 1;
  userName = m_userName;
  password = m_password;
  return 0;
}
