#include "ClientProperties.h"

#include <algorithm>

#include "LogWriter.h"

ClientProperties::ClientProperties(std::string userName, std::string password, std::string refusal)
    : m_userName(std::move(userName)), m_password(std::move(password)), m_refusal(std::move(refusal)) {}

ClientProperties::~ClientProperties() { std::fill(m_password.begin(), m_password.end(), '\0'); }

int ClientProperties::getFileServerCredentials(std::string& userName, std::string& password, bool, void*) {
  if (!m_refusal.empty()) {
    if (FXLogEnabled(0)) {
      g_ptrLogWriter->Write(0, "int ClientProperties::getFileServerCredentials(std::string&, std::string&, bool, void*)",
                            __LINE__, 0, 0, "%s", m_refusal.c_str());
    }
    return 2;
  }
  if (m_userName.empty()) return 1;
  userName = m_userName;
  password = m_password;
  return 0;
}
