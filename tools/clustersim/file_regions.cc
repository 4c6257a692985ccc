#include "clustersim/file_regions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace clustersim {

namespace {

// An open file of an image, or nothing when the file did not exist in that snapshot.
class ImageFile {
 public:
  ~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Open(const std::string& path) {
    if (path.empty()) return Status::Ok();
    fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return Status::Internal("cannot read " + path + ": " + std::strerror(errno));
    size_ = static_cast<uint64_t>(st.st_size);
    return Status::Ok();
  }

  uint64_t size() const { return size_; }

  // Reads [offset, offset + length) into `buffer`; what lies past the end reads as nothing.
  Status Read(uint64_t offset, uint64_t length, std::string* buffer) const {
    buffer->clear();
    if (fd_ < 0 || offset >= size_) return Status::Ok();
    buffer->resize(static_cast<size_t>(std::min(length, size_ - offset)));
    size_t done = 0;
    while (done < buffer->size()) {
      ssize_t n = ::pread(fd_, &(*buffer)[done], buffer->size() - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Status::Internal(std::string("cannot read an image file: ") + std::strerror(errno));
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    buffer->resize(done);
    return Status::Ok();
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

bool AllZero(const std::string& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

void Append(const char* kind, uint64_t offset, uint64_t size, std::vector<FileRegion>* out) {
  if (size == 0) return;
  if (!out->empty() && std::strcmp(out->back().kind, kind) == 0 && out->back().offset + out->back().size == offset) {
    out->back().size += size;
    return;
  }
  out->push_back({kind, offset, size});
}

}  // namespace

Status CompareFileRegions(const std::string& older, const std::string& newer, int version,
                          std::vector<FileRegion>* out) {
  out->clear();
  ImageFile old_file, new_file;
  Status status = old_file.Open(older);
  if (status.ok()) status = new_file.Open(newer);
  if (!status.ok()) return status;
  std::string old_bytes, new_bytes;
  uint64_t offset = 0;
  while (offset < new_file.size()) {
    // Chunks end at block boundaries and at the older file's end, so none is partly new.
    uint64_t end = std::min((offset / kRegionBlock + 1) * kRegionBlock, new_file.size());
    if (offset < old_file.size()) end = std::min(end, old_file.size());
    status = new_file.Read(offset, end - offset, &new_bytes);
    if (status.ok()) status = old_file.Read(offset, end - offset, &old_bytes);
    if (!status.ok()) return status;
    if (new_bytes != old_bytes) {
      if (version >= 3) {
        Append(offset >= old_file.size() ? "CREATE" : "MODIFY", offset, end - offset, out);
      } else {
        Append(AllZero(new_bytes) ? "FILE_REGION_HOLE" : "FILE_REGION_DATA", offset, end - offset, out);
      }
    }
    offset = end;
  }
  if (version >= 3 && old_file.size() > new_file.size()) {
    Append("DELETE", new_file.size(), old_file.size() - new_file.size(), out);
  }
  return Status::Ok();
}

}  // namespace clustersim
