// Small JSON helpers: an append-only object writer for responses and a thin
// reader over simdjson for request bodies and state files.
// JsonWriter is not thread-safe; JsonReader objects are per thread.
#ifndef CLUSTERSIM_JSON_H_
#define CLUSTERSIM_JSON_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "clustersim/status.h"

namespace clustersim {

// Appends `text` as a quoted JSON string.
void AppendJsonString(std::string* out, const std::string& text);

// Builds one JSON object. Keys are written as given (callers pass literals).
class JsonWriter {
 public:
  JsonWriter& String(const char* key, const std::string& value);
  // 64-bit identifiers travel as decimal strings so doubles keep them exact.
  JsonWriter& Id(const char* key, uint64_t value);
  JsonWriter& Number(const char* key, int64_t value);
  JsonWriter& Bool(const char* key, bool value);
  JsonWriter& Raw(const char* key, const std::string& json);
  std::string Finish() const { return body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_ = "{";
};

// One parsed JSON object. Field accessors return nullopt when the field is
// absent and a 400 status when it has the wrong type.
class JsonObject {
 public:
  JsonObject();
  ~JsonObject();
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(JsonObject&&) noexcept;

  // Parses `text`; fails with 400 unless it is a JSON object.
  static Status Parse(const std::string& text, JsonObject* out);

  bool Has(const char* key) const;
  Status GetString(const char* key, std::optional<std::string>* out) const;
  // Accepts a decimal string or a non-negative integer.
  Status GetUint(const char* key, std::optional<uint64_t>* out) const;
  Status GetDouble(const char* key, std::optional<double>* out) const;
  Status GetBool(const char* key, std::optional<bool>* out) const;
  // Visits each element of an array field that holds objects.
  Status ForEachObject(const char* key, const std::function<Status(const JsonObject&)>& visit) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_JSON_H_
