#ifndef SRC_CHANGESTORE_H
#define SRC_CHANGESTORE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "QumuloRecords.h"

// The snap client's pending change items, oldest first. Each path is kept as the part that differs
// from the path before it, packed into large blocks that also hold an 8-byte record per item, so
// that a change list costs less than its path text; a block goes back to the system as soon as its
// last item has been taken. Not thread-safe.
class CChangeStore {
 public:
  // The front item; the path stays valid until the next call of Front or PopFront.
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
  // Bytes held from the system for blocks, for measuring.
  size_t MappedBytes() const { return m_mappedBytes; }

  // Appends a copy of the record; throws std::bad_alloc (or std::length_error for a path too long
  // to record) and then leaves the store as it was.
  void Append(const Qumulo::CSnapshotDiffInfo& diff);
  // Drops the items appended last until `count` remain; nothing when there are no more than that.
  void TruncateTo(size_t count) noexcept;
  // Requires !empty().
  Item Front() noexcept;
  // Requires !empty().
  void PopFront() noexcept;
  void clear() noexcept;

 private:
  struct Record {
    uint32_t sharedLength;   // leading bytes the same as the previous item's path
    uint32_t lengthAndKind;  // length of the rest << 3 | directory flag << 2 | change kind
  };
  struct Block {
    char* base;
    size_t bytes;
    uint32_t count;     // records written, from the block's start
    uint32_t head;      // records already taken
    size_t textStart;   // the rests of the paths are written downwards from the block's end
    size_t readEnd;     // end of the front item's rest
  };

  static void Release(Block& block) noexcept;
  Block& BlockWithRoom(size_t restLength);
  void DecodeFront() noexcept;

  std::deque<Block> m_blocks;
  size_t m_size = 0;
  size_t m_mappedBytes = 0;
  // The last appended path, and the front item's path as far as it has been rebuilt. Both keep room
  // for the longest path appended, so that rebuilding a path never allocates.
  std::string m_lastAppended;
  std::string m_front;
  bool m_frontDecoded = false;
};

#endif
