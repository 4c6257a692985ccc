#include "clustersim/json.h"

#include <functional>

#include <simdjson.h>

namespace clustersim {

void AppendJsonString(std::string* out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  // Most text needs no escaping: append it in one piece.
  bool plain = true;
  for (unsigned char c : text) {
    if (c < 0x20 || c == '"' || c == '\\') {
      plain = false;
      break;
    }
  }
  if (plain) {
    out->append(text);
    out->push_back('"');
    return;
  }
  for (unsigned char c : text) {
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (c < 0x20) {
          out->append("\\u00");
          out->push_back(kHex[c >> 4]);
          out->push_back(kHex[c & 15]);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}

void JsonWriter::Key(const char* key) {
  if (body_.size() > 1) body_.push_back(',');
  body_.push_back('"');
  body_.append(key);
  body_.append("\":");
}

JsonWriter& JsonWriter::String(const char* key, const std::string& value) {
  Key(key);
  AppendJsonString(&body_, value);
  return *this;
}

JsonWriter& JsonWriter::Id(const char* key, uint64_t value) {
  Key(key);
  body_.push_back('"');
  body_.append(std::to_string(value));
  body_.push_back('"');
  return *this;
}

JsonWriter& JsonWriter::Number(const char* key, int64_t value) {
  Key(key);
  body_.append(std::to_string(value));
  return *this;
}

JsonWriter& JsonWriter::Bool(const char* key, bool value) {
  Key(key);
  body_.append(value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Raw(const char* key, const std::string& json) {
  Key(key);
  body_.append(json);
  return *this;
}

// The document owns the parsed tree; nested objects share it.
struct JsonObject::Impl {
  std::shared_ptr<simdjson::dom::parser> parser;
  simdjson::dom::object object;
};

JsonObject::JsonObject() : impl_(std::make_unique<Impl>()) {}
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(JsonObject&&) noexcept = default;
JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;

Status JsonObject::Parse(const std::string& text, JsonObject* out) {
  auto parser = std::make_shared<simdjson::dom::parser>();
  simdjson::dom::element root;
  if (parser->parse(text).get(root) != simdjson::SUCCESS) {
    return Status::BadRequest("body is not valid JSON");
  }
  simdjson::dom::object object;
  if (root.get_object().get(object) != simdjson::SUCCESS) {
    return Status::BadRequest("body is not a JSON object");
  }
  out->impl_->parser = std::move(parser);
  out->impl_->object = object;
  return Status::Ok();
}

bool JsonObject::Has(const char* key) const {
  simdjson::dom::element value;
  return impl_->parser && impl_->object[key].get(value) == simdjson::SUCCESS;
}

namespace {

Status WrongType(const char* key, const char* expected) {
  return Status::BadRequest(std::string("field \"") + key + "\" must be " + expected);
}

}  // namespace

Status JsonObject::GetString(const char* key, std::optional<std::string>* out) const {
  out->reset();
  simdjson::dom::element value;
  if (!impl_->parser || impl_->object[key].get(value) != simdjson::SUCCESS) return Status::Ok();
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS) return WrongType(key, "a string");
  *out = std::string(text);
  return Status::Ok();
}

Status JsonObject::GetUint(const char* key, std::optional<uint64_t>* out) const {
  out->reset();
  simdjson::dom::element value;
  if (!impl_->parser || impl_->object[key].get(value) != simdjson::SUCCESS) return Status::Ok();
  uint64_t number = 0;
  if (value.get_uint64().get(number) == simdjson::SUCCESS) {
    *out = number;
    return Status::Ok();
  }
  std::string_view text;
  if (value.get_string().get(text) != simdjson::SUCCESS || text.empty() || text.size() > 20) {
    return WrongType(key, "an unsigned integer or a decimal string");
  }
  for (char c : text) {
    if (c < '0' || c > '9') return WrongType(key, "an unsigned integer or a decimal string");
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return WrongType(key, "a 64-bit unsigned integer");
    number = number * 10 + digit;
  }
  *out = number;
  return Status::Ok();
}

Status JsonObject::GetDouble(const char* key, std::optional<double>* out) const {
  out->reset();
  simdjson::dom::element value;
  if (!impl_->parser || impl_->object[key].get(value) != simdjson::SUCCESS) return Status::Ok();
  double number = 0;
  if (value.get_double().get(number) == simdjson::SUCCESS) {
    *out = number;
    return Status::Ok();
  }
  int64_t integer = 0;
  if (value.get_int64().get(integer) == simdjson::SUCCESS) {
    *out = static_cast<double>(integer);
    return Status::Ok();
  }
  uint64_t unsigned_integer = 0;
  if (value.get_uint64().get(unsigned_integer) == simdjson::SUCCESS) {
    *out = static_cast<double>(unsigned_integer);
    return Status::Ok();
  }
  return WrongType(key, "a number");
}

Status JsonObject::GetBool(const char* key, std::optional<bool>* out) const {
  out->reset();
  simdjson::dom::element value;
  if (!impl_->parser || impl_->object[key].get(value) != simdjson::SUCCESS) return Status::Ok();
  bool flag = false;
  if (value.get_bool().get(flag) != simdjson::SUCCESS) return WrongType(key, "true or false");
  *out = flag;
  return Status::Ok();
}

Status JsonObject::ForEachObject(const char* key,
                                 const std::function<Status(const JsonObject&)>& visit) const {
  simdjson::dom::element value;
  if (!impl_->parser || impl_->object[key].get(value) != simdjson::SUCCESS) return Status::Ok();
  simdjson::dom::array array;
  if (value.get_array().get(array) != simdjson::SUCCESS) return WrongType(key, "an array");
  for (simdjson::dom::element item : array) {
    JsonObject child;
    child.impl_->parser = impl_->parser;
    if (item.get_object().get(child.impl_->object) != simdjson::SUCCESS) {
      return WrongType(key, "an array of objects");
    }
    Status status = visit(child);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

}  // namespace clustersim
