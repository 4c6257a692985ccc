// Small helpers of the end-to-end tests: reading snapjob's JSON lines back and editing argument
// lists, and the shared child-process runner under short names. Stateless.
#ifndef E2E_E2E_SUPPORT_H_
#define E2E_E2E_SUPPORT_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "snaptest/child_process.h"

namespace e2e {

using snaptest::ChildProcess;
using snaptest::CommandOptions;
using snaptest::CommandResult;
using snaptest::RunCommand;

// One change item as `--output jsonl` prints it.
struct ChangeLine {
  std::string backup_path;
  std::string change;
  std::string type;
  std::string path;
  bool exists = false;
  bool new_dir = false;
  uint64_t mode = 0;
  std::string path_bytes;  // hex of the exact bytes, present only when the path is not UTF-8

  std::tuple<std::string, std::string, std::string> Key() const { return {change, type, path}; }
};

// Parses the "change" records; false with the offending line in *error when a line is not a JSON
// object with a "record" field, or a change record is not a complete item.
bool ParseChangeLines(const std::string& jsonl, std::vector<ChangeLine>* lines, std::string* error);

// The records of one kind, each field as text: strings as they are, numbers in decimal, true,
// false, null, and lists joined with line feeds.
using Record = std::map<std::string, std::string>;
std::vector<Record> RecordsOf(const std::string& jsonl, const std::string& kind);

// How a JSON-lines run ended: the kind of its last line when that is its only closing record
// ("summary" or "error"), else a description of what is wrong. Also checks that no identifier is
// written as a JSON number.
std::string Closing(const std::string& jsonl);

// The bytes that a "path_bytes" hex text stands for.
std::string FromHex(const std::string& hex);

// `args` without the option `name` and its value.
std::vector<std::string> Without(std::vector<std::string> args, const std::string& name);

std::vector<std::string> Plus(std::vector<std::string> args, const std::vector<std::string>& more);

}  // namespace e2e

#endif  // E2E_E2E_SUPPORT_H_
