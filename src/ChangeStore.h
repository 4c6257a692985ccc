#ifndef SRC_CHANGESTORE_H
#define SRC_CHANGESTORE_H

#include <cstddef>
#include <cstdint>
#include <deque>

#include "QumuloRecords.h"

// The snap client's pending change items, oldest first. Paths are packed into large blocks that
// also hold an 8-byte record per item, so that a change list costs little more than its path text;
// a block goes back to the system as soon as its last item has been taken. Not thread-safe.
class CChangeStore {
 public:
  // One pending item; the path points into the store and stays valid until that item is popped.
  struct Item {
    const char* path;
    size_t length;
    int32_t changeType;  // created, deleted or modified; kSnapshotChangeUnknown for any other value
    bool isDirectory;
  };

  CChangeStore() = default;
  ~CChangeStore();
  CChangeStore(const CChangeStore&) = delete;
  CChangeStore& operator=(const CChangeStore&) = delete;

  bool empty() const { return m_size == 0; }
  size_t size() const { return m_size; }
  // Bytes held from the system, for measuring.
  size_t MappedBytes() const { return m_mappedBytes; }

  // Appends a copy of the record; throws std::bad_alloc (or std::length_error for a path too long
  // to record) and then leaves the store as it was.
  void Append(const Qumulo::CSnapshotDiffInfo& diff);
  // Requires !empty().
  Item Front() const;
  // Requires !empty().
  void PopFront() noexcept;
  void clear() noexcept;

 private:
  struct Record {
    uint32_t offset;         // of the path within its block
    uint32_t lengthAndKind;  // path length << 3 | directory flag << 2 | change kind
  };
  struct Block {
    char* base;
    size_t bytes;
    uint32_t count;     // records written, from the block's start
    uint32_t head;      // records already taken
    size_t textStart;   // paths are written downwards from the block's end
  };

  static void Release(Block& block) noexcept;
  Block& BlockWithRoom(size_t pathLength);

  std::deque<Block> m_blocks;
  size_t m_size = 0;
  size_t m_mappedBytes = 0;
};

#endif
