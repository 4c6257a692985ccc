#include "ClientRegistry.h"

#include <sys/stat.h>

#include <simdjson.h>

bool ReadClientRecord(const std::string& registryPath, unsigned long clientId, ClientRecord& record,
                      bool& isPrivate, std::string& reason) {
  struct stat info;
  if (registryPath.empty() || ::stat(registryPath.c_str(), &info) != 0) {
    reason = "client registry [" + registryPath + "] cannot be read";
    return false;
  }
  isPrivate = (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;

  simdjson::padded_string json;
  if (simdjson::padded_string::load(registryPath).get(json) != simdjson::SUCCESS) {
    reason = "client registry [" + registryPath + "] cannot be read";
    return false;
  }
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(json).get(root) != simdjson::SUCCESS) {
    reason = "client registry [" + registryPath + "] is not valid JSON";
    return false;
  }
  simdjson::dom::array clients;
  if (root["clients"].get_array().get(clients) != simdjson::SUCCESS) {
    reason = "client registry [" + registryPath + "] has no \"clients\" list";
    return false;
  }
  for (simdjson::dom::element client : clients) {
    uint64_t id = 0;
    if (client["id"].get_uint64().get(id) != simdjson::SUCCESS || id != clientId) continue;
    record.found = true;
    std::string_view text;
    if (client["hostname"].get_string().get(text) == simdjson::SUCCESS) record.hostname = std::string(text);
    simdjson::dom::object fileserver;
    if (client["fileserver"].get_object().get(fileserver) == simdjson::SUCCESS) {
      record.hasFileServer = true;
      std::string_view user, password;
      if (fileserver["username"].get_string().get(user) == simdjson::SUCCESS) record.userName = std::string(user);
      if (fileserver["password"].get_string().get(password) == simdjson::SUCCESS) {
        record.password = std::string(password);
      }
    }
    return true;
  }
  return true;  // a readable registry without this client
}
