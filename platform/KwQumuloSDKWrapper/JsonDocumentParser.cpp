#include "JsonDocumentParser.h"

#include <cstring>

#include "HttpTransport.h"
#include "WireText.h"

namespace Qumulo {

static_assert(kReceivePadding >= simdjson::SIMDJSON_PADDING, "the receive buffer must leave the parser its padding");

JsonDocumentParser::JsonDocumentParser() = default;

simdjson::error_code JsonDocumentParser::Iterate(const std::string& body, simdjson::ondemand::document& document) {
  m_rawMarked = false;
  simdjson::error_code error;
  if (body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING) {
    m_end = body.data() + body.size();
    error = m_parser.iterate(body.data(), body.size(), body.capacity()).get(document);
  } else {
    error = IterateCopy(body.data(), body.size(), document);
  }
  if (error != simdjson::UTF8_ERROR || !MarkRawBytes(body, m_marked)) return error;
  m_rawMarked = true;
  return IterateCopy(m_marked.data(), m_marked.size(), document);
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
  m_end = m_padded.get() + size;
  return m_parser.iterate(m_padded.get(), size, m_paddedCapacity).get(document);
}

}  // namespace Qumulo
