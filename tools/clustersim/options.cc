#include "clustersim/options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>

namespace clustersim {

namespace {

bool ParseInt(const std::string& text, int64_t min, int64_t max, int64_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < min || value > max) return false;
  *out = value;
  return true;
}

// Splits "LEFT=RIGHT" at the first or the last '='.
bool SplitAssignment(const std::string& text, bool at_last, std::string* left, std::string* right) {
  size_t eq = at_last ? text.rfind('=') : text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) return false;
  *left = text.substr(0, eq);
  *right = text.substr(eq + 1);
  return true;
}

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
  struct addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  bool loopback = true;
  for (const struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const struct sockaddr_in*>(a->ai_addr);
      loopback = loopback && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    } else if (a->ai_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(a->ai_addr);
      loopback = loopback && IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    } else {
      loopback = false;
    }
  }
  ::freeaddrinfo(found);
  return loopback;
}

std::string UsageText() {
  return "usage: clustersim --root DIR --bind ADDR [--port 8000] --user NAME --password-file FILE\n"
         "                  --export [TENANT:]EXPORT_PATH=FS_PATH ... [--state-dir DIR]\n"
         "                  [--cert FILE --key FILE] [--token-ttl SECONDS] [--delete-delay MS]\n"
         "                  [--test-hooks]\n"
         "                  [--synthetic-diff FS_PATH=N ...] [--snapshot-api v2|v3|all] [--raw-names]\n"
         "                  [--empty-pages N] [--verbose]\n";
}

std::string HelpText() {
  return UsageText() +
         "\n"
         "Serves the cluster's REST API over HTTPS from a directory tree on disk, until SIGINT or SIGTERM.\n"
         "Prints \"listening on ...\" on standard output once it accepts connections.\n"
         "Options take their value as \"--opt value\" or \"--opt=value\".\n"
         "\n"
         "  --root DIR                  the directory served as the cluster's \"/\" (must exist)\n"
         "  --bind ADDR                 the address to listen on (a loopback address: 127.0.0.0/8)\n"
         "  --port N                    the port, 8000 by default; 0 picks a free one\n"
         "  --user NAME                 the only account's user name\n"
         "  --password-file FILE        its password: the file's first line\n"
         "  --export [TENANT:]EXPORT_PATH=FS_PATH\n"
         "                              an NFS export of tenant TENANT (1 by default); repeatable, kept in\n"
         "                              the order given; an export path may repeat in other tenants\n"
         "  --state-dir DIR             certificates, file ids and snapshot records (default ROOT.state)\n"
         "  --cert FILE --key FILE      serve this certificate and key instead of generated ones\n"
         "  --token-ttl SECONDS         bearer token lifetime, 36000 (10 hours, as on a cluster) by default\n"
         "  --delete-delay MS           how long a deleted snapshot stays listed as in_delete before its image\n"
         "                              and record go, 300 by default; 0 removes it before the DELETE is answered\n"
         "  --test-hooks                enable /v1/debug/* without authentication: counters, fault switches,\n"
         "                              synthetic differences, the delete delay (keep to a loopback address)\n"
         "  --synthetic-diff FS_PATH=N  any two snapshots of FS_PATH differ by N synthetic entries\n"
         "                              (repeatable)\n"
         "  --snapshot-api v2|v3|all    the snapshot routes served (all by default): v2 only (an older\n"
         "                              cluster) or v3 only (the differences route stays on v2)\n"
         "  --raw-names                 names that are not UTF-8 go out as raw bytes in difference\n"
         "                              entries instead of \\udcXX escapes\n"
         "  --empty-pages N             every difference page comes after N empty pages that link on\n"
         "  --verbose                   one line per request on standard error (never tokens or bodies)\n"
         "  --help, -h                  this text\n"
         "  --version                   the version and build\n"
         "\n"
         "exit status: 0 stopped by SIGINT or SIGTERM, 1 cannot start, 2 bad usage\n";
}

Status ParseCommandLine(const std::vector<std::string>& args, Options* options, bool* show_help) {
  *show_help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    // "--opt=value" is "--opt value" in one argument.
    const size_t equals = args[i].compare(0, 2, "--") == 0 ? args[i].find('=') : std::string::npos;
    const std::string arg = args[i].substr(0, equals);
    bool inline_taken = equals == std::string::npos;
    auto value = [&](std::string* out) -> Status {
      if (!inline_taken) {
        inline_taken = true;
        *out = args[i].substr(equals + 1);
        return Status::Ok();
      }
      if (i + 1 >= args.size()) return Status::BadRequest(arg + " needs a value");
      *out = args[++i];
      return Status::Ok();
    };
    std::string text;
    Status status;
    if (arg == "--help" || arg == "-h") {
      *show_help = true;
      return Status::Ok();
    } else if (arg == "--test-hooks") {
      options->test_hooks = true;
    } else if (arg == "--verbose") {
      options->verbose = true;
    } else if (arg == "--raw-names") {
      options->raw_names = true;
    } else if (arg == "--snapshot-api") {
      if ((status = value(&text)).ok()) {
        if (text == "all") {
          options->snapshot_api = SnapshotApi::kAll;
        } else if (text == "v2") {
          options->snapshot_api = SnapshotApi::kV2;
        } else if (text == "v3") {
          options->snapshot_api = SnapshotApi::kV3;
        } else {
          status = Status::BadRequest("--snapshot-api must be v2, v3 or all");
        }
      }
    } else if (arg == "--root") {
      status = value(&options->root);
    } else if (arg == "--bind") {
      status = value(&options->bind_address);
    } else if (arg == "--user") {
      status = value(&options->user);
    } else if (arg == "--password-file") {
      status = value(&options->password_file);
    } else if (arg == "--state-dir") {
      status = value(&options->state_dir);
    } else if (arg == "--cert") {
      status = value(&options->cert_file);
    } else if (arg == "--key") {
      status = value(&options->key_file);
    } else if (arg == "--port") {
      int64_t port = 0;
      if ((status = value(&text)).ok() && !ParseInt(text, 0, 65535, &port)) {
        status = Status::BadRequest("--port must be a number from 0 to 65535");
      }
      options->port = static_cast<int>(port);
    } else if (arg == "--token-ttl") {
      int64_t ttl = 0;
      if ((status = value(&text)).ok() && !ParseInt(text, 1, INT32_MAX, &ttl)) {
        status = Status::BadRequest("--token-ttl must be a positive number of seconds");
      }
      options->token_ttl_seconds = ttl;
    } else if (arg == "--delete-delay") {
      if ((status = value(&text)).ok() && !ParseInt(text, 0, 3600000, &options->delete_delay_ms)) {
        status = Status::BadRequest("--delete-delay must be a number of milliseconds from 0 to 3600000");
      }
    } else if (arg == "--empty-pages") {
      if ((status = value(&text)).ok() && !ParseInt(text, 0, 100, &options->empty_pages)) {
        status = Status::BadRequest("--empty-pages must be a number from 0 to 100");
      }
    } else if (arg == "--export") {
      ExportConfig config;
      if ((status = value(&text)).ok()) {
        // An export path begins with "/": what comes before the first ":" ahead of it is the tenant.
        const size_t colon = text.find(':');
        if (!text.empty() && text[0] != '/' && colon != std::string::npos) {
          if (!ParseInt(text.substr(0, colon), 1, INT32_MAX, &config.tenant_id)) {
            status = Status::BadRequest("--export: the tenant must be a positive number");
          }
          text.erase(0, colon + 1);
        }
      }
      if (status.ok() && !SplitAssignment(text, false, &config.export_path, &config.fs_path)) {
        status = Status::BadRequest("--export needs [TENANT:]EXPORT_PATH=FS_PATH");
      }
      options->exports.push_back(config);
    } else if (arg == "--synthetic-diff") {
      SyntheticDiffConfig config;
      std::string count;
      int64_t items = 0;
      if ((status = value(&text)).ok() && (!SplitAssignment(text, true, &config.fs_path, &count) ||
                                           !ParseInt(count, 0, INT64_MAX, &items))) {
        status = Status::BadRequest("--synthetic-diff needs FS_PATH=N");
      }
      config.items = static_cast<uint64_t>(items);
      options->synthetic_diffs.push_back(config);
    } else {
      status = Status::BadRequest("unknown argument " + arg);
    }
    if (status.ok() && !inline_taken) status = Status::BadRequest(arg + " takes no value");
    if (!status.ok()) return status;
  }
  if (options->root.empty()) return Status::BadRequest("--root is required");
  if (options->bind_address.empty()) return Status::BadRequest("--bind is required");
  if (options->user.empty()) return Status::BadRequest("--user is required");
  if (options->password_file.empty()) return Status::BadRequest("--password-file is required");
  if (options->exports.empty()) return Status::BadRequest("at least one --export is required");
  if (options->cert_file.empty() != options->key_file.empty()) {
    return Status::BadRequest("--cert and --key go together");
  }
  return Status::Ok();
}

}  // namespace clustersim
