// The emulator's behaviour that the snap client relies on, over real HTTPS
// with a client that verifies the emulator's CA.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "https_client.h"
#include "snaptest/embedded_cluster.h"

namespace clustersim_test {
namespace {

using Change = std::pair<std::string, std::string>;  // (op + " " + type, path)

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster_.options.exports = {{"/projects", "/fs/projects"}, {"/", "/"}, {"/projects", "/fs/other"}};
    ASSERT_TRUE(cluster_.Start()) << cluster_.error();
    Connect();
  }

  void Connect() {
    client_ = std::make_unique<HttpsClient>(cluster_.address(), 8000, cluster_.ca_path());
    ASSERT_EQ(client_->Login(cluster_.user(), cluster_.password()).status, 200);
  }

  Reply Attributes(const std::string& path) { return client_->Get("/v1/files/attributes?path=" + Encode(path)); }

  std::string IdOf(const std::string& path) {
    Reply reply = Attributes(path);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body;
    return reply.Field("id");
  }

  Reply CreateSnapshot(const std::string& name, const std::string& source_id) {
    return client_->Post("/v1/snapshots", "{\"name\":\"" + name + "\",\"source_file_id\":\"" + source_id +
                                              "\",\"expiration\":\"\"}");
  }

  // Follows every page token; records the page sizes.
  std::vector<Change> FullDiff(const std::string& newer, const std::string& older, int limit,
                               std::vector<size_t>* page_sizes = nullptr) {
    std::vector<Change> changes;
    std::string token;
    for (int pages = 0; pages < 100000; ++pages) {
      std::string query = "/v1/snapshots/" + newer + "/changes-since/" + older + "?limit=" + std::to_string(limit);
      if (!token.empty()) query += "&after=" + Encode(token);
      Reply reply = client_->Get(query);
      EXPECT_EQ(reply.status, 200) << reply.body;
      if (reply.status != 200) break;
      std::vector<std::string> ops = reply.Strings("entries", "op");
      std::vector<std::string> types = reply.Strings("entries", "type");
      std::vector<std::string> paths = reply.Strings("entries", "path");
      for (size_t i = 0; i < ops.size(); ++i) changes.emplace_back(ops[i] + " " + types[i], paths[i]);
      if (page_sizes != nullptr) page_sizes->push_back(ops.size());
      token = reply.Field("next");
      if (token.empty()) break;
    }
    return changes;
  }

  snaptest::EmbeddedCluster cluster_;
  std::unique_ptr<HttpsClient> client_;
};

TEST_F(ServerTest, LoginAndBearerTokens) {
  HttpsClient anonymous(cluster_.address(), 8000, cluster_.ca_path());
  Reply reply = anonymous.Login(cluster_.user(), "wrong");
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(reply.Field("error"), "unauthorized");
  EXPECT_EQ(anonymous.Login("", "").status, 401);
  EXPECT_EQ(anonymous.Post("/v1/session/login", "{not json").status, 400);

  reply = anonymous.Get("/v1/nfs/exports");
  EXPECT_EQ(reply.status, 401);
  EXPECT_FALSE(reply.Field("message").empty());
  anonymous.set_token("0123456789abcdef");
  EXPECT_EQ(anonymous.Get("/v1/nfs/exports").status, 401);

  reply = client_->Login(cluster_.user(), cluster_.password());
  EXPECT_EQ(reply.Number("expires_in"), 3600u);
  std::string token = client_->token();
  EXPECT_EQ(client_->Get("/v1/nfs/exports").status, 200);
  // A message never repeats the token.
  anonymous.set_token(token + "x");
  EXPECT_EQ(anonymous.Get("/v1/nfs/exports").body.find(token), std::string::npos);

  EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"expire_tokens\":true}").status, 204);
  reply = client_->Get("/v1/nfs/exports");
  EXPECT_EQ(reply.status, 401);
  EXPECT_NE(reply.Field("message").find("expired"), std::string::npos);
}

TEST_F(ServerTest, IdentifiersAreLargeStableAndNewForReplacedDirectories) {
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/src"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/src/main.c", "int main;"));

  Reply reply = Attributes("/fs/projects/src/");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Field("type"), "directory");
  EXPECT_EQ(reply.Field("path"), "/fs/projects/src/");
  EXPECT_EQ(reply.Field("name"), "src");
  // Carried as a decimal string that is exact above 2^53.
  const std::string dir_id = reply.Field("id");
  EXPECT_GT(reply.Number("id"), uint64_t{1} << 53);
  EXPECT_EQ(std::to_string(reply.Number("id")), dir_id);
  EXPECT_EQ(IdOf("/fs/projects/src"), dir_id);
  EXPECT_EQ(IdOf("/fs/projects//./src"), dir_id);

  reply = Attributes("/fs/projects/src/main.c");
  EXPECT_EQ(reply.Field("type"), "file");
  EXPECT_EQ(reply.Number("size"), 9u);
  const std::string file_id = reply.Field("id");
  EXPECT_NE(file_id, dir_id);
  EXPECT_EQ(Attributes("/fs/projects/missing").status, 404);
  EXPECT_EQ(Attributes("/fs/projects/src/main.c/x").status, 404);

  // Renaming keeps the object; removing and re-making the directory makes a new one.
  ASSERT_EQ(::rename(cluster_.DiskPath("/fs/projects/src/main.c").c_str(),
                     cluster_.DiskPath("/fs/projects/src/app.c").c_str()), 0);
  EXPECT_EQ(IdOf("/fs/projects/src/app.c"), file_id);
  ASSERT_EQ(::unlink(cluster_.DiskPath("/fs/projects/src/app.c").c_str()), 0);
  ASSERT_EQ(::rmdir(cluster_.DiskPath("/fs/projects/src").c_str()), 0);
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/src"));
  const std::string new_dir_id = IdOf("/fs/projects/src");
  EXPECT_NE(new_dir_id, dir_id);
}

TEST_F(ServerTest, ExportsKeepTheirOrderIncludingRootAndDuplicates) {
  Reply reply = client_->Get("/v1/nfs/exports");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.Strings("exports", "export_path"), (std::vector<std::string>{"/projects", "/", "/projects"}));
  EXPECT_EQ(reply.Strings("exports", "fs_path"), (std::vector<std::string>{"/fs/projects", "/", "/fs/other"}));
  EXPECT_EQ(reply.Strings("exports", "id"), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(ServerTest, SnapshotImagesStayFrozenAndGoWithTheSnapshot) {
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/docs"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/docs/readme", "version 1"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/keep", "kept"));
  ASSERT_EQ(::chmod(cluster_.DiskPath("/fs/projects/keep").c_str(), 0640), 0);
  const std::string dir_id = IdOf("/fs/projects");

  Reply first = CreateSnapshot("kwsnap_1_2_10_x", dir_id);
  ASSERT_EQ(first.status, 201) << first.body;
  EXPECT_EQ(first.Field("directory_name"), first.Field("id") + "_kwsnap_1_2_10_x");
  EXPECT_EQ(first.Field("source_path"), "/fs/projects/");
  const std::string image = cluster_.DiskPath("/fs/projects/.snapshot/" + first.Field("directory_name"));

  // The live tree changes; the image does not.
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/docs/readme", "version 2, longer"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/new", "new"));
  EXPECT_EQ(snaptest::ReadFile(image + "/docs/readme"), "version 1");
  EXPECT_NE(::access((image + "/new").c_str(), F_OK), 0);
  struct stat live_st, image_st;
  ASSERT_EQ(::stat(cluster_.DiskPath("/fs/projects/keep").c_str(), &live_st), 0);
  ASSERT_EQ(::stat((image + "/keep").c_str(), &image_st), 0);
  EXPECT_EQ(image_st.st_mode, live_st.st_mode);
  EXPECT_EQ(image_st.st_mtim.tv_nsec, live_st.st_mtim.tv_nsec);

  // A second snapshot with the same name; its image holds no nested .snapshot.
  Reply second = CreateSnapshot("kwsnap_1_2_10_x", dir_id);
  ASSERT_EQ(second.status, 201);
  EXPECT_NE(second.Field("id"), first.Field("id"));
  const std::string second_image = cluster_.DiskPath("/fs/projects/.snapshot/" + second.Field("directory_name"));
  EXPECT_EQ(snaptest::ReadFile(second_image + "/docs/readme"), "version 2, longer");
  EXPECT_NE(::access((second_image + "/.snapshot").c_str(), F_OK), 0);

  Reply list = client_->Get("/v1/snapshots");
  EXPECT_EQ(list.Strings("entries", "id"), (std::vector<std::string>{first.Field("id"), second.Field("id")}));

  EXPECT_EQ(client_->Delete("/v1/snapshots/" + first.Field("id")).status, 204);
  EXPECT_NE(::access(image.c_str(), F_OK), 0);
  EXPECT_EQ(client_->Delete("/v1/snapshots/" + first.Field("id")).status, 404);

  // Snapshots survive a restart (the deleted one does not come back), and ids are not reused.
  ASSERT_TRUE(cluster_.Restart()) << cluster_.error();
  Connect();
  EXPECT_EQ(client_->Get("/v1/snapshots").Strings("entries", "id"),
            (std::vector<std::string>{second.Field("id")}));
  Reply third = CreateSnapshot("after_restart", dir_id);
  ASSERT_EQ(third.status, 201);
  EXPECT_GT(third.Number("id"), second.Number("id"));
}

TEST_F(ServerTest, SnapshotCreationRefusesBadRequests) {
  const std::string dir_id = IdOf("/fs/projects");

  EXPECT_EQ(CreateSnapshot("s", "12345").status, 404);
  Reply reply = CreateSnapshot("", dir_id);
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(reply.Field("error"), "bad_request");
  EXPECT_EQ(CreateSnapshot("../escape", dir_id).status, 400);
  EXPECT_EQ(client_->Post("/v1/snapshots", "{\"name\":\"s\"}").status, 400);
  EXPECT_EQ(client_->Post("/v1/snapshots", "[1,2]").status, 400);
  EXPECT_EQ(client_->Post("/v1/snapshots", "{\"name\":\"s\",\"source_file_id\":\"12x\"}").status, 400);
  EXPECT_EQ(client_->Delete("/v1/snapshots/abc").status, 400);
  reply = client_->Get("/v1/no/such/route");
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.Field("error"), "not_found");
  EXPECT_TRUE(client_->Get("/v1/snapshots").Strings("entries", "id").empty());
}

TEST_F(ServerTest, DifferenceListsEveryChangeAndPagesWithEveryToken) {
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/gone/deep"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/gone/deep/old.txt", "old"));
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/stay"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/stay/grow.txt", "a"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/stay/touch.txt", "same"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/stay/same.txt", "same"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/removed.txt", "bye"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/becomes_dir", "file"));
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/becomes_file"));
  const std::string dir_id = IdOf("/fs/projects");
  Reply older = CreateSnapshot("older", dir_id);
  ASSERT_EQ(older.status, 201);

  ASSERT_EQ(std::system(("rm -r " + cluster_.DiskPath("/fs/projects/gone")).c_str()), 0);
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/stay/grow.txt", "abc"));
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, cluster_.DiskPath("/fs/projects/stay/touch.txt").c_str(), times, 0), 0);
  ASSERT_EQ(::unlink(cluster_.DiskPath("/fs/projects/removed.txt").c_str()), 0);
  ASSERT_EQ(::unlink(cluster_.DiskPath("/fs/projects/becomes_dir").c_str()), 0);
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/becomes_dir"));
  ASSERT_EQ(::rmdir(cluster_.DiskPath("/fs/projects/becomes_file").c_str()), 0);
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/becomes_file", "file"));
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/fresh/inner"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/fresh/inner/new.txt", "new"));
  Reply newer = CreateSnapshot("newer", dir_id);
  ASSERT_EQ(newer.status, 201);

  const std::vector<Change> expected = {
      {"modified directory", "/fs/projects/"},
      {"deleted file", "/fs/projects/becomes_dir"},
      {"created directory", "/fs/projects/becomes_dir/"},
      {"created file", "/fs/projects/becomes_file"},
      {"deleted directory", "/fs/projects/becomes_file/"},
      {"created directory", "/fs/projects/fresh/"},
      {"created directory", "/fs/projects/fresh/inner/"},
      {"created file", "/fs/projects/fresh/inner/new.txt"},
      {"deleted directory", "/fs/projects/gone/"},
      {"deleted directory", "/fs/projects/gone/deep/"},
      {"deleted file", "/fs/projects/gone/deep/old.txt"},
      {"deleted file", "/fs/projects/removed.txt"},
      {"modified file", "/fs/projects/stay/grow.txt"},
      {"modified file", "/fs/projects/stay/touch.txt"},
  };
  const std::string newer_id = newer.Field("id"), older_id = older.Field("id");
  std::vector<size_t> pages;
  EXPECT_EQ(FullDiff(newer_id, older_id, 1000, &pages), expected);
  EXPECT_EQ(pages, (std::vector<size_t>{14}));
  pages.clear();
  EXPECT_EQ(FullDiff(newer_id, older_id, 5, &pages), expected);
  EXPECT_EQ(pages, (std::vector<size_t>{5, 5, 4}));
  pages.clear();
  EXPECT_EQ(FullDiff(newer_id, older_id, 1, &pages), expected);
  EXPECT_EQ(pages.size(), 14u);

  // The same snapshot against itself, and the pair the other way round.
  EXPECT_TRUE(FullDiff(newer_id, newer_id, 10).empty());
  std::vector<Change> reversed = FullDiff(older_id, newer_id, 3);
  EXPECT_EQ(reversed.size(), expected.size());

  // Tokens belong to their pair and their list.
  const std::string base = "/v1/snapshots/" + newer_id + "/changes-since/" + older_id;
  Reply page = client_->Get(base + "?limit=4");
  const std::string token = page.Field("next");
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(client_->Get("/v1/snapshots/" + older_id + "/changes-since/" + newer_id + "?after=" + Encode(token)).status,
            400);
  EXPECT_EQ(client_->Get(base + "?limit=0").status, 400);
  EXPECT_EQ(client_->Get(base + "?limit=ten").status, 400);
  EXPECT_EQ(client_->Get("/v1/snapshots/" + newer_id + "/changes-since/777").status, 404);

  // Snapshots of two directories cannot be compared.
  Reply other = CreateSnapshot("other", IdOf("/fs/projects/stay"));
  ASSERT_EQ(other.status, 201);
  Reply conflict = client_->Get("/v1/snapshots/" + other.Field("id") + "/changes-since/" + older_id);
  EXPECT_EQ(conflict.status, 409);
  EXPECT_EQ(conflict.Field("error"), "conflict");
}

TEST_F(ServerTest, SyntheticDifferencePagesAreCappedAndOrdered) {
  const std::string dir_id = IdOf("/fs/projects");
  const std::string older = CreateSnapshot("a", dir_id).Field("id");
  const std::string newer = CreateSnapshot("b", dir_id).Field("id");
  ASSERT_EQ(client_->Put("/v1/debug/synthetic-diff", "{\"fs_path\":\"/fs/projects\",\"items\":25000}").status, 204);

  std::vector<size_t> pages;
  std::vector<Change> changes = FullDiff(newer, older, 20000, &pages);
  EXPECT_EQ(pages, (std::vector<size_t>{10000, 10000, 5000}));  // never more than 10000 a page
  ASSERT_EQ(changes.size(), 25000u);
  // The list's own shape is the generator's (its unit test); here, that the pages join up in order.
  for (size_t i = 0; i < changes.size(); ++i) {
    ASSERT_EQ(changes[i].second.compare(0, 13, "/fs/projects/"), 0) << changes[i].second;
    ASSERT_TRUE(i == 0 || changes[i - 1].second < changes[i].second) << changes[i].second;
  }

  // Pages smaller than asked, from the page-cap switch.
  ASSERT_EQ(client_->Put("/v1/debug/faults", "{\"page_cap\":7}").status, 204);
  pages.clear();
  ASSERT_EQ(client_->Put("/v1/debug/synthetic-diff", "{\"fs_path\":\"/fs/projects/\",\"items\":30}").status, 204);
  EXPECT_EQ(FullDiff(newer, older, 10, &pages).size(), 30u);
  EXPECT_EQ(pages, (std::vector<size_t>{7, 7, 7, 7, 2}));

  // Removing the override brings back the real (empty) difference.
  ASSERT_EQ(client_->Put("/v1/debug/synthetic-diff", "{\"fs_path\":\"/fs/projects/\",\"items\":0}").status, 204);
  EXPECT_TRUE(FullDiff(newer, older, 10).empty());
}

TEST_F(ServerTest, PathsThatLeaveTheRootAreRefused) {
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/inside"));
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/inside/f", "f"));
  ASSERT_EQ(::symlink("/etc", cluster_.DiskPath("/fs/projects/out").c_str()), 0);
  ASSERT_EQ(::symlink("../../..", cluster_.DiskPath("/fs/projects/up").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/far", cluster_.DiskPath("/fs/projects/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("inside", cluster_.DiskPath("/fs/projects/in").c_str()), 0);
  const std::string snapshot_id = CreateSnapshot("s", IdOf("/fs/projects")).Field("id");
  ASSERT_FALSE(snapshot_id.empty());

  for (const char* path : {"/../etc", "/fs/../../etc/passwd", "/fs/projects/out", "/fs/projects/out/passwd",
                           "/fs/projects/up", "/fs/projects/up/etc", "/fs/projects/dangling", "/fs/projects/.snapshot",
                           "/fs/projects/.snapshot/1_s", "relative/path", ""}) {
    Reply reply = Attributes(path);
    EXPECT_EQ(reply.status, 400) << path << ": " << reply.body;
    EXPECT_EQ(reply.Field("error"), "bad_request") << path;
  }
  EXPECT_EQ(client_->Get("/v1/files/attributes").status, 400);
  // A link that stays inside is the link itself; a path through it is followed.
  EXPECT_EQ(Attributes("/fs/projects/in").Field("type"), "symlink");
  EXPECT_EQ(Attributes("/fs/projects/in/").Field("type"), "symlink");
  EXPECT_EQ(IdOf("/fs/projects/in/f"), IdOf("/fs/projects/inside/f"));
}

// The fail-next, drop, malformed and delay switches are driven by the wrapper's tests, which fail
// when a switch does not act; these two only the emulator's own tests reach.
TEST_F(ServerTest, FailSwitchesFailRequestsInArrivalOrder) {
  ASSERT_EQ(client_->Put("/v1/debug/faults", "{\"fail_nth\":3}").status, 204);
  std::vector<int> statuses;
  for (int i = 0; i < 5; ++i) statuses.push_back(client_->Get("/v1/snapshots").status);
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 503, 200, 200}));

  // A share of requests, the same ones again for the same seed.
  auto run = [&] {
    EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"fail_ratio\":0.5,\"seed\":42}").status, 204);
    std::vector<int> seen;
    for (int i = 0; i < 40; ++i) seen.push_back(client_->Get("/v1/snapshots").status);
    return seen;
  };
  std::vector<int> first = run();
  EXPECT_EQ(run(), first);
  long failures = std::count(first.begin(), first.end(), 503);
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 35);

  EXPECT_EQ(client_->Delete("/v1/debug/faults").status, 204);
  EXPECT_EQ(client_->Get("/v1/snapshots").status, 200);
  EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"fail_status\":404}").status, 400);
  EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"fail_ratio\":2}").status, 400);
}

TEST_F(ServerTest, CountersCountRequestsAndConnections) {
  ASSERT_EQ(client_->Post("/v1/debug/counters/reset", "").status, 204);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(client_->Get("/v1/snapshots").status, 200);
  Reply counters = client_->Get("/v1/debug/counters");
  EXPECT_EQ(counters.Number("requests"), 50u);  // debug requests are not counted
  EXPECT_EQ(counters.Number("tls_connections"), 0u);  // the connection predates the reset
}

TEST_F(ServerTest, RootDirectorySnapshotsAndDifferences) {
  const std::string root_id = IdOf("/");
  Reply older = CreateSnapshot("root_a", root_id);
  ASSERT_EQ(older.status, 201) << older.body;
  EXPECT_EQ(older.Field("source_path"), "/");
  ASSERT_TRUE(cluster_.WriteFile("/top.txt", "top"));
  Reply newer = CreateSnapshot("root_b", root_id);
  ASSERT_EQ(newer.status, 201);
  EXPECT_EQ(snaptest::ReadFile(cluster_.DiskPath("/.snapshot/" + newer.Field("directory_name") + "/top.txt")), "top");
  EXPECT_EQ(FullDiff(newer.Field("id"), older.Field("id"), 10),
            (std::vector<Change>{{"modified directory", "/"}, {"created file", "/top.txt"}}));
}

TEST_F(ServerTest, ParallelClientsWhileSnapshotsComeAndGo) {
  ASSERT_TRUE(cluster_.MakeDir("/fs/projects/work"));
  const std::string dir_id = IdOf("/fs/projects");
  const std::string older = CreateSnapshot("base", dir_id).Field("id");
  ASSERT_TRUE(cluster_.WriteFile("/fs/projects/work/a", "a"));
  const std::string newer = CreateSnapshot("next", dir_id).Field("id");
  cluster_.server().ResetCounters();

  constexpr int kClients = 6, kRounds = 30;
  std::vector<int> failures(kClients + 1, 0);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      HttpsClient client(cluster_.address(), 8000, cluster_.ca_path());
      client.set_token(client_->token());
      for (int i = 0; i < kRounds; ++i) {
        Reply diff = client.Get("/v1/snapshots/" + newer + "/changes-since/" + older + "?limit=1");
        Reply attributes = client.Get("/v1/files/attributes?path=/fs/projects/work");
        Reply list = client.Get("/v1/snapshots");
        if (diff.status != 200 || diff.Strings("entries", "path").size() != 1 || attributes.status != 200 ||
            list.status != 200) {
          ++failures[c];
        }
      }
    });
  }
  threads.emplace_back([&] {
    HttpsClient client(cluster_.address(), 8000, cluster_.ca_path());
    client.set_token(client_->token());
    for (int i = 0; i < 10; ++i) {
      Reply made = client.Post("/v1/snapshots", "{\"name\":\"churn\",\"source_file_id\":\"" + dir_id + "\"}");
      if (made.status != 201 || client.Delete("/v1/snapshots/" + made.Field("id")).status != 204) {
        ++failures[kClients];
      }
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kClients + 1, 0));
  EXPECT_EQ(cluster_.server().counters().requests, uint64_t{kClients * kRounds * 3 + 20});
  EXPECT_EQ(cluster_.server().counters().tls_connections, uint64_t{kClients + 1});
  EXPECT_EQ(client_->Get("/v1/snapshots").Strings("entries", "id"), (std::vector<std::string>{older, newer}));
}

TEST(ServerHooksTest, DebugRoutesNeedTheTestHooksSwitch) {
  snaptest::EmbeddedCluster cluster;
  cluster.options.test_hooks = false;
  ASSERT_TRUE(cluster.Start()) << cluster.error();
  HttpsClient client(cluster.address(), 8000, cluster.ca_path());
  EXPECT_EQ(client.Get("/v1/debug/counters").status, 404);
  EXPECT_EQ(client.Put("/v1/debug/faults", "{\"fail_next\":5}").status, 404);
  ASSERT_EQ(client.Login(cluster.user(), cluster.password()).status, 200);
  EXPECT_EQ(client.Get("/v1/nfs/exports").status, 200);
}

}  // namespace
}  // namespace clustersim_test
