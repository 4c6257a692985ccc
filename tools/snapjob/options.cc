#include "options.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <set>

#include "decimal_text.h"
#include "snap_version.h"

namespace snapjob {
namespace {

bool ParseUnsigned32(const std::string& text, uint32_t* value) {
  uint64_t wide = 0;
  if (!ParseUnsignedDecimal(text, std::numeric_limits<uint32_t>::max(), &wide)) return false;
  *value = static_cast<uint32_t>(wide);
  return true;
}

bool ParseInt64(const std::string& text, int64_t* value) { return ParseSignedDecimal(text, value); }

bool ParseIntIn(const std::string& text, int min, int max, int* value) {
  int64_t wide = 0;
  if (!ParseInt64(text, &wide) || wide < min || wide > max) return false;
  *value = static_cast<int>(wide);
  return true;
}

// An option that stores its text; most refuse an empty one.
std::function<bool(const std::string&)> StoreText(std::string* target, bool may_be_empty = false) {
  return [=](const std::string& v) {
    *target = v;
    return may_be_empty || !v.empty();
  };
}

bool ParseOutput(const std::string& text, OutputFormat* output) {
  if (text == "text")
    *output = OutputFormat::kText;
  else if (text == "jsonl")
    *output = OutputFormat::kJsonl;
  else
    return false;
  return true;
}

// One option of a command: a flag, or an option that takes a value ("--name value" or
// "--name=value"). `apply` returns false for a value it cannot use.
struct Option {
  std::string name;
  bool takes_value;
  std::function<bool(const std::string&)> apply;
};

// The edit distance of two option names, for suggesting the one meant.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "unknown option --x", with the nearest option when one is close enough to be a slip.
std::string UnknownOption(const std::string& name, const std::vector<Option>& options) {
  const Option* nearest = nullptr;
  size_t best = 0;
  for (const Option& candidate : options) {
    const size_t distance = Distance(name, candidate.name);
    if (nearest == nullptr || distance < best) {
      nearest = &candidate;
      best = distance;
    }
  }
  std::string text = "unknown option " + name;
  // A quarter of the name, at least two edits: a slip, not another word.
  if (nearest != nullptr && best <= std::max<size_t>(2, name.size() / 4)) {
    text += "; did you mean " + nearest->name + "?";
  }
  return text;
}

// Reads `args` from `start` against `options`; what is not an option is a positional argument,
// and "--" ends the options. `seen` collects the names given.
bool ParseOptions(const std::vector<std::string>& args, size_t start, const std::vector<Option>& options,
                  std::vector<std::string>* positionals, std::set<std::string>* seen, std::string* error) {
  bool only_positionals = false;
  for (size_t i = start; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!only_positionals && arg == "--") {
      only_positionals = true;
      continue;
    }
    if (only_positionals || arg.size() < 2 || arg[0] != '-') {
      positionals->push_back(arg);
      continue;
    }
    const size_t equals = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
    const std::string name = arg.substr(0, equals);
    const Option* option = nullptr;
    for (const Option& candidate : options) {
      if (candidate.name == name) option = &candidate;
    }
    if (option == nullptr) {
      *error = UnknownOption(name, options);
      return false;
    }
    seen->insert(name);
    if (!option->takes_value) {
      if (equals != std::string::npos) {
        *error = name + " takes no value";
        return false;
      }
      option->apply("");
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = name + " needs a value";
      return false;
    }
    if (!option->apply(value)) {
      *error = "bad value for " + name + ": '" + value + "'";
      return false;
    }
  }
  return true;
}

// "sha256//" and the base64 of a SHA-256 digest: 43 characters and one "=". Checked here, so that a
// mistyped pin is a usage error rather than a failed handshake.
bool IsPin(const std::string& pin) {
  static const std::string kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (pin.size() != 8 + 44 || pin.compare(0, 8, "sha256//") != 0 || pin.back() != '=') return false;
  for (size_t i = 8; i < pin.size() - 1; ++i) {
    if (kBase64.find(pin[i]) == std::string::npos) return false;
  }
  // The last digit carries two bits beyond the 32 bytes, which must be zero.
  return kBase64.find(pin[pin.size() - 2]) % 4 == 0;
}

void AddConnectionOptions(ConnectionOptions* connection, std::vector<Option>* options) {
  options->push_back({"--registry", true, StoreText(&connection->registry)});
  options->push_back(
      {"--client-id", true, [=](const std::string& v) { return ParseUnsigned32(v, &connection->client_id); }});
  options->push_back({"--ca-file", true, StoreText(&connection->ca_file)});
  options->push_back({"--insecure", false, [=](const std::string&) { return connection->insecure = true; }});
  options->push_back({"--pin", true, [=](const std::string& v) {
                        connection->pin = v;
                        return IsPin(v);
                      }});
  options->push_back({"--proxy", true, StoreText(&connection->proxy)});
  options->push_back({"--request-timeout", true, [=](const std::string& v) {
                        return ParseUnsigned32(v, &connection->request_timeout) && connection->request_timeout > 0;
                      }});
  options->push_back({"--stall-timeout", true, [=](const std::string& v) {
                        return ParseUnsigned32(v, &connection->stall_timeout) && connection->stall_timeout > 0;
                      }});
}

// The first required option missing, or the first pair that excludes each other, as an error.
bool CheckConnection(const ConnectionOptions& connection, const std::set<std::string>& seen, std::string* error) {
  if (!seen.count("--registry"))
    *error = "--registry is required";
  else if (!seen.count("--client-id"))
    *error = "--client-id is required";
  else if (connection.insecure && !connection.ca_file.empty())
    *error = "--ca-file and --insecure exclude each other";
  else if (connection.insecure && !connection.pin.empty())
    *error = "--pin and --insecure exclude each other";
  return error->empty();
}

bool ParseRun(const std::vector<std::string>& args, RunOptions* run, std::string* error) {
  std::vector<Option> options;
  AddConnectionOptions(&run->connection, &options);
  options.insert(options.end(),
                 {
                     {"--app-ids", true,
                      [=](const std::string& v) {
                        const size_t comma = v.find(',');
                        return comma != std::string::npos && ParseUnsigned32(v.substr(0, comma), &run->app_id1) &&
                               ParseUnsigned32(v.substr(comma + 1), &run->app_id2);
                      }},
                     {"--job", true, [=](const std::string& v) { return ParseInt64(v, &run->job); }},
                     {"--previous-job", true, [=](const std::string& v) { return ParseInt64(v, &run->previous_job); }},
                     {"--allow-missing-previous", false,
                      [=](const std::string&) { return run->allow_missing_previous = true; }},
                     {"--map-file", true, StoreText(&run->map_file, true)},
                     {"--mount-table", true, StoreText(&run->mount_table)},
                     {"--auto-mount", true, StoreText(&run->auto_mount_root)},
                     {"--incremental", false, [=](const std::string&) { return run->incremental = true; }},
                     {"--output", true, [=](const std::string& v) { return ParseOutput(v, &run->output); }},
                     {"--log-file", true, StoreText(&run->log_file)},
                     {"--log-level", true,
                      [=](const std::string& v) {
                        return ParseIntIn(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                                          &run->log_level);
                      }},
                     {"--plugin", true, StoreText(&run->plugin)},
                     {"--spill-dir", true, StoreText(&run->spill_dir)},
                     {"--spill-threshold-mib", true,
                      [=](const std::string& v) {
                        return ParseUnsignedDecimal(v, std::numeric_limits<size_t>::max() >> 20,
                                                    &run->spill_threshold_mib);
                      }},
                 });
  std::set<std::string> seen;
  if (!ParseOptions(args, 1, options, &run->backup_paths, &seen, error)) return false;
  if (!CheckConnection(run->connection, seen, error)) return false;
  if (!seen.count("--app-ids"))
    *error = "--app-ids is required";
  else if (!seen.count("--job"))
    *error = "--job is required";
  else if (!seen.count("--map-file"))
    *error = "--map-file is required";
  // Without the previous job, reconciliation would take its snapshots for stale and delete them.
  else if (run->incremental && !seen.count("--previous-job"))
    *error = "--incremental needs --previous-job";
  else if (run->backup_paths.empty())
    *error = "no backup path given";
  else if (!run->auto_mount_root.empty() && !run->mount_table.empty()) {
    *error = "--mount-table and --auto-mount exclude each other";
  }
  return error->empty();
}

bool ParseDemo(const std::vector<std::string>& args, DemoOptions* demo, std::string* error) {
  const std::vector<Option> options = {{"--keep", true, StoreText(&demo->keep_dir)},
                                       {"--plugin", true, StoreText(&demo->plugin)},
                                       {"--clustersim", true, StoreText(&demo->clustersim)}};
  std::vector<std::string> positionals;
  std::set<std::string> seen;
  if (!ParseOptions(args, 1, options, &positionals, &seen, error)) return false;
  if (!positionals.empty()) *error = "demo takes no arguments besides its options, got '" + positionals[0] + "'";
  return error->empty();
}

bool ParseFingerprint(const std::vector<std::string>& args, FingerprintOptions* fingerprint, std::string* error) {
  const std::vector<Option> options = {
      {"--host", true, StoreText(&fingerprint->host)},
      {"--port", true, [=](const std::string& v) { return ParseIntIn(v, 1, 65535, &fingerprint->port); }}};
  std::vector<std::string> positionals;
  std::set<std::string> seen;
  if (!ParseOptions(args, 1, options, &positionals, &seen, error)) return false;
  if (!positionals.empty())
    *error = "unexpected argument '" + positionals[0] + "'";
  else if (!seen.count("--host"))
    *error = "--host is required";
  return error->empty();
}

bool ParseSnapshots(const std::vector<std::string>& args, bool deleting, SnapshotsOptions* snapshots,
                    std::string* error) {
  std::vector<Option> options;
  AddConnectionOptions(&snapshots->connection, &options);
  options.push_back({"--app-id", true, [=](const std::string& v) {
                       snapshots->has_app_id = true;
                       return ParseUnsigned32(v, &snapshots->app_id);
                     }});
  options.push_back({"--output", true, [=](const std::string& v) { return ParseOutput(v, &snapshots->output); }});
  if (deleting) {
    options.push_back({"--job", true, [=](const std::string& v) { return ParseInt64(v, &snapshots->job); }});
    options.push_back({"--dry-run", false, [=](const std::string&) { return snapshots->dry_run = true; }});
  }
  std::vector<std::string> positionals;
  std::set<std::string> seen;
  if (!ParseOptions(args, 2, options, &positionals, &seen, error)) return false;
  if (!positionals.empty())
    *error = "unexpected argument '" + positionals[0] + "'";
  else if (!CheckConnection(snapshots->connection, seen, error))
    return false;
  else if (deleting && !seen.count("--app-id"))
    *error = "--app-id is required";
  else if (deleting && !seen.count("--job"))
    *error = "--job is required";
  return error->empty();
}

const char kOverview[] = R"(usage: snapjob COMMAND [OPTION]...

commands:
  run               run one backup job through the snapshot plug-in, as the backup agent does
  snapshots list    list the cluster's snapshots, naming those the plug-in made
  snapshots delete  delete the snapshots of one job of one client and application
  fingerprint       print the public-key pin, subject and expiry of a host's certificate
  demo              start the cluster emulator on a loopback address and run three jobs against it
  help [COMMAND]    this text, or the help of one command (also: snapjob COMMAND --help)
  --version         the version and build

Options take their value as "--opt value" or "--opt=value".
exit status: 0 success, 1 an operation failed, 2 bad usage or an unusable setting,
128 + N when stopped by signal N (130 SIGINT, 141 SIGPIPE, 143 SIGTERM) after flushing what was written
)";

const char kConnectionHelp[] =
    R"(  --registry FILE     the agent's client registry (JSON; a private file of this user: chmod 600)
  --client-id N       the registry's client that stands for the cluster (its host name and credentials)
  --ca-file FILE      trust this CA for the cluster's certificate (default: the system's trust store)
  --pin sha256//KEY   accept the cluster's certificate when its public key has this pin (see
                      snapjob fingerprint); with --ca-file both must hold
  --insecure          trust any certificate (a lab only; logged as a warning)
  --proxy URL         reach the cluster through this proxy (proxy environment variables are ignored)
  --request-timeout S the most one request may take, its retries included (default 600)
  --stall-timeout S   a request that receives less than 1 KiB within S seconds is cut off as stalled
                      (default 60; raise it for a cluster that takes long to compute a page)
)";

const char kRunHelp[] = R"(usage: snapjob run --registry FILE --client-id N --app-ids A1,A2 --job J
                   [--previous-job P [--allow-missing-previous]] --map-file FILE
                   [--mount-table FILE | --auto-mount ROOT]
                   [--ca-file FILE] [--pin sha256//KEY] [--insecure] [--proxy URL]
                   [--request-timeout S] [--stall-timeout S]
                   [--incremental] [--output text|jsonl] [--log-file FILE] [--log-level N]
                   [--spill-dir DIR] [--spill-threshold-mib N] [--plugin PATH] BACKUP_PATH...

Runs one backup job through the snapshot plug-in, as the backup agent does: snapshots the backup
paths, reconciles the cluster's snapshots with the previous job's, points the content mapper at the
snapshots, writes the snapshot map file and, with --incremental, lists the changes of every path.
The registry, the map file's directory and the CA file are checked before the plug-in is called,
and so is the previous job: one without snapshots while other jobs have some is refused, since
this job would delete their snapshots as stale.

)";

const char kRunOptionsHelp[] = R"(  --app-ids A1,A2     the job's two application numbers (snapshot names carry A2)
  --job J             this job's number
  --previous-job P    the job to compare with; its snapshots are kept (default 0: none)
  --allow-missing-previous
                      run even when job P has no snapshot while other jobs have: every path comes as
                      new and the other jobs' snapshots are deleted as stale
  --map-file FILE     where the snapshot map file is written
  --mount-table FILE  a mount table in /proc/self/mounts format (default: the host's)
  --auto-mount ROOT   reach the shares through auto-mounts at ROOT/<server>/<export path>
  --incremental       fetch and print the change list of every backup path (needs --previous-job)
  --output FORMAT     text: aligned change lines and a summary per path; jsonl: one JSON object per
                      line, each with a "record" field: snapshot, previous, deleted, map, change,
                      path_summary; the last line is always summary or error
  --log-file FILE     the plug-in's log (default: standard error), flushed line by line
  --log-level N       the log's detail, 0 to 6; a negative level logs nothing
  --spill-dir DIR     where a change list beyond the threshold goes, in a private nameless file
                      (default: $TMPDIR, or /tmp)
  --spill-threshold-mib N
                      MiB of change list kept in memory before the rest goes to disk (default 1024)
  --plugin PATH       the plug-in library (default: ../lib/libQumuloSnapClient.so beside snapjob)
)";

const char kListHelp[] = R"(usage: snapjob snapshots list --registry FILE --client-id N [--app-id A]
                              [--ca-file FILE] [--pin sha256//KEY] [--insecure] [--proxy URL]
                              [--output text|jsonl]

Lists every snapshot of the cluster. Names the plug-in made (kwsnap_CLIENT_APP_JOB_DIR) are shown
with their client, application, job and directory number; those of the given client (and
application, with --app-id) are marked as its own.

)";

const char kDeleteHelp[] =
    R"(usage: snapjob snapshots delete --registry FILE --client-id N --app-id A --job J [--dry-run]
                                [--ca-file FILE] [--pin sha256//KEY] [--insecure] [--proxy URL]
                                [--output text|jsonl]

Deletes the snapshots of job J that the plug-in made for client N and application A: the names
kwsnap_N_A_J_DIR, and nothing else. With --dry-run it lists what it would delete.

)";

const char kFingerprintHelp[] = R"(usage: snapjob fingerprint --host HOST [--port 8000]

Connects to HOST without verifying it and prints the certificate it presents: the pin of its
public key (sha256// and the base64 of the SHA-256 of its DER SubjectPublicKeyInfo), its subject
and its expiry. Check the pin against the cluster itself before you trust it with --pin.
)";

const char kDemoHelp[] = R"(usage: snapjob demo [--keep DIR] [--plugin PATH] [--clustersim PATH]

Builds a small tree, starts the cluster emulator on a free loopback address, and runs three jobs
(full, then two incremental) through the plug-in, showing snapshots, change lists and map files.

  --keep DIR          build the demo tree in DIR and keep it
  --plugin PATH       the plug-in library
  --clustersim PATH   the emulator (default: beside snapjob)
)";

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error, std::string* topic) {
  error->clear();
  topic->clear();
  if (args.empty()) {
    *error = "no command given";
    return false;
  }
  std::string command = args[0];
  size_t words = 1;
  if (command == "snapshots" && args.size() > 1 && args[1].compare(0, 1, "-") != 0) {
    command += " " + args[1];
    words = 2;
  }
  if (command == "-h" || command == "--help") {
    line->command = CommandLine::Command::kHelp;
    return true;
  }
  if (command == "help") {
    line->command = CommandLine::Command::kHelp;
    for (size_t i = 1; i < args.size(); ++i) line->help_topic += (i > 1 ? " " : "") + args[i];
    std::string text;
    if (!HelpText(line->help_topic, &text)) {
      *error = "no help on '" + line->help_topic + "'";
      return false;
    }
    return true;
  }
  if (command == "--version") {
    line->command = CommandLine::Command::kVersion;
    return true;
  }
  std::string text;
  if (!HelpText(command, &text) || command.empty()) {
    *error = "unknown command '" + command + "'";
    return false;
  }
  *topic = command;
  for (size_t i = words; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "-h" || args[i] == "--help") {
      line->command = CommandLine::Command::kHelp;
      line->help_topic = command;
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
  if (command == "fingerprint") {
    line->command = CommandLine::Command::kFingerprint;
    return ParseFingerprint(args, &line->fingerprint, error);
  }
  const bool deleting = command == "snapshots delete";
  if (deleting || command == "snapshots list") {
    line->command = deleting ? CommandLine::Command::kSnapshotsDelete : CommandLine::Command::kSnapshotsList;
    return ParseSnapshots(args, deleting, &line->snapshots, error);
  }
  *error = "'" + command + "' needs a subcommand: list or delete";
  return false;
}

bool AsksForJsonLines(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--output=jsonl" || (args[i] == "--output" && i + 1 < args.size() && args[i + 1] == "jsonl"))
      return true;
  }
  return false;
}

bool HelpText(const std::string& topic, std::string* text) {
  const std::string output = "  --output FORMAT     text, or jsonl: one JSON object per snapshot\n";
  if (topic.empty()) {
    *text = kOverview;
  } else if (topic == "run") {
    *text = std::string(kRunHelp) + kConnectionHelp + kRunOptionsHelp;
  } else if (topic == "snapshots list") {
    *text = std::string(kListHelp) + kConnectionHelp +
            "  --app-id A          mark only this application's snapshots as own\n" + output;
  } else if (topic == "snapshots delete") {
    *text = std::string(kDeleteHelp) + kConnectionHelp +
            "  --dry-run           list what would be deleted and delete nothing\n" + output;
  } else if (topic == "snapshots") {
    std::string list, remove;
    HelpText("snapshots list", &list);
    HelpText("snapshots delete", &remove);
    *text = list + "\n" + remove;
  } else if (topic == "fingerprint") {
    *text = kFingerprintHelp;
  } else if (topic == "demo") {
    *text = kDemoHelp;
  } else {
    return false;
  }
  return true;
}

std::string UsageError(const std::string& error, const std::string& topic) {
  return "snapjob: " + error + " (see snapjob " + (topic.empty() ? "" : topic + " ") + "--help)\n";
}

std::string VersionText() { return std::string("snapjob ") + kSnapVersion + " (" + kSnapBuild + ")\n"; }

}  // namespace snapjob
