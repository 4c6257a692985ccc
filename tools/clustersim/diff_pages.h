// Serving a difference page by page. A RenderedDiff holds every entry's JSON
// once, back to back in one buffer with an offset table, so that a page is a
// copy of one slice. DiffCache computes each (older, newer) pair once; callers
// asking for the same pair meanwhile wait for that one computation.
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

  explicit DiffCache(size_t capacity = 8) : capacity_(capacity) {}

  // Returns the pair's rendered difference, running `build` when it is not cached.
  Status Get(uint64_t older, uint64_t newer, const Builder& build, std::shared_ptr<const RenderedDiff>* out);
  // Forgets every pair that involves `snapshot_id`.
  void Forget(uint64_t snapshot_id);
  void Clear();

 private:
  struct Slot {
    std::mutex build_mutex;
    std::shared_ptr<const RenderedDiff> diff;
  };
  using Key = std::pair<uint64_t, uint64_t>;

  const size_t capacity_;
  std::mutex mutex_;
  std::list<std::pair<Key, std::shared_ptr<Slot>>> slots_;  // most recently used first
};

}  // namespace clustersim

#endif  // CLUSTERSIM_DIFF_PAGES_H_
