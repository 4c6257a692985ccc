#include "ChangeStore.h"

#include <sys/mman.h>

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

}  // namespace

CChangeStore::~CChangeStore() { clear(); }

void CChangeStore::Release(Block& block) noexcept { ::munmap(block.base, block.bytes); }

CChangeStore::Block& CChangeStore::BlockWithRoom(size_t pathLength) {
  const size_t needed = sizeof(Record) + pathLength;
  if (!m_blocks.empty()) {
    Block& last = m_blocks.back();
    if (last.textStart - last.count * sizeof(Record) >= needed) return last;
  }
  const size_t bytes = needed <= kBlockBytes ? kBlockBytes : (needed + kPageBytes - 1) / kPageBytes * kPageBytes;
  Block block{MapBlock(bytes), bytes, 0, 0, bytes};
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
  const size_t length = diff.m_path.size();
  if (length > kMaxPathLength) throw std::length_error("change path too long to record");
  Block& block = BlockWithRoom(length);
  block.textStart -= length;
  if (length > 0) std::memcpy(block.base + block.textStart, diff.m_path.data(), length);
  Record& record = reinterpret_cast<Record*>(block.base)[block.count++];
  record.offset = static_cast<uint32_t>(block.textStart);
  record.lengthAndKind =
      static_cast<uint32_t>(length << 3) | (diff.m_isDirectory ? 4u : 0u) | KindOf(diff.m_changeType);
  ++m_size;
}

CChangeStore::Item CChangeStore::Front() const {
  const Block& block = m_blocks.front();
  const Record& record = reinterpret_cast<const Record*>(block.base)[block.head];
  const uint32_t kind = record.lengthAndKind & 3u;
  return Item{block.base + record.offset, record.lengthAndKind >> 3,
              kind == kKindOther ? Qumulo::kSnapshotChangeUnknown : static_cast<int32_t>(kind),
              (record.lengthAndKind & 4u) != 0};
}

void CChangeStore::PopFront() noexcept {
  Block& block = m_blocks.front();
  --m_size;
  if (++block.head < block.count) return;
  m_mappedBytes -= block.bytes;
  Release(block);
  m_blocks.pop_front();
}

void CChangeStore::clear() noexcept {
  for (Block& block : m_blocks) Release(block);
  m_blocks.clear();
  m_size = 0;
  m_mappedBytes = 0;
}
