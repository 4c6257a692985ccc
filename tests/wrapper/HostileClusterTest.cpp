// The wrapper against a cluster that answers as a hostile or broken one would: answers too large
// to hold and a page link that leads back to itself. Each must end in a clear error, never in an
// exhausted heap, a crash or an endless comparison.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ErrorCodes.h"
#include "HostileCluster.h"
#include "WrapperClient.h"

namespace Qumulo {
namespace {

using wrappertest::ErrorMessages;

// Sends `total` bytes of blanks in 64 KiB pieces, or fewer once the client stops reading.
bool SendBlanks(size_t offset, size_t total, httplib::DataSink& sink, std::atomic<size_t>* sent) {
  if (offset >= total) return false;
  static const std::string kPiece(64 * 1024, ' ');
  if (!sink.write(kPiece.data(), kPiece.size())) return false;
  *sent += kPiece.size();
  return true;
}

class HostileClusterTest : public ::testing::Test {
 protected:
  using Client = wrappertest::WrapperClient;

  Client Connected(size_t maxResponseBytes = TransportOptions().maxResponseBytes) {
    TransportOptions options;
    options.caFile = cluster_.ca_path();
    options.backoffMillis = 1;
    options.lowSpeedTimeSeconds = 1;
    options.maxResponseBytes = maxResponseBytes;
    Client client(options);
    CQiError result = client.connection->Connect(cluster_.url(), "admin", "pw");
    EXPECT_FALSE(result.IsError()) << result.ToString();
    return client;
  }

  wrappertest::HostileCluster cluster_;
};

TEST_F(HostileClusterTest, AnswersLargerThanTheLimitAreRefused) {
  std::atomic<size_t> sent{0};
  ASSERT_TRUE(cluster_.Start([&](const httplib::Request& request, httplib::Response& response) {
    if (request.path == "/v2/nfs/exports/" || request.path == "/huge") {
      // Announces 4,000,000,000 bytes; sends at most 1 MiB of them.
      response.set_content_provider(4000000000u, "application/json",
                                    [&](size_t offset, size_t, httplib::DataSink& sink) {
                                      return SendBlanks(offset, 1 << 20, sink, &sent);
                                    });
    } else if (request.path == "/v3/snapshots/") {
      // Chunked without end, bounded here at 64 MiB.
      response.set_chunked_content_provider("application/json", [&](size_t offset, httplib::DataSink& sink) {
        if (SendBlanks(offset, 64 << 20, sink, &sent)) return true;
        sink.done();
        return true;
      });
    } else {
      response.set_content(R"({"entries": [], "paging": {"next": "/huge"}})", "application/json");
    }
  }));

  // The announced length alone is refused, within the default limit.
  Client client = Connected();
  std::list<CNFSExportEntry> exports;
  CQiError announced = client.shares->GetNFSExports(exports);
  EXPECT_EQ(announced.Win32Code(), kErrorInvalidData) << announced.ToString();
  EXPECT_NE(ErrorMessages(announced).find("larger than the limit of 268435456 bytes"), std::string::npos)
      << announced.ToString();

  // A page fetched ahead hands its failure to the call that asks for it.
  std::list<CSnapshotDiffInfo> page;
  std::string next;
  ASSERT_FALSE(client.snapshots->GetSnapshotDiff(1, 2, page, next, "").IsError());
  ASSERT_EQ(next, "/huge");
  CQiError ahead = client.snapshots->GetSnapshotDiff(1, 2, page, next, "/huge");
  EXPECT_NE(ErrorMessages(ahead).find("larger than the limit"), std::string::npos) << ahead.ToString();

  // An endless body stops being read at the limit.
  Client small = Connected(1 << 20);
  sent = 0;
  std::list<CSnapshotInfo> listed;
  CQiError endless = small.snapshots->ListSnapshots(listed);
  EXPECT_EQ(endless.Win32Code(), kErrorInvalidData) << endless.ToString();
  EXPECT_NE(ErrorMessages(endless).find("larger than the limit of 1048576 bytes"), std::string::npos)
      << endless.ToString();
  EXPECT_LT(sent.load(), size_t(32) << 20);
}

// A link that leads back to a page already fetched, directly or through others, would make the
// comparison fetch without end; it fails the page that carries it, and a new comparison starts afresh.
TEST_F(HostileClusterTest, PageLinkBackToAFetchedPageFails) {
  ASSERT_TRUE(cluster_.Start([](const httplib::Request& request, httplib::Response& response) {
    const std::string next = request.path == "/loop/1" ? "/loop/2" : "/loop/1";
    response.set_content(R"({"entries": [{"op": "MODIFY", "path": "/fs/a"}], "paging": {"next": ")" + next + "\"}}",
                         "application/json");
  }));
  Client client = Connected();
  for (int comparison = 0; comparison < 2; ++comparison) {
    std::list<CSnapshotDiffInfo> items;
    std::string token;
    CQiError failure;
    for (int call = 0; call < 10 && !failure.IsError(); ++call) {
      std::string next;
      failure = client.snapshots->GetSnapshotDiff(1, 2, items, next, token);
      token = next;
    }
    EXPECT_EQ(failure.Win32Code(), kErrorInvalidData) << "still paging after 10 pages";
    EXPECT_NE(ErrorMessages(failure).find("leads back to a page"), std::string::npos) << failure.ToString();
    EXPECT_EQ(items.size(), 2u) << "the first page and /loop/1; /loop/2 links back to /loop/1";
  }
}

// A creation that timed out may still be carried out after the listing that does not show it.
TEST_F(HostileClusterTest, TimedOutCreationMayStillHaveBeenMade) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  ASSERT_TRUE(cluster_.Start([&](const httplib::Request& request, httplib::Response& response) {
    if (request.method == "POST") {
      std::unique_lock<std::mutex> lock(mutex);
      released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    }
    response.set_content(R"({"entries": []})", "application/json");
  }));
  Client client = Connected();
  CSnapshotInfo snapshot;
  CQiError result = client.snapshots->CreateSnapshot("slow", 5, snapshot, "");
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  released.notify_all();
  EXPECT_EQ(result.Win32Code(), kErrorTimeout) << result.ToString();
  EXPECT_NE(ErrorMessages(result).find("was perhaps created"), std::string::npos) << result.ToString();
}

}  // namespace
}  // namespace Qumulo
