// The client registry check that both the plug-in (through KWClient) and snapjob's guard rails
// rely on: each way a registry can be unusable is named, and credentials leave only a private file
// of this user.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ClientRegistry.h"
#include "snaptest/temp_dir.h"

namespace {

const char kGood[] =
    R"({"clients": [{"id": 7, "hostname": "10.0.0.5", "fileserver": {"username": "admin", "password": "Pw-9x"}},
                    {"id": 8, "hostname": "10.0.0.6"}, {"id": 9, "fileserver": {"username": "u"}}]})";

class ClientRegistryTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content, mode_t mode = 0600) {
    const std::string path = dir_.Sub(name);
    EXPECT_TRUE(snaptest::WriteFile(path, content));
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  snaptest::TempDir dir_{"registry"};
};

TEST_F(ClientRegistryTest, EachUnusableRegistryIsNamedWithItsCause) {
  const std::string good = Write("good.json", kGood);
  const std::string fifo = dir_.Sub("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // opened without blocking, refused unread
  const std::string huge = Write("huge.json", kGood);
  ASSERT_EQ(::truncate(huge.c_str(), off_t(3) << 30), 0);  // sparse: refused unread, not read whole
  struct Case {
    std::string path;
    unsigned long client;
    std::string problem;  // a part of it
    bool readable;
  } cases[] = {
      {"", 7, "no client registry is set", false},
      {dir_.Sub("absent.json"), 7, "] does not exist", false},
      {dir_.path(), 7, "] is not a regular file", false},
      {fifo, 7, "] is not a regular file", false},
      {huge, 7, "] is larger than 1 MiB; refused", false},
      {Write("bad.json", "{\"clients\": [", 0600), 7, "] is not valid JSON", false},
      {Write("list.json", "{\"hosts\": []}", 0600), 7, "] has no \"clients\" list", false},
      {good, 5, "] has no client 5", true},
      {good, 8, "has no \"fileserver\" entry with a username", true},
      {good, 9, "has no \"hostname\"", true},
      {Write("loose.json", kGood, 0640), 7, "may be read by group or others", true},
      {Write("writable.json", kGood, 0620), 7, "is writable by group or others", true},
  };
  for (const Case& c : cases) {
    const RegistryCheck check = CheckClientRegistry(c.path, c.client);
    EXPECT_NE(check.problem.find(c.problem), std::string::npos) << c.path << ": " << check.problem;
    EXPECT_EQ(check.readable, c.readable) << c.path;
    EXPECT_EQ(check.problem.find("Pw-9x"), std::string::npos);
  }

  const RegistryCheck ok = CheckClientRegistry(good, 7);
  EXPECT_EQ(ok.problem, "");
  EXPECT_TRUE(ok.credentialsAllowed);
  EXPECT_EQ(ok.record.hostname, "10.0.0.5");
  EXPECT_EQ(ok.record.password, "Pw-9x");
}

TEST_F(ClientRegistryTest, ARegistryOfAnotherUserGivesNoCredentials) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  const std::string foreign = Write("foreign.json", kGood);
  ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  const RegistryCheck check = CheckClientRegistry(foreign, 7);
  EXPECT_FALSE(check.credentialsAllowed);
  EXPECT_NE(check.problem.find("belongs to uid 65534"), std::string::npos) << check.problem;
}

}  // namespace
