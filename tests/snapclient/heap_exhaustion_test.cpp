// The operations on a heap that fails: this program replaces the global allocation functions so that
// a test can make allocations fail on demand, and checks that every failure comes back as an error
// value (never as a success, never as an abort of the process), and that a change item whose
// handing over fails is not lost.

#include <cstdlib>
#include <functional>
#include <list>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "CapturingLogWriter.h"
#include "ContentMapper.h"
#include "FileShareAutoMount.h"
#include "TestableSnapClient.h"
#include "snaptest/temp_dir.h"

namespace {

// Allocations this thread may still make before they fail; negative: no limit. With
// t_failOnce the heap recovers after one refusal, otherwise it stays exhausted.
thread_local long t_allocationsLeft = -1;
thread_local bool t_failOnce = false;
thread_local long t_refused = 0;

void* Allocate(std::size_t size) {
  if (t_allocationsLeft == 0) {
    ++t_refused;
    if (t_failOnce) t_allocationsLeft = -1;
    throw std::bad_alloc();
  }
  if (t_allocationsLeft > 0) --t_allocationsLeft;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void* AllocateNothrow(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNothrow(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

const std::list<std::string> kNone;

// A client one job into its life: job 11 has run, job 12's client is connected and ready.
struct Job {
  snaptest::TempDir dir{"heap"};
  FakeCluster cluster;
  TestableSnapClient client;
  std::list<std::string> paths{"/am/srv/projects/p1", "/am/srv/projects/p2"};
  std::function<FileServerSnapshotCompareItem()> source;
  std::string comparedPath = "/am/srv/projects/p1";
  ContentMapperAPIPtr mapper = boost::make_shared<CContentMapper>();

  Job() {
    FileShareAutoMount::SetAutoMountRoot("/am");
    cluster.AddExport("/projects", "/fs/projects");
    cluster.directories["/fs/projects/p1/"] = 11;
    cluster.directories["/fs/projects/p2/"] = 22;
    cluster.AddSnapshot("kwsnap_1_2_3_11", 11);  // stale
    TestableSnapClient previous;
    previous.Connect(cluster, 1, 2, 11, 10);
    previous.m_useContentMapper = true;
    std::list<std::string> previousPaths = paths;
    EXPECT_FALSE(previous.ConfigureSnapshot(previousPaths, kNone, kNone).IsError());
    client.Connect(cluster, 1, 2, 12, 11);
    client.m_useContentMapper = true;
    client.m_snapMapFile = dir.Sub("snapmap.txt");
  }
  void Configure() { EXPECT_FALSE(client.ConfigureSnapshot(paths, kNone, kNone).IsError()); }
};

// Runs the operation once for every allocation it makes, that allocation failing (and, with
// failOnce false, every one after it), until a run completes without a refusal.
void FailEachAllocationIn(const std::function<void(Job&)>& prepare, const std::function<CQiError(Job&)>& run,
                          bool failOnce) {
  for (long allowed = 0;; ++allowed) {
    ASSERT_LT(allowed, 100000) << "the operation never completed";
    Job job;
    if (prepare) prepare(job);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "the job around the operation failed";
    t_refused = 0;
    t_failOnce = failOnce;
    t_allocationsLeft = allowed;
    const CQiError result = run(job);
    t_allocationsLeft = -1;
    if (t_refused == 0) {
      EXPECT_FALSE(result.IsError()) << result.ToString();
      EXPECT_GT(allowed, 0) << "no allocation was refused: is the replaced allocator in use?";
      return;
    }
    // A refused allocation is never a success. On a heap that stays exhausted the error has no
    // room for messages, but its code still says what happened.
    ASSERT_TRUE(result.IsError()) << "allocation " << allowed << " failed, yet the operation succeeded";
    ASSERT_EQ(result.Win32Code(), 14u) << "allocation " << allowed << ": " << result.ToString();
    if (failOnce) {
      EXPECT_FALSE(result.Messages().empty());
    }
  }
}

class HeapExhaustionTest : public ::testing::TestWithParam<bool> {};

TEST_P(HeapExhaustionTest, ConfigureSnapshotWithReconciliationAndCleanup) {
  FailEachAllocationIn(nullptr, [](Job& job) { return job.client.ConfigureSnapshot(job.paths, kNone, kNone); },
                       GetParam());
}

TEST_P(HeapExhaustionTest, CompareSnapshots) {
  const auto prepare = [](Job& job) {
    job.Configure();
    job.cluster.diffPages[""] = {{FakeCluster::Diff("/fs/projects/p1/a", Qumulo::kSnapshotChangeCreated, false)}, "t"};
    job.cluster.diffPages["t"] = {{FakeCluster::Diff("/fs/projects/p1/b", Qumulo::kSnapshotChangeDeleted, true)}, ""};
  };
  FailEachAllocationIn(
      // The arguments taken by value are the caller's: moved in, they need no memory here.
      prepare, [](Job& job) { return job.client.CompareSnapshots(std::move(job.comparedPath), std::string(), job.source); },
      GetParam());
}

TEST_P(HeapExhaustionTest, UpdateContentMapperPathsAndTheMapFile) {
  FailEachAllocationIn(&Job::Configure, [](Job& job) { return job.client.UpdateContentMapperPaths(job.mapper); },
                       GetParam());
}

// An item whose record cannot be built stays first in the list, and the agent sees the failure;
// the next pull hands the same item over.
TEST(PendingItemTest, AnItemThatCannotBeBuiltStaysPendingAndItsFailureReachesTheAgent) {
  Job job;
  job.Configure();
  job.cluster.diffPages[""] = {{FakeCluster::Diff("/fs/projects/p1/src/a.c", Qumulo::kSnapshotChangeModified, false),
                                FakeCluster::Diff("/fs/projects/p1/new/", Qumulo::kSnapshotChangeCreated, true)},
                               ""};
  ASSERT_FALSE(job.client.CompareSnapshots(job.comparedPath, "/l", job.source).IsError());
  ScopedLogCapture log(6);  // the optional lines are built too, so their allocations fail in turn

  // Fail the first allocation of a pull, then the second, and so on, until a pull gets through.
  std::vector<std::string> described;
  int failures = 0;
  for (long failAt = 0; described.size() < 2 && failAt < 100; ++failAt) {
    const size_t pending = job.client.m_diffList.size();
    t_failOnce = true;
    t_allocationsLeft = failAt;
    try {
      const FileServerSnapshotCompareItem item = job.source();
      t_allocationsLeft = -1;
      described.push_back(std::to_string(item.m_changeType) + (item.m_info.m_mode == 0x4000 ? " dir" : " file") +
                          (item.m_info.m_exists ? " exists" : "") +
                          (item.m_newDirectory ? " newdir " : " ") + item.m_path);
      failAt = -1;
    } catch (const std::bad_alloc&) {
      ++failures;
      ASSERT_EQ(job.client.m_diffList.size(), pending);
    }
  }
  t_allocationsLeft = -1;
  EXPECT_GT(failures, 4);
  EXPECT_EQ(described, (std::vector<std::string>{"2 file exists /am/srv/projects/p1/src/a.c",
                                                 "1 dir exists newdir /am/srv/projects/p1/new"}));
  EXPECT_EQ(job.source().m_changeType, kFileServerChangeEndOfList);
}

INSTANTIATE_TEST_SUITE_P(, HeapExhaustionTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "OneAllocationFails" : "HeapStaysExhausted";
                         });

}  // namespace
