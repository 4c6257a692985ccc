#ifndef FSCLIENT_CLIENTREGISTRY_H
#define FSCLIENT_CLIENTREGISTRY_H

#include <string>

// One client as the registry file describes it.
struct ClientRecord {
  ClientRecord() = default;
  ClientRecord(const ClientRecord&) = default;
  ClientRecord& operator=(const ClientRecord&) = default;
  ~ClientRecord();  // overwrites the password

  bool found = false;
  std::string hostname;
  bool hasFileServer = false;
  std::string userName;
  std::string password;
};

// What one look at the client registry found. `problem` names the first thing wrong, exactly
// enough for a person to mend it, and never holds a secret.
struct RegistryCheck {
  bool readable = false;            // opened and parsed; `record` holds the client when found
  bool credentialsAllowed = false;  // a regular file owned by this user (or root), private to its owner
  ClientRecord record;
  std::string problem;  // "" when the client and its credentials can be used
};

// Opens the registry once and checks the opened file, not its name, so that nothing can be swapped
// in between the check and the read. Credentials are refused, as ssh refuses keys, when group or
// others may read the file or when it belongs to another user. Safe from any thread.
RegistryCheck CheckClientRegistry(const std::string& registryPath, unsigned long clientId);

#endif
