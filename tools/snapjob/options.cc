#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <map>
#include <functional>

namespace snapjob {
namespace {

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > std::numeric_limits<uint32_t>::max()) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool ParseInt64(const std::string& text, int64_t* value) {
  const size_t digits = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() == digits || text.find_first_not_of("0123456789", digits) != std::string::npos) return false;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  *value = parsed;
  return true;
}

bool ParseInt(const std::string& text, int* value) {
  int64_t wide = 0;
  if (!ParseInt64(text, &wide) || wide < std::numeric_limits<int>::min() || wide > std::numeric_limits<int>::max()) {
    return false;
  }
  *value = static_cast<int>(wide);
  return true;
}

// Splits "--name=value" and "--name value" forms. `flags` take no value.
class OptionReader {
 public:
  OptionReader(const std::vector<std::string>& args, size_t start) : args_(args), next_(start) {}

  // Reads the next argument. Sets *name for an option (with *value when it was given inline),
  // or *positional for anything else. False at the end.
  bool Next(std::string* name, std::string* inline_value, bool* has_inline, std::string* positional) {
    name->clear();
    positional->clear();
    *has_inline = false;
    if (next_ >= args_.size()) return false;
    const std::string& arg = args_[next_++];
    if (!only_positionals_ && arg == "--") {
      only_positionals_ = true;
      return Next(name, inline_value, has_inline, positional);
    }
    if (only_positionals_ || arg.size() < 2 || arg[0] != '-') {
      *positional = arg;
      return true;
    }
    const size_t equals = arg.find('=');
    if (equals != std::string::npos && arg.compare(0, 2, "--") == 0) {
      *name = arg.substr(0, equals);
      *inline_value = arg.substr(equals + 1);
      *has_inline = true;
    } else {
      *name = arg;
    }
    return true;
  }

  // The value of an option that takes one: inline, or the following argument.
  bool Value(const std::string& name, bool has_inline, const std::string& inline_value, std::string* value,
             std::string* error) {
    if (has_inline) {
      *value = inline_value;
      return true;
    }
    if (next_ >= args_.size()) {
      *error = name + " needs a value";
      return false;
    }
    *value = args_[next_++];
    return true;
  }

 private:
  const std::vector<std::string>& args_;
  size_t next_;
  bool only_positionals_ = false;
};

bool ParseRun(const std::vector<std::string>& args, RunOptions* run, std::string* error) {
  OptionReader reader(args, 1);
  std::string name, inline_value, positional, value;
  bool has_inline = false;
  bool have_registry = false, have_client = false, have_apps = false, have_job = false, have_map = false;

  // Options that take a value, each with what to do with it.
  const std::map<std::string, std::function<bool(const std::string&)>> valued = {
      {"--registry", [&](const std::string& v) { run->registry = v; have_registry = true; return !v.empty(); }},
      {"--client-id", [&](const std::string& v) { have_client = true; return ParseUnsigned32(v, &run->client_id); }},
      {"--app-ids",
       [&](const std::string& v) {
         const size_t comma = v.find(',');
         have_apps = true;
         return comma != std::string::npos && ParseUnsigned32(v.substr(0, comma), &run->app_id1) &&
                ParseUnsigned32(v.substr(comma + 1), &run->app_id2);
       }},
      {"--job", [&](const std::string& v) { have_job = true; return ParseInt64(v, &run->job); }},
      {"--previous-job", [&](const std::string& v) { return ParseInt64(v, &run->previous_job); }},
      {"--map-file", [&](const std::string& v) { run->map_file = v; have_map = true; return true; }},
      {"--mount-table", [&](const std::string& v) { run->mount_table = v; return !v.empty(); }},
      {"--auto-mount", [&](const std::string& v) { run->auto_mount_root = v; return !v.empty(); }},
      {"--ca-file", [&](const std::string& v) { run->ca_file = v; return !v.empty(); }},
      {"--output",
       [&](const std::string& v) {
         if (v == "text") run->output = OutputFormat::kText;
         else if (v == "jsonl") run->output = OutputFormat::kJsonl;
         else return false;
         return true;
       }},
      {"--log-file", [&](const std::string& v) { run->log_file = v; return !v.empty(); }},
      {"--log-level", [&](const std::string& v) { return ParseInt(v, &run->log_level); }},
      {"--plugin", [&](const std::string& v) { run->plugin = v; return !v.empty(); }},
  };

  while (reader.Next(&name, &inline_value, &has_inline, &positional)) {
    if (name.empty()) {
      run->backup_paths.push_back(positional);
      continue;
    }
    if (name == "--insecure" || name == "--incremental") {
      if (has_inline) {
        *error = name + " takes no value";
        return false;
      }
      (name == "--insecure" ? run->insecure : run->incremental) = true;
      continue;
    }
    const auto option = valued.find(name);
    if (option == valued.end()) {
      *error = "unknown option " + name;
      return false;
    }
    if (!reader.Value(name, has_inline, inline_value, &value, error)) return false;
    if (!option->second(value)) {
      *error = "bad value for " + name + ": '" + value + "'";
      return false;
    }
  }

  if (!have_registry) *error = "--registry is required";
  else if (!have_client) *error = "--client-id is required";
  else if (!have_apps) *error = "--app-ids is required";
  else if (!have_job) *error = "--job is required";
  else if (!have_map) *error = "--map-file is required";
  else if (run->insecure && !run->ca_file.empty()) *error = "--ca-file and --insecure exclude each other";
  else if (run->backup_paths.empty()) *error = "no backup path given";
  else if (!run->auto_mount_root.empty() && !run->mount_table.empty()) {
    *error = "--mount-table and --auto-mount exclude each other";
  }
  return error->empty();
}

bool ParseDemo(const std::vector<std::string>& args, DemoOptions* demo, std::string* error) {
  OptionReader reader(args, 1);
  std::string name, inline_value, positional, value;
  bool has_inline = false;
  while (reader.Next(&name, &inline_value, &has_inline, &positional)) {
    if (name.empty()) {
      *error = "demo takes no arguments besides its options, got '" + positional + "'";
      return false;
    }
    std::string* target = nullptr;
    if (name == "--keep") target = &demo->keep_dir;
    else if (name == "--plugin") target = &demo->plugin;
    else if (name == "--clustersim") target = &demo->clustersim;
    if (target == nullptr) {
      *error = "unknown option " + name;
      return false;
    }
    if (!reader.Value(name, has_inline, inline_value, target, error)) return false;
    if (target->empty()) {
      *error = name + " needs a non-empty value";
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error) {
  error->clear();
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    line->command = CommandLine::Command::kHelp;
    return true;
  }
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      line->command = CommandLine::Command::kHelp;
      return true;
    }
  }
  if (command == "run") {
    line->command = CommandLine::Command::kRun;
    return ParseRun(args, &line->run, error);
  }
  if (command == "demo") {
    line->command = CommandLine::Command::kDemo;
    return ParseDemo(args, &line->demo, error);
  }
  *error = "unknown command '" + command + "'";
  return false;
}

std::string UsageText() {
  return R"(usage:
  snapjob run --registry FILE --client-id N --app-ids A1,A2 --job J [--previous-job P]
              --map-file FILE [--mount-table FILE] [--auto-mount ROOT] [--ca-file FILE | --insecure]
              [--incremental] [--output text|jsonl] [--log-file FILE] [--log-level N] [--plugin PATH]
              BACKUP_PATH...
  snapjob demo [--keep DIR] [--plugin PATH] [--clustersim PATH]
  snapjob --help

run   runs one backup job through the snapshot plug-in, as the backup agent does: it snapshots the
      backup paths, reconciles the cluster's snapshots with the previous job, points the content
      mapper at the snapshots, writes the snapshot map file and, with --incremental, prints the
      change list of every path on standard output.
demo  starts the cluster emulator on a free loopback address and runs three jobs against it.

  --registry FILE     the agent's client registry (JSON; must be readable by its owner only)
  --client-id N       the client that stands for the cluster in the registry
  --app-ids A1,A2     the job's two application numbers
  --job J             this job's number; --previous-job P the comparison base (default 0: none)
  --map-file FILE     where the snapshot map file is written (appended to)
  --mount-table FILE  a mount table in /proc/self/mounts format (default: the host's)
  --auto-mount ROOT   reach the shares through auto-mounts at ROOT/<server>/<export path>
  --ca-file FILE      trust this CA for the cluster's certificate; --insecure trusts any
  --incremental       fetch and print the change list of every backup path
  --output FORMAT     text (aligned lines and a summary per path) or jsonl (one object per item)
  --log-file FILE     the plug-in's log (default: standard error); --log-level N its detail (0-6)
  --plugin PATH       the plug-in library (default: ../lib/libQumuloSnapClient.so beside snapjob)
  --keep DIR          demo: build the demo tree in DIR and keep it

exit status: 0 success, 1 an operation failed, 2 bad usage
)";
}

}  // namespace snapjob
