#ifndef KWQUMULOSDKWRAPPER_JSONDOCUMENTPARSER_H
#define KWQUMULOSDKWRAPPER_JSONDOCUMENTPARSER_H

#include <simdjson.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Qumulo {

// Starts on-demand simdjson documents over response bodies. The parser reads a few bytes past the
// end of its input: a body that already has that much spare capacity (the transport's receive
// buffer does) is parsed in place, any other is first copied into a padded buffer that is kept and
// reused. A body that is not valid UTF-8 only because of raw bytes inside its strings is parsed
// with those bytes marked (MarkRawBytes). Not thread-safe; a document lives until the next Iterate.
class JsonDocumentParser {
 public:
  JsonDocumentParser();
  JsonDocumentParser(const JsonDocumentParser&) = delete;
  JsonDocumentParser& operator=(const JsonDocumentParser&) = delete;

  simdjson::error_code Iterate(const std::string& body, simdjson::ondemand::document& document);

  // One past the last byte of the current document's text: raw strings are scanned no further.
  const char* End() const { return m_end; }
  // The current document's strings carry raw bytes as \xHH marks.
  bool RawMarked() const { return m_rawMarked; }

 private:
  simdjson::error_code IterateCopy(const char* data, size_t size, simdjson::ondemand::document& document);

  simdjson::ondemand::parser m_parser;
  std::unique_ptr<char[]> m_padded;
  size_t m_paddedCapacity = 0;
  const char* m_end = nullptr;
  bool m_rawMarked = false;
  std::string m_marked;
};

}  // namespace Qumulo

#endif
