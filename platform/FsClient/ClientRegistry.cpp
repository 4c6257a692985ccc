#include "ClientRegistry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <simdjson.h>

namespace {

// A registry names a few clients; anything near this size is not one, and must not exhaust memory.
constexpr size_t kMaxRegistryBytes = size_t(1) << 20;

// The whole content of the opened registry, or the reason it cannot be had. A FIFO or a device
// must neither block nor feed the parser, so only a regular file is read.
std::string ReadOpened(int fd, const std::string& name, const struct stat& info, std::string& text) {
  if (!S_ISREG(info.st_mode)) return "client registry [" + name + "] is not a regular file";
  const std::string tooLarge = "client registry [" + name + "] is larger than 1 MiB; refused";
  if (static_cast<uint64_t>(info.st_size) > kMaxRegistryBytes) return tooLarge;
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got == 0) return std::string();
    if (got < 0) {
      if (errno == EINTR) continue;
      return "client registry [" + name + "] cannot be read: " + std::strerror(errno);
    }
    if (text.size() + static_cast<size_t>(got) > kMaxRegistryBytes) return tooLarge;  // it grew meanwhile
    text.append(buffer, static_cast<size_t>(got));
  }
}

// The registry's text holds passwords: overwritten before it is freed.
struct WipedOnExit {
  char* data;
  size_t size;
  ~WipedOnExit() { std::fill(data, data + size, '\0'); }
};

// Why the credentials of the opened registry must not be used, or "" when they may.
std::string CredentialRefusal(const std::string& name, const struct stat& info) {
  const uid_t self = ::geteuid();
  if (info.st_uid != self && info.st_uid != 0) {
    return "client registry [" + name + "] belongs to uid " + std::to_string(info.st_uid) + ", not to this user (uid " +
           std::to_string(self) + "); its credentials are refused";
  }
  const mode_t shared = info.st_mode & (S_IRWXG | S_IRWXO);
  if (shared != 0) {
    // Writable is as bad as readable: whoever may write it chooses where the credentials go.
    const char* how = (shared & (S_IRGRP | S_IROTH)) != 0   ? "may be read by group or others"
                      : (shared & (S_IWGRP | S_IWOTH)) != 0 ? "is writable by group or others"
                                                            : "has permissions for group or others";
    return "client registry [" + name + "] " + how +
           "; its credentials are refused (make it readable and writable by its owner only: chmod 600)";
  }
  return std::string();
}

}  // namespace

ClientRecord::~ClientRecord() { std::fill(password.begin(), password.end(), '\0'); }

RegistryCheck CheckClientRegistry(const std::string& registryPath, unsigned long clientId) {
  RegistryCheck check;
  if (registryPath.empty()) {
    check.problem = "no client registry is set";
    return check;
  }
  const int fd = ::open(registryPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    check.problem =
        "client registry [" + registryPath + "] " +
        (errno == ENOENT ? std::string("does not exist") : std::string("cannot be opened: ") + std::strerror(errno));
    return check;
  }
  struct stat info;
  std::string text;
  const std::string failure = ::fstat(fd, &info) != 0
                                  ? "client registry [" + registryPath + "] cannot be read: " + std::strerror(errno)
                                  : ReadOpened(fd, registryPath, info, text);
  ::close(fd);
  const WipedOnExit wipeText{&text[0], text.size()};
  if (!failure.empty()) {
    check.problem = failure;
    return check;
  }
  check.problem = CredentialRefusal(registryPath, info);
  check.credentialsAllowed = check.problem.empty();

  simdjson::dom::parser parser;
  simdjson::dom::element root;
  simdjson::dom::array clients;
  simdjson::padded_string padded(text);
  const WipedOnExit wipePadded{padded.data(), padded.size()};
  if (parser.parse(padded).get(root) != simdjson::SUCCESS) {
    check.problem = "client registry [" + registryPath + "] is not valid JSON";
    check.credentialsAllowed = false;
    return check;
  }
  if (root["clients"].get_array().get(clients) != simdjson::SUCCESS) {
    check.problem = "client registry [" + registryPath + "] has no \"clients\" list";
    check.credentialsAllowed = false;
    return check;
  }
  check.readable = true;
  ClientRecord& record = check.record;
  for (simdjson::dom::element client : clients) {
    uint64_t id = 0;
    if (client["id"].get_uint64().get(id) != simdjson::SUCCESS || id != clientId) continue;
    record.found = true;
    std::string_view value;
    if (client["hostname"].get_string().get(value) == simdjson::SUCCESS) record.hostname = std::string(value);
    simdjson::dom::object fileserver;
    if (client["fileserver"].get_object().get(fileserver) == simdjson::SUCCESS) {
      record.hasFileServer = true;
      if (fileserver["username"].get_string().get(value) == simdjson::SUCCESS) record.userName = std::string(value);
      if (fileserver["password"].get_string().get(value) == simdjson::SUCCESS) record.password = std::string(value);
    }
    break;
  }
  // Ownership and mode come first: they are the more urgent to mend.
  if (!check.problem.empty()) return check;
  const std::string client = "client " + std::to_string(clientId);
  if (!record.found) {
    check.problem = "client registry [" + registryPath + "] has no " + client;
  } else if (record.hostname.empty()) {
    check.problem = client + " in client registry [" + registryPath + "] has no \"hostname\"";
  } else if (!record.hasFileServer || record.userName.empty()) {
    check.problem = client + " in client registry [" + registryPath + "] has no \"fileserver\" entry with a username";
  }
  return check;
}
