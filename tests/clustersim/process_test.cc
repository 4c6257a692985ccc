// The `clustersim` executable as users start it: the listening line, verified
// TLS with the CA it names, state kept across runs, clean stop on SIGTERM.
#include <cstdio>

#include <gtest/gtest.h>

#include "https_client.h"
#include "snaptest/cluster_process.h"
#include "snaptest/loopback.h"
#include "snaptest/temp_dir.h"

namespace clustersim_test {
namespace {

// The pin of the key `address` presents, worked out the way an administrator would, with the openssl tool.
std::string ServedKeyPin(const std::string& address) {
  const std::string command = "openssl s_client -connect " + address +
                              ":8000 </dev/null 2>/dev/null | openssl x509 -pubkey -noout | "
                              "openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64";
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return "sha256//" + out;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(snaptest::MakeDirs(temp_.Sub("root/fs/projects")));
    ASSERT_TRUE(snaptest::WriteFile(temp_.Sub("password"), "s3cret\n"));
  }

  std::vector<std::string> Args(const std::string& address) {
    return {"--root", temp_.Sub("root"), "--bind", address, "--user", "admin", "--password-file",
            temp_.Sub("password"), "--export", "/projects=/fs/projects", "--export", "/=/", "--test-hooks"};
  }

  snaptest::TempDir temp_{"clustersim-process"};
};

TEST_F(ProcessTest, StartsServesVerifiedTlsAndStopsOnSigterm) {
  const std::string address = snaptest::PickLoopbackAddress();
  snaptest::ClusterProcess emulator;
  ASSERT_TRUE(emulator.Start(Args(address))) << emulator.error();
  EXPECT_EQ(emulator.url(), "https://" + address + ":8000");
  // The state directory defaults to a sibling of the root.
  EXPECT_EQ(emulator.ca_path(), temp_.Sub("root.state/ca.pem"));
  EXPECT_EQ(emulator.listening_line(),
            "listening on https://" + address + ":8000 ca=" + emulator.ca_path() + " pin=" + emulator.pin());
  // The pin is of the key the server presents, not of the CA's.
  EXPECT_EQ(emulator.pin(), ServedKeyPin(address));

  HttpsClient client(address, 8000, emulator.ca_path());
  ASSERT_EQ(client.Login("admin", "s3cret").status, 200);
  Reply reply = client.Get("/v1/files/%2Ffs%2Fprojects/info/attributes");
  ASSERT_EQ(reply.status, 200);
  const std::string id = reply.Field("id");
  reply = client.Post("/v2/snapshots/", "{\"name\":\"first\",\"source_file_id\":\"" + id + "\"}");
  ASSERT_EQ(reply.status, 200);

  // Busy address: a second emulator fails with a message instead of sharing it.
  snaptest::ClusterProcess second;
  EXPECT_FALSE(second.Start(Args(address)));

  EXPECT_EQ(emulator.Stop(), 0);

  // Restarted on the same root: same CA, same ids, same snapshots.
  snaptest::ClusterProcess again;
  ASSERT_TRUE(again.Start(Args(address))) << again.error();
  HttpsClient after(address, 8000, again.ca_path());
  ASSERT_EQ(after.Login("admin", "s3cret").status, 200);
  EXPECT_EQ(after.Get("/v1/files/%2Ffs%2Fprojects/info/attributes").Field("id"), id);
  EXPECT_EQ(after.Get("/v2/snapshots/").Strings("entries", "name"), (std::vector<std::string>{"first"}));
  EXPECT_EQ(again.pin(), emulator.pin());
  EXPECT_EQ(again.Stop(), 0);
}

TEST_F(ProcessTest, RejectsBadCommandLines) {
  snaptest::ClusterProcess emulator;
  EXPECT_FALSE(emulator.Start({"--root", temp_.Sub("root")}));
  EXPECT_NE(emulator.error().find("exited"), std::string::npos) << emulator.error();
  EXPECT_FALSE(emulator.Start({"--root", temp_.Sub("missing"), "--bind", snaptest::PickLoopbackAddress(), "--user",
                               "a", "--password-file", temp_.Sub("password")}));
}

}  // namespace
}  // namespace clustersim_test
