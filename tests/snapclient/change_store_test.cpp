// The packed change list against a plain list of the same records.

#include <deque>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ChangeStore.h"

namespace {

Qumulo::CSnapshotDiffInfo Diff(std::string path, int32_t type, bool isDirectory) {
  Qumulo::CSnapshotDiffInfo diff;
  diff.m_path = std::move(path);
  diff.m_changeType = type;
  diff.m_isDirectory = isDirectory;
  return diff;
}

// The record as the store gives it back, other change types folded into "unknown".
std::string Describe(const CChangeStore::Item& item) {
  return std::to_string(item.changeType) + (item.isDirectory ? " dir " : " file ") + std::string(item.path, item.length);
}
std::string Describe(const Qumulo::CSnapshotDiffInfo& diff) {
  const bool known = diff.m_changeType >= 0 && diff.m_changeType <= 2;
  return std::to_string(known ? diff.m_changeType : -1) + (diff.m_isDirectory ? " dir " : " file ") + diff.m_path;
}

TEST(ChangeStoreTest, BehavesAsAListAcrossBlocksWhileItemsComeGoAndAreTakenBack) {
  std::mt19937 random(14);
  CChangeStore store;
  std::deque<Qumulo::CSnapshotDiffInfo> model;
  const int32_t types[] = {0, 1, 2, 7, -1};
  const std::string kNone;
  size_t serial = 0, mostMapped = 0;
  // Rounds that append more than they take fill several blocks; the last rounds drain the store.
  for (int round = 0; round < 40; ++round) {
    const size_t appends = round < 30 ? random() % 6000 : 0;
    for (size_t i = 0; i < appends; ++i) {
      // Paths are kept as their difference to the one before: mostly a sibling of it, now and then
      // the same path, a prefix or an extension of it, an empty path or one larger than a block.
      const std::string& previous = model.empty() ? kNone : model.back().m_path;
      std::string path;
      switch (random() % 50) {
        case 0: path = previous; break;
        case 1: path = previous.substr(0, previous.size() / 2); break;
        case 2: path = previous + "/deeper"; break;
        case 3: break;
        case 4: path.assign(random() % 400 == 0 ? (size_t{2} << 20) + 100 : 40, 'x'); break;
        default:
          path = "/fs/area_" + std::to_string(serial / 100) + "/item_" + std::to_string(serial);
          path.resize(path.size() + random() % 200, 'a' + random() % 26);
      }
      ++serial;
      model.push_back(Diff(path, types[random() % 5], random() % 2 == 0));
      store.Append(model.back());
    }
    // Now and then the newest items go again, as a refused comparison takes back its own.
    if (random() % 3 == 0) {
      const size_t keep = model.size() - std::min(model.size(), static_cast<size_t>(random() % (appends + 1)));
      store.TruncateTo(keep);
      model.resize(keep);
    }
    mostMapped = std::max(mostMapped, store.MappedBytes());
    const size_t takes = round < 30 ? random() % 5000 : model.size();
    for (size_t i = 0; i < takes && !model.empty(); ++i) {
      ASSERT_EQ(Describe(store.Front()), Describe(model.front())) << "item " << i << " of round " << round;
      store.PopFront();
      model.pop_front();
    }
    ASSERT_EQ(store.size(), model.size());
    ASSERT_EQ(store.empty(), model.empty());
  }
  EXPECT_GT(mostMapped, size_t{8} << 20);  // the rounds did span several blocks
  EXPECT_EQ(store.MappedBytes(), 0u);      // and every one went back as it drained
}

TEST(ChangeStoreTest, MemoryGoesBackBlockByBlockAsItemsAreTaken) {
  CChangeStore store;
  // Paths that differ from their first byte on, about four blocks of them.
  for (int i = 0; i < 40000; ++i) store.Append(Diff(std::to_string(i % 9 + 1) + std::string(199, 'p'), 2, false));
  const size_t full = store.MappedBytes();
  EXPECT_LT(full, 40000u * (200 + 8) * 5 / 4);
  for (int i = 0; i < 36000; ++i) store.PopFront();  // the items of three blocks and more
  EXPECT_LE(store.MappedBytes(), full / 4);
  store.clear();
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.MappedBytes(), 0u);
  store.Append(Diff("/again", 0, true));  // usable after clearing
  store.Append(Diff("/again/and", 1, false));
  EXPECT_EQ(Describe(store.Front()), "0 dir /again");
  store.PopFront();
  EXPECT_EQ(Describe(store.Front()), "1 file /again/and");
}

}  // namespace
