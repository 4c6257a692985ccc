// The emulator's parts on their own: page tokens, synthetic lists, the
// difference cache, file identities, sessions, certificates and the command
// line. Differences themselves, and their escaping, are checked over HTTPS
// (server_test) and through snapjob (odd names end to end).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "clustersim/certificates.h"
#include "clustersim/diff_engine.h"
#include "clustersim/diff_pages.h"
#include "clustersim/file_ids.h"
#include "clustersim/json.h"
#include "clustersim/options.h"
#include "clustersim/sessions.h"
#include "snaptest/temp_dir.h"

namespace clustersim {
namespace {

TEST(PageTokenTest, TokensAreBoundToTheirPairAndList) {
  size_t index = 0;
  std::string token = MakePageToken(3, 9, 1000);
  ASSERT_TRUE(ParsePageToken(token, 3, 9, 5000, &index).ok());
  EXPECT_EQ(index, 1000u);
  EXPECT_FALSE(ParsePageToken(token, 9, 3, 5000, &index).ok());
  EXPECT_FALSE(ParsePageToken(token, 3, 9, 1000, &index).ok());  // past the end
  EXPECT_FALSE(ParsePageToken(MakePageToken(3, 9, 0), 3, 9, 10, &index).ok());
  EXPECT_FALSE(ParsePageToken(token + "x", 3, 9, 5000, &index).ok());
  EXPECT_FALSE(ParsePageToken("p1.3.9.99999999999999999999999", 3, 9, 5000, &index).ok());
}

// Names are arbitrary bytes; a JSON string must carry each back exactly, and two names never alike.
TEST(JsonStringTest, AnyBytesComeBackExactAndDistinct) {
  std::mt19937 random(7);
  const std::vector<std::string> pieces = {"\xff", "\x80", "\xc3", "\xc3\xa9", "\xed\xb2\x80", "\xf4\x8f\xbf\xbf",
                                           "\xf4\x90\x80\x80", "\\udcff", "\\", "\"", "\n", "a", "/"};
  std::set<std::string> names, encodings;
  for (int i = 0; i < 3000; ++i) {
    std::string name;
    for (int n = static_cast<int>(random() % 6); n >= 0; --n) {
      name += random() % 3 == 0 ? std::string(1, static_cast<char>(random() % 256)) : pieces[random() % pieces.size()];
    }
    std::string json = "{\"n\":";
    AppendJsonString(&json, name);
    json += "}";
    JsonObject parsed;
    std::optional<std::string> back;
    ASSERT_TRUE(JsonObject::Parse(json, &parsed).ok()) << json;
    ASSERT_TRUE(parsed.GetString("n", &back).ok());
    ASSERT_EQ(back.value_or(""), name) << json;
    if (names.insert(name).second) {
      ASSERT_TRUE(encodings.insert(json).second) << json;
    }
  }
  JsonObject refused;
  for (const char* text : {"{\"n\":\"\\udc41\"}", "{\"n\":\"\\ud800\"}", "{\"n\":1,\"n\":2}", "{\"n\":\"a\x01\"}"}) {
    EXPECT_FALSE(JsonObject::Parse(text, &refused).ok()) << text;
  }
}

TEST(SyntheticDifferenceTest, DeterministicOrderedAndRealistic) {
  std::vector<DiffEntry> first, second;
  SynthesizeDifference("/fs/big/", 3000, [&](const DiffEntry& entry) { first.push_back(entry); });
  SynthesizeDifference("/fs/big/", 3000, [&](const DiffEntry& entry) { second.push_back(entry); });
  ASSERT_EQ(first.size(), 3000u);
  size_t directories = 0;
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].path, second[i].path);
    EXPECT_EQ(first[i].op, second[i].op);
    EXPECT_TRUE(i == 0 || first[i - 1].path < first[i].path) << first[i].path;
    size_t below = first[i].path.size() - std::string("/fs/big/").size();
    EXPECT_GE(below, 60u);
    EXPECT_LE(below, 120u);
    EXPECT_EQ(first[i].is_directory, first[i].path.back() == '/');
    directories += first[i].is_directory;
  }
  EXPECT_NEAR(static_cast<double>(directories) / 3000, 0.15, 0.04);
}

TEST(DiffCacheTest, BuildsOncePerPairWithinItsByteBudget) {
  std::map<std::pair<uint64_t, uint64_t>, int> builds;
  DiffCache cache(128 * 1024);  // some five pairs of 20 entries
  auto get = [&](uint64_t older, uint64_t newer, size_t entries) {
    std::shared_ptr<const RenderedDiff> diff;
    auto build = [&](RenderedDiff* out) {
      ++builds[{older, newer}];
      for (size_t i = 0; i < entries; ++i) out->Add({ChangeOp::kCreated, false, "/" + std::string(500, 'x')});
      return Status::Ok();
    };
    EXPECT_TRUE(cache.Get(older, newer, build, &diff).ok());
    return diff;
  };
  for (uint64_t older = 1; older <= 5; ++older) get(older, 100, 20);
  get(1, 100, 20);
  EXPECT_EQ(builds[std::make_pair(uint64_t{1}, uint64_t{100})], 1);
  // Larger than the budget on its own: the others make room, and it stays for its next page.
  EXPECT_EQ(get(6, 100, 400)->size(), 400u);
  get(6, 100, 400);
  EXPECT_EQ(builds[std::make_pair(uint64_t{6}, uint64_t{100})], 1);
  get(1, 100, 20);
  EXPECT_EQ(builds[std::make_pair(uint64_t{1}, uint64_t{100})], 2);

  cache.Forget(100);
  get(1, 100, 20);
  EXPECT_EQ(builds[std::make_pair(uint64_t{1}, uint64_t{100})], 3);
  // A failed build is not cached.
  std::shared_ptr<const RenderedDiff> diff;
  EXPECT_FALSE(cache.Get(4, 5, [](RenderedDiff*) { return Status::Internal("boom"); }, &diff).ok());
  EXPECT_EQ(get(4, 5, 1)->size(), 1u);
}

TEST(FileIdTableTest, ReplacedDirectoriesGetNewIdsAndIdsPersist) {
  snaptest::TempDir temp("fileids");
  const std::string root = temp.Sub("root"), state = temp.Sub("state");
  ASSERT_TRUE(snaptest::MakeDirs(root + "/a/b"));
  ASSERT_TRUE(snaptest::MakeDirs(state));
  PathResolver resolver;
  ASSERT_TRUE(PathResolver::Create(root, &resolver).ok());
  ResolvedPath path;
  ASSERT_TRUE(resolver.Resolve("/a/b", &path).ok());
  uint64_t first_id = 0, again = 0;
  {
    FileIdTable table;
    ASSERT_TRUE(table.Open(state, &resolver).ok());
    ASSERT_TRUE(table.IdOf(path, &first_id).ok());
    EXPECT_EQ(first_id, FileIdTable::kFirstId);
    ASSERT_TRUE(table.IdOf(path, &again).ok());
    EXPECT_EQ(again, first_id);
    // Re-made many times in a row: inode numbers and birth times may repeat, ids may not.
    std::set<uint64_t> seen = {first_id};
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(::rmdir((root + "/a/b").c_str()), 0);
      ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
      uint64_t id = 0;
      ASSERT_TRUE(table.IdOf(path, &id).ok());
      EXPECT_TRUE(seen.insert(id).second) << "id reused after re-creation " << i;
    }
    ASSERT_TRUE(table.IdOf(path, &again).ok());
  }
  // Moved while the table was closed: found again by walking the tree.
  ASSERT_TRUE(snaptest::MakeDirs(root + "/c"));
  ASSERT_EQ(::rename((root + "/a/b").c_str(), (root + "/c/moved").c_str()), 0);
  FileIdTable reopened;
  ASSERT_TRUE(reopened.Open(state, &resolver).ok());
  ResolvedPath found;
  ASSERT_TRUE(reopened.Locate(again, &found).ok());
  EXPECT_EQ(found.cluster_path, "/c/moved");
  // A stale id costs one walk of the tree, not one per request; one moved since is found again.
  const uint64_t walks = reopened.walks();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reopened.Locate(first_id, &found).http_status(), 404);
  EXPECT_EQ(reopened.walks(), walks);
  ASSERT_EQ(::rename((root + "/c/moved").c_str(), (root + "/c/again").c_str()), 0);
  ASSERT_TRUE(reopened.Locate(again, &found).ok());
  EXPECT_EQ(found.cluster_path, "/c/again");
  ResolvedPath other;
  ASSERT_TRUE(resolver.Resolve("/c", &other).ok());
  uint64_t next = 0;
  ASSERT_TRUE(reopened.IdOf(other, &next).ok());
  EXPECT_EQ(next, again + 1);  // the counter continues after a restart
}

TEST(SessionTableTest, TokensExpireAndAreSweptWrongLoginsSlowTheirAddressDown) {
  SessionTable sessions("admin", "pw", std::chrono::seconds(3600));
  std::string token;
  ASSERT_TRUE(sessions.Login("admin", "pw", "10.0.0.1", &token).ok());
  EXPECT_TRUE(sessions.Check(token).ok());
  sessions.ExpireAll();
  EXPECT_EQ(sessions.Check(token).message(), "bearer token expired");
  std::string fresh;
  ASSERT_TRUE(sessions.Login("admin", "pw", "10.0.0.1", &fresh).ok());
  EXPECT_TRUE(sessions.Check(fresh).ok());

  // Wrong logins from one address: a few are answered, then that address waits, right password or not.
  for (int i = 0; i < SessionTable::kFreeFailures; ++i) {
    EXPECT_EQ(sessions.Login("root", "pw", "10.0.0.2", &token).http_status(), 401) << i;
  }
  std::chrono::seconds retry_after{0};
  EXPECT_EQ(sessions.Login("admin", "pw", "10.0.0.2", &token, &retry_after).http_status(), 429);
  EXPECT_EQ(retry_after.count(), 1);
  EXPECT_TRUE(sessions.Login("admin", "pw", "10.0.0.3", &token).ok());

  // Tokens expired for a lifetime are forgotten as logins go on, not kept until the table is large.
  SessionTable short_lived("admin", "pw", std::chrono::seconds(0));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(short_lived.Login("admin", "pw", "10.0.0.1", &token).ok());
  EXPECT_EQ(short_lived.Check(token).http_status(), 401);
  EXPECT_LE(short_lived.tokens(), 1u);
}

bool CertificateCoversAddress(const std::string& path, const std::string& address) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  bool ok = cert != nullptr && X509_check_ip_asc(cert, address.c_str(), 0) == 1 &&
            X509_check_host(cert, "localhost", 9, 0, nullptr) == 1;
  X509_free(cert);
  return ok;
}

TEST(CertificatesTest, ReusedForTheSameAddressRemadeForAnother) {
  snaptest::TempDir temp("certs");
  CertificatePaths paths;
  ASSERT_TRUE(EnsureCertificates(temp.path(), "127.3.4.5", &paths).ok());
  EXPECT_TRUE(CertificateCoversAddress(paths.server_cert, "127.3.4.5"));
  struct stat st;
  ASSERT_EQ(::stat(paths.server_key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(temp.Sub("ca-key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string ca = snaptest::ReadFile(paths.ca_cert), server = snaptest::ReadFile(paths.server_cert);
  ASSERT_TRUE(EnsureCertificates(temp.path(), "127.3.4.5", &paths).ok());
  EXPECT_EQ(snaptest::ReadFile(paths.server_cert), server);
  ASSERT_TRUE(EnsureCertificates(temp.path(), "127.6.7.8", &paths).ok());
  EXPECT_NE(snaptest::ReadFile(paths.server_cert), server);
  EXPECT_EQ(snaptest::ReadFile(paths.ca_cert), ca);  // clients that trust the CA keep trusting it
  EXPECT_TRUE(CertificateCoversAddress(paths.server_cert, "127.6.7.8"));
}

// Accepted options are exercised by every test that starts the executable; these are refused, and
// the "--opt=value" form splits at its first "=" only.
TEST(OptionsTest, RefusesMalformedCommandLinesAndTakesInlineValues) {
  Options options;
  bool help = false;
  const std::vector<std::string> base = {"--root", "/r", "--bind", "a", "--user", "u", "--password-file", "p"};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), base.begin(), base.end());
    return more;
  };
  EXPECT_FALSE(ParseCommandLine(base, &options, &help).ok());  // serves nothing without an export
  ASSERT_TRUE(ParseCommandLine(with({"--export", "/p=/fs/p"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--port", "70000"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--export", "nothing"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--export", "0:/p=/fs/p"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--export", "x:/p=/fs/p"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--snapshot-api", "v4"}), &options, &help).ok());
  EXPECT_FALSE(ParseCommandLine(with({"--cert", "c"}), &options, &help).ok());  // without its key
  EXPECT_FALSE(ParseCommandLine(with({"--verbose=yes"}), &options, &help).ok());

  Options inline_values;
  ASSERT_TRUE(ParseCommandLine(with({"--port=8001", "--export=/p=/fs/p", "--export=7:/p:x=/fs/q",
                                      "--snapshot-api=v2"}),
                               &inline_values, &help)
                  .ok());
  EXPECT_EQ(inline_values.port, 8001);
  EXPECT_EQ(inline_values.snapshot_api, SnapshotApi::kV2);
  ASSERT_EQ(inline_values.exports.size(), 2u);
  EXPECT_EQ(inline_values.exports[0].export_path, "/p");
  EXPECT_EQ(inline_values.exports[0].fs_path, "/fs/p");
  EXPECT_EQ(inline_values.exports[0].tenant_id, 1);
  // Only a prefix before the leading "/" is a tenant.
  EXPECT_EQ(inline_values.exports[1].export_path, "/p:x");
  EXPECT_EQ(inline_values.exports[1].tenant_id, 7);
}

}  // namespace
}  // namespace clustersim
