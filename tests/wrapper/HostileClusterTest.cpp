// The wrapper against a cluster that answers as a hostile or broken one would: answers too large
// to hold and a page link that leads back to itself. Each must end in a clear error, never in an
// exhausted heap, a crash or an endless comparison.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ErrorCodes.h"
#include "HttpTransport.h"
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
