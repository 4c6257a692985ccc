// Serving a difference page by page. A RenderedDiff holds every entry's JSON
// once, back to back in one buffer with an offset table, so that a page is a
// copy of one slice. DiffCache computes each (older, newer) pair once; callers
// asking for the same pair meanwhile wait for that one computation. It keeps
// pairs within a memory budget, forgetting the least recently used first; the
// pair built last stays even when it alone is larger.
// RenderedDiff is immutable once built; DiffCache is thread-safe.
#ifndef CLUSTERSIM_DIFF_PAGES_H_
#define CLUSTERSIM_DIFF_PAGES_H_

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "clustersim/diff_engine.h"
#include "clustersim/status.h"

namespace clustersim {

class RenderedDiff {
 public:
  RenderedDiff() { offsets_.push_back(0); }

  // Entries added from now on carry the bytes of a name that are not UTF-8 raw, not escaped.
  void set_raw_names(bool raw) { raw_names_ = raw; }

  void Add(const DiffEntry& entry);
  // Room for `entries` entries of about `bytes_each` bytes, to avoid regrowing.
  void Reserve(size_t entries, size_t bytes_each);
  size_t size() const { return offsets_.size() - 1; }
  size_t bytes() const { return buffer_.size(); }
  // What it holds in memory, offsets included.
  size_t memory() const { return buffer_.capacity() + offsets_.capacity() * sizeof(uint64_t); }
  // Appends entries [begin, end) as comma-separated JSON objects.
  void AppendSlice(size_t begin, size_t end, std::string* out) const;

 private:
  std::string buffer_;             // "{...},{...}," : each entry followed by a comma
  std::vector<uint64_t> offsets_;  // start of each entry, then the end
  bool raw_names_ = false;
};

// The opaque next-page token: it names the pair and the first entry to serve.
std::string MakePageToken(uint64_t older, uint64_t newer, size_t index);
// 400 unless `token` came from this pair and points inside a list of `size` entries.
Status ParsePageToken(const std::string& token, uint64_t older, uint64_t newer, size_t size, size_t* index);

class DiffCache {
 public:
  using Builder = std::function<Status(RenderedDiff*)>;

  // One pair of 2 million entries takes about 260 MB.
  static constexpr size_t kDefaultBudgetBytes = size_t{256} << 20;

  explicit DiffCache(size_t budget_bytes = kDefaultBudgetBytes) : budget_(budget_bytes) {}

  // Returns the pair's rendered difference, running `build` when it is not cached.
  Status Get(uint64_t older, uint64_t newer, const Builder& build, std::shared_ptr<const RenderedDiff>* out);
  // Forgets every pair that involves `snapshot_id`.
  void Forget(uint64_t snapshot_id);
  void Clear();

 private:
  struct Slot {
    std::mutex build_mutex;
    std::shared_ptr<const RenderedDiff> diff;
    size_t bytes = 0;    // counted once built; guarded by mutex_
    bool listed = true;  // false once evicted or forgotten; guarded by mutex_
  };
  using Key = std::pair<uint64_t, uint64_t>;

  void UnlistLocked(Slot* slot);

  const size_t budget_;
  std::mutex mutex_;
  size_t bytes_ = 0;  // of the listed slots
  std::list<std::pair<Key, std::shared_ptr<Slot>>> slots_;  // most recently used first
};

}  // namespace clustersim

#endif  // CLUSTERSIM_DIFF_PAGES_H_
