// Jobs that succeed, run through the built snapjob against the emulator process: the change list
// checked against the changes actually made, the map file's bytes, reads through the snapshot,
// every phase of a job as JSON-lines records, stale snapshots deleted by reconciliation, the
// snapshot inventory and its clean-up, auto-mounted shares, and a long paged change list.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "site_test.h"

namespace e2e {
namespace {

using ChangeSet = std::set<std::tuple<std::string, std::string, std::string>>;

using SnapjobJobs = SiteTest;

// One chain of jobs read both ways: the change list against the changes actually made, and the
// JSON-lines records, the snapshot inventory and its clean-up of the same jobs.
TEST_F(SnapjobJobs, AChainOfJobsListsTheChangesMadeAndItsRecordsInventoryAndCleanupAgree) {
  StartSite();
  Write("c.txt", "gamma\n");
  Write("src/main.c", "int main(void) { return 0; }\n");
  Write("old/n.txt", "old notes\n");

  // Job 11, full: one snapshot; the map file names it; the change list is not fetched.
  CommandResult first = Job(11, 0, {});
  ASSERT_EQ(first.exit_status, 0) << first.err;
  const std::vector<std::string> after_first = site_.Snapshots("/fs/projects");
  ASSERT_EQ(after_first.size(), 1u);
  const std::string snapshot_dir = after_first[0];
  EXPECT_NE(snapshot_dir.find("kwsnap_7_2_11_"), std::string::npos) << snapshot_dir;
  const std::string snapshot_path = backup_ + "/.snapshot/" + snapshot_dir;
  EXPECT_EQ(snaptest::ReadFile(MapFile(11)), "m:" + backup_ + "/:" + snapshot_path + ":\n");
  EXPECT_EQ(first.out, "-- " + backup_ + ": full backup, read from " + snapshot_path + "\n");

  // Changes of every kind, then the frozen image still shows the old content.
  Write("a.txt", "alpha, second version\n");
  Write("src/main.c", "int main(void) { return 1; }\n");
  Write("b.txt", "beta\n");
  Write("lib/x.c", "int x;\n");
  ASSERT_TRUE(snaptest::RemoveAll(tree_ + "/c.txt"));
  ASSERT_TRUE(snaptest::RemoveAll(tree_ + "/old"));
  EXPECT_EQ(snaptest::ReadFile(snapshot_path + "/a.txt"), "alpha\n");

  // Job 12, incremental against 11, as JSON lines: every line a record.
  CommandResult second = Job(12, 11, {"--incremental", "--output=jsonl"});
  ASSERT_EQ(second.exit_status, 0) << second.err;
  std::vector<ChangeLine> lines;
  std::string error;
  ASSERT_TRUE(ParseChangeLines(second.out, &lines, &error)) << error;
  ChangeSet got;
  for (const ChangeLine& line : lines) {
    got.insert(line.Key());
    EXPECT_EQ(line.backup_path, backup_);
    EXPECT_EQ(line.mode, line.type == "dir" ? 0x4000u : 0x8000u) << line.path;
    EXPECT_EQ(line.exists, line.change != "deleted") << line.path;
    EXPECT_EQ(line.new_dir, line.change == "new" && line.type == "dir") << line.path;
  }
  const ChangeSet expected = {
      {"modified", "dir", backup_},  // its entries changed
      {"modified", "file", backup_ + "/a.txt"},
      {"modified", "file", backup_ + "/src/main.c"},
      {"new", "file", backup_ + "/b.txt"},
      {"new", "dir", backup_ + "/lib"},  // listed once: what is inside is new with it
      {"deleted", "file", backup_ + "/c.txt"},
      {"deleted", "dir", backup_ + "/old"},
  };
  EXPECT_EQ(got, expected);
  EXPECT_EQ(lines.size(), expected.size()) << "an item was listed twice:\n" << second.out;
  std::vector<Record> previous = RecordsOf(second.out, "previous");
  ASSERT_EQ(previous.size(), 1u);
  EXPECT_EQ(previous[0].at("found"), "true");
  EXPECT_NE(snapshot_dir.find(previous[0].at("name")), std::string::npos) << previous[0].at("name");
  const std::string job11_id = previous[0].at("id");
  // Identifiers are strings, and the job's one closing record is its last line.
  EXPECT_EQ(Closing(second.out), "summary") << second.out;
  std::vector<Record> summary = RecordsOf(second.out, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].at("incremental"), "true");
  EXPECT_EQ(summary[0].at("new"), "2");
  EXPECT_EQ(summary[0].at("modified"), "3");
  EXPECT_EQ(summary[0].at("deleted"), "2");
  std::vector<Record> snapshots = RecordsOf(second.out, "snapshot");
  ASSERT_EQ(snapshots.size(), 1u) << second.out;
  EXPECT_EQ(snapshots[0].at("backup_path"), backup_);
  EXPECT_EQ(snapshots[0].at("name").rfind("kwsnap_7_2_12_", 0), 0u) << snapshots[0].at("name");
  EXPECT_EQ(snapshots[0].at("cluster_path"), "/fs/projects/");
  const std::string directory_number = snapshots[0].at("name").substr(std::string("kwsnap_7_2_12_").size());
  std::vector<Record> map = RecordsOf(second.out, "map");
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].at("lines") + "\n", snaptest::ReadFile(MapFile(12)));

  // Job 13, full against 12, retires 11's snapshot and says so.
  CommandResult third = Job(13, 12, {"--output", "jsonl"});
  ASSERT_EQ(third.exit_status, 0) << third.err;
  EXPECT_EQ(Closing(third.out), "summary") << third.out;
  std::vector<Record> deleted = RecordsOf(third.out, "deleted");
  ASSERT_EQ(deleted.size(), 1u) << third.out;
  EXPECT_EQ(deleted[0].at("name"), "kwsnap_7_2_11_" + directory_number);
  EXPECT_EQ(deleted[0].at("id"), job11_id);
  for (const std::string& name : site_.Snapshots("/fs/projects")) {
    EXPECT_EQ(name.find("kwsnap_7_2_11_"), std::string::npos) << "the stale snapshot stayed: " << name;
  }

  // Job 14, incremental against 13, as text: one new file.
  Write("d.txt", "delta\n");
  CommandResult fourth = Job(14, 13, {"--incremental"});
  ASSERT_EQ(fourth.exit_status, 0) << fourth.err;
  EXPECT_EQ(fourth.out, "modified  dir   " + backup_ + "\n" +
                            "new       file  " + backup_ + "/d.txt\n" +
                            "-- " + backup_ + ": 2 changes (1 new, 1 modified, 0 deleted)\n");

  // Names that only look like the plug-in's, and another application's, are never taken for job 14's.
  const std::vector<std::string> decoys = {
      "nightly",       "kwsnap_7_2_014_" + directory_number, "kwsnap_7_2_14_" + directory_number + "_x",
      "kwsnap_7_2_14", "kwsnap_7_23_14_" + directory_number, "kwsnap_7_2_+14_1"};
  for (const std::string& decoy : decoys) ASSERT_TRUE(site_.CreateSnapshot("/fs/projects", decoy)) << decoy;
  CommandResult listed =
      RunCommand(SnapjobBinary(), Inventory({"snapshots", "list", "--app-id", "2", "--output", "jsonl"}));
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  EXPECT_EQ(Closing(listed.out), "summary") << listed.out;
  std::vector<std::string> own;
  std::string job14_id;
  for (const Record& record : RecordsOf(listed.out, "snapshot")) {
    if (record.at("own") == "true") own.push_back(record.at("name"));
    if (record.at("name") == "kwsnap_7_2_14_" + directory_number) job14_id = record.at("id");
    EXPECT_EQ(record.at("parsed"), record.count("job") ? "true" : "false") << record.at("name");
  }
  EXPECT_EQ(own, (std::vector<std::string>{"kwsnap_7_2_13_" + directory_number, "kwsnap_7_2_14_" + directory_number}));
  CommandResult text = RunCommand(SnapjobBinary(), Inventory({"snapshots", "list"}));
  ASSERT_EQ(text.exit_status, 0) << text.err;
  EXPECT_NE(text.out.find("nightly"), std::string::npos) << text.out;

  const std::vector<std::string> delete14 = Inventory({"snapshots", "delete", "--app-id", "2", "--job", "14"});
  CommandResult dry = RunCommand(SnapjobBinary(), Plus(delete14, {"--dry-run"}));
  ASSERT_EQ(dry.exit_status, 0) << dry.err;
  EXPECT_EQ(dry.out, "would delete kwsnap_7_2_14_" + directory_number + " (id " + job14_id +
                         ")\nwould delete 1 snapshot of client 7, application 2, job 14\n");
  CommandResult gone = RunCommand(SnapjobBinary(), Plus(delete14, {"--output", "jsonl"}));
  ASSERT_EQ(gone.exit_status, 0) << gone.err;
  EXPECT_EQ(Closing(gone.out), "summary") << gone.out;
  deleted = RecordsOf(gone.out, "deleted");
  ASSERT_EQ(deleted.size(), 1u) << gone.out;
  EXPECT_EQ(deleted[0].at("name"), "kwsnap_7_2_14_" + directory_number);

  // What is left standing: job 13's snapshot and every decoy.
  listed = RunCommand(SnapjobBinary(), Inventory({"snapshots", "list", "--output", "jsonl"}));
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  std::set<std::string> standing;
  for (const Record& record : RecordsOf(listed.out, "snapshot")) {
    if (record.at("in_delete") == "false") standing.insert(record.at("name"));
  }
  std::set<std::string> left(decoys.begin(), decoys.end());
  left.insert("kwsnap_7_2_13_" + directory_number);
  EXPECT_EQ(standing, left);
}

TEST_F(SnapjobJobs, OddNamesComeThroughBothFormatsIntact) {
  StartSite();
  // Another client's snapshot whose name differs from one of ours only in its first character
  // (U+10FF6B for "k"), beside one whose name is not UTF-8: it is not ours and must survive.
  const std::string foreign = "\xf4\x8f\xbd\xabwsnap_7_2_5_1";
  ASSERT_TRUE(site_.CreateSnapshot("/fs/projects", foreign));
  ASSERT_TRUE(site_.CreateSnapshot("/fs/projects", "stray \xff byte"));
  ASSERT_EQ(Job(51, 0, {}).exit_status, 0);
  const std::vector<std::string> names = {"with space.txt", "tab\there", "quote\"and\\back", "\xc3\xbcnicode.txt",
                                          "l\xe4tin1.bin", "\xf4\x8f\xbd\xab.c", "\\udcff.c", "\xed\xa0\x80\xc3",
                                          "\xff.c"};
  for (const std::string& name : names) Write(name, "x\n");

  CommandResult result = Job(52, 51, {"--incremental", "--output", "jsonl"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  std::vector<ChangeLine> lines;
  std::string error;
  ASSERT_TRUE(ParseChangeLines(result.out, &lines, &error)) << error;  // a strict parser takes every line
  std::set<std::string> got;
  for (const ChangeLine& line : lines) got.insert(line.path_bytes.empty() ? line.path : FromHex(line.path_bytes));
  for (const std::string& name : names) EXPECT_EQ(got.count(backup_ + "/" + name), 1u) << name;

  // Text shows a line feed in a name as an escape, keeping one item per line, and a backslash
  // doubled, so that a name holding "\n" itself reads differently.
  Write("line\nfeed", "x\n");
  Write("line\\nfeed", "x\n");
  CommandResult text = Job(53, 52, {"--incremental"});
  ASSERT_EQ(text.exit_status, 0) << text.err;
  EXPECT_NE(text.out.find("new       file  " + backup_ + "/line\\nfeed\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("new       file  " + backup_ + "/line\\\\nfeed\n"), std::string::npos) << text.out;

  // A backup path that is not UTF-8 either (a mount point named in another encoding).
  const std::string latin = site_.Path("mnt/pr\xf6jects");
  std::filesystem::create_directory_symlink(tree_, latin);
  ASSERT_TRUE(
      snaptest::WriteFile(site_.Path("latin-mounttab"), site_.address() + ":/projects " + latin + " nfs rw 0 0\n"));
  Write("z.txt", "zeta\n");
  std::vector<std::string> args = Without(Args(54, 53), "--mount-table");
  args = Plus(args, {"--mount-table", site_.Path("latin-mounttab"), "--incremental", "--output", "jsonl", latin});
  CommandResult bytes = RunCommand(SnapjobBinary(), args);
  ASSERT_EQ(bytes.exit_status, 0) << bytes.err;
  lines.clear();
  ASSERT_TRUE(ParseChangeLines(bytes.out, &lines, &error)) << error;
  std::set<std::string> exact_paths;
  for (const ChangeLine& line : lines) exact_paths.insert(FromHex(line.path_bytes));
  EXPECT_EQ(exact_paths.count(latin + "/z.txt"), 1u) << bytes.out;
  // The map file carries the backup path's exact bytes too.
  const std::vector<std::string> snapshots = site_.Snapshots("/fs/projects");
  auto named = [&](const std::string& part) {
    return std::find_if(snapshots.begin(), snapshots.end(),
                        [&](const std::string& name) { return name.find(part) != std::string::npos; });
  };
  ASSERT_NE(named("kwsnap_7_2_54_"), snapshots.end());
  EXPECT_EQ(snaptest::ReadFile(MapFile(54)), "m:" + latin + "/:" + latin + "/.snapshot/" + *named("kwsnap_7_2_54_") + ":\n");
  EXPECT_NE(named("_" + foreign), snapshots.end()) << "the foreign snapshot was deleted";
  EXPECT_NE(named("_stray \xff byte"), snapshots.end()) << "the snapshot whose name is not UTF-8 was deleted";
}

// A cluster as real ones differ from the defaults: no v2 snapshot routes, names that are not UTF-8
// sent as raw bytes, empty pages that link on, a backup root last changed in 1965, an export path of
// two tenants, and a mount nested in another.
TEST_F(SnapjobJobs, RealClusterFormsAndMountsAreMet) {
  BackupSite::Config config;
  config.extra_emulator_args = {"--snapshot-api", "v3", "--raw-names", "--empty-pages", "2",
                                "--export", "/team=/fs/team", "--export", "2:/shared=/fs/other",
                                "--export", "/shared=/fs/shared"};
  for (const char* dir : {"/fs/other", "/fs/shared", "/fs/team/sub", "/fs/projects/p1/sub"}) {
    ASSERT_TRUE(snaptest::MakeDirs(site_.DiskPath(dir))) << dir;
  }
  StartSite(config);
  const timespec y1965[2] = {{-152605800, 0}, {-152605800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tree_.c_str(), y1965, 0), 0);
  ASSERT_EQ(Job(61, 0, {}).exit_status, 0);
  const std::vector<std::string> first = site_.Snapshots("/fs/projects");
  ASSERT_EQ(first.size(), 1u);
  const std::string directory_number = first[0].substr(first[0].rfind('_') + 1);
  ASSERT_TRUE(site_.CreateSnapshot("/fs/projects", "kwsnap_7_2_5_" + directory_number));  // stale

  Write("\xff.c", "x\n");
  CommandResult incremental = Job(62, 61, {"--incremental", "--output", "jsonl"});
  ASSERT_EQ(incremental.exit_status, 0) << incremental.err;
  std::vector<ChangeLine> lines;
  std::string error;
  ASSERT_TRUE(ParseChangeLines(incremental.out, &lines, &error)) << error;
  std::set<std::string> paths;
  for (const ChangeLine& line : lines) paths.insert(line.path_bytes.empty() ? line.path : FromHex(line.path_bytes));
  EXPECT_EQ(paths.count(backup_ + "/\xff.c"), 1u) << incremental.out;
  for (const std::string& name : site_.Snapshots("/fs/projects")) {
    EXPECT_EQ(name.find("kwsnap_7_2_5_"), std::string::npos) << "the stale snapshot stayed: " << name;
  }

  // /shared is exported by tenants 2 and 1: guessing one could snapshot the other's directory.
  const std::string shared = site_.MountPoint("/shared");
  ASSERT_TRUE(snaptest::MakeDirs(shared));
  // The team share is mounted inside the projects mount, hiding what /fs/projects/p1 holds.
  const std::string table = site_.address() + ":/projects " + backup_ + " nfs rw 0 0\n" + site_.address() +
                            ":/team " + backup_ + "/p1 nfs rw 0 0\n" + site_.address() + ":/shared " + shared +
                            " nfs rw 0 0\n";
  ASSERT_TRUE(snaptest::WriteFile(site_.mount_table(), table));
  CommandResult tenants = RunCommand(SnapjobBinary(), Plus(Args(63), {shared}));
  EXPECT_EQ(tenants.exit_status, 1);
  EXPECT_NE(tenants.err.find("NFS export path [/shared] is exported by tenants 2, 1"), std::string::npos)
      << tenants.err;
  EXPECT_TRUE(site_.Snapshots("/fs/other").empty());
  EXPECT_TRUE(site_.Snapshots("/fs/shared").empty());

  CommandResult nested = RunCommand(SnapjobBinary(), Plus(Args(64), {backup_ + "/p1/sub"}));
  ASSERT_EQ(nested.exit_status, 0) << nested.err;
  EXPECT_EQ(site_.Snapshots("/fs/team/sub").size(), 1u);
  EXPECT_TRUE(site_.Snapshots("/fs/projects/p1/sub").empty());
}

TEST_F(SnapjobJobs, AutoMountedSharesAreMappedThroughTheirAutoMountPaths) {
  StartSite();
  // The agent's auto-mount of the share: ROOT/<server>/<exported path>.
  const std::string root = site_.Path("automount");
  const std::string share = root + "/" + site_.address() + "/projects";
  ASSERT_TRUE(snaptest::MakeDirs(root + "/" + site_.address()));
  std::filesystem::create_directory_symlink(tree_, share);

  std::vector<std::string> args = Without(Args(21), "--mount-table");
  args = Plus(args, {"--auto-mount", root, share});
  CommandResult result = RunCommand(SnapjobBinary(), args);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::vector<std::string> snapshots = site_.Snapshots("/fs/projects");
  ASSERT_EQ(snapshots.size(), 1u);
  EXPECT_EQ(snaptest::ReadFile(MapFile(21)), "m:" + share + "/:" + share + "/.snapshot/" + snapshots[0] + ":\n");
}

// Spilled to disk beyond all but the block being filled, too.
TEST_F(SnapjobJobs, LongChangeListArrivesWholeWhileATerminalSeesItMove) {
  constexpr int kItems = 40000;  // several pages of the wrapper's page size, and change-list blocks
  BackupSite::Config config;
  config.extra_emulator_args = {"--synthetic-diff", "/fs/projects/=" + std::to_string(kItems)};
  StartSite(config);
  ASSERT_EQ(Job(31, 0, {}).exit_status, 0);

  CommandOptions on_terminal;
  on_terminal.stderr_on_terminal = true;
  const std::string spill = site_.Path("spill");
  ASSERT_TRUE(snaptest::MakeDirs(spill));
  CommandResult result = Job(32, 31,
                             {"--incremental", "--output", "jsonl", "--log-file", site_.Path("log"),
                              "--spill-threshold-mib", "0", "--spill-dir", spill},
                             on_terminal);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  std::vector<ChangeLine> lines;
  std::string error;
  ASSERT_TRUE(ParseChangeLines(result.out, &lines, &error)) << error;  // nothing else on stdout
  ASSERT_EQ(lines.size(), static_cast<size_t>(kItems));
  std::set<std::string> paths;
  for (const ChangeLine& line : lines) {
    EXPECT_EQ(line.path.compare(0, backup_.size() + 1, backup_ + "/"), 0) << line.path;
    paths.insert(line.path);
  }
  EXPECT_EQ(paths.size(), lines.size()) << "pages overlapped";
  EXPECT_NE(result.err.find("fetching changes of " + backup_), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" items, "), std::string::npos) << result.err;

  // Off a terminal, standard error carries no progress at all.
  CommandResult quiet = Job(33, 32, {"--incremental", "--output", "jsonl", "--log-file", site_.Path("log")});
  ASSERT_EQ(quiet.exit_status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");

  // A spill directory that is not there fails the comparison, and nothing of the list comes out.
  CommandResult unspillable = Job(34, 33,
                                  {"--incremental", "--output", "jsonl", "--log-file", site_.Path("log"),
                                   "--spill-threshold-mib", "0", "--spill-dir", spill + "/missing"});
  EXPECT_EQ(unspillable.exit_status, 1);
  EXPECT_NE(unspillable.err.find("CompareSnapshots failed: error 112"), std::string::npos) << unspillable.err;
  EXPECT_NE(unspillable.err.find("[" + spill + "/missing]"), std::string::npos) << unspillable.err;
  EXPECT_EQ(unspillable.out.find("\"record\":\"change\""), std::string::npos);
}

}  // namespace
}  // namespace e2e
