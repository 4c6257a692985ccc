// The command line of snapjob: which command to run and its settings.
// Plain values; no synchronisation needed.
#ifndef SNAPJOB_OPTIONS_H_
#define SNAPJOB_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace snapjob {

enum class OutputFormat { kText, kJsonl };

// Settings of `snapjob run`: one backup job.
struct RunOptions {
  std::string registry;          // the agent's client registry (JSON, readable by its owner only)
  uint32_t client_id = 0;
  uint32_t app_id1 = 0;
  uint32_t app_id2 = 0;
  int64_t job = 0;
  int64_t previous_job = 0;      // 0: no previous job
  std::string map_file;          // the snapshot map file; may be given empty
  std::string mount_table;       // "" reads the host's own table
  std::string auto_mount_root;   // non-empty: the shares are reached through the agent's auto-mounts
  std::string ca_file;
  bool insecure = false;
  bool incremental = false;
  OutputFormat output = OutputFormat::kText;
  std::string log_file;          // "": the log goes to standard error
  int log_level = 0;
  std::string plugin;            // "": next to the executable, ../lib/libQumuloSnapClient.so
  std::vector<std::string> backup_paths;
};

// Settings of `snapjob demo`.
struct DemoOptions {
  std::string keep_dir;          // non-empty: build the demo tree here and leave it in place
  std::string plugin;
  std::string clustersim;        // "": next to the executable
};

struct CommandLine {
  enum class Command { kHelp, kRun, kDemo };
  Command command = Command::kHelp;
  RunOptions run;
  DemoOptions demo;
};

// Parses the arguments after the program name. Returns false with a one-line reason when they do
// not form a valid command; the caller then prints the usage text and exits with status 2.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error);

std::string UsageText();

}  // namespace snapjob

#endif  // SNAPJOB_OPTIONS_H_
