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

TEST(ChangeStoreTest, BehavesAsAListAcrossBlocksWhileItemsComeAndGo) {
  std::mt19937 random(14);
  CChangeStore store;
  std::deque<Qumulo::CSnapshotDiffInfo> model;
  const int32_t types[] = {0, 1, 2, 7, -1};
  size_t serial = 0, mostMapped = 0;
  // Rounds that append more than they take fill several blocks; the last rounds drain the store.
  for (int round = 0; round < 40; ++round) {
    const size_t appends = round < 30 ? random() % 6000 : 0;
    for (size_t i = 0; i < appends; ++i) {
      // Mostly path-like lengths, now and then an empty path or one larger than a whole block.
      const size_t roll = random() % 20000;
      const size_t length = roll == 0 ? 0 : roll == 1 ? (size_t{5} << 20) : 40 + roll % 300;
      std::string path = "/fs/" + std::to_string(serial++) + "/";
      path.resize(std::max(length, path.size()), 'x');
      if (length == 0) path.clear();
      model.push_back(Diff(path, types[random() % 5], random() % 2 == 0));
      store.Append(model.back());
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
  const std::string path(200, 'p');
  for (int i = 0; i < 40000; ++i) store.Append(Diff(path, 2, false));  // about four blocks
  const size_t full = store.MappedBytes();
  EXPECT_LT(full, 40000u * (path.size() + 8) * 5 / 4);
  for (int i = 0; i < 36000; ++i) store.PopFront();  // the items of three blocks and more
  EXPECT_LE(store.MappedBytes(), full / 4);
  store.clear();
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.MappedBytes(), 0u);
  store.Append(Diff("/again", 0, true));  // usable after clearing
  EXPECT_EQ(Describe(store.Front()), "0 dir /again");
}

}  // namespace
