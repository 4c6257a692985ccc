#include "clustersim/diff_pages.h"

#include "clustersim/json.h"

namespace clustersim {

void RenderedDiff::Add(const DiffEntry& entry) {
  // No type: a directory is a path that ends with "/".
  buffer_.append("{\"op\":\"");
  buffer_.append(ChangeOpName(entry.op));
  buffer_.append("\",\"path\":");
  AppendJsonString(&buffer_, entry.path, raw_names_);
  buffer_.append("},");
  offsets_.push_back(buffer_.size());
}

void RenderedDiff::Reserve(size_t entries, size_t bytes_each) {
  offsets_.reserve(offsets_.size() + entries);
  buffer_.reserve(buffer_.size() + entries * bytes_each);
}

void RenderedDiff::AppendSlice(size_t begin, size_t end, std::string* out) const {
  if (begin >= end || end > size()) return;
  // Leave out the comma after the last entry of the slice.
  out->append(buffer_, offsets_[begin], offsets_[end] - offsets_[begin] - 1);
}

std::string MakePageToken(uint64_t older, uint64_t newer, size_t index) {
  return "p1." + std::to_string(older) + "." + std::to_string(newer) + "." + std::to_string(index);
}

Status ParsePageToken(const std::string& token, uint64_t older, uint64_t newer, size_t size, size_t* index) {
  const std::string prefix = "p1." + std::to_string(older) + "." + std::to_string(newer) + ".";
  uint64_t value = 0;
  if (token.compare(0, prefix.size(), prefix) != 0 || !ParseDecimal(token.substr(prefix.size()), &value) ||
      value == 0 || value >= size) {
    return Status::BadRequest("bad page token");
  }
  *index = static_cast<size_t>(value);
  return Status::Ok();
}

namespace {

// A slot's own share, so that many empty differences count too.
constexpr size_t kSlotBytes = 256;

}  // namespace

Status DiffCache::Get(uint64_t older, uint64_t newer, const Builder& build,
                      std::shared_ptr<const RenderedDiff>* out) {
  const Key key(older, newer);
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      if (it->first == key) {
        slot = it->second;
        slots_.splice(slots_.begin(), slots_, it);
        break;
      }
    }
    if (!slot) {
      slot = std::make_shared<Slot>();
      slots_.emplace_front(key, slot);
    }
  }
  std::lock_guard<std::mutex> build_lock(slot->build_mutex);
  if (!slot->diff) {
    auto diff = std::make_shared<RenderedDiff>();
    Status status = build(diff.get());
    if (!status.ok()) return status;  // not cached: the next request tries again
    slot->diff = std::move(diff);
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot->listed) {
      slot->bytes = slot->diff->memory() + kSlotBytes;
      bytes_ += slot->bytes;
      // Oldest first; the one just built stays, or its next page would build it again.
      for (auto it = slots_.end(); bytes_ > budget_ && it != slots_.begin();) {
        --it;
        if (it->second == slot || it->second->bytes == 0) continue;
        UnlistLocked(it->second.get());
        it = slots_.erase(it);
      }
    }
  }
  *out = slot->diff;
  return Status::Ok();
}

void DiffCache::UnlistLocked(Slot* slot) {
  bytes_ -= slot->bytes;
  slot->bytes = 0;
  slot->listed = false;
}

void DiffCache::Forget(uint64_t snapshot_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_.remove_if([this, snapshot_id](const std::pair<Key, std::shared_ptr<Slot>>& entry) {
    if (entry.first.first != snapshot_id && entry.first.second != snapshot_id) return false;
    UnlistLocked(entry.second.get());
    return true;
  });
}

void DiffCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : slots_) UnlistLocked(entry.second.get());
  slots_.clear();
}

}  // namespace clustersim
