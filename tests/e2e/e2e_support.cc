#include "e2e_support.h"

#include <simdjson.h>

#include <regex>

namespace e2e {

bool ParseChangeLines(const std::string& jsonl, std::vector<ChangeLine>* lines, std::string* error) {
  simdjson::dom::parser parser;
  size_t start = 0;
  while (start < jsonl.size()) {
    size_t end = jsonl.find('\n', start);
    if (end == std::string::npos) {
      *error = "unterminated last line: " + jsonl.substr(start);
      return false;
    }
    const std::string text = jsonl.substr(start, end - start);
    start = end + 1;
    simdjson::dom::element item;
    ChangeLine line;
    std::string_view record;
    if (parser.parse(text).get(item) != simdjson::SUCCESS || item["record"].get_string().get(record) != simdjson::SUCCESS) {
      *error = "not a record: " + text;
      return false;
    }
    if (record != "change") continue;
    const auto text_field = [&item](const char* key, std::string* out) {
      std::string_view value;
      if (item[key].get_string().get(value) != simdjson::SUCCESS) return false;
      *out = std::string(value);
      return true;
    };
    if (!text_field("backup_path", &line.backup_path) || !text_field("change", &line.change) ||
        !text_field("type", &line.type) || !text_field("path", &line.path) ||
        item["exists"].get_bool().get(line.exists) != simdjson::SUCCESS ||
        item["new_dir"].get_bool().get(line.new_dir) != simdjson::SUCCESS ||
        item["mode"].get_uint64().get(line.mode) != simdjson::SUCCESS) {
      *error = "not a change item: " + text;
      return false;
    }
    text_field("path_bytes", &line.path_bytes);  // only where the path is not UTF-8
    lines->push_back(std::move(line));
  }
  return true;
}

namespace {

std::string FieldText(simdjson::dom::element value) {
  switch (value.type()) {
    case simdjson::dom::element_type::STRING: return std::string(value.get_string().value());
    case simdjson::dom::element_type::BOOL: return value.get_bool().value() ? "true" : "false";
    case simdjson::dom::element_type::NULL_VALUE: return "null";
    case simdjson::dom::element_type::ARRAY: {
      std::string joined;
      bool first = true;
      simdjson::dom::array array;
      if (value.get_array().get(array) != simdjson::SUCCESS) return "";
      for (simdjson::dom::element each : array) {
        joined += (first ? "" : "\n") + FieldText(each);
        first = false;
      }
      return joined;
    }
    default: return simdjson::minify(value);
  }
}

}  // namespace

std::vector<Record> RecordsOf(const std::string& jsonl, const std::string& kind) {
  std::vector<Record> records;
  simdjson::dom::parser parser;
  size_t start = 0;
  for (size_t end; (end = jsonl.find('\n', start)) != std::string::npos; start = end + 1) {
    simdjson::dom::object object;
    if (parser.parse(jsonl.substr(start, end - start)).get(object) != simdjson::SUCCESS) continue;
    Record record;
    for (auto field : object) record[std::string(field.key)] = FieldText(field.value);
    if (record["record"] == kind) records.push_back(record);
  }
  return records;
}

std::string Closing(const std::string& jsonl) {
  static const std::regex number_id(
      R"re("(id|source_file_id|directory_number|client|app|job|previous_job)":-?[0-9])re");
  if (std::regex_search(jsonl, number_id)) return "an identifier as a number";
  const size_t closings = RecordsOf(jsonl, "summary").size() + RecordsOf(jsonl, "error").size();
  if (closings != 1) return std::to_string(closings) + " closing records";
  if (jsonl.empty() || jsonl.back() != '\n') return "no whole last line";
  const size_t start = jsonl.rfind('\n', jsonl.size() - 2);
  const std::string last = jsonl.substr(start == std::string::npos ? 0 : start + 1);
  for (const char* kind : {"summary", "error"}) {
    if (!RecordsOf(last, kind).empty()) return kind;
  }
  return "the last line is no closing record: " + last;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::vector<std::string> Without(std::vector<std::string> args, const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(std::min(i + 2, args.size())));
      break;
    }
  }
  return args;
}

std::vector<std::string> Plus(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

}  // namespace e2e
