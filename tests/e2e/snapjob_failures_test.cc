// Jobs that fail, and bad usage, through the built snapjob against the emulator process: the exit
// status, the failed operation, its code, message and code locations on standard error, and the
// password absent from everything snapjob prints or logs.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "site_test.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

class SnapjobFailures : public SiteTest {
 protected:
  void SetUp() override { StartSite(); }

  static void ExpectNoneHolds(const std::string& secret, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) EXPECT_EQ(text.find(secret), std::string::npos) << text;
  }
};

// The second path is not mounted: the first one's snapshot is made, and said so before the error.
TEST_F(SnapjobFailures, UnmountedPathFailsInConfigureSnapshotAfterWhatItMadeIsRecorded) {
  const std::string unmounted = site_.Path("not-mounted");
  ASSERT_TRUE(snaptest::MakeDirs(unmounted));
  CommandResult result = RunCommand(SnapjobBinary(), Plus(Args(41), {"--output", "jsonl", backup_, unmounted}));
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_THAT(result.err, HasSubstr("snapjob: ConfigureSnapshot failed: error 1627\n"));
  EXPECT_THAT(result.err, HasSubstr("  message: \" Scan Content [" + unmounted + "] is not mounted\"\n"));
  // Where it was raised; the whole chain is the snap client's own test.
  EXPECT_THAT(result.err, HasSubstr("  at QumuloSnapClient: CQiError CQumuloSnapClient::GetExportInfo("));
  EXPECT_EQ(Closing(result.out), "error") << result.out;
  const std::vector<Record> made = RecordsOf(result.out, "snapshot");
  ASSERT_EQ(made.size(), 1u) << result.out;
  EXPECT_EQ(made[0].at("backup_path"), backup_);
  EXPECT_EQ(site_.Snapshots("/fs/projects").size(), 1u);
  const std::vector<Record> error = RecordsOf(result.out, "error");
  EXPECT_EQ(error[0].at("operation"), "ConfigureSnapshot");
  EXPECT_EQ(error[0].at("code"), "1627");
  EXPECT_EQ(error[0].at("exit_status"), "1");
}

TEST_F(SnapjobFailures, BadUsageExitsWithStatusTwoAndOneLinePointingAtHelp) {
  const std::vector<std::string> base = Args(45);
  // One of each way of getting it wrong; the option parser's own cases are not re-listed here.
  const std::vector<std::vector<std::string>> bad = {
      {},
      Plus(base, {"--bogus", backup_}),
      Plus(base, {}),                       // no backup path
      Plus(Without(base, "--job"), {"--job", "x", backup_}),
      Plus(base, {"--insecure", backup_}),  // with --ca-file
      // A pin must be sha256// and the base64 of 32 bytes: refused when read, not at the handshake.
      Plus(base, {"--pin", "sha256//abc", backup_}),
      Plus(base, {"--pin", "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAB=", backup_}),
      Plus(base, {"--request-timeout", "0", backup_}),
      {"run", "--registry"},
      Plus(base, {"--incremental=yes", backup_}),
      {"snapshots", "prune"},
  };
  for (const std::vector<std::string>& args : bad) {
    CommandResult result = RunCommand(SnapjobBinary(), args);
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    EXPECT_EQ(result.exit_status, 2) << shown << "\n" << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << shown << "\n" << result.err;
    EXPECT_THAT(result.err, HasSubstr("--help)\n")) << shown;
    EXPECT_EQ(result.out, "") << shown;
  }
  // Refused before the cluster, each naming its cause: a job without a map file would lose the map of
  // the snapshots it made, and one without its previous job would delete that job's snapshots as stale.
  for (const auto& [args, err] : {std::pair<std::vector<std::string>, std::string>{
           Plus(Without(base, "--map-file"), {backup_}), "snapjob: --map-file is required (see snapjob run --help)\n"},
       {Plus(Without(base, "--previous-job"), {"--incremental", backup_}),
        "snapjob: --incremental needs --previous-job (see snapjob run --help)\n"}}) {
    CommandResult result = RunCommand(SnapjobBinary(), args);
    EXPECT_EQ(result.exit_status, 2) << err;
    EXPECT_EQ(result.err, err);
  }
  EXPECT_TRUE(site_.Snapshots("/fs/projects").empty());

  // A slip of the keyboard is named; a program that asked for JSON lines gets the reason as a record.
  CommandResult slip = RunCommand(SnapjobBinary(), Plus(base, {"--output=jsonl", "--previous-jbo", "3", backup_}));
  EXPECT_EQ(slip.exit_status, 2);
  EXPECT_EQ(slip.err,
            "snapjob: unknown option --previous-jbo; did you mean --previous-job? (see snapjob run --help)\n");
  EXPECT_EQ(Closing(slip.out), "error") << slip.out;

  // Each command has its own help, also when asked for amid other options.
  const std::vector<std::pair<std::vector<std::string>, std::string>> helps = {
      {{"--help"}, "usage: snapjob COMMAND"},
      {{"help", "run"}, "usage: snapjob run "},
      {{"run", "--job", "1", "--help"}, "usage: snapjob run "},
      {{"snapshots", "delete", "-h"}, "usage: snapjob snapshots delete "},
      {{"fingerprint", "--help"}, "usage: snapjob fingerprint "}};
  for (const auto& help : helps) {
    CommandResult result = RunCommand(SnapjobBinary(), help.first);
    EXPECT_EQ(result.exit_status, 0) << help.second;
    EXPECT_EQ(result.out.rfind(help.second, 0), 0u) << result.out;
  }
}

// A log that cannot be written whole is reported, on standard error and in the summary record;
// the job's own result stays what it was.
TEST_F(SnapjobFailures, AnIncompleteLogIsReportedAndTheJobKeepsItsResult) {
  ASSERT_EQ(RunCommand(SnapjobBinary(), Plus(Args(48), {backup_})).exit_status, 0);
  CommandResult job = RunCommand(SnapjobBinary(), Plus(Args(49, 48), {"--incremental", "--output", "jsonl",
                                                                      "--log-file", "/dev/full", backup_}));
  EXPECT_EQ(job.exit_status, 0) << job.err;
  EXPECT_THAT(job.err, HasSubstr("snapjob: the log (/dev/full) is incomplete: some of its lines could not be written\n"));
  const std::vector<Record> summaries = RecordsOf(job.out, "summary");
  ASSERT_EQ(summaries.size(), 1u) << job.out;
  EXPECT_EQ(summaries[0].at("log_incomplete"), "true");
}

// The code locations of a refused login are the snap client's own test; here, that neither the
// wrong password nor the right one shows in what a job prints or logs, failing or working.
TEST_F(SnapjobFailures, PasswordAppearsInNoOutputOrLog) {
  const std::string wrong = "e2e-Wrong-Pw-5150-secret";
  ASSERT_TRUE(site_.WriteRegistry(site_.Path("wrong.json"), wrong));
  CommandResult refused = RunCommand(SnapjobBinary(), Plus(Without(Args(42), "--registry"),
                                                           {"--registry", site_.Path("wrong.json"), "--log-file",
                                                            site_.Path("wrong.log"), "--log-level", "6", backup_}));
  EXPECT_EQ(refused.exit_status, 1);
  EXPECT_THAT(refused.err, HasSubstr("snapjob: Initialize failed: error 5\n"));
  EXPECT_THAT(refused.err, HasSubstr("  hint: the cluster refused the user name and password of the \"fileserver\" "
                                     "entry of client 7 in client registry [" + site_.Path("wrong.json") + "]\n"));
  const std::string refused_log = snaptest::ReadFile(site_.Path("wrong.log"));
  EXPECT_FALSE(refused_log.empty());
  ExpectNoneHolds(wrong, {refused.out, refused.err, refused_log});

  // Most detailed log, once to a file and once to standard error.
  CommandResult full = RunCommand(
      SnapjobBinary(), Plus(Args(46), {"--log-file", site_.Path("job.log"), "--log-level", "6", backup_}));
  ASSERT_EQ(full.exit_status, 0) << full.err;
  ASSERT_TRUE(snaptest::WriteFile(site_.DiskPath("/fs/projects/b.txt"), "beta\n"));
  std::vector<std::string> incremental = Args(47, 46);
  CommandResult changes = RunCommand(SnapjobBinary(), Plus(incremental, {"--incremental", "--log-level", "6", backup_}));
  ASSERT_EQ(changes.exit_status, 0) << changes.err;
  const std::string log = snaptest::ReadFile(site_.Path("job.log"));
  EXPECT_THAT(log, HasSubstr("Created Snapshot")) << "the log file holds no plug-in lines";
  EXPECT_THAT(changes.err, HasSubstr("Changelist Item")) << "standard error holds no level-3 lines";
  ExpectNoneHolds(BackupSite::kPassword,
                  {refused.out, refused.err, refused_log, full.out, full.err, log, changes.out, changes.err,
                   snaptest::ReadFile(site_.Path("job-46.map")), snaptest::ReadFile(site_.Path("job-47.map"))});
}

}  // namespace
}  // namespace e2e
