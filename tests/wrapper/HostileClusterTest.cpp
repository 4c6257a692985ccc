// The wrapper against a cluster that answers as a hostile or broken one would: answers too large
// to hold, differences without end, answers that drip, never end or ask to wait an hour. Each must
// end in a clear error within its bounds, never in an exhausted heap, a crash or an endless wait.
// Also the forms a real cluster may take: tenants, times before 1970, raw name bytes, no v3
// snapshot routes, a redirect.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogWriter.h"
#include "ErrorCodes.h"
#include "HttpTransport.h"
#include "snaptest/hostile_cluster.h"
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

  snaptest::HostileCluster cluster_;
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

// A difference that would never end fails the page that would carry it on: a link back to a page
// already fetched, directly or through others, and fresh links past the bounds of a comparison,
// full pages or empty ones. Empty pages that link on are still followed to the last one, and each
// comparison starts afresh.
TEST_F(HostileClusterTest, DifferencesThatWouldNeverEndFail) {
  ASSERT_TRUE(cluster_.Start([](const httplib::Request& request, httplib::Response& response) {
    // The first page of snapshot 2, 3, 4 or 5 starts /full/ (ten entries a page, without end),
    // /empty/ (none, without end), /ends/ (none, ends after 5) or /loop/ (one, 2 links back to 1).
    const size_t slash = request.path.rfind('/');
    const bool first = request.path.find("changes-since") != std::string::npos;
    const char* const starts[] = {"/full/", "/empty/", "/ends/", "/loop/"};
    const std::string route = first ? starts[request.path[14] - '2'] : request.path.substr(0, slash + 1);
    const int n = first ? 0 : std::stoi(request.path.substr(slash + 1));
    std::string entries;
    for (int i = 0; i < (route == "/full/" ? 10 : route == "/loop/" ? 1 : 0); ++i) {
      entries += std::string(i ? "," : "") + R"({"op":"MODIFY","path":"/fs/a"})";
    }
    const int next = route == "/loop/" && n == 2 ? 1 : n + 1;
    response.set_content("{\"entries\": [" + entries + "], \"paging\": {\"next\": \"" +
                             (route == "/ends/" && n == 5 ? "" : route + std::to_string(next)) + "\"}}",
                         "application/json");
  }));
  const struct {
    unsigned long newerId;
    uint64_t maxItems, maxPages;
    const char* failure;  // "" for none
    size_t items;
  } cases[] = {
      {2, 25, 1000, "runs past 25 entries; refused, so that it cannot run without end (raise "
                    "TransportOptions::maxDiffItems", 20},
      {3, 1000, 40, "runs past 40 pages; refused, so that it cannot run without end (raise "
                    "TransportOptions::maxDiffPages", 0},
      {4, 1000, 7, "", 0},
      {5, 1000, 1000, "leads back to a page of this difference already fetched", 2},  // the first and /loop/1
  };
  for (const auto& test : cases) {
    TransportOptions options;
    options.caFile = cluster_.ca_path();
    options.maxDiffItems = test.maxItems;
    options.maxDiffPages = test.maxPages;
    Client client(options);
    ASSERT_FALSE(client.connection->Connect(cluster_.url(), "admin", "pw").IsError());
    for (int comparison = 0; comparison < 2; ++comparison) {
      SCOPED_TRACE("snapshot " + std::to_string(test.newerId) + ", comparison " + std::to_string(comparison));
      std::list<CSnapshotDiffInfo> items;
      std::string token;
      CQiError failure;
      for (int call = 0; call < 2000 && !failure.IsError() && (call == 0 || !token.empty()); ++call) {
        std::string next;
        failure = client.snapshots->GetSnapshotDiff(1, test.newerId, items, next, token);
        token = next;
      }
      EXPECT_NE(ErrorMessages(failure).find(test.failure), std::string::npos) << failure.ToString();
      EXPECT_EQ(failure.Win32Code(), *test.failure ? kErrorInvalidData : 0u) << failure.ToString();
      EXPECT_EQ(items.size(), test.items);
    }
  }
}

// Nothing the cluster does holds a request past its deadline: not a drip below the stall limit, not
// a steady answer without end, not a Retry-After of an hour. A short Retry-After is heeded.
TEST_F(HostileClusterTest, EveryWaitEndsWithinItsBounds) {
  std::atomic<int> throttled{0};
  ASSERT_TRUE(cluster_.Start([&](const httplib::Request& request, httplib::Response& response) {
    if (request.path == "/v3/snapshots/" || request.path == "/v2/nfs/exports/") {
      // Two bytes a second (the listing), or 4 KiB a second (the exports), for at most 20 s.
      const bool drip = request.path == "/v3/snapshots/";
      response.set_chunked_content_provider("application/json", [drip](size_t offset, httplib::DataSink& sink) {
        static const std::string kPiece(1024, ' ');
        std::this_thread::sleep_for(std::chrono::milliseconds(drip ? 500 : 250));
        if (offset > (drip ? 40u : 80u * 1024) || !sink.write(kPiece.data(), drip ? 1 : kPiece.size())) sink.done();
        return true;
      });
    } else if (request.path == "/v1/files/5/info/attributes") {
      response.status = 503;
      response.set_header("Retry-After", throttled++ == 0 ? "1" : "3600");
      if (throttled > 2) {
        response.status = 200;
        response.set_content(R"({"id": "5", "path": "/fs/", "type": "FS_FILE_TYPE_DIRECTORY"})", "application/json");
      }
    }
  }));
  // One client cut off by its stall limit alone (1 KiB within 1 s), one by its deadline alone (3 s).
  auto connect = [&](long stallSeconds, long deadlineSeconds) {
    TransportOptions options;
    options.caFile = cluster_.ca_path();
    options.backoffMillis = 1;
    options.maxAttempts = 3;
    options.lowSpeedTimeSeconds = stallSeconds;
    options.requestTimeoutSeconds = deadlineSeconds;
    Client client(options);
    EXPECT_FALSE(client.connection->Connect(cluster_.url(), "admin", "pw").IsError());
    return client;
  };
  Client stalling = connect(1, 600);
  Client bounded = connect(60, 3);
  ScopedLogCapture log(6);
  using Clock = std::chrono::steady_clock;
  std::string texts;

  const Clock::time_point dripStart = Clock::now();
  std::list<CSnapshotInfo> listed;
  CQiError drip = stalling.snapshots->ListSnapshots(listed);
  texts += drip.ToString();
  EXPECT_EQ(drip.Win32Code(), kErrorTimeout) << drip.ToString();
  EXPECT_NE(ErrorMessages(drip).find("gave up after 3 attempts"), std::string::npos) << drip.ToString();
  EXPECT_LT(Clock::now() - dripStart, std::chrono::seconds(15)) << "the drip goes on for 20 s";

  const Clock::time_point steadyStart = Clock::now();
  std::list<CNFSExportEntry> exports;
  CQiError steady = bounded.shares->GetNFSExports(exports);
  texts += steady.ToString();
  EXPECT_EQ(steady.Win32Code(), kErrorTimeout) << steady.ToString();
  EXPECT_NE(ErrorMessages(steady).find("a request may take 3 s in all and must move 1024 bytes within every 60 s"),
            std::string::npos)
      << steady.ToString();
  EXPECT_LT(Clock::now() - steadyStart, std::chrono::seconds(8));

  // Retry-After 1 is waited out; Retry-After 3600 does not fit in the deadline and ends the request.
  const Clock::time_point throttleStart = Clock::now();
  CDirectoryEntry entry;
  CQiError throttle = bounded.files->GetFileAttributes("5", entry, 0);
  texts += throttle.ToString();
  EXPECT_GE(Clock::now() - throttleStart, std::chrono::seconds(1));
  EXPECT_LT(Clock::now() - throttleStart, std::chrono::seconds(8));
  EXPECT_EQ(throttle.Win32Code(), kErrorInternal) << throttle.ToString();
  EXPECT_NE(ErrorMessages(throttle).find("no time left for another try"), std::string::npos) << throttle.ToString();
  EXPECT_EQ(throttled.load(), 2);

  for (const std::string& text : {texts, log->AllText()}) {
    EXPECT_EQ(text.find("hostile-token"), std::string::npos) << text;
    EXPECT_EQ(text.find("Bearer"), std::string::npos) << text;
  }
}

// A real cluster as it may answer: exports of two tenants, times before 1970, raw name bytes next to
// escaped ones, no v3 snapshot routes (while a 404 for an unknown snapshot is no missing route), and
// a redirect taken as a call to log in again, once.
TEST_F(HostileClusterTest, RealClusterFormsAreRead) {
  std::mutex mutex;
  std::vector<std::string> asked;
  ASSERT_TRUE(cluster_.Start([&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      asked.push_back(request.method + " " + request.path);
    }
    const auto error = [&](int status, const std::string& errorClass) {
      response.status = status;
      response.set_content(R"({"error_class": ")" + errorClass + R"(", "description": "d"})", "application/json");
    };
    if (request.path == "/v2/nfs/exports/") {
      response.set_content(R"([{"id": "1", "export_path": "/p", "fs_path": "/fs/other", "tenant_id": 2},
                               {"id": "2", "export_path": "/p", "fs_path": "/fs/p", "tenant_id": 1}])",
                           "application/json");
    } else if (request.path.rfind("/v1/files/", 0) == 0) {
      response.set_content(R"({"id": "5", "path": "/fs/p/", "type": "FS_FILE_TYPE_DIRECTORY",
                               "modification_time": "1965-03-01T12:00:00.123456789-05:30"})",
                           "application/json");
    } else if (request.path == "/v3/snapshots/9") {
      error(404, "snapshot_not_found_error");
    } else if (request.path.rfind("/v3/", 0) == 0) {
      error(404, "http_not_found_error");
    } else if (request.path == "/v2/snapshots/") {
      response.set_content(R"({"id": 3, "name": "n", "directory_name": "3_n", "source_file_id": "5"})",
                           "application/json");
    } else if (request.path == "/v2/snapshots/3/changes-since/1") {
      response.set_content("{\"entries\": [{\"op\": \"CREATE\", \"path\": \"/fs/p/\xff.c\"}, "
                           "{\"op\": \"CREATE\", \"path\": \"/fs/p/\\udcfe.c\"}]}",
                           "application/json");
    } else if (request.path == "/moved-once") {
      std::lock_guard<std::mutex> lock(mutex);
      if (std::count(asked.begin(), asked.end(), "GET /moved-once") == 1) response.status = 307;
    } else {
      response.status = 307;
    }
  }));
  Client client = Connected();
  std::list<CNFSExportEntry> exports;
  ASSERT_FALSE(client.shares->GetNFSExports(exports).IsError());
  EXPECT_EQ(exports.front().m_tenantId, 2u);
  EXPECT_EQ(exports.back().m_tenantId, 1u);
  CDirectoryEntry entry;
  CQiError result = client.files->GetFileAttributes("/fs/p", entry, 0);
  ASSERT_FALSE(result.IsError()) << result.ToString();
  EXPECT_EQ(static_cast<int64_t>(entry.m_modificationTime), -152605800);

  EXPECT_FALSE(client.snapshots->DeleteSnapshot(9).IsError());
  CSnapshotInfo created;
  result = client.snapshots->CreateSnapshot("n", 5, created, "");
  ASSERT_FALSE(result.IsError()) << result.ToString();
  std::list<CSnapshotDiffInfo> page;
  std::string next;
  result = client.snapshots->GetSnapshotDiff(1, created.m_id, page, next, "");
  ASSERT_FALSE(result.IsError()) << result.ToString();
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(page.front().m_path, "/fs/p/\xff.c");
  EXPECT_EQ(page.back().m_path, "/fs/p/\xfe.c");
  EXPECT_TRUE(client.snapshots->DeleteSnapshot(3).IsError()) << "v2 now, which answers with a redirect";

  HttpResponse response;
  EXPECT_FALSE(client.connection->Send("GET", "/moved-once", "", true, response).IsError());
  CQiError moved = client.connection->Send("GET", "/moved", "", true, response);
  EXPECT_THAT(ErrorMessages(moved), ::testing::HasSubstr("GET /moved: Error 307 (redirected again after logging in"));
  EXPECT_EQ(asked, (std::vector<std::string>{"GET /v2/nfs/exports/", "GET /v1/files//fs/p/info/attributes",
                                             "DELETE /v3/snapshots/9", "POST /v3/snapshots/",
                                             "POST /v2/snapshots/", "GET /v2/snapshots/3/changes-since/1",
                                             "DELETE /v2/snapshots/3", "DELETE /v2/snapshots/3",
                                             "GET /v2/snapshots/3", "GET /v2/snapshots/3", "GET /moved-once",
                                             "GET /moved-once", "GET /moved", "GET /moved"}));
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
