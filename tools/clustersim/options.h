// The emulator's configuration and its command-line form.
// Plain values; no synchronisation needed.
#ifndef CLUSTERSIM_OPTIONS_H_
#define CLUSTERSIM_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "clustersim/status.h"

namespace clustersim {

struct ExportConfig {
  std::string export_path;  // as NFS clients mount it; "/" is the root export
  std::string fs_path;      // cluster path of the published directory
  int64_t tenant_id = 1;    // one export path may appear once per tenant
};

// Which snapshot routes the emulator serves: a current cluster serves both versions, an older
// one lacks v3, and one past the deprecation lacks v2 (its differences route stays).
enum class SnapshotApi { kAll, kV2, kV3 };

struct SyntheticDiffConfig {
  std::string fs_path;  // cluster path of the snapshotted directory
  uint64_t items = 0;
};

struct Options {
  std::string root;           // local directory served as the cluster's "/"
  std::string bind_address;   // IPv4 address (or host name) to listen on
  int port = 8000;            // 0 picks a free port
  std::string user;
  std::string password_file;  // first line is the password
  std::vector<ExportConfig> exports;  // kept in the order given
  std::string state_dir;      // empty: "<root>.state"
  std::string cert_file;      // both empty: generate a CA and a server certificate
  std::string key_file;
  int64_t token_ttl_seconds = 36000;  // a cluster's tokens last 10 hours
  int64_t delete_delay_ms = 300;       // how long a deleted snapshot stays listed as in_delete
  bool test_hooks = false;
  std::vector<SyntheticDiffConfig> synthetic_diffs;
  bool verbose = false;
  SnapshotApi snapshot_api = SnapshotApi::kAll;
  // Names in difference entries that are not UTF-8 go out as raw bytes inside the JSON string
  // (as a cluster might send them) instead of as "\udc80".."\udcff" escapes.
  bool raw_names = false;
  // Every difference page is preceded by this many empty pages that link on: the API does not
  // exclude them, so clients must follow them.
  int64_t empty_pages = 0;
  int worker_threads = 256;      // the most requests answered at once; threads start as needed
  int64_t request_timeout_ms = 10000;  // for a TLS handshake, and for a request from its first byte
};

// Parses `clustersim` arguments (argv[0] excluded). Sets *show_help for --help.
Status ParseCommandLine(const std::vector<std::string>& args, Options* options, bool* show_help);

// True when every address `address` resolves to is a loopback one (127.0.0.0/8, ::1).
bool IsLoopbackAddress(const std::string& address);

// The usage lines that argument errors print.
std::string UsageText();
// --help: the usage lines and every option.
std::string HelpText();

}  // namespace clustersim

#endif  // CLUSTERSIM_OPTIONS_H_
