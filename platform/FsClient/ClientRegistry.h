#ifndef FSCLIENT_CLIENTREGISTRY_H
#define FSCLIENT_CLIENTREGISTRY_H

#include <string>

// One client as the registry file describes it.
struct ClientRecord {
  bool found = false;
  std::string hostname;
  bool hasFileServer = false;
  std::string userName;
  std::string password;
};

// Reads the client registry file. `isPrivate` tells whether only the owner may read the file.
// Returns false (with a reason that never holds a secret) when the file cannot be read or parsed.
bool ReadClientRecord(const std::string& registryPath, unsigned long clientId, ClientRecord& record,
                      bool& isPrivate, std::string& reason);

#endif
