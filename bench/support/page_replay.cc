#include "page_replay.h"

#include <cstdint>

#include "FXErrorUtil.h"
#include "HttpTransport.h"

namespace bench {

namespace {

constexpr unsigned int kInvalidData = 13;     // ERROR_INVALID_DATA
constexpr unsigned int kNotSupported = 50;    // ERROR_NOT_SUPPORTED

FXCodeLocation Here(const char* function, int line) { return FXCodeLocation("bench", function, line); }

CQiError Failure(const char* function, int line, unsigned int code, const std::string& message) {
  return FXErrorUtil::ErrorWin32(Here(function, line), code, "%s", message.c_str());
}

}  // namespace

PageFileWriter::PageFileWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {}

PageFileWriter::~PageFileWriter() { Close(); }

bool PageFileWriter::Append(const std::string& body) {
  if (file_ == nullptr) return false;
  unsigned char header[8];
  uint64_t length = body.size();
  for (int i = 0; i < 8; ++i) header[i] = static_cast<unsigned char>(length >> (8 * i));
  ok_ = ok_ && std::fwrite(header, 1, 8, file_) == 8 && std::fwrite(body.data(), 1, body.size(), file_) == body.size();
  return ok_;
}

bool PageFileWriter::Close() {
  if (file_ == nullptr) return ok_;
  ok_ = std::fclose(file_) == 0 && ok_;
  file_ = nullptr;
  return ok_;
}

PageFileReader::PageFileReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}

PageFileReader::~PageFileReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PageFileReader::Next(std::string* body, std::string* error) {
  error->clear();
  if (file_ == nullptr) {
    *error = "the page file cannot be read";
    return false;
  }
  unsigned char header[8];
  size_t got = std::fread(header, 1, 8, file_);
  if (got == 0) return false;  // the end
  if (got != 8) {
    *error = "the page file ends inside a length";
    return false;
  }
  uint64_t length = 0;
  for (int i = 0; i < 8; ++i) length |= static_cast<uint64_t>(header[i]) << (8 * i);
  if (length > (uint64_t{1} << 32)) {
    *error = "the page file holds an implausible length";
    return false;
  }
  if (body->capacity() < length + Qumulo::kReceivePadding) body->reserve(length + Qumulo::kReceivePadding);
  body->resize(length);
  if (length > 0 && std::fread(&(*body)[0], 1, length, file_) != length) {
    *error = "the page file ends inside a page";
    return false;
  }
  return true;
}

long RecordDifference(Qumulo::CConnection& connection, unsigned long olderId, unsigned long newerId,
                      const std::string& pageFile, std::vector<std::string>* targets, std::string* error) {
  PageFileWriter writer(pageFile);
  if (!writer.ok()) {
    *error = "cannot write " + pageFile;
    return -1;
  }
  Qumulo::CParser parser;
  std::list<Qumulo::CSnapshotDiffInfo> page;
  std::string token;
  long entries = 0;
  const std::string first = "/v2/snapshots/" + std::to_string(newerId) + "/changes-since/" + std::to_string(olderId) +
                            "?limit=" + std::to_string(connection.Options().diffPageSize);
  do {
    // The next page's token is the cluster's link to it.
    const std::string target = token.empty() ? first : token;
    targets->push_back(target);
    Qumulo::HttpResponse response;
    CQiError result = connection.Send("GET", target, std::string(), true, response);
    if (!result.IsError()) result = parser.ParseDiffPage(response.Body(), "GET " + target, page, token);
    if (result.IsError()) {
      *error = result.ToString();
      return -1;
    }
    if (!writer.Append(response.Body())) {
      *error = "cannot write " + pageFile;
      return -1;
    }
    entries += static_cast<long>(page.size());
    page.clear();
  } while (!token.empty());
  if (!writer.Close()) {
    *error = "cannot write " + pageFile;
    return -1;
  }
  return entries;
}

ReplayedSnapshotQueries::ReplayedSnapshotQueries(const std::string& pageFile)
    : Qumulo::CSnapshotQueries(boost::shared_ptr<Qumulo::CConnection>(), boost::shared_ptr<Qumulo::CParser>()),
      reader_(pageFile) {}

CQiError ReplayedSnapshotQueries::GetSnapshotDiff(unsigned long, unsigned long,
                                                  std::list<Qumulo::CSnapshotDiffInfo>& page,
                                                  std::string& nextPageToken, std::string pageToken) {
  if (finished_ || pageToken != expectedToken_) {
    return Failure(__PRETTY_FUNCTION__, __LINE__, kInvalidData,
                   "page token [" + pageToken + "] asked for, [" + (finished_ ? "(none)" : expectedToken_) +
                       "] recorded");
  }
  std::string error;
  if (!reader_.Next(&body_, &error)) {
    return Failure(__PRETTY_FUNCTION__, __LINE__, kInvalidData,
                   error.empty() ? "the recording holds no more pages" : error);
  }
  CQiError result = parser_.ParseDiffPage(body_, "GET (recorded page)", page, nextPageToken);
  if (result.IsError()) return result.Push(Here(__PRETTY_FUNCTION__, __LINE__));
  expectedToken_ = nextPageToken;
  finished_ = nextPageToken.empty();
  return CQiError::Success();
}

CQiError ReplayedSnapshotQueries::CreateSnapshot(const std::string&, unsigned long, Qumulo::CSnapshotInfo&,
                                                 std::string) {
  return Failure(__PRETTY_FUNCTION__, __LINE__, kNotSupported, "a recording serves differences only");
}

CQiError ReplayedSnapshotQueries::ListSnapshots(std::list<Qumulo::CSnapshotInfo>&) {
  return Failure(__PRETTY_FUNCTION__, __LINE__, kNotSupported, "a recording serves differences only");
}

CQiError ReplayedSnapshotQueries::DeleteSnapshot(unsigned long) {
  return Failure(__PRETTY_FUNCTION__, __LINE__, kNotSupported, "a recording serves differences only");
}

}  // namespace bench
