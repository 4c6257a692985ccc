#include "JsonDocumentParser.h"

#include <cstring>

#include "HttpTransport.h"

namespace Qumulo {

static_assert(kReceivePadding >= simdjson::SIMDJSON_PADDING, "the receive buffer must leave the parser its padding");

JsonDocumentParser::JsonDocumentParser() = default;

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when the byte there starts none.
size_t ValidSequenceLength(const unsigned char* text, size_t size, size_t i) {
  const unsigned char lead = text[i];
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > size) return 0;
  if (text[i + 1] < low || text[i + 1] > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (text[i + k] < 0x80 || text[i + k] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

simdjson::error_code JsonDocumentParser::Iterate(const std::string& body, simdjson::ondemand::document& document) {
  m_bytesEscaped = false;
  simdjson::error_code error;
  if (body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING) {
    error = m_parser.iterate(body.data(), body.size(), body.capacity()).get(document);
  } else {
    error = IterateCopy(body.data(), body.size(), document);
  }
  if (error != simdjson::UTF8_ERROR) return error;

  const unsigned char* text = reinterpret_cast<const unsigned char*>(body.data());
  m_escaped.clear();
  m_escaped.reserve(body.size() + body.size() / 8);
  for (size_t i = 0; i < body.size();) {
    const size_t length = ValidSequenceLength(text, body.size(), i);
    if (length > 0) {
      m_escaped.append(body, i, length);
      i += length;
    } else {
      // U+10FF00 + byte, in UTF-8.
      const unsigned char byte = text[i++];
      m_escaped += static_cast<char>(0xF4);
      m_escaped += static_cast<char>(0x8F);
      m_escaped += static_cast<char>(0xBC + (byte >> 6));
      m_escaped += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  m_bytesEscaped = true;
  return IterateCopy(m_escaped.data(), m_escaped.size(), document);
}

simdjson::error_code JsonDocumentParser::IterateCopy(const char* data, size_t size,
                                                     simdjson::ondemand::document& document) {
  const size_t needed = size + simdjson::SIMDJSON_PADDING;
  if (m_paddedCapacity < needed) {
    m_padded.reset(new char[needed]);
    m_paddedCapacity = needed;
  }
  std::memcpy(m_padded.get(), data, size);
  std::memset(m_padded.get() + size, 0, simdjson::SIMDJSON_PADDING);
  return m_parser.iterate(m_padded.get(), size, m_paddedCapacity).get(document);
}

void JsonDocumentParser::RestoreBytes(std::string& text) {
  size_t out = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
    if (i + 4 <= text.size() && p[0] == 0xF4 && p[1] == 0x8F && p[2] >= 0xBC && p[2] <= 0xBF && p[3] >= 0x80 &&
        p[3] <= 0xBF) {
      text[out++] = static_cast<char>(((p[2] - 0xBC) << 6) | (p[3] & 0x3F));
      i += 4;
    } else {
      text[out++] = text[i++];
    }
  }
  text.resize(out);
}

}  // namespace Qumulo
