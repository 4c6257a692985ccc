// The emulator's behaviour that the snap client relies on, over real HTTPS
// with a client that verifies the emulator's CA.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "https_client.h"
#include "snaptest/embedded_cluster.h"
#include "snaptest/temp_dir.h"

namespace clustersim_test {
namespace {

using Change = std::pair<std::string, std::string>;  // (op, path)

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cluster_.options.exports = {{"/projects", "/fs/projects"}};
    ASSERT_TRUE(cluster_.Start()) << cluster_.error();
    Connect();
  }

  void Connect() {
    client_ = std::make_unique<HttpsClient>(cluster_.address(), 8000, cluster_.ca_path());
    ASSERT_EQ(client_->Login(cluster_.user(), cluster_.password()).status, 200);
  }

  // The path travels as one URL component, "/" encoded as %2F.
  Reply Attributes(const std::string& path) { return client_->Get("/v1/files/" + Encode(path) + "/info/attributes"); }

  std::string IdOf(const std::string& path) {
    Reply reply = Attributes(path);
    EXPECT_EQ(reply.status, 200) << path << ": " << reply.body;
    return reply.Field("id");
  }

  Reply CreateSnapshot(const std::string& name, const std::string& source_id) {
    return client_->Post("/v2/snapshots/", "{\"name\":\"" + name + "\",\"source_file_id\":\"" + source_id +
                                               "\",\"expiration\":\"\"}");
  }

  static std::string IdText(const Reply& reply) { return std::to_string(reply.Number("id")); }

  // Makes each entry below /fs/projects, in order: "name=content" a file, any other a directory.
  void Make(std::initializer_list<std::string> entries) {
    for (const std::string& entry : entries) {
      const size_t eq = entry.find('=');
      const std::string path = "/fs/projects/" + entry.substr(0, eq);
      ASSERT_TRUE(eq == std::string::npos ? cluster_.MakeDir(path) : cluster_.WriteFile(path, entry.substr(eq + 1)))
          << entry;
    }
  }
  std::string Disk(const std::string& below) const { return cluster_.DiskPath("/fs/projects/" + below); }

  // Follows paging.next as it stands; records the page sizes.
  std::vector<Change> FullDiff(const std::string& newer, const std::string& older, int limit,
                               std::vector<size_t>* page_sizes = nullptr) {
    std::vector<Change> changes;
    std::string next = "/v2/snapshots/" + newer + "/changes-since/" + older + "?limit=" + std::to_string(limit);
    for (int pages = 0; pages < 100000 && !next.empty(); ++pages) {
      Reply reply = client_->Get(next);
      EXPECT_EQ(reply.status, 200) << reply.body;
      if (reply.status != 200) break;
      std::vector<std::string> ops = reply.Strings("entries", "op");
      std::vector<std::string> paths = reply.Strings("entries", "path");
      for (size_t i = 0; i < ops.size(); ++i) changes.emplace_back(ops[i], paths[i]);
      if (page_sizes != nullptr) page_sizes->push_back(ops.size());
      next = reply.NextPage();
    }
    return changes;
  }

  snaptest::EmbeddedCluster cluster_;
  std::unique_ptr<HttpsClient> client_;
};

TEST_F(ServerTest, LoginAndBearerTokens) {
  HttpsClient anonymous(cluster_.address(), 8000, cluster_.ca_path());
  EXPECT_EQ(anonymous.Login("", "").status, 401);
  EXPECT_EQ(anonymous.Post("/v1/session/login", "{not json").status, 400);

  std::string token = client_->token();
  // A message never repeats the token.
  anonymous.set_token(token + "x");
  EXPECT_EQ(anonymous.Get("/v2/snapshots/").body.find(token), std::string::npos);

  EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"expire_tokens\":true}").status, 204);
  Reply reply = client_->Get("/v2/snapshots/");
  EXPECT_EQ(reply.status, 401);
  EXPECT_NE(reply.Field("description").find("expired"), std::string::npos);
}

TEST_F(ServerTest, IdentifiersAreLargeExactAndOneComponent) {
  Make({"src", "src/main.c=int main;"});

  // Carried as a decimal string that is exact above 2^53; the answer's other fields are the API client
  // test's, and a replaced directory's new id the id table's.
  Reply reply = Attributes("/fs/projects/src/");
  const std::string dir_id = reply.Field("id");
  EXPECT_GT(reply.Number("id"), uint64_t{1} << 53);
  EXPECT_EQ(std::to_string(reply.Number("id")), dir_id);
  EXPECT_EQ(IdOf("/fs/projects//./src"), dir_id);
  EXPECT_NE(IdOf("/fs/projects/src/main.c"), dir_id);
  for (const char* missing : {"/fs/projects/missing", "/fs/projects/src/main.c/x"}) {
    reply = Attributes(missing);
    EXPECT_EQ(reply.status, 404) << missing;
    EXPECT_EQ(reply.Field("error_class"), "fs_no_such_entry_error") << missing;
  }
  // The path must be one component: unencoded slashes name no route.
  EXPECT_EQ(client_->Get("/v1/files//fs/projects/info/attributes").Field("error_class"), "http_not_found_error");
}

TEST_F(ServerTest, SnapshotImagesStayFrozenAndGoAfterTheirDeletion) {
  Make({"docs", "docs/readme=version 1", "keep=kept"});
  ASSERT_EQ(::chmod(Disk("keep").c_str(), 0640), 0);
  const std::string dir_id = IdOf("/fs/projects");

  Reply first = CreateSnapshot("kwsnap_1_2_10_x", dir_id);
  ASSERT_EQ(first.status, 200) << first.body;
  const std::string image = Disk(".snapshot/" + first.Field("directory_name"));

  // The live tree changes; the image does not.
  Make({"docs/readme=version 2, longer", "new=new"});
  EXPECT_EQ(snaptest::ReadFile(image + "/docs/readme"), "version 1");
  EXPECT_NE(::access((image + "/new").c_str(), F_OK), 0);
  struct stat live_st, image_st;
  ASSERT_EQ(::stat(Disk("keep").c_str(), &live_st), 0);
  ASSERT_EQ(::stat((image + "/keep").c_str(), &image_st), 0);
  EXPECT_EQ(image_st.st_mode, live_st.st_mode);
  EXPECT_EQ(image_st.st_mtim.tv_nsec, live_st.st_mtim.tv_nsec);

  // A second snapshot with the same name, made through v3 (whose answers' names are the API client test's).
  Reply second = client_->Post("/v3/snapshots/", "{\"name_suffix\":\"kwsnap_1_2_10_x\",\"source_file_id\":\"" +
                                                     dir_id + "\"}");
  ASSERT_EQ(second.status, 200);
  const std::string second_image = Disk(".snapshot/" + second.Field("name"));
  EXPECT_EQ(snaptest::ReadFile(second_image + "/docs/readme"), "version 2, longer");
  EXPECT_NE(::access((second_image + "/.snapshot").c_str(), F_OK), 0);

  // Deleting: the image stays while the snapshot is listed as in_delete; deleting again changes nothing.
  cluster_.server().SetDeleteDelay(std::chrono::hours(1));
  EXPECT_EQ(client_->Delete("/v2/snapshots/" + IdText(first)).status, 200);
  EXPECT_EQ(client_->Delete("/v2/snapshots/" + IdText(first)).status, 200);
  EXPECT_EQ(client_->Get("/v3/snapshots/?filter=only_in_delete").Strings("entries", "id"),
            (std::vector<std::string>{IdText(first)}));
  EXPECT_EQ(::access(image.c_str(), F_OK), 0);

  // Deletions pending at a stop go on after the restart; ids are not reused.
  cluster_.options.delete_delay_ms = 0;
  ASSERT_TRUE(cluster_.Restart()) << cluster_.error();
  Connect();
  for (int i = 0; i < 2000 && client_->Get("/v3/snapshots/").Strings("entries", "id").size() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the removal runs on its own thread
  }
  EXPECT_EQ(client_->Get("/v3/snapshots/").Strings("entries", "id"), (std::vector<std::string>{IdText(second)}));
  EXPECT_NE(::access(image.c_str(), F_OK), 0);
  EXPECT_EQ(client_->Get("/v2/snapshots/" + IdText(first)).status, 404);
  EXPECT_EQ(client_->Delete("/v3/snapshots/" + IdText(second)).status, 202);
  EXPECT_NE(::access(second_image.c_str(), F_OK), 0);  // a delay of 0: gone before the answer
  Reply third = CreateSnapshot("after_restart", dir_id);
  ASSERT_EQ(third.status, 200);
  EXPECT_GT(third.Number("id"), second.Number("id"));
}

// A snapshot belongs to its directory whatever its name now, and nothing put in the directory's
// old place (here a link to a directory outside the root) is ever read or removed in its stead.
TEST_F(ServerTest, SnapshotsFollowTheirDirectoryAndNeverLeadOutside) {
  Make({"swapme", "swapme/a=1"});
  const std::string dir_id = IdOf("/fs/projects/swapme");
  Reply first = CreateSnapshot("one", dir_id);
  ASSERT_EQ(first.status, 200) << first.body;
  snaptest::TempDir outside("outside");
  const std::string decoy = outside.Sub(".snapshot/" + first.Field("directory_name"));
  ASSERT_TRUE(snaptest::MakeDirs(decoy));
  ASSERT_TRUE(snaptest::WriteFile(decoy + "/secret", "outside"));
  ASSERT_EQ(::rename(Disk("swapme").c_str(), Disk("moved").c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), Disk("swapme").c_str()), 0);
  Make({"moved/b=2"});
  Reply second = CreateSnapshot("two", dir_id);
  ASSERT_EQ(second.status, 200) << second.body;

  EXPECT_EQ(FullDiff(IdText(second), IdText(first), 100),
            (std::vector<Change>{{"MODIFY", "/fs/projects/moved/"}, {"CREATE", "/fs/projects/moved/b"}}));
  // Readers of the served tree find both snapshots where the directory now is.
  const std::string shown = Disk("moved/.snapshot/" + first.Field("directory_name"));
  EXPECT_EQ(snaptest::ReadFile(shown + "/a"), "1");
  EXPECT_EQ(snaptest::ReadFile(Disk("moved/.snapshot/" + second.Field("directory_name")) + "/b"), "2");

  cluster_.server().SetDeleteDelay(std::chrono::milliseconds(0));
  ASSERT_EQ(client_->Delete("/v2/snapshots/" + IdText(first)).status, 200);
  EXPECT_NE(::access(shown.c_str(), F_OK), 0);
  EXPECT_FALSE(std::filesystem::exists(cluster_.state_dir() + "/images/" + IdText(first)));
  EXPECT_EQ(snaptest::ReadFile(decoy + "/secret"), "outside");
}

// A copy follows no link and leaves no root, whatever the tree does meanwhile; an entry that
// vanishes mid-copy is left out of the image instead of failing it.
TEST_F(ServerTest, SnapshotsOfATreeChangingMidCopyStayInside) {
  Make({"flip"});
  snaptest::TempDir outside("outside");
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(snaptest::WriteFile(Disk("flip/f" + std::to_string(i)), "in"));
    ASSERT_TRUE(snaptest::WriteFile(outside.Sub("outside_" + std::to_string(i)), "out"));
  }
  const std::string dir_id = IdOf("/fs/projects");
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    while (!stop) {
      (void)!::rename(Disk("flip").c_str(), Disk("flip.away").c_str());
      (void)!::symlink(outside.path().c_str(), Disk("flip").c_str());
      (void)!::unlink(Disk("flip").c_str());
      (void)!::rename(Disk("flip.away").c_str(), Disk("flip").c_str());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::string> images;
  for (int i = 0; i < 10; ++i) {
    Reply made = CreateSnapshot("flip", dir_id);
    EXPECT_EQ(made.status, 200) << made.body;
    if (made.status == 200) images.push_back(Disk(".snapshot/" + made.Field("directory_name")));
  }
  stop = true;
  flipper.join();
  for (const std::string& image : images) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(image)) {
      ASSERT_EQ(entry.path().filename().string().rfind("outside_", 0), std::string::npos) << entry.path();
    }
  }
}

TEST_F(ServerTest, SnapshotCreationRefusesBadRequests) {
  const std::string dir_id = IdOf("/fs/projects");
  Make({"file=f"});

  EXPECT_EQ(CreateSnapshot("s", "12345").Field("error_class"), "fs_no_such_inode_error");
  const auto body = [](const std::string& name, const std::string& id) {
    return "{\"name\":\"" + name + "\",\"source_file_id\":\"" + id + "\"}";
  };
  // The last one repeats a key, which different parsers would read differently.
  for (const std::string& refused :
       {body("of a file", IdOf("/fs/projects/file")), body("", dir_id), body("../escape", dir_id), body("s", "12x"),
        std::string("{\"name\":\"s\"}"), std::string("[1,2]"), "{\"name\":\"s\"," + body("t", dir_id).substr(1)}) {
    Reply reply = client_->Post("/v2/snapshots/", refused);
    EXPECT_EQ(reply.status, 400) << refused;
    EXPECT_EQ(reply.Field("error_class"), "api_bad_request_error") << refused;
  }
  EXPECT_EQ(client_->Delete("/v2/snapshots/abc").status, 400);
  EXPECT_EQ(client_->Get("/v3/snapshots/?filter=some").status, 400);
  EXPECT_TRUE(client_->Get("/v2/snapshots/").Strings("entries", "id").empty());
}

TEST_F(ServerTest, DifferenceListsEachChangeOnceAndPagesByItsLinks) {
  Make({"gone/deep", "gone/deep/old.txt=old", "stay", "stay/grow.txt=a", "stay/touch.txt=same", "stay/same.txt=same",
        "stay/linked.txt=link", "removed.txt=bye", "becomes_dir=file", "becomes_file", "old_name/inner"});
  const std::string dir_id = IdOf("/fs/projects");
  Reply older = CreateSnapshot("older", dir_id);
  ASSERT_EQ(older.status, 200);

  ASSERT_EQ(std::system(("rm -r " + Disk("gone")).c_str()), 0);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Disk("stay/touch.txt").c_str(), times, 0), 0);
  ASSERT_EQ(::link(Disk("stay/linked.txt").c_str(), Disk("hard_link").c_str()), 0);
  ASSERT_EQ(::unlink(Disk("removed.txt").c_str()), 0);
  ASSERT_EQ(::unlink(Disk("becomes_dir").c_str()), 0);
  ASSERT_EQ(::rmdir(Disk("becomes_file").c_str()), 0);
  ASSERT_EQ(::rename(Disk("old_name").c_str(), Disk("new_name").c_str()), 0);
  Make({"stay/grow.txt=abc", "becomes_dir", "becomes_file=file", "fresh/inner", "fresh/inner/new.txt=new"});
  Reply newer = CreateSnapshot("newer", dir_id);
  ASSERT_EQ(newer.status, 200);

  // Created and deleted directories once, with nothing below them; a rename as a deletion and a
  // creation; a name that changed type deleted before it is created, whichever type it now has; a
  // new hard link as a creation (its other name's change of link count is no change).
  const std::vector<Change> expected = {
      {"MODIFY", "/fs/projects/"},
      {"DELETE", "/fs/projects/becomes_dir"},
      {"CREATE", "/fs/projects/becomes_dir/"},
      {"DELETE", "/fs/projects/becomes_file/"},
      {"CREATE", "/fs/projects/becomes_file"},
      {"CREATE", "/fs/projects/fresh/"},
      {"DELETE", "/fs/projects/gone/"},
      {"CREATE", "/fs/projects/hard_link"},
      {"CREATE", "/fs/projects/new_name/"},
      {"DELETE", "/fs/projects/old_name/"},
      {"DELETE", "/fs/projects/removed.txt"},
      {"MODIFY", "/fs/projects/stay/grow.txt"},
      {"MODIFY", "/fs/projects/stay/touch.txt"},
  };
  const std::string newer_id = IdText(newer), older_id = IdText(older);
  std::vector<size_t> pages;
  EXPECT_EQ(FullDiff(newer_id, older_id, 5, &pages), expected);
  EXPECT_EQ(pages, (std::vector<size_t>{5, 5, 3}));

  // The same snapshot against itself, and the pair the other way round.
  EXPECT_TRUE(FullDiff(newer_id, newer_id, 10).empty());
  EXPECT_EQ(FullDiff(older_id, newer_id, 3).size(), expected.size());

  // A link is relative, names its own pair and carries the limit; its key fits no other pair.
  const std::string base = "/v2/snapshots/" + newer_id + "/changes-since/" + older_id;
  const std::string next = client_->Get(base + "?limit=4").NextPage();
  ASSERT_EQ(next.compare(0, base.size() + 1, base + "?"), 0) << next;
  EXPECT_NE(next.find("limit=4"), std::string::npos) << next;
  std::string swapped = next;
  swapped.replace(0, base.size(), "/v2/snapshots/" + older_id + "/changes-since/" + newer_id);
  EXPECT_EQ(client_->Get(swapped).status, 400);
  EXPECT_EQ(client_->Get(base + "?limit=0").status, 400);
  EXPECT_EQ(client_->Get(base + "?limit=ten").status, 400);
  for (const char* unknown : {"777", "0"}) {
    EXPECT_EQ(client_->Get(base.substr(0, base.size() - older_id.size()) + unknown).Field("error_class"),
              "snapshot_not_found_error") << unknown;
  }
}

TEST_F(ServerTest, SyntheticDifferencePagesAreCappedAndOrdered) {
  const std::string dir_id = IdOf("/fs/projects");
  const std::string older = IdText(CreateSnapshot("a", dir_id));
  const std::string newer = IdText(CreateSnapshot("b", dir_id));
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

// Paths that the request gets wrong are 400s (which a client does not retry), and a way out of the
// root is refused before anything outside is looked at, so the answer shows nothing of what is there.
TEST_F(ServerTest, PathsThatLeaveTheRootOrCannotBeResolvedAreRefused) {
  Make({"inside", "inside/f=f"});
  const std::vector<std::pair<const char*, std::string>> links = {
      {"out", "/etc"}, {"out_missing", "/nonexistent/far"}, {"up", "../../.."}, {"up_missing", "../../../nowhere/x"},
      {"in", "inside"}, {"loop", "loop"}, {"ping", "pong"}, {"pong", "ping"}};
  for (const auto& link : links) {
    ASSERT_EQ(::symlink(link.second.c_str(), Disk(link.first).c_str()), 0);
  }
  ASSERT_EQ(CreateSnapshot("s", IdOf("/fs/projects")).status, 200);

  for (const std::string& path : std::vector<std::string>{"/../etc", "/fs/../../etc/passwd", "/fs/projects/out", "/fs/projects/out/passwd", "/fs/projects/out/missing",
        "/fs/projects/out_missing", "/fs/projects/out_missing/x", "/fs/projects/up", "/fs/projects/up/etc",
        "/fs/projects/up_missing", "/fs/projects/up_missing/y", "/fs/projects/.snapshot", "/fs/projects/.snapshot/1_s",
        "relative/path", "/fs/projects/loop/x", "/fs/projects/ping/x", "/fs/projects/" + std::string(300, 'n'),
        "/fs/projects/inside/" + std::string(300, 'n') + "/x"}) {
    Reply reply = Attributes(path);
    EXPECT_EQ(reply.status, 400) << path << ": " << reply.body;
    EXPECT_EQ(reply.Field("error_class"), "api_bad_request_error") << path;
  }
  EXPECT_EQ(client_->Get("/v1/files/%2Ffs%zz/info/attributes").status, 400);
  // A link that stays inside is the link itself, a loop included; a path through one is followed.
  EXPECT_EQ(Attributes("/fs/projects/in").Field("type"), "FS_FILE_TYPE_SYMLINK");
  EXPECT_EQ(Attributes("/fs/projects/loop").Field("type"), "FS_FILE_TYPE_SYMLINK");
  EXPECT_EQ(IdOf("/fs/projects/in/f"), IdOf("/fs/projects/inside/f"));
  EXPECT_EQ(Attributes("/fs/projects/in/missing").Field("error_class"), "fs_no_such_entry_error");
}

// Every way of framing a request that two parsers could read differently is refused, and the
// connection closed: bytes sent as a body (here a DELETE) must never run as a request.
TEST_F(ServerTest, RequestsFramedAmbiguouslyAreRefusedAndNeverRunTheirBodies) {
  const std::string id = IdText(CreateSnapshot("kept", IdOf("/fs/projects")));
  const std::string auth = "Authorization: Bearer " + client_->token() + "\r\n";
  const std::string smuggled = "DELETE /v2/snapshots/" + id + " HTTP/1.1\r\nHost: x\r\n" + auth + "Content-Length: 0\r\n\r\n";
  const std::string size = std::to_string(smuggled.size());
  const std::string sized = "Content-Length: " + size + "\r\n\r\n" + smuggled;
  char chunk_size[16];
  std::snprintf(chunk_size, sizeof(chunk_size), "%zx\r\n", smuggled.size());
  const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n" + std::string(chunk_size) + smuggled + "\r\n0\r\n\r\n";
  const std::string login = "POST /v1/session/login HTTP/1.1\r\nHost: x\r\n";
  std::string many_lines;
  for (int i = 0; i < 101; ++i) many_lines += "X-Line-" + std::to_string(i) + ": a\r\n";
  const std::vector<std::tuple<std::string, std::string, std::string>> requests = {
      {"GET with a body", "GET /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + auth + sized, "400"},
      {"OPTIONS with a body", "OPTIONS /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + auth + sized, "400"},
      {"HEAD with a body", "HEAD /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + auth + sized, "400"},
      {"GET with a chunked body", "GET /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + auth + chunked, "400"},
      {"over-long header", "GET /v2/snapshots/ HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(9000, 'a') + "\r\n" +
                               smuggled, "400"},
      {"101 header lines", "GET /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + many_lines + "\r\n" + smuggled, "400"},
      {"length not a number", login + "Content-Length: abc\r\n\r\n" + smuggled, "400"},
      {"length -0", login + "Content-Length: -0\r\n\r\n" + smuggled, "400"},
      {"length in hex", login + "Content-Length: 0x2c\r\n\r\n" + smuggled, "400"},
      {"length percent-encoded", login + "Content-Length: %30\r\n\r\n" + smuggled, "400"},
      {"two lengths", login + "Content-Length: 0\r\n" + sized, "400"},
      {"space before the colon", login + "Content-Length : " + size + "\r\n\r\n" + smuggled, "400"},
      {"folded length", login + "Content-Length: 0\r\n " + size + "\r\n\r\n" + smuggled, "400"},
      {"chunked and a length", login + "Content-Length: 0\r\n" + chunked, "400"},
      {"chunked, identity", login + "Transfer-Encoding: chunked, identity\r\n\r\n" + chunk_size + smuggled, "400"},
      {"xchunked", login + "Transfer-Encoding: xchunked\r\n\r\n" + chunk_size + smuggled, "400"},
      {"bare LF", "POST /v1/session/login HTTP/1.1\nHost: x\nContent-Length: 0\n\n" + smuggled, "400"},
      {"compressed body", login + "Content-Encoding: gzip\r\n" + sized, "415"},
      {"chunk over the limit", login + "Transfer-Encoding: chunked\r\n\r\n100001\r\n" + smuggled, "413"},
  };
  for (const auto& [what, request, status] : requests) {
    RawTlsConnection connection(cluster_.address(), 8000, 5);
    ASSERT_TRUE(connection.connected()) << what;
    ASSERT_TRUE(connection.Send(request)) << what;
    bool closed = false;
    const std::string answers = connection.ReadToEnd(&closed);
    EXPECT_TRUE(closed) << what << ": " << answers;
    EXPECT_EQ(answers.find("HTTP/1.1", 1), std::string::npos) << what << ": " << answers;
    EXPECT_EQ(answers.compare(0, 12, "HTTP/1.1 " + status), 0) << what << ": " << answers;
    Reply kept = client_->Get("/v2/snapshots/" + id);
    ASSERT_EQ(kept.status, 200) << what;
    ASSERT_NE(kept.body.find("\"in_delete\":false"), std::string::npos) << what << " ran the DELETE";
  }
}

// Requests sent together in one write are each answered, in order; header values arrive as sent.
TEST_F(ServerTest, PipelinedRequestsAreAnsweredInOrder) {
  const std::string auth = "Authorization: Bearer " + client_->token() + "\r\n";
  const std::string credentials = "{\"username\":\"" + cluster_.user() + "\",\"password\":\"" + cluster_.password() + "\"}";
  const std::string exports = "GET /v2/nfs/exports/ HTTP/1.1\r\nHost: x\r\n";
  RawTlsConnection connection(cluster_.address(), 8000, 5);
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send(
      "POST /v1/session/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n" + credentials.substr(0, 5) +
      "\r\n" + [&] { char n[16]; std::snprintf(n, sizeof(n), "%zx", credentials.size() - 5); return std::string(n); }() +
      "\r\n" + credentials.substr(5) + "\r\n0\r\n\r\n" +
      "HEAD /v2/snapshots/ HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n" +
      exports + "Range: bytes=0-1\r\n" + auth + "\r\n" +
      exports + "Authorization: %42earer " + client_->token() + "\r\n\r\n" +
      exports + auth + "Connection: close\r\n\r\n"));
  bool closed = false;
  const std::string answers = connection.ReadToEnd(&closed);
  EXPECT_TRUE(closed);
  std::vector<std::string> statuses;
  for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos; at = answers.find("HTTP/1.1 ", at + 1)) {
    statuses.push_back(answers.substr(at + 9, 3));
  }
  // The login, HEAD as GET, the whole body despite Range, "%42earer" is no scheme, the last.
  EXPECT_EQ(statuses, (std::vector<std::string>{"200", "200", "200", "401", "200"})) << answers;
  const size_t head_answer = answers.find("HTTP/1.1 ", 1);
  const size_t head_end = answers.find("\r\n\r\n", head_answer) + 4;
  EXPECT_EQ(answers.compare(head_end, 9, "HTTP/1.1 "), 0) << "HEAD carried a body: " << answers;
}

// Clients that trickle a handshake or a request hold no worker, and are cut off a while after their
// first byte however steadily they trickle; meanwhile others are served.
TEST(SlowClientsTest, TrickledHandshakesAndRequestsLeaveRoomForOthersAndAreCutOff) {
  snaptest::EmbeddedCluster cluster;
  cluster.options.request_timeout_ms = 3000;
  ASSERT_TRUE(cluster.Start()) << cluster.error();
  // A TLS record header, or the start of a request line, then one more byte each every 250 ms.
  std::vector<std::unique_ptr<RawTlsConnection>> requests;
  std::vector<int> handshakes;
  for (int i = 0; i < 150; ++i) {
    requests.push_back(std::make_unique<RawTlsConnection>(cluster.address(), 8000, 5));
    ASSERT_TRUE(requests.back()->connected() && requests.back()->Send("G")) << "connection " << i << " was not served";
  }
  for (int i = 0; i < 150; ++i) {
    handshakes.push_back(TcpConnect(cluster.address(), 8000));
    ASSERT_TRUE(handshakes.back() >= 0 && ::send(handshakes.back(), "\x16", 1, MSG_NOSIGNAL) == 1);
  }
  std::atomic<int> handshakes_cut{0}, requests_cut{0};
  std::thread trickle([&] {
    std::vector<bool> cut(300, false);
    for (int round = 0; round < 24 && handshakes_cut + requests_cut < 300; ++round) {
      for (int i = 0; i < 150; ++i) {
        if (!cut[i] && ::send(handshakes[i], "\x03", 1, MSG_NOSIGNAL) != 1) {
          cut[i] = true;
          ++handshakes_cut;
        }
        if (!cut[150 + i] && !requests[i]->Send("E")) {
          cut[150 + i] = true;
          ++requests_cut;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  });
  HttpsClient fresh(cluster.address(), 8000, cluster.ca_path());
  EXPECT_EQ(fresh.Login(cluster.user(), cluster.password()).status, 200);
  const long open = std::count_if(handshakes.begin(), handshakes.end(), [](int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  });
  EXPECT_EQ(open, 150) << "answered only once the crowd had been cut off";
  trickle.join();
  EXPECT_EQ(handshakes_cut, 150);
  EXPECT_EQ(requests_cut, 150);
  for (int fd : handshakes) ::close(fd);
}

// The fail-next, drop, malformed and delay switches are driven by the wrapper's tests, which fail
// when a switch does not act; these two only the emulator's own tests reach.
TEST_F(ServerTest, FailSwitchesFailRequestsInArrivalOrder) {
  ASSERT_EQ(client_->Put("/v1/debug/faults", "{\"fail_nth\":3}").status, 204);
  std::vector<int> statuses;
  for (int i = 0; i < 5; ++i) statuses.push_back(client_->Get("/v2/snapshots/").status);
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 503, 200, 200}));

  // A share of requests, the same ones again for the same seed.
  auto run = [&] {
    EXPECT_EQ(client_->Put("/v1/debug/faults", "{\"fail_ratio\":0.5,\"seed\":42}").status, 204);
    std::vector<int> seen;
    for (int i = 0; i < 40; ++i) seen.push_back(client_->Get("/v2/snapshots/").status);
    return seen;
  };
  std::vector<int> first = run();
  EXPECT_EQ(run(), first);
  long failures = std::count(first.begin(), first.end(), 503);
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 35);

  EXPECT_EQ(client_->Delete("/v1/debug/faults").status, 204);
  EXPECT_EQ(client_->Get("/v2/snapshots/").status, 200);
  // A misspelt switch is refused by name rather than left off.
  for (const auto& [hook, body, named] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"faults", "{\"fail_status\":404}", "fail_status"}, {"faults", "{\"fail_ratio\":2}", "fail_ratio"},
           {"faults", "{\"fail_nxt\":1}", "fail_nxt"}, {"synthetic-diff", "{\"fail_nxt\":1}", "fail_nxt"},
           {"delete-delay", "{\"fail_nxt\":1}", "fail_nxt"}}) {
    Reply refused = client_->Put("/v1/debug/" + hook, body);
    EXPECT_EQ(refused.Field("error_class"), "api_bad_request_error") << body;
    EXPECT_NE(refused.Field("description").find(named), std::string::npos) << hook << body << refused.body;
  }
}

TEST_F(ServerTest, RootDirectorySnapshotsAndDifferences) {
  const std::string root_id = IdOf("/");
  Reply older = CreateSnapshot("root_a", root_id);
  ASSERT_EQ(older.status, 200) << older.body;
  ASSERT_TRUE(cluster_.WriteFile("/top.txt", "top"));
  Reply newer = CreateSnapshot("root_b", root_id);
  ASSERT_EQ(newer.status, 200);
  EXPECT_EQ(snaptest::ReadFile(cluster_.DiskPath("/.snapshot/" + newer.Field("directory_name") + "/top.txt")), "top");
  EXPECT_EQ(FullDiff(IdText(newer), IdText(older), 10),
            (std::vector<Change>{{"MODIFY", "/"}, {"CREATE", "/top.txt"}}));
}

TEST_F(ServerTest, ParallelClientsWhileSnapshotsComeAndGo) {
  Make({"work"});
  const std::string dir_id = IdOf("/fs/projects");
  const std::string older = IdText(CreateSnapshot("base", dir_id));
  Make({"work/a=a"});
  const std::string newer = IdText(CreateSnapshot("next", dir_id));
  cluster_.server().SetDeleteDelay(std::chrono::milliseconds(0));
  cluster_.server().ResetCounters();

  constexpr int kClients = 6, kRounds = 30;
  std::vector<int> failures(kClients + 1, 0);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      HttpsClient client(cluster_.address(), 8000, cluster_.ca_path());
      client.set_token(client_->token());
      for (int i = 0; i < kRounds; ++i) {
        Reply diff = client.Get("/v2/snapshots/" + newer + "/changes-since/" + older + "?limit=1");
        Reply attributes = client.Get("/v1/files/%2Ffs%2Fprojects%2Fwork/info/attributes");
        Reply list = client.Get("/v2/snapshots/");
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
      Reply made = client.Post("/v2/snapshots/", "{\"name\":\"churn\",\"source_file_id\":\"" + dir_id + "\"}");
      if (made.status != 200 || client.Delete("/v2/snapshots/" + IdText(made)).status != 200) ++failures[kClients];
    }
  });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kClients + 1, 0));
  EXPECT_EQ(cluster_.server().counters().requests, uint64_t{kClients * kRounds * 3 + 20});
  EXPECT_EQ(cluster_.server().counters().tls_connections, uint64_t{kClients + 1});
  EXPECT_EQ(client_->Get("/v3/snapshots/").Strings("entries", "id"), (std::vector<std::string>{older, newer}));
}

// A deletion waits for the comparisons that hold its images; those that start later find the
// snapshot gone. Never a partial list, and never one kept for later requests.
TEST_F(ServerTest, ComparisonsDuringADeletionAreWholeOrNotFound) {
  const std::string dir_id = IdOf("/fs/projects");
  std::vector<std::string> olders;
  for (int i = 0; i < 3; ++i) olders.push_back(IdText(CreateSnapshot("old", dir_id)));
  for (int i = 0; i < 300; ++i) Make({"f" + std::to_string(i) + "=x"});
  cluster_.server().SetDeleteDelay(std::chrono::milliseconds(0));
  for (int round = 0; round < 4; ++round) {
    const std::string newer = IdText(CreateSnapshot("new", dir_id));
    std::atomic<int> wrong{0};
    std::vector<std::thread> comparers;
    for (int c = 0; c < 2; ++c) {
      comparers.emplace_back([&, c] {
        HttpsClient client(cluster_.address(), 8000, cluster_.ca_path());
        client.set_token(client_->token());
        for (bool gone = false; !gone;) {
          for (const std::string& older : olders) {
            const bool forward = c == 0;
            Reply reply = client.Get("/v2/snapshots/" + (forward ? newer : older) + "/changes-since/" +
                                     (forward ? older : newer) + "?limit=10000");
            gone = gone || reply.status == 404;
            if (reply.status != 404 && (reply.status != 200 || reply.Strings("entries", "op").size() != 301)) ++wrong;
          }
        }
      });
    }
    EXPECT_EQ(client_->Delete("/v2/snapshots/" + newer).status, 200);
    for (std::thread& comparer : comparers) comparer.join();
    EXPECT_EQ(wrong, 0) << "round " << round;
  }
}

// An older cluster lacks the v3 snapshot routes, a newer one the v2 ones but not the differences
// route; a missing route is told from a missing snapshot by its class. One of them sends names that
// are not UTF-8 as raw bytes. The other runs without the test hooks, whose routes are then no routes:
// like any other route unknown, 404 only to a client with a token.
TEST(ServerVersionsTest, SnapshotRoutesOfOneVersionAndRawNamesAndNoHooks) {
  for (clustersim::SnapshotApi api : {clustersim::SnapshotApi::kV2, clustersim::SnapshotApi::kV3}) {
    const bool v2 = api == clustersim::SnapshotApi::kV2;
    SCOPED_TRACE(v2 ? "v2 only" : "v3 only");
    snaptest::EmbeddedCluster cluster;
    cluster.options.exports = {{"/projects", "/fs/projects"}};
    cluster.options.snapshot_api = api;
    cluster.options.raw_names = v2;
    cluster.options.empty_pages = v2 ? 0 : 2;
    cluster.options.test_hooks = v2;
    ASSERT_TRUE(cluster.Start()) << cluster.error();
    HttpsClient client(cluster.address(), 8000, cluster.ca_path());
    EXPECT_EQ(client.Get("/v1/debug/counters").status, v2 ? 200 : 401);  // the hooks need no token
    ASSERT_EQ(client.Login(cluster.user(), cluster.password()).status, 200);
    EXPECT_EQ(client.Get("/v1/debug/counters").status, v2 ? 200 : 404);
    const std::string served = v2 ? "/v2/snapshots/" : "/v3/snapshots/", gone = v2 ? "/v3/snapshots/" : "/v2/snapshots/";
    for (const std::string method : {"GET", "DELETE", "POST"}) {
      Reply missing = method == "GET" ? client.Get(gone) : method == "DELETE" ? client.Delete(gone + "1") : client.Post(gone, "{}");
      EXPECT_EQ(missing.status, 404) << method;
      EXPECT_EQ(missing.Field("error_class"), "http_not_found_error") << method;
    }
    EXPECT_EQ(client.Get(served + "1").Field("error_class"), "snapshot_not_found_error");

    const std::string id = client.Get("/v1/files/" + Encode("/fs/projects") + "/info/attributes").Field("id");
    const std::string body = std::string(v2 ? "{\"name\"" : "{\"name_suffix\"") + ":\"s\",\"source_file_id\":\"" + id + "\"}";
    const uint64_t older = client.Post(served, body).Number("id");
    ASSERT_TRUE(cluster.WriteFile("/fs/projects/n\xff", "x"));
    const uint64_t newer = client.Post(served, body).Number("id");
    Reply page = client.Get("/v2/snapshots/" + std::to_string(newer) + "/changes-since/" + std::to_string(older));
    for (int empty = 0; empty < (v2 ? 0 : 2); ++empty) {  // pages that hold nothing and link on
      EXPECT_TRUE(page.Strings("entries", "path").empty()) << page.body;
      page = client.Get(page.NextPage());
    }
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find(v2 ? "\"/fs/projects/n\xff\"" : "\"/fs/projects/n\\udcff\""), std::string::npos) << page.body;
  }
}

}  // namespace
}  // namespace clustersim_test
