#include "JsonDocumentParser.h"

#include <cstring>

#include "HttpTransport.h"

namespace Qumulo {

static_assert(kReceivePadding >= simdjson::SIMDJSON_PADDING, "the receive buffer must leave the parser its padding");

JsonDocumentParser::JsonDocumentParser() = default;

simdjson::error_code JsonDocumentParser::Iterate(const std::string& body, simdjson::ondemand::document& document) {
  if (body.capacity() - body.size() >= simdjson::SIMDJSON_PADDING) {
    return m_parser.iterate(body.data(), body.size(), body.capacity()).get(document);
  }
  const size_t needed = body.size() + simdjson::SIMDJSON_PADDING;
  if (m_paddedCapacity < needed) {
    m_padded.reset(new char[needed]);
    m_paddedCapacity = needed;
  }
  std::memcpy(m_padded.get(), body.data(), body.size());
  std::memset(m_padded.get() + body.size(), 0, simdjson::SIMDJSON_PADDING);
  return m_parser.iterate(m_padded.get(), body.size(), m_paddedCapacity).get(document);
}

}  // namespace Qumulo
