#include "ChangeStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

namespace {

// Large enough that a list of millions of items takes few mappings, and the size of a huge page, so
// that filling a block costs one page fault instead of one per 4 KiB.
constexpr size_t kBlockBytes = size_t{2} << 20;
constexpr size_t kPageBytes = 4096;
constexpr uint32_t kKindOther = 3;
constexpr size_t kMaxPathLength = (size_t{1} << 29) - 1;

char* MapOrThrow(size_t bytes) {
  void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  return static_cast<char*>(mapped);
}

// Mappings of their own rather than the heap: the heap keeps blocks freed below its top, and the
// list's memory is to go back to the system as the agent pulls.
char* MapBlock(size_t bytes) {
  if (bytes != kBlockBytes) return MapOrThrow(bytes);
  // Map twice the size and trim to an aligned block, which the kernel can back with one huge page.
  char* raw = MapOrThrow(2 * bytes);
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + bytes - 1) & ~(uintptr_t{bytes} - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t end = aligned + bytes;
  if (start + 2 * bytes > end) ::munmap(reinterpret_cast<void*>(end), start + 2 * bytes - end);
  char* block = reinterpret_cast<char*>(aligned);
  ::madvise(block, bytes, MADV_HUGEPAGE);  // a hint: without it the block still works
  return block;
}

uint32_t KindOf(int32_t changeType) {
  switch (changeType) {
    case Qumulo::kSnapshotChangeCreated:
    case Qumulo::kSnapshotChangeDeleted:
    case Qumulo::kSnapshotChangeModified:
      return static_cast<uint32_t>(changeType);
    default:
      return kKindOther;
  }
}

// How many leading bytes the two have in common, compared eight at a time.
size_t SharedPrefix(const std::string& a, const std::string& b) {
  const size_t limit = std::min(a.size(), b.size());
  size_t at = 0;
  for (; at + 8 <= limit; at += 8) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + at, 8);
    std::memcpy(&y, b.data() + at, 8);
    if (x != y) return at + static_cast<size_t>(__builtin_ctzll(x ^ y)) / 8;
  }
  while (at < limit && a[at] == b[at]) ++at;
  return at;
}

bool WriteAll(int fd, const char* data, size_t bytes, off_t at) {
  while (bytes > 0) {
    const ssize_t written = ::pwrite(fd, data, bytes, at);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    bytes -= static_cast<size_t>(written);
    at += written;
  }
  return true;
}

bool ReadAll(int fd, char* data, size_t bytes, off_t at) {
  while (bytes > 0) {
    const ssize_t got = ::pread(fd, data, bytes, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;  // the file is shorter than what was written to it
      return false;
    }
    data += got;
    bytes -= static_cast<size_t>(got);
    at += got;
  }
  return true;
}

// Drops what lies beyond `end`. A failure only leaves the space taken until the file is closed:
// the store never reads past its own end.
void TruncateTo(int fd, off_t end) noexcept {
  if (::ftruncate(fd, end) != 0) return;
}

std::string SpillText(const std::string& directory, unsigned long long bytesNeeded, int error) {
  return "cannot write the change list to [" + directory + "]: " + std::strerror(error) + " (" +
         std::to_string(bytesNeeded) + " bytes needed so far)";
}

}  // namespace

CChangeStore::SpillFailure::SpillFailure(const std::string& directory, unsigned long long bytesNeeded, int error)
    : std::runtime_error(SpillText(directory, bytesNeeded, error)),
      m_directory(directory),
      m_bytesNeeded(bytesNeeded),
      m_error(error) {}

CChangeStore::CChangeStore() : CChangeStore(Qumulo::ChangeSpillOptions::Default()) {}

CChangeStore::CChangeStore(const Qumulo::ChangeSpillOptions& spill)
    : m_spillDirectory(spill.ResolvedDirectory()), m_threshold(spill.thresholdBytes) {}

CChangeStore::~CChangeStore() { clear(); }

void CChangeStore::ReleaseMemory(Block& block) noexcept {
  if (block.base != nullptr && block.base != m_readBuffer) {
    ::munmap(block.base, block.bytes);
    m_mappedBytes -= block.bytes;
  }
  block.base = nullptr;
}

void CChangeStore::ReleaseFile(Block& block, bool punch) noexcept {
  if (block.fileOffset < 0) return;
  const size_t length = block.FileBytes();
  // Gives the disk space back at once; a file system without holes keeps it until the file closes.
  if (punch) ::fallocate(m_spillFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, block.fileOffset, length);
  block.fileOffset = -1;
  m_spilledBytes -= length;
  if (--m_spilledBlocks == 0) CloseSpillFile();
}

void CChangeStore::OpenSpillFile() {
  const char* directory = m_spillDirectory.c_str();
  // Nameless from the start where the file system allows it; otherwise named for an instant only.
  int fd = ::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string name = m_spillDirectory + "/.snap-changes.XXXXXX";
    fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0) {
    throw SpillFailure(m_spillDirectory, m_spilledBytes + m_blocks.back().FileBytes(), errno);
  }
  m_spillFd = fd;
  m_fileEnd = 0;
}

void CChangeStore::CloseSpillFile() noexcept {
  if (m_spillFd >= 0) ::close(m_spillFd);
  m_spillFd = -1;
  m_fileEnd = 0;
  m_spilledBytes = 0;
  m_spilledBlocks = 0;
  if (m_readBuffer != nullptr) {
    ::munmap(m_readBuffer, m_readBufferBytes);
    m_mappedBytes -= m_readBufferBytes;
    m_readBuffer = nullptr;
    m_readBufferBytes = 0;
  }
}

// Writes the last block to the end of the spill file; its memory stays mapped for the caller.
void CChangeStore::SpillLast() {
  Block& last = m_blocks.back();
  if (m_readBufferBytes < last.bytes) {
    char* buffer = MapBlock(last.bytes);
    if (m_readBuffer != nullptr) {
      Block& front = m_blocks.front();
      if (front.base == m_readBuffer) {
        std::memcpy(buffer, m_readBuffer, m_readBufferBytes);
        front.base = buffer;
      }
      ::munmap(m_readBuffer, m_readBufferBytes);
      m_mappedBytes -= m_readBufferBytes;
    }
    m_readBuffer = buffer;
    m_readBufferBytes = last.bytes;
    m_mappedBytes += last.bytes;
  }
  try {
    if (m_spillFd < 0) OpenSpillFile();
  } catch (...) {
    if (m_spilledBlocks == 0) CloseSpillFile();
    throw;
  }
  // Only the used parts: the records, then the path text.
  const size_t records = last.count * sizeof(Record);
  if (!WriteAll(m_spillFd, last.base, records, m_fileEnd) ||
      !WriteAll(m_spillFd, last.base + last.textStart, last.bytes - last.textStart, m_fileEnd + records)) {
    const int error = errno;
    const unsigned long long needed = m_spilledBytes + last.FileBytes();
    if (m_spilledBlocks == 0) {
      CloseSpillFile();
    } else {
      TruncateTo(m_spillFd, m_fileEnd);
    }
    throw SpillFailure(m_spillDirectory, needed, error);
  }
  last.fileOffset = m_fileEnd;
  m_fileEnd += static_cast<off_t>(last.FileBytes());
  m_spilledBytes += last.FileBytes();
  ++m_spilledBlocks;
}

CChangeStore::Block& CChangeStore::BlockWithRoom(size_t restLength) {
  const size_t needed = sizeof(Record) + restLength;
  const bool hasLast = !m_blocks.empty() && m_blocks.back().base != nullptr && m_blocks.back().fileOffset < 0;
  if (hasLast) {
    Block& last = m_blocks.back();
    if (last.textStart - last.count * sizeof(Record) >= needed) return last;
  }
  const size_t bytes = needed <= kBlockBytes ? kBlockBytes : (needed + kPageBytes - 1) / kPageBytes * kPageBytes;
  char* memory = nullptr;
  if (hasLast && !m_blocks.back().keepInMemory && m_mappedBytes + bytes > m_threshold) {
    // Over the threshold the full block goes to the file, and its memory, already faulted in,
    // takes the next items.
    Block& last = m_blocks.back();
    SpillLast();
    if (last.bytes == bytes) {
      memory = last.base;
    } else {
      ::munmap(last.base, last.bytes);
      m_mappedBytes -= last.bytes;
    }
    last.base = nullptr;
  }
  if (memory == nullptr) {
    memory = MapBlock(bytes);
    m_mappedBytes += bytes;
  }
  Block block{memory, bytes, 0, 0, bytes, bytes, -1, false};
  try {
    m_blocks.push_back(block);
  } catch (...) {
    ::munmap(memory, bytes);
    m_mappedBytes -= bytes;
    throw;
  }
  return m_blocks.back();
}

void CChangeStore::Append(const Qumulo::CSnapshotDiffInfo& diff) {
  const std::string& path = diff.m_path;
  const size_t length = path.size();
  if (length > kMaxPathLength) throw std::length_error("change path too long to record");
  // Everything that can fail comes before the store changes.
  if (m_lastAppended.capacity() < length) m_lastAppended.reserve(length);
  if (m_front.capacity() < length) m_front.reserve(length);
  const size_t shared = SharedPrefix(m_lastAppended, path);
  const size_t rest = length - shared;
  Block& block = BlockWithRoom(rest);

  block.textStart -= rest;
  if (rest > 0) std::memcpy(block.base + block.textStart, path.data() + shared, rest);
  Record& record = reinterpret_cast<Record*>(block.base)[block.count++];
  record.sharedLength = static_cast<uint32_t>(shared);
  record.lengthAndKind = static_cast<uint32_t>(rest << 3) | (diff.m_isDirectory ? 4u : 0u) | KindOf(diff.m_changeType);
  m_lastAppended.replace(shared, std::string::npos, path, shared, rest);
  ++m_size;
}

void CChangeStore::LoadFront() {
  Block& front = m_blocks.front();
  if (front.base != nullptr) return;
  const size_t records = front.count * sizeof(Record);
  if (!ReadAll(m_spillFd, m_readBuffer, records, front.fileOffset) ||
      !ReadAll(m_spillFd, m_readBuffer + front.textStart, front.bytes - front.textStart,
               front.fileOffset + static_cast<off_t>(records))) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot read the change list back from [" + m_spillDirectory + "]");
  }
  front.base = m_readBuffer;
}

void CChangeStore::DecodeFront() {
  if (m_frontDecoded) return;
  LoadFront();
  const Block& block = m_blocks.front();
  const Record& record = reinterpret_cast<const Record*>(block.base)[block.head];
  const size_t rest = record.lengthAndKind >> 3;
  // Within the room Append reserved: neither call allocates.
  m_front.resize(record.sharedLength);
  m_front.append(block.base + block.readEnd - rest, rest);
  m_frontDecoded = true;
}

CChangeStore::Item CChangeStore::Front() {
  DecodeFront();
  const Block& block = m_blocks.front();
  const uint32_t packed = reinterpret_cast<const Record*>(block.base)[block.head].lengthAndKind;
  const uint32_t kind = packed & 3u;
  const int32_t changeType = kind == kKindOther ? Qumulo::kSnapshotChangeUnknown : static_cast<int32_t>(kind);
  return Item{m_front.data(), m_front.size(), changeType, (packed & 4u) != 0};
}

void CChangeStore::PopFront() {
  // The next item is told apart from this one, so this one must have been rebuilt.
  DecodeFront();
  m_frontDecoded = false;
  Block& block = m_blocks.front();
  block.readEnd -= reinterpret_cast<const Record*>(block.base)[block.head].lengthAndKind >> 3;
  --m_size;
  if (++block.head < block.count) return;
  ReleaseMemory(block);
  ReleaseFile(block, true);
  m_blocks.pop_front();
}

void CChangeStore::clear() noexcept {
  for (Block& block : m_blocks) ReleaseMemory(block);
  m_blocks.clear();
  CloseSpillFile();
  m_size = 0;
  m_lastAppended.clear();
  m_front.clear();
  m_frontDecoded = false;
}

CChangeStore::Checkpoint CChangeStore::Mark() {
  Checkpoint checkpoint;
  checkpoint.lastAppended = m_lastAppended;
  checkpoint.blocks = m_blocks.size();
  if (!m_blocks.empty()) {
    Block& last = m_blocks.back();
    last.keepInMemory = true;
    checkpoint.lastCount = last.count;
    checkpoint.lastTextStart = last.textStart;
  }
  checkpoint.size = m_size;
  checkpoint.fileEnd = m_fileEnd;
  return checkpoint;
}

void CChangeStore::Rewind(const Checkpoint& checkpoint) noexcept {
  while (m_blocks.size() > checkpoint.blocks) {
    Block& block = m_blocks.back();
    ReleaseMemory(block);
    ReleaseFile(block, false);
    m_blocks.pop_back();
  }
  // The block that was last at the mark is still in memory (or, never appended to since, on file).
  if (!m_blocks.empty()) {
    m_blocks.back().count = checkpoint.lastCount;
    m_blocks.back().textStart = checkpoint.lastTextStart;
  }
  m_size = checkpoint.size;
  m_lastAppended.assign(checkpoint.lastAppended);  // within the room it already has
  if (m_spillFd >= 0 && m_fileEnd > checkpoint.fileEnd) {
    // The rewound blocks are the newest, at the file's end.
    TruncateTo(m_spillFd, checkpoint.fileEnd);
    m_fileEnd = checkpoint.fileEnd;
  }
  if (m_size == 0) m_frontDecoded = false;
}
