// The command line of snapjob: which command to run and its settings.
// Plain values; no synchronisation needed.
#ifndef SNAPJOB_OPTIONS_H_
#define SNAPJOB_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace snapjob {

enum class OutputFormat { kText, kJsonl };

// How the driver reaches the cluster: the agent's registry entry that stands for it, and trust.
struct ConnectionOptions {
  std::string registry;          // the agent's client registry (JSON, readable by its owner only)
  uint32_t client_id = 0;
  std::string ca_file;
  bool insecure = false;
  std::string pin;               // "sha256//BASE64" of the cluster's public key
  std::string proxy;             // "": straight to the cluster
  uint32_t request_timeout = 0;  // seconds one request may take in all; 0: the wrapper's default
  uint32_t stall_timeout = 0;    // seconds within which 1 KiB must arrive; 0: the wrapper's default
};

// Settings of `snapjob run`: one backup job.
struct RunOptions {
  ConnectionOptions connection;
  uint32_t app_id1 = 0;
  uint32_t app_id2 = 0;
  int64_t job = 0;
  int64_t previous_job = 0;      // 0: no previous job
  bool allow_missing_previous = false;  // run even when the previous job has no snapshot left
  std::string map_file;          // the snapshot map file; may be given empty
  std::string mount_table;       // "" reads the host's own table
  std::string auto_mount_root;   // non-empty: the shares are reached through the agent's auto-mounts
  bool incremental = false;
  OutputFormat output = OutputFormat::kText;
  std::string log_file;          // "": the log goes to standard error
  int log_level = 0;
  std::string plugin;            // "": next to the executable, ../lib/libQumuloSnapClient.so
  std::string spill_dir;         // "": $TMPDIR, or /tmp
  uint64_t spill_threshold_mib = 1024;
  std::vector<std::string> backup_paths;
};

// Settings of `snapjob demo`.
struct DemoOptions {
  std::string keep_dir;          // non-empty: build the demo tree here and leave it in place
  std::string plugin;
  std::string clustersim;        // "": next to the executable
};

// Settings of `snapjob fingerprint`.
struct FingerprintOptions {
  std::string host;
  int port = 8000;
};

// Settings of `snapjob snapshots list|delete`.
struct SnapshotsOptions {
  ConnectionOptions connection;
  bool has_app_id = false;
  uint32_t app_id = 0;           // the application number in the names (the second of run's --app-ids)
  int64_t job = 0;               // delete: the job whose snapshots go
  bool dry_run = false;
  OutputFormat output = OutputFormat::kText;
};

struct CommandLine {
  enum class Command { kHelp, kVersion, kRun, kDemo, kFingerprint, kSnapshotsList, kSnapshotsDelete };
  Command command = Command::kHelp;
  std::string help_topic;        // kHelp: "" for the overview, or a command ("run", "snapshots list", ...)
  RunOptions run;
  DemoOptions demo;
  FingerprintOptions fingerprint;
  SnapshotsOptions snapshots;
};

// Parses the arguments after the program name. Returns false with a one-line reason when they do
// not form a valid command; *topic then names the command whose help explains it.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error,
                      std::string* topic);

// Whether the arguments ask for "--output jsonl", looked for even when they do not parse.
bool AsksForJsonLines(const std::vector<std::string>& args);

// The help of `topic` ("" for the overview); false when there is no such command.
bool HelpText(const std::string& topic, std::string* text);

// The one line a usage error prints: "snapjob: REASON (see snapjob TOPIC --help)".
std::string UsageError(const std::string& error, const std::string& topic);

std::string VersionText();

}  // namespace snapjob

#endif  // SNAPJOB_OPTIONS_H_
