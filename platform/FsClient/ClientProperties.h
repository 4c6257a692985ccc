#ifndef FSCLIENT_CLIENTPROPERTIES_H
#define FSCLIENT_CLIENTPROPERTIES_H

#include <string>

// Properties of one client of the agent: its file-server credentials. Made by KWClient.
class ClientProperties {
 public:
  // `refusal` non-empty: why the registry's credentials must not be used (logged when asked for).
  ClientProperties(std::string userName, std::string password, std::string refusal);
  ~ClientProperties();

  // 0 and the user name and password; non-zero when the client has no file-server credentials or
  // when the registry file is not private to this user (credentials must not sit in such a file,
  // as with private key files). `decrypt` is accepted for compatibility: the stand-in keeps no
  // encrypted form.
  int getFileServerCredentials(std::string& userName, std::string& password, bool decrypt, void* reserved);

 private:
  std::string m_userName;
  std::string m_password;
  std::string m_refusal;
};

#endif
