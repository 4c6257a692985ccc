#ifndef SRC_CHANGESTORE_H
#define SRC_CHANGESTORE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>

#include "ChangeSpillOptions.h"
#include "QumuloRecords.h"

// The snap client's pending change items, oldest first. Each path is kept as the part that differs
// from the path before it, packed into large blocks that also hold an 8-byte record per item, so
// that a change list costs less than its path text; a block goes back to the system as soon as its
// last item has been taken. Beyond the spill threshold, further blocks are written to a private
// file (no name, mode 0600) in the spill directory and read back one at a time as items are taken,
// so that memory stays near the threshold whatever the list's size. Not thread-safe.
class CChangeStore {
 public:
  // The front item; the path stays valid until the next call of Front or PopFront.
  struct Item {
    const char* path;
    size_t length;
    int32_t changeType;  // created, deleted or modified; kSnapshotChangeUnknown for any other value
    bool isDirectory;
  };

  // Writing a block to the spill file failed (or the file could not be made). The store is as it
  // was before the append that threw.
  class SpillFailure : public std::runtime_error {
   public:
    SpillFailure(const std::string& directory, unsigned long long bytesNeeded, int error);
    const std::string& directory() const { return m_directory; }
    unsigned long long bytesNeeded() const { return m_bytesNeeded; }  // on file, this block included
    int error() const { return m_error; }                               // errno

   private:
    std::string m_directory;
    unsigned long long m_bytesNeeded;
    int m_error;
  };

  // What Rewind goes back to: the store as it was when Mark was called.
  struct Checkpoint {
    size_t blocks = 0;
    uint32_t lastCount = 0;
    size_t lastTextStart = 0;
    size_t size = 0;
    off_t fileEnd = 0;
    std::string lastAppended;
  };

  // With the process-wide spill setting.
  CChangeStore();
  explicit CChangeStore(const Qumulo::ChangeSpillOptions& spill);
  ~CChangeStore();
  CChangeStore(const CChangeStore&) = delete;
  CChangeStore& operator=(const CChangeStore&) = delete;

  bool empty() const { return m_size == 0; }
  size_t size() const { return m_size; }
  // Bytes held from the system for blocks and the read-back buffer, for measuring.
  size_t MappedBytes() const { return m_mappedBytes; }
  // Bytes of blocks held in the spill file; the file exists exactly while this is not 0.
  size_t SpilledBytes() const { return m_spilledBytes; }

  // Appends a copy of the record; throws std::bad_alloc, std::length_error for a path too long to
  // record, or SpillFailure, and then leaves the store as it was.
  void Append(const Qumulo::CSnapshotDiffInfo& diff);
  // Front and PopFront require !empty(). Reading a spilled block back can fail (an I/O error of
  // the disk); they then throw std::system_error and the item stays pending.
  Item Front();
  void PopFront();
  void clear() noexcept;

  // Items appended after Mark can be taken back with Rewind, as long as none is taken from the
  // store in between. Mark allocates (a copy of the last path) and may throw std::bad_alloc.
  Checkpoint Mark();
  void Rewind(const Checkpoint& checkpoint) noexcept;

 private:
  struct Record {
    uint32_t sharedLength;   // leading bytes the same as the previous item's path
    uint32_t lengthAndKind;  // length of the rest << 3 | directory flag << 2 | change kind
  };
  struct Block {
    char* base;          // nullptr while the block lies only in the spill file
    size_t bytes;
    uint32_t count;      // records written, from the block's start
    uint32_t head;       // records already taken
    size_t textStart;    // the rests of the paths are written downwards from the block's end
    size_t readEnd;      // end of the front item's rest
    off_t fileOffset;    // where the block lies in the spill file; -1 when it was never written
    bool keepInMemory;   // the last block at a Mark: Rewind cuts it back in place
    size_t FileBytes() const { return count * sizeof(Record) + (bytes - textStart); }
  };

  void ReleaseMemory(Block& block) noexcept;
  void ReleaseFile(Block& block, bool punch) noexcept;
  Block& BlockWithRoom(size_t restLength);
  void SpillLast();
  void OpenSpillFile();
  void CloseSpillFile() noexcept;
  void LoadFront();
  void DecodeFront();

  std::deque<Block> m_blocks;
  size_t m_size = 0;
  size_t m_mappedBytes = 0;
  // The last appended path, and the front item's path as far as it has been rebuilt. Both keep room
  // for the longest path appended, so that rebuilding a path never allocates.
  std::string m_lastAppended;
  std::string m_front;
  bool m_frontDecoded = false;

  std::string m_spillDirectory;
  size_t m_threshold;
  int m_spillFd = -1;
  off_t m_fileEnd = 0;
  size_t m_spilledBytes = 0;
  size_t m_spilledBlocks = 0;
  // A spilled block is read back into this buffer, made when the first block is spilled so that
  // taking items never needs fresh memory.
  char* m_readBuffer = nullptr;
  size_t m_readBufferBytes = 0;
};

#endif
