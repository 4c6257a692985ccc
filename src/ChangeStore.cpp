#include "ChangeStore.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

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

}  // namespace

CChangeStore::~CChangeStore() { clear(); }

void CChangeStore::Release(Block& block) noexcept { ::munmap(block.base, block.bytes); }

CChangeStore::Block& CChangeStore::BlockWithRoom(size_t restLength) {
  const size_t needed = sizeof(Record) + restLength;
  if (!m_blocks.empty()) {
    Block& last = m_blocks.back();
    if (last.textStart - last.count * sizeof(Record) >= needed) return last;
  }
  const size_t bytes = needed <= kBlockBytes ? kBlockBytes : (needed + kPageBytes - 1) / kPageBytes * kPageBytes;
  Block block{MapBlock(bytes), bytes, 0, 0, bytes, bytes};
  try {
    m_blocks.push_back(block);
  } catch (...) {
    Release(block);
    throw;
  }
  m_mappedBytes += bytes;
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

void CChangeStore::DecodeFront() noexcept {
  if (m_frontDecoded) return;
  const Block& block = m_blocks.front();
  const Record& record = reinterpret_cast<const Record*>(block.base)[block.head];
  const size_t rest = record.lengthAndKind >> 3;
  // Within the room Append reserved: neither call allocates.
  m_front.resize(record.sharedLength);
  m_front.append(block.base + block.readEnd - rest, rest);
  m_frontDecoded = true;
}

CChangeStore::Item CChangeStore::Front() noexcept {
  DecodeFront();
  const Block& block = m_blocks.front();
  const uint32_t packed = reinterpret_cast<const Record*>(block.base)[block.head].lengthAndKind;
  const uint32_t kind = packed & 3u;
  const int32_t changeType = kind == kKindOther ? Qumulo::kSnapshotChangeUnknown : static_cast<int32_t>(kind);
  return Item{m_front.data(), m_front.size(), changeType, (packed & 4u) != 0};
}

void CChangeStore::PopFront() noexcept {
  // The next item is told apart from this one, so this one must have been rebuilt.
  DecodeFront();
  m_frontDecoded = false;
  Block& block = m_blocks.front();
  block.readEnd -= reinterpret_cast<const Record*>(block.base)[block.head].lengthAndKind >> 3;
  --m_size;
  if (++block.head < block.count) return;
  m_mappedBytes -= block.bytes;
  Release(block);
  m_blocks.pop_front();
}

void CChangeStore::TruncateTo(size_t count) noexcept {
  if (count >= m_size) return;
  if (count == 0) return clear();
  while (m_size > count) {
    Block& block = m_blocks.back();
    const Record& record = reinterpret_cast<const Record*>(block.base)[--block.count];
    block.textStart += record.lengthAndKind >> 3;
    --m_size;
    if (block.count == block.head) {
      m_mappedBytes -= block.bytes;
      Release(block);
      m_blocks.pop_back();
    }
  }
  // The next item is then kept whole instead of told apart from a path no longer held.
  m_lastAppended.clear();
}

void CChangeStore::clear() noexcept {
  for (Block& block : m_blocks) Release(block);
  m_blocks.clear();
  m_size = 0;
  m_mappedBytes = 0;
  m_lastAppended.clear();
  m_front.clear();
  m_frontDecoded = false;
}
