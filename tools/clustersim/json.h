// Small JSON helpers: an append-only object writer for responses and a strict
// reader for request bodies and state files. Names need not be UTF-8: each byte
// that is not part of valid UTF-8 travels as a lone "\udc80".."\udcff" escape,
// which the reader turns back into that byte. JsonWriter is not thread-safe;
// a parsed JsonObject is immutable and may be read from any thread.
#ifndef CLUSTERSIM_JSON_H_
#define CLUSTERSIM_JSON_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "clustersim/status.h"

namespace clustersim {

// Reads a decimal 64-bit unsigned number exactly: digits only, no overflow.
bool ParseDecimal(const std::string& text, uint64_t* out);

// Appends `text` as a quoted JSON string; the result is always valid UTF-8 unless
// `raw_names` sends the bytes that are not part of UTF-8 as they are.
void AppendJsonString(std::string* out, const std::string& text, bool raw_names = false);

// Builds one JSON object. Keys are written as given (callers pass literals).
class JsonWriter {
 public:
  JsonWriter& String(const char* key, const std::string& value);
  // File ids travel as decimal strings, so that doubles keep them exact.
  JsonWriter& Id(const char* key, uint64_t value);
  JsonWriter& Number(const char* key, int64_t value);
  JsonWriter& Bool(const char* key, bool value);
  JsonWriter& Null(const char* key);
  JsonWriter& Raw(const char* key, const std::string& json);
  std::string Finish() const { return body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_ = "{";
};

struct JsonValue;

// One parsed JSON object. Field accessors return nullopt when the field is
// absent (or null) and a 400 status when it has the wrong type.
class JsonObject {
 public:
  JsonObject();
  ~JsonObject();
  JsonObject(JsonObject&&) noexcept;
  JsonObject& operator=(JsonObject&&) noexcept;

  // Parses `text`; 400 unless it is one JSON object without repeated keys.
  static Status Parse(const std::string& text, JsonObject* out);

  bool Has(const char* key) const;
  // True for a key that is present, even with null.
  bool Contains(const char* key) const;
  // 400 naming the first key that is not one of `allowed`.
  Status OnlyKeys(std::initializer_list<const char*> allowed) const;
  Status GetString(const char* key, std::optional<std::string>* out) const;
  // Accepts a decimal string or a non-negative integer.
  Status GetUint(const char* key, std::optional<uint64_t>* out) const;
  Status GetDouble(const char* key, std::optional<double>* out) const;
  Status GetBool(const char* key, std::optional<bool>* out) const;
  Status GetObject(const char* key, std::optional<JsonObject>* out) const;
  // Visits each element of an array field that holds objects.
  Status ForEachObject(const char* key, const std::function<Status(const JsonObject&)>& visit) const;

 private:
  const JsonValue* Find(const char* key) const;

  std::shared_ptr<const JsonValue> document_;  // owns the tree; nested objects share it
  const JsonValue* object_ = nullptr;
};

}  // namespace clustersim

#endif  // CLUSTERSIM_JSON_H_
