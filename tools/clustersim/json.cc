#include "clustersim/json.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace clustersim {

namespace {

const char kHex[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at the start of [p, end), or 0.
size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
  auto continuation = [&](size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return p + i < end && p[i] >= low && p[i] <= high;
  };
  unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms (E0) and no surrogates (ED): those bytes are escaped one by one.
    unsigned char low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    unsigned char low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

void AppendEscape(std::string* out, unsigned value) {
  out->append("\\u");
  for (int shift = 12; shift >= 0; shift -= 4) out->push_back(kHex[(value >> shift) & 15]);
}

}  // namespace

void AppendJsonString(std::string* out, const std::string& text, bool raw_names) {
  out->push_back('"');
  // Most text needs no escaping: append it in one piece.
  bool plain = true;
  for (unsigned char c : text) {
    if (c < 0x20 || c == '"' || c == '\\' || c >= 0x80) {
      plain = false;
      break;
    }
  }
  if (plain) {
    out->append(text);
    out->push_back('"');
    return;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    unsigned char c = *p;
    if (c >= 0x80) {
      size_t length = Utf8SequenceLength(p, end);
      if (length == 0 && raw_names) {
        out->push_back(static_cast<char>(c));
        ++p;
      } else if (length == 0) {
        AppendEscape(out, 0xDC00u + c);  // a lone low surrogate is never a character
        ++p;
      } else {
        out->append(reinterpret_cast<const char*>(p), length);
        p += length;
      }
      continue;
    }
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        if (c < 0x20) {
          AppendEscape(out, c);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
    ++p;
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

JsonWriter& JsonWriter::Null(const char* key) {
  Key(key);
  body_.append("null");
  return *this;
}

JsonWriter& JsonWriter::Raw(const char* key, const std::string& json) {
  Key(key);
  body_.append(json);
  return *this;
}

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool flag = false;
  std::string text;  // a string's bytes, or a number as written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;
};

namespace {

// Recursive descent over one document, with a depth bound so that a hostile
// body cannot exhaust the stack.
class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool ParseDocument(JsonValue* out) {
    SkipSpace();
    if (!ParseValue(out, 0)) return false;
    SkipSpace();
    return Fail(p_ == end_, "text after the JSON value");
  }

  const std::string& error() const { return error_; }

 private:
  static constexpr int kMaxDepth = 64;

  bool Fail(bool ok, const char* what) {
    if (!ok && error_.empty()) error_ = what;
    return ok;
  }

  void SkipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool Literal(const char* word) {
    for (const char* w = word; *w != '\0'; ++w, ++p_) {
      if (p_ == end_ || *p_ != *w) return Fail(false, "not valid JSON");
    }
    return true;
  }

  bool ParseValue(JsonValue* out, int depth) {
    if (!Fail(depth < kMaxDepth, "JSON nested too deeply") || !Fail(p_ < end_, "not valid JSON")) return false;
    switch (*p_) {
      case '{': return ParseObject(out, depth);
      case '[': return ParseArray(out, depth);
      case '"': out->kind = JsonValue::Kind::kString; return ParseString(&out->text);
      case 't': out->kind = JsonValue::Kind::kBool; out->flag = true; return Literal("true");
      case 'f': out->kind = JsonValue::Kind::kBool; return Literal("false");
      case 'n': return Literal("null");
      default: out->kind = JsonValue::Kind::kNumber; return ParseNumber(&out->text);
    }
  }

  bool ParseObject(JsonValue* out, int depth) {
    out->kind = JsonValue::Kind::kObject;
    ++p_;
    SkipSpace();
    if (p_ < end_ && *p_ == '}') return ++p_, true;
    while (true) {
      std::string key;
      if (!Fail(p_ < end_ && *p_ == '"', "an object key is not a string") || !ParseString(&key)) return false;
      SkipSpace();
      if (!Fail(p_ < end_ && *p_ == ':', "not valid JSON")) return false;
      ++p_;
      SkipSpace();
      out->members.emplace_back(std::move(key), JsonValue());
      if (!ParseValue(&out->members.back().second, depth + 1)) return false;
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        SkipSpace();
        continue;
      }
      if (!Fail(p_ < end_ && *p_ == '}', "not valid JSON")) return false;
      ++p_;
      return Fail(!HasRepeatedKey(out->members), "a key is repeated");
    }
  }

  // A repeated key would be read one way here and another way by other readers.
  static bool HasRepeatedKey(const std::vector<std::pair<std::string, JsonValue>>& members) {
    std::vector<std::string_view> keys;
    keys.reserve(members.size());
    for (const auto& member : members) keys.emplace_back(member.first);
    std::sort(keys.begin(), keys.end());
    return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
  }

  bool ParseArray(JsonValue* out, int depth) {
    out->kind = JsonValue::Kind::kArray;
    ++p_;
    SkipSpace();
    if (p_ < end_ && *p_ == ']') return ++p_, true;
    while (true) {
      out->items.emplace_back();
      if (!ParseValue(&out->items.back(), depth + 1)) return false;
      SkipSpace();
      if (p_ < end_ && *p_ == ',') {
        ++p_;
        SkipSpace();
        continue;
      }
      if (!Fail(p_ < end_ && *p_ == ']', "not valid JSON")) return false;
      return ++p_, true;
    }
  }

  bool ParseNumber(std::string* out) {
    const char* start = p_;
    auto digits = [&] {
      const char* first = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      return p_ > first;
    };
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ < end_ && *p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return Fail(false, "not valid JSON");
    }
    if (p_ < end_ && *p_ == '.' && (++p_, !digits())) return Fail(false, "not valid JSON");
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return Fail(false, "not valid JSON");
    }
    out->assign(start, p_);
    return true;
  }

  bool Hex4(unsigned* value) {
    *value = 0;
    for (int i = 0; i < 4; ++i, ++p_) {
      if (p_ == end_) return Fail(false, "not valid JSON");
      char c = *p_;
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return Fail(false, "a bad \\u escape");
      *value = *value * 16 + static_cast<unsigned>(digit);
    }
    return true;
  }

  static void AppendUtf8(std::string* out, unsigned code) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  bool ParseString(std::string* out) {
    ++p_;  // the opening quote
    while (true) {
      const char* run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
      out->append(run, p_);
      if (!Fail(p_ < end_, "an unterminated string")) return false;
      if (*p_ == '"') return ++p_, true;
      if (!Fail(*p_ == '\\', "a control character in a string")) return false;
      if (!Fail(++p_ < end_, "an unterminated string")) return false;
      char escape = *p_++;
      switch (escape) {
        case '"': case '\\': case '/': out->push_back(escape); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(&code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (!Fail(end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u', "a lone high surrogate")) return false;
            p_ += 2;
            if (!Hex4(&low)) return false;
            if (!Fail(low >= 0xDC00 && low <= 0xDFFF, "a lone high surrogate")) return false;
            AppendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            // A lone low surrogate carries one byte that is not part of valid UTF-8.
            if (!Fail(code >= 0xDC80 && code <= 0xDCFF, "a lone low surrogate below \\udc80")) return false;
            out->push_back(static_cast<char>(code - 0xDC00));
          } else {
            AppendUtf8(out, code);
          }
          break;
        }
        default:
          return Fail(false, "a bad escape in a string");
      }
    }
  }

  const char* p_;
  const char* end_;
  std::string error_;
};

Status WrongType(const char* key, const char* expected) {
  return Status::BadRequest(std::string("field \"") + key + "\" must be " + expected);
}

}  // namespace

bool ParseDecimal(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return false;
    number = number * 10 + digit;
  }
  *out = number;
  return true;
}

JsonObject::JsonObject() = default;
JsonObject::~JsonObject() = default;
JsonObject::JsonObject(JsonObject&&) noexcept = default;
JsonObject& JsonObject::operator=(JsonObject&&) noexcept = default;

Status JsonObject::Parse(const std::string& text, JsonObject* out) {
  auto document = std::make_shared<JsonValue>();
  JsonParser parser(text);
  if (!parser.ParseDocument(document.get())) return Status::BadRequest("body is not valid JSON: " + parser.error());
  if (document->kind != JsonValue::Kind::kObject) return Status::BadRequest("body is not a JSON object");
  out->object_ = document.get();
  out->document_ = std::move(document);
  return Status::Ok();
}

const JsonValue* JsonObject::Find(const char* key) const {
  if (object_ == nullptr) return nullptr;
  for (const auto& member : object_->members) {
    if (member.first == key) return member.second.kind == JsonValue::Kind::kNull ? nullptr : &member.second;
  }
  return nullptr;
}

bool JsonObject::Has(const char* key) const { return Find(key) != nullptr; }

bool JsonObject::Contains(const char* key) const {
  if (object_ == nullptr) return false;
  for (const auto& member : object_->members) {
    if (member.first == key) return true;
  }
  return false;
}

Status JsonObject::OnlyKeys(std::initializer_list<const char*> allowed) const {
  if (object_ == nullptr) return Status::Ok();
  for (const auto& member : object_->members) {
    bool known = false;
    for (const char* key : allowed) known = known || member.first == key;
    if (!known) return Status::BadRequest("unknown field " + member.first);
  }
  return Status::Ok();
}

Status JsonObject::GetString(const char* key, std::optional<std::string>* out) const {
  out->reset();
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  if (value->kind != JsonValue::Kind::kString) return WrongType(key, "a string");
  *out = value->text;
  return Status::Ok();
}

Status JsonObject::GetUint(const char* key, std::optional<uint64_t>* out) const {
  out->reset();
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  uint64_t number = 0;
  if ((value->kind != JsonValue::Kind::kNumber && value->kind != JsonValue::Kind::kString) ||
      !ParseDecimal(value->text, &number)) {
    return WrongType(key, "a 64-bit unsigned integer or its decimal string");
  }
  *out = number;
  return Status::Ok();
}

Status JsonObject::GetDouble(const char* key, std::optional<double>* out) const {
  out->reset();
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  if (value->kind != JsonValue::Kind::kNumber) return WrongType(key, "a number");
  *out = std::strtod(value->text.c_str(), nullptr);
  return Status::Ok();
}

Status JsonObject::GetBool(const char* key, std::optional<bool>* out) const {
  out->reset();
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  if (value->kind != JsonValue::Kind::kBool) return WrongType(key, "true or false");
  *out = value->flag;
  return Status::Ok();
}

Status JsonObject::GetObject(const char* key, std::optional<JsonObject>* out) const {
  out->reset();
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  if (value->kind != JsonValue::Kind::kObject) return WrongType(key, "an object");
  out->emplace();
  (*out)->document_ = document_;
  (*out)->object_ = value;
  return Status::Ok();
}

Status JsonObject::ForEachObject(const char* key, const std::function<Status(const JsonObject&)>& visit) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) return Status::Ok();
  if (value->kind != JsonValue::Kind::kArray) return WrongType(key, "an array");
  for (const JsonValue& item : value->items) {
    if (item.kind != JsonValue::Kind::kObject) return WrongType(key, "an array of objects");
    JsonObject child;
    child.document_ = document_;
    child.object_ = &item;
    Status status = visit(child);
    if (!status.ok()) return status;
  }
  return Status::Ok();
}

}  // namespace clustersim
