// The `clustersim` executable as users start it: the listening line, verified
// TLS with the CA it names, state kept across runs, clean stop on SIGTERM,
// state it cannot trust refused, and crashes that leave nothing behind.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "https_client.h"
#include "snaptest/cluster_process.h"
#include "snaptest/loopback.h"
#include "snaptest/temp_dir.h"

namespace clustersim_test {
namespace {

struct Exit {
  int exit_status = -1;
  std::string output;  // standard output and standard error
};

Exit Shell(const std::string& command) {
  Exit run;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) run.output += buffer;
    const int status = ::pclose(pipe);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return run;
}

// The pin of the key `address` presents, worked out the way an administrator would, with the openssl tool.
std::string ServedKeyPin(const std::string& address) {
  std::string out = Shell("openssl s_client -connect " + address +
                          ":8000 </dev/null 2>/dev/null | openssl x509 -pubkey -noout | "
                          "openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64").output;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return "sha256//" + out;
}

// Runs the binary with `args` to its end, bounded: a start that should have been refused would
// otherwise serve on.
Exit RunToExit(const std::vector<std::string>& args) {
  std::string command = "timeout 30 " + snaptest::ClusterSimBinary();
  for (const std::string& arg : args) command += " '" + arg + "'";
  return Shell(command + " 2>&1");
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

  // The entries of a directory, "." and ".." left out.
  std::set<std::string> Entries(const std::string& below) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(temp_.Sub(below).c_str())) {
      while (struct dirent* entry = ::readdir(dir)) {
        if (std::string(".") != entry->d_name && std::string("..") != entry->d_name) names.insert(entry->d_name);
      }
      ::closedir(dir);
    }
    return names;
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

  // Busy address: a second emulator fails with a message instead of sharing it. One on the same
  // state directory fails even on another address: both would hand out the same snapshot ids.
  std::vector<std::string> elsewhere = Args(address);
  elsewhere.insert(elsewhere.end(), {"--state-dir", temp_.Sub("other.state")});
  Exit second = RunToExit(elsewhere);
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.output.find("cannot listen on " + address + ":8000"), std::string::npos) << second.output;
  const std::string other_address = snaptest::PickLoopbackAddress();
  second = RunToExit(Args(other_address));
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.output.find("another clustersim is using the state directory " + temp_.Sub("root.state")),
            std::string::npos)
      << second.output;

  EXPECT_EQ(emulator.Stop(), 0);

  // Restarted on the same root at another address: same CA, same key (a pinned client keeps
  // working), same ids, same snapshots.
  snaptest::ClusterProcess again;
  ASSERT_TRUE(again.Start(Args(other_address))) << again.error();
  HttpsClient after(other_address, 8000, again.ca_path());
  ASSERT_EQ(after.Login("admin", "s3cret").status, 200);
  EXPECT_EQ(after.Get("/v1/files/%2Ffs%2Fprojects/info/attributes").Field("id"), id);
  EXPECT_EQ(after.Get("/v2/snapshots/").Strings("entries", "name"), (std::vector<std::string>{"first"}));
  EXPECT_EQ(again.pin(), emulator.pin());
  EXPECT_EQ(again.Stop(), 0);
}

// A state file read wrongly could hand out ids whose images still exist, or point a removal outside
// the root: the emulator stops with a message instead of starting over.
TEST_F(ProcessTest, RefusesSnapshotStateItCannotTrust) {
  const std::string state = temp_.Sub("root.state");
  const auto record = [](const std::string& id, const std::string& directory_name) {
    return "{\"id\":" + id + ",\"name\":\"a\",\"directory_name\":\"" + directory_name +
           "\",\"source_file_id\":\"9007199254740993\",\"source_path\":\"/fs/projects/\",\"timestamp\":1,"
           "\"timestamp_nsec\":0,\"expiration\":\"\",\"in_delete\":false}";
  };
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"{}", "lacks next_id or snapshots"},
      {"{\"next_id\":4}", "lacks next_id or snapshots"},
      {"{\"next_id\":4,\"snapshots\":[" + record("1", "1_a") + "," + record("1", "1_a") + "]}", "two snapshot records"},
      {"{\"next_id\":4,\"snapshots\":[" + record("1", "../../escape") + "]}", "directory_name"},
      {"{\"next_id\":4,\"snapshots\":[" + record("1", "1_a") + "]}", "has no image"},
      {"", "is missing while"},  // no file, but an image
  };
  for (const auto& entry : refused) {
    ASSERT_EQ(std::system(("rm -rf " + state + " && mkdir -p " + state + "/images/3").c_str()), 0);
    if (!entry.first.empty()) {
      ASSERT_TRUE(snaptest::WriteFile(state + "/snapshots.json", entry.first));
    }
    const Exit run = RunToExit(Args(snaptest::PickLoopbackAddress()));
    EXPECT_EQ(run.exit_status, 1) << entry.first;
    EXPECT_NE(run.output.find(entry.second), std::string::npos) << entry.first << ": " << run.output;
  }
}

// Killed at any moment, mid-copy included: the next start lists every image it keeps, keeps no
// other, and never hands out an id that had one.
TEST_F(ProcessTest, KilledWhileCreatingLeavesNoStrayImagesOrReusedIds) {
  ::signal(SIGPIPE, SIG_IGN);  // a write to the killed emulator fails the request, not the test
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(snaptest::WriteFile(temp_.Sub("root/fs/projects/f" + std::to_string(i)), std::string(4096, 'x')));
  }
  const std::string address = snaptest::PickLoopbackAddress();
  std::mt19937 random(11);
  uint64_t highest = 0;
  for (int round = 0; round < 4; ++round) {
    snaptest::ClusterProcess emulator;
    ASSERT_TRUE(emulator.Start(Args(address))) << emulator.error();
    HttpsClient client(address, 8000, emulator.ca_path());
    ASSERT_EQ(client.Login("admin", "s3cret").status, 200);
    const Reply listed = client.Get("/v2/snapshots/");
    const std::vector<std::string> ids = listed.Strings("entries", "id");
    const std::vector<std::string> names = listed.Strings("entries", "directory_name");
    EXPECT_EQ(Entries("root.state/images"), std::set<std::string>(ids.begin(), ids.end())) << "round " << round;
    EXPECT_EQ(Entries("root/fs/projects/.snapshot"), std::set<std::string>(names.begin(), names.end()));
    const std::string dir_id = client.Get("/v1/files/%2Ffs%2Fprojects/info/attributes").Field("id");
    // The create the crash cut short, asked again, must not trip over what the crash left.
    Reply made = client.Post("/v2/snapshots/", "{\"name\":\"busy\",\"source_file_id\":\"" + dir_id + "\"}");
    ASSERT_EQ(made.status, 200) << made.body;
    EXPECT_GT(made.Number("id"), highest) << "round " << round;
    std::atomic<bool> stop{false};
    std::thread creator([&] {
      HttpsClient busy(address, 8000, emulator.ca_path());
      busy.set_token(client.token());
      while (!stop && busy.Post("/v2/snapshots/", "{\"name\":\"busy\",\"source_file_id\":\"" + dir_id + "\"}")
                          .status == 200) {
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 200));  // the crash's moment
    emulator.Kill();
    stop = true;
    creator.join();
    for (const std::string& id : Entries("root.state/images")) highest = std::max<uint64_t>(highest, std::stoull(id));
  }
}

TEST_F(ProcessTest, RejectsBadCommandLinesAndTellsWhy) {
  const std::string address = snaptest::PickLoopbackAddress();
  const std::vector<std::string> base = {"--root", temp_.Sub("root"), "--bind", address, "--user", "a",
                                         "--password-file", temp_.Sub("password")};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), base.begin(), base.end());
    return more;
  };
  const struct {
    std::vector<std::string> args;
    int exit_status;
    const char* says;
  } refused[] = {
      {{"--root", temp_.Sub("root")}, 2, "--bind is required"},
      {base, 2, "at least one --export is required"},
      {with({"--export", "/p=/fs/missing"}), 1, "the export /p names /fs/missing, which is not a directory"},
      {{"--root", temp_.Sub("missing"), "--bind", address, "--user", "a", "--password-file", temp_.Sub("password"),
        "--export", "/=/"},
       1, "does not exist"},
      // The hooks need no token: off loopback that is worth a warning (the address is not this host's,
      // so nothing is served).
      {{"--root", temp_.Sub("root"), "--bind", "192.0.2.1", "--user", "a", "--password-file", temp_.Sub("password"),
        "--export", "/=/", "--test-hooks"},
       1, "warning: --test-hooks on 192.0.2.1, which is not a loopback address"},
  };
  for (const auto& start : refused) {
    Exit run = RunToExit(start.args);
    EXPECT_EQ(run.exit_status, start.exit_status) << run.output;
    EXPECT_NE(run.output.find(start.says), std::string::npos) << run.output;
  }
  const Exit help = RunToExit({"--help"});
  EXPECT_NE(help.output.find("bearer token lifetime, 36000"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find("--delete-delay MS"), std::string::npos) << help.output;
}

}  // namespace
}  // namespace clustersim_test
