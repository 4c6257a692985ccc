// The packed change list, in memory and spilled to disk, against a plain list of the same records.

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <deque>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ChangeStore.h"
#include "snaptest/temp_dir.h"

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

constexpr size_t kBlock = size_t{2} << 20;

// Descriptors of this process open on a file in `directory`: the spill file, which must have no
// name and be its owner's only.
size_t SpillFilesIn(const std::string& directory) {
  size_t found = 0;
  DIR* fds = ::opendir("/proc/self/fd");
  while (const dirent* entry = fds != nullptr ? ::readdir(fds) : nullptr) {
    const std::string fd = "/proc/self/fd/" + std::string(entry->d_name);
    char target[4096];
    const ssize_t length = ::readlink(fd.c_str(), target, sizeof(target));
    if (length <= 0 || std::string(target, length).compare(0, directory.size() + 1, directory + "/") != 0) continue;
    ++found;
    struct stat file {};
    EXPECT_EQ(::stat(fd.c_str(), &file), 0);
    EXPECT_EQ(file.st_nlink, 0u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
  }
  if (fds != nullptr) ::closedir(fds);
  return found;
}

// The store against a plain list while items come and go, in memory only, across the spill
// threshold, and with every block but the one being filled on file. Some rounds are taken back
// with Rewind, as a failed comparison is, after earlier rounds left items behind.
class ChangeStoreModelTest : public ::testing::TestWithParam<size_t> {};

TEST_P(ChangeStoreModelTest, BehavesAsAListWhileItemsComeAndGo) {
  snaptest::TempDir spillDir("spill");
  Qumulo::ChangeSpillOptions spill;
  spill.directory = spillDir.path();
  spill.thresholdBytes = GetParam();
  std::mt19937 random(14);
  CChangeStore store(spill);
  std::deque<Qumulo::CSnapshotDiffInfo> model;
  const int32_t types[] = {0, 1, 2, 7, -1};
  const std::string kNone;
  size_t serial = 0, mostMapped = 0, mostSpilled = 0;
  // Rounds that append more than they take fill several blocks; the last rounds drain the store.
  for (int round = 0; round < 40; ++round) {
    const bool rewound = round % 7 == 3;
    const CChangeStore::Checkpoint checkpoint = store.Mark();
    const size_t kept = model.size();
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
        case 4: path.assign(random() % 200 == 0 ? kBlock + 100 : 40, 'x'); break;
        default:
          path = "/fs/area_" + std::to_string(serial / 100) + "/item_" + std::to_string(serial);
          path.resize(path.size() + random() % 200, 'a' + random() % 26);
      }
      ++serial;
      model.push_back(Diff(path, types[random() % 5], random() % 2 == 0));
      store.Append(model.back());
    }
    mostMapped = std::max(mostMapped, store.MappedBytes());
    mostSpilled = std::max(mostSpilled, store.SpilledBytes());
    ASSERT_EQ(SpillFilesIn(spillDir.path()), store.SpilledBytes() > 0 ? 1u : 0u);
    if (rewound) {
      store.Rewind(checkpoint);
      model.resize(kept);
    }
    const size_t takes = round < 30 ? random() % 5000 : model.size();
    for (size_t i = 0; i < takes && !model.empty(); ++i) {
      ASSERT_EQ(Describe(store.Front()), Describe(model.front())) << "item " << i << " of round " << round;
      store.PopFront();
      model.pop_front();
    }
    ASSERT_EQ(store.size(), model.size());
    ASSERT_EQ(store.empty(), model.empty());
  }
  EXPECT_GT(mostMapped + mostSpilled, size_t{8} << 20);  // the rounds did span several blocks
  if (GetParam() < mostMapped + mostSpilled) {
    EXPECT_GT(mostSpilled, 0u);
    // The blocks within the threshold, the one being filled, the one kept for a rewind and the
    // read-back buffer, any of them possibly a path longer than a block.
    EXPECT_LE(mostMapped, GetParam() + 3 * (kBlock + kBlock + 4096));
  } else {
    EXPECT_EQ(mostSpilled, 0u);
  }
  EXPECT_EQ(store.MappedBytes(), 0u);  // every block went back as it drained
  EXPECT_EQ(store.SpilledBytes(), 0u);
  EXPECT_EQ(SpillFilesIn(spillDir.path()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, ChangeStoreModelTest,
                         ::testing::Values(SIZE_MAX, size_t{6} << 20, size_t{0}));

// A spill that cannot be written leaves the store as it was and no file behind; the directory is
// named and the bytes counted, for the comparison's error.
TEST(ChangeStoreTest, AFailedSpillLeavesTheStoreAsItWasAndNoFile) {
  snaptest::TempDir spillDir("spill");
  struct Case {
    const char* what;
    std::string directory;
    rlim_t fileSizeLimit;
    int error;
  };
  const Case cases[] = {{"missing directory", spillDir.Sub("missing"), RLIM_INFINITY, ENOENT},
                        {"file size limit", spillDir.path(), 3 * kBlock, EFBIG}};
  struct rlimit limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const sighandler_t previousHandler = std::signal(SIGXFSZ, SIG_IGN);  // EFBIG rather than the signal
  for (const Case& c : cases) {
    Qumulo::ChangeSpillOptions spill;
    spill.directory = c.directory;
    spill.thresholdBytes = 0;
    CChangeStore store(spill);
    struct rlimit small = limit;
    small.rlim_cur = c.fileSizeLimit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    size_t appended = 0;
    try {
      for (;; ++appended) store.Append(Diff("/fs/" + std::to_string(appended) + std::string(1000, 'p'), 0, false));
    } catch (const CChangeStore::SpillFailure& failure) {
      EXPECT_EQ(failure.directory(), c.directory) << c.what;
      EXPECT_EQ(failure.error(), c.error) << c.what;
      EXPECT_GT(failure.bytesNeeded(), c.error == EFBIG ? c.fileSizeLimit : kBlock / 2) << c.what;
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(store.size(), appended) << c.what;
    // The blocks written before the limit stay readable.
    EXPECT_EQ(store.SpilledBytes() > 0, c.error == EFBIG) << c.what;
    for (size_t i = 0; i < appended; ++i, store.PopFront()) {
      ASSERT_EQ(Describe(store.Front()), "0 file /fs/" + std::to_string(i) + std::string(1000, 'p')) << c.what;
    }
    EXPECT_EQ(SpillFilesIn(spillDir.path()), 0u) << c.what;
  }
  std::signal(SIGXFSZ, previousHandler);
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
