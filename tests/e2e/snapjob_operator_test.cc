// What operators and integrators rely on, through the built snapjob against the emulator process:
// the registry checked before the plug-in is loaded, pinned keys instead of a CA, and a job stopped
// by a signal keeping its log.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "site_test.h"

namespace e2e {
namespace {

using SnapjobOperator = SiteTest;

TEST_F(SnapjobOperator, RegistryProblemsAreNamedBeforeThePluginIsLoaded) {
  StartSite();
  const std::string good = snaptest::ReadFile(site_.registry());
  struct Case {
    std::string file;
    std::string content;  // "" : not written
    mode_t mode;
    std::string cause;
  } cases[] = {
      // One of each kind; the registry check's own test has every cause.
      {"absent.json", "", 0600, "] does not exist"},
      {"loose.json", good, 0644, "] may be read by group or others"},
      {"bare.json", "{\"clients\": [{\"id\": 7, \"hostname\": \"h\"}]}", 0600, "has no \"fileserver\" entry"},
  };
  for (const Case& c : cases) {
    const std::string path = site_.Path(c.file);
    if (!c.content.empty()) {
      ASSERT_TRUE(snaptest::WriteFile(path, c.content));
      ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    }
    // A plug-in that cannot be loaded: the registry's cause must come first.
    CommandResult result = RunCommand(
        SnapjobBinary(),
        Plus(Without(Args(71, 0), "--registry"), {"--registry", path, "--plugin", "/nonexistent.so", backup_}));
    EXPECT_EQ(result.exit_status, 2) << c.file;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    EXPECT_EQ(result.err.rfind("snapjob: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("client registry [" + path + "]"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.cause), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("nonexistent"), std::string::npos) << result.err;
  }

}

// Each refusal comes before anything is made or deleted: the cluster keeps exactly job 1's snapshot.
TEST_F(SnapjobOperator, AWrongPreviousJobOrAnUnusableFileIsRefusedBeforeTheCluster) {
  StartSite();
  // A first job naming a previous one: nothing to lose yet, so it goes on and says why.
  CommandResult first = Job(1, 99, {});
  ASSERT_EQ(first.exit_status, 0) << first.err;
  EXPECT_NE(first.err.find("snapjob: previous job 99 has no snapshot: no job of client 7, application 2 has one on "
                           "the cluster yet (a first job)"),
            std::string::npos)
      << first.err;
  const std::vector<std::string> kept = site_.Snapshots("/fs/projects");
  ASSERT_EQ(kept.size(), 1u);

  const std::string missing_dir = site_.Path("no-such-dir/job-2.map");
  struct Case {
    std::vector<std::string> args;
    std::string cause;
  } cases[] = {
      {Plus(Args(2, 55), {"--incremental"}),
       "previous job 55 has no snapshot of client 7, application 2 on the cluster, but job 1 has"},
      {Plus(Without(Args(2, 1), "--map-file"), {"--map-file", missing_dir}),
       "map file [" + missing_dir + "] cannot be created: its directory [" + site_.Path("no-such-dir") +
           "]: No such file or directory"},
      {Plus(Without(Args(2, 1), "--ca-file"), {"--ca-file", site_.Path("absent-ca.pem")}),
       "CA file [" + site_.Path("absent-ca.pem") + "] cannot be read: No such file or directory"},
  };
  for (const Case& c : cases) {
    CommandResult result = RunCommand(SnapjobBinary(), Plus(c.args, {"--output", "jsonl", backup_}));
    EXPECT_EQ(result.exit_status, 2) << result.err;
    EXPECT_EQ(result.err.rfind("snapjob: " + c.cause, 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    EXPECT_EQ(Closing(result.out), "error") << result.out;
    EXPECT_EQ(result.out.find("\"record\":\"snapshot\""), std::string::npos) << result.out;
    EXPECT_EQ(site_.Snapshots("/fs/projects"), kept) << c.cause;
  }

  // Asked for, the missing previous job is accepted: the path comes whole and job 1 is retired.
  CommandResult allowed = Job(2, 55, {"--incremental", "--allow-missing-previous"});
  ASSERT_EQ(allowed.exit_status, 0) << allowed.err;
  EXPECT_EQ(allowed.out.rfind("new       dir   " + backup_ + "\n", 0), 0u) << allowed.out;
  EXPECT_NE(allowed.err.find("snapjob: " + backup_ + " has no snapshot of previous job 55: all of it comes as new\n"),
            std::string::npos)
      << allowed.err;
  const std::vector<std::string> after = site_.Snapshots("/fs/projects");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], kept[0]);
}

TEST_F(SnapjobOperator, PinnedKeyStandsInForTheCaOfSignedAndSelfSignedCertificates) {
  StartSite();
  // Neither CA nor pin: the emulator's CA is not in the system store, and the report says what to give.
  const std::vector<std::string> no_ca = Without(Args(81, 0), "--ca-file");
  CommandResult untrusted = RunCommand(SnapjobBinary(), Plus(no_ca, {backup_}));
  EXPECT_EQ(untrusted.exit_status, 1);
  EXPECT_NE(untrusted.err.find("snapjob: Initialize failed: error 12175\n"), std::string::npos) << untrusted.err;
  EXPECT_NE(untrusted.err.find("hint: the cluster's certificate is not trusted: trust its CA with --ca-file FILE, or "
                               "pin its public key with --pin"),
            std::string::npos)
      << untrusted.err;

  CommandResult fingerprint = RunCommand(SnapjobBinary(), {"fingerprint", "--host", site_.address()});
  ASSERT_EQ(fingerprint.exit_status, 0) << fingerprint.err;
  ASSERT_EQ(fingerprint.out.rfind("pin      sha256//", 0), 0u) << fingerprint.out;
  const std::string pin = fingerprint.out.substr(9, fingerprint.out.find('\n') - 9);
  EXPECT_NE(fingerprint.out.find("\nexpires  20"), std::string::npos) << fingerprint.out;

  CommandResult pinned = RunCommand(SnapjobBinary(), Plus(no_ca, {"--pin", pin, backup_}));
  EXPECT_EQ(pinned.exit_status, 0) << pinned.err;
  // The proxy is used, not the environment's: a proxy that is not there stops the job.
  CommandResult proxied =
      RunCommand(SnapjobBinary(), Plus(no_ca, {"--pin", pin, "--proxy", "http://127.0.0.1:1", backup_}));
  EXPECT_EQ(proxied.exit_status, 1) << proxied.err;
  EXPECT_EQ(site_.Snapshots("/fs/projects").size(), 1u);

  // A cluster with its own self-signed certificate, which no CA file can vouch for.
  snaptest::TempDir keys("selfsigned");
  CommandResult made =
      RunCommand("/usr/bin/openssl",
                 {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                  "/CN=cluster.example", "-days", "2", "-keyout", keys.Sub("key.pem"), "-out", keys.Sub("cert.pem")});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  BackupSite self_signed;
  BackupSite::Config config;
  config.extra_emulator_args = {"--cert", keys.Sub("cert.pem"), "--key", keys.Sub("key.pem")};
  ASSERT_TRUE(self_signed.Start(config)) << self_signed.error();
  fingerprint = RunCommand(SnapjobBinary(), {"fingerprint", "--host=" + self_signed.address(), "--port=8000"});
  ASSERT_EQ(fingerprint.exit_status, 0) << fingerprint.err;
  EXPECT_NE(fingerprint.out.find("\nsubject  CN=cluster.example\n"), std::string::npos) << fingerprint.out;
  const std::string self_pin = fingerprint.out.substr(9, fingerprint.out.find('\n') - 9);
  EXPECT_NE(self_pin, pin);
  // Pinned to another key, as after the cluster's key was replaced: both pins and the way out.
  CommandResult changed = RunCommand(SnapjobBinary(), Plus(no_ca, {"--pin", self_pin, backup_}));
  EXPECT_EQ(changed.exit_status, 1);
  EXPECT_NE(changed.err.find("  hint: the cluster's public key changed since it was pinned (or this is not the "
                             "cluster)\n    pinned:    " + self_pin + "\n    presented: " + pin + "\n"),
            std::string::npos)
      << changed.err;
  EXPECT_NE(changed.err.find("snapjob fingerprint --host " + site_.address()), std::string::npos) << changed.err;
  const std::vector<std::string> args =
      Without(self_signed.JobArgs(82, 0, self_signed.Path("job-82.map")), "--ca-file");
  CommandResult job = RunCommand(SnapjobBinary(), Plus(args, {"--pin", self_pin, self_signed.MountPoint("/projects")}));
  EXPECT_EQ(job.exit_status, 0) << job.err;
}

TEST_F(SnapjobOperator, AStoppedJobKeepsItsLogAndExitsWithTheSignalsCode) {
  BackupSite::Config config;
  config.extra_emulator_args = {"--synthetic-diff", "/fs/projects/=40000"};  // megabytes of change records
  StartSite(config);
  ASSERT_EQ(Job(1, 0, {}).exit_status, 0);
  ASSERT_EQ(Job(2, 1, {}).exit_status, 0);

  // Job 3 retires job 1's snapshot, then blocks on a change list nobody reads: stopped there.
  // Job 4 retires job 2's and finds its reader gone.
  struct Case {
    int64_t job;
    int signal_number;  // 0: the reader closes the pipe instead
    int exit_status;
    std::string retired;
  } cases[] = {{3, SIGTERM, 128 + SIGTERM, "kwsnap_7_2_1_"}, {4, 0, 128 + SIGPIPE, "kwsnap_7_2_2_"}};
  for (const Case& c : cases) {
    const std::string log = site_.Path("job-" + std::to_string(c.job) + ".log");
    ChildProcess child;
    ASSERT_TRUE(child.Start(SnapjobBinary(), Plus(Args(c.job, c.job - 1),
                                                  {"--incremental", "--output", "jsonl", "--log-file", log, backup_})));
    ASSERT_TRUE(child.AwaitOutput(60)) << c.job;
    std::string last;
    if (c.signal_number != 0) {
      child.Signal(c.signal_number);
      // Read on: the writer lets go of the stream and the signal's record closes it.
      for (std::string line; child.ReadLine(20, &line);) last = line;
    } else {
      child.CloseOutput();
    }
    EXPECT_EQ(child.Wait(), c.exit_status) << c.job;
    if (c.signal_number != 0) {
      EXPECT_EQ(Closing(last + "\n"), "error") << last;
      EXPECT_NE(last.find("\"signal\":\"SIGTERM\""), std::string::npos) << last;
    }
    const std::string text = snaptest::ReadFile(log);
    EXPECT_NE(text.find("Created Snapshot kwsnap_7_2_" + std::to_string(c.job) + "_"), std::string::npos) << text;
    EXPECT_NE(text.find("Deleting snapshot [" + c.retired), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace e2e
