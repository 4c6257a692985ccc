// bench_changelist: change-list throughput and memory, four ways side by side against one
// synthetic difference served by the emulator (its own process):
//  (a) end to end: the plug-in's CompareSnapshots over HTTPS, then every item pulled;
//  (b) the floor: the same page bytes, parsed, listed and handed out in-process;
//  (c) a standard-library Python client paging the same difference;
//  (d) the transport floor: the same pages fetched over one keep-alive connection and discarded.
// (a) and (b) run in child processes of their own (this program again, with --mode), so that each
// has its own memory high-water mark. Prints the rates, memory, the ratios, whether each target is
// met and a closing "summary" line; exits non-zero only when a run fails or the sides disagree on
// what they handed out.
//
//   bench_changelist [--items N] [--python PATH] [--spill-threshold-mib M]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <list>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "Connection.h"
#include "LogWriter.h"
#include "SnapshotQueries.h"
#include "TransportOptions.h"
#include "changelist_modes.h"
#include "changelist_splits.h"
#include "support/bench_cluster.h"
#include "support/child_process.h"
#include "support/page_replay.h"
#include "support/plugin.h"
#include "transport_floor.h"

namespace {

using bench::PullResult;

constexpr double kMinEndToEndOverFloor = 0.5;
constexpr double kMinEndToEndOverPython = 3.0;
constexpr double kMinEndToEndOverTransport = 0.6;
constexpr double kMaxMemoryEndToEndOverFloor = 1.25;
constexpr double kMaxBytesPerItem = 115;
// With (a)'s change list spilled beyond a small threshold.
constexpr double kMinSpilledOverPython = 2.0;
constexpr double kMaxSpilledPeakMib = 256;

const char* const kFsPath = "/fs/big/";

struct PythonResult {
  uint64_t items = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakKib = -1;
  double ItemsPerSecond() const { return seconds > 0 ? static_cast<double>(items) / seconds : 0; }
};

int Fail(const std::string& what) {
  std::cerr << "bench_changelist: " << what << "\n";
  return 1;
}

double JsonField(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t at = json.find(key);
  if (at == std::string::npos) return NAN;
  return std::strtod(json.c_str() + at + key.size(), nullptr);
}

// The identifier of this job's snapshot (name "kwsnap_<client>_2_<job>_..."), 0 when there is none.
uint64_t SnapshotOfJob(const std::list<Qumulo::CSnapshotInfo>& snapshots, unsigned long clientId, int job) {
  const std::string prefix = "kwsnap_" + std::to_string(clientId) + "_2_" + std::to_string(job) + "_";
  for (const Qumulo::CSnapshotInfo& snapshot : snapshots) {
    if (snapshot.m_name.compare(0, prefix.size(), prefix) == 0) return snapshot.m_id;
  }
  return 0;
}

std::string Mib(long kib) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", kib / 1024.0);
  return text;
}

std::string Rate(double perSecond) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f", perSecond);
  return text;
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// Runs one measured side to its result line. `onReady` runs when the child says "ready".
bool RunSide(const std::vector<std::string>& argv, const std::function<bool()>& onReady, PullResult* result,
             long* rusageKib, std::string* error) {
  bench::ChildProcess child;
  if (!child.Start(argv)) {
    *error = child.error();
    return false;
  }
  std::string line;
  bool parsed = false;
  while (child.ReadLine(&line)) {
    if (line == "ready") {
      if (!onReady() || !child.WriteLine("go")) {
        *error = error->empty() ? "cannot start the measurement" : *error;
        return false;
      }
    } else if (PullResult::FromLine(line, result)) {
      parsed = true;
    }
  }
  const int status = child.Wait(rusageKib);
  if (status != 0 || !parsed) {
    *error = argv[2] + std::string(" side exited with status ") + std::to_string(status);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--mode") {
    std::vector<std::string> rest(args.begin() + 2, args.end());
    if (args[1] == "a") return bench::RunEndToEndMode(rest);
    if (args[1] == "b") return bench::RunFloorMode(rest);
    return Fail("unknown mode " + args[1]);
  }
  uint64_t items = 2000000;
  std::string python = "/usr/bin/python3";
  std::string spillMib;  // "": the plug-in's default threshold
  const char* const usage = "usage: bench_changelist [--items N] [--python PATH] [--spill-threshold-mib M]";
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--items") {
      items = std::strtoull(args[i + 1].c_str(), nullptr, 10);
    } else if (args[i] == "--python") {
      python = args[i + 1];
    } else if (args[i] == "--spill-threshold-mib") {
      spillMib = args[i + 1];
      if (spillMib.empty() || spillMib.find_first_not_of("0123456789") != std::string::npos) return Fail(usage);
    } else {
      return Fail(usage);
    }
  }
  if (items == 0 || args.size() % 2 != 0) return Fail(usage);

  bench::BenchCluster cluster;
  if (!cluster.Start("/big", kFsPath, {"--synthetic-diff", std::string(kFsPath) + "=" + std::to_string(items)})) {
    return Fail(cluster.error());
  }
  const bench::AgentEnvironment& environment = cluster.agent();
  environment.Apply("driver.log");
  const std::string backupPath = cluster.mountPoint();
  const std::string self = bench::SelfExecutable();
  const unsigned int pageSize = Qumulo::TransportOptions::Default().diffPageSize;

  // Job 1 takes the first snapshot; job 2 (in the end-to-end child) the second.
  {
    std::string error;
    bench::SnapClientPtr client = bench::NewPluginSnapClient(&error);
    if (!client) return Fail(error);
    CQiError result = client->Initialize(1, environment.clientId, 1, 2, "", "", environment.workDir + "/snapmap.txt",
                                         0, 0, 0, 0, ContentMapperAPIPtr());
    std::list<std::string> paths{backupPath};
    const std::list<std::string> none;
    if (!result.IsError()) result = client->ConfigureSnapshot(paths, none, none);
    if (result.IsError()) return Fail("job 1 failed: " + result.ToString());
  }

  // Once job 2 has snapshotted, record the pages of the pair (untimed). This also has the emulator
  // render the difference before any side is timed.
  const std::string pageFile = cluster.dir().Sub("pages.bin");
  uint64_t olderId = 0, newerId = 0;
  long recorded = -1;
  std::string error;
  std::vector<std::string> targets;
  auto connection = boost::make_shared<Qumulo::CConnection>();
  auto record = [&]() -> bool {
    CQiError result = connection->Connect(cluster.url(), cluster.user(), cluster.password());
    std::list<Qumulo::CSnapshotInfo> snapshots;
    if (!result.IsError()) {
      result = Qumulo::CSnapshotQueries(connection, boost::make_shared<Qumulo::CParser>()).ListSnapshots(snapshots);
    }
    if (result.IsError()) {
      error = result.ToString();
      return false;
    }
    olderId = SnapshotOfJob(snapshots, environment.clientId, 1);
    newerId = SnapshotOfJob(snapshots, environment.clientId, 2);
    if (olderId == 0 || newerId == 0) {
      error = "the snapshots of jobs 1 and 2 are not on the cluster";
      return false;
    }
    recorded = bench::RecordDifference(*connection, olderId, newerId, pageFile, &targets, &error);
    return recorded >= 0;
  };

  // Somewhat more than a side holds at its peak (about 80 bytes an item); a spilling side holds
  // about its threshold.
  const uint64_t listBytes = items * 128;
  const std::string warmBytes = std::to_string(listBytes + (uint64_t{64} << 20));
  const std::string warmBytesA =
      spillMib.empty() ? warmBytes
                       : std::to_string(std::min<uint64_t>(listBytes, (std::stoull(spillMib) + 16) << 20) +
                                        (uint64_t{64} << 20));
  std::vector<std::string> sideA = {self,     "--mode", "a",        "--job",       "2",      "--previous",
                                    "1",      "--path", backupPath, "--warm-bytes", warmBytesA};
  if (!spillMib.empty()) {
    sideA.push_back("--spill-threshold-mib");
    sideA.push_back(spillMib);
  }
  for (const std::string& arg : environment.ToArgs()) sideA.push_back(arg);
  PullResult a;
  long aRusageKib = -1;
  if (!RunSide(sideA, record, &a, &aRusageKib, &error)) return Fail("end to end: " + error);

  std::vector<std::string> sideB = {self,         "--mode",    "b",   "--pages",  pageFile,
                                    "--path",     backupPath,  "--fs-path", kFsPath, "--older",
                                    std::to_string(olderId), "--newer", std::to_string(newerId),
                                    "--work-dir", environment.workDir, "--warm-bytes", warmBytes};
  PullResult b;
  long bRusageKib = -1;
  if (!RunSide(sideB, [] { return true; }, &b, &bRusageKib, &error)) return Fail("floor: " + error);

  PythonResult c;
  {
    bench::ChildProcess child;
    std::vector<std::string> argv = {python,          BENCH_PYTHON_CLIENT,     "--url",           cluster.url(),
                                     "--ca",          environment.caFile,      "--user",          cluster.user(),
                                     "--password-file", cluster.passwordFile(), "--older",        std::to_string(olderId),
                                     "--newer",       std::to_string(newerId), "--limit",         std::to_string(pageSize),
                                     "--fs-path",     kFsPath,                 "--local-path",    backupPath};
    if (!child.Start(argv)) return Fail("python: " + child.error());
    std::string line, json;
    while (child.ReadLine(&line)) {
      if (!line.empty() && line[0] == '{') json = line;
    }
    const int status = child.Wait();
    if (status != 0 || json.empty()) return Fail("python client exited with status " + std::to_string(status));
    c.items = static_cast<uint64_t>(JsonField(json, "items"));
    c.seconds = JsonField(json, "seconds");
    c.cpuSeconds = JsonField(json, "cpu_seconds");
    c.peakKib = static_cast<long>(JsonField(json, "peak_rss_kib"));
  }

  const bench::TransportFloor d =
      bench::FetchAndDiscard(cluster.url(), environment.caFile, cluster.user(), cluster.password(), targets);
  if (d.seconds < 0) return Fail("transport floor: " + d.error);

  const bench::Timing parse = bench::TimeParseOnly(pageFile);
  size_t leanParsed = 0;
  const bench::Timing leanParse = bench::TimeLeanParse(pageFile, &leanParsed);
  PullResult leanTally;
  const bench::Timing lean = bench::TimeLeanHandOut(pageFile, kFsPath, backupPath, &leanTally);

  const double aRate = a.ItemsPerSecond(), bRate = b.ItemsPerSecond(), cRate = c.ItemsPerSecond();
  const double dRate = d.seconds > 0 ? static_cast<double>(recorded) / d.seconds : 0;
  const double aOverB = bRate > 0 ? aRate / bRate : 0;
  const double aOverC = cRate > 0 ? aRate / cRate : 0;
  const double aOverD = dRate > 0 ? aRate / dRate : 0;
  const double memory = b.growthKib > 0 ? static_cast<double>(a.growthKib) / b.growthKib : 0;

  std::printf("Change list: %llu synthetic items, page size %u, emulator in its own process, %ld entries recorded for (b)\n",
              static_cast<unsigned long long>(items), pageSize, recorded);
  std::printf("(a)'s spill threshold: %s\n", spillMib.empty() ? "the plug-in's default, 1024 MiB" : (spillMib + " MiB").c_str());
  std::printf("%-40s %9s %8s %8s %11s %8s %9s %10s\n", "side", "items", "fetch s", "pull s", "items/s", "CPU s",
              "peak MiB", "bytes/item");
  std::printf("%-40s %9llu %8.3f %8.3f %11s %8.3f %9s %10.1f\n", "(a) end to end: plug-in over HTTPS",
              static_cast<unsigned long long>(a.items), a.compareSeconds, a.pullSeconds, Rate(aRate).c_str(),
              a.cpuSeconds, Mib(a.peakKib).c_str(), a.BytesPerItem());
  std::printf("%-40s %9llu %8.3f %8.3f %11s %8.3f %9s %10.1f\n", "(b) floor: recorded pages, in-process",
              static_cast<unsigned long long>(b.items), b.compareSeconds, b.pullSeconds, Rate(bRate).c_str(),
              b.cpuSeconds, Mib(b.peakKib).c_str(), b.BytesPerItem());
  std::printf("%-40s %9llu %8.3f %8s %11s %8.3f %9s %10s\n", "(c) Python standard-library client",
              static_cast<unsigned long long>(c.items), c.seconds, "-", Rate(cRate).c_str(), c.cpuSeconds,
              Mib(c.peakKib).c_str(), "-");
  std::printf("%-40s %9ld %8.3f %8s %11s %8.3f %9s %10s\n", "(d) transport floor: pages discarded", recorded,
              d.seconds, "-", Rate(dRate).c_str(), d.cpuSeconds, "-", "-");
  std::printf("(pull s: until the last item is out and the memory it freed is consolidated; peak MiB: the process's\n"
              " VmHWM over the comparison and pull, from wait4 over the whole process: a %s MiB, b %s MiB; bytes/item:\n"
              " the rise of resident memory over the comparison and pull per item; (d): %zu GETs, %.1f MB)\n",
              Mib(aRusageKib).c_str(), Mib(bRusageKib).c_str(), targets.size(), d.bytes / 1e6);
  std::printf("(before its clock, each side touched and gave back the memory it was to need, a %s MiB in %.2f s, b %s MiB\n"
              " in %.2f s; on a virtual machine whose host backs memory at first touch, that is what a first fill pays cold)\n",
              Mib(static_cast<long>(std::stoull(warmBytesA) / 1024)).c_str(), a.warmSeconds,
              Mib(static_cast<long>(std::stoull(warmBytes) / 1024)).c_str(), b.warmSeconds);
  std::printf("Splits, measured apart in one process (wall s / CPU s of that process):\n");
  std::printf("  parser alone, recorded pages, page list built and emptied    %7.3f / %.3f\n", parse.wallSeconds,
              parse.cpuSeconds);
  std::printf("  lean parse: fields looked up in document order, same list      %7.3f / %.3f  (the parser's yardstick)\n",
              leanParse.wallSeconds, leanParse.cpuSeconds);
  std::printf("  lean hand-out: translated path built in place, no copies     %7.3f / %.3f  (the pull column's yardstick)\n",
              lean.wallSeconds, lean.cpuSeconds);
  std::printf("(CPU s: the side's own process; (a), (c) and (d) do not count the emulator's CPU)\n");
  std::printf("%-44s %10.2f  target >= %.2f  %s\n", "rate a/b", aOverB, kMinEndToEndOverFloor,
              Verdict(aOverB >= kMinEndToEndOverFloor));
  std::printf("%-44s %10.2f  target >= %.2f  %s\n", "rate a/c", aOverC, kMinEndToEndOverPython,
              Verdict(aOverC >= kMinEndToEndOverPython));
  std::printf("%-44s %10.2f  target >= %.2f  %s\n", "rate a/d", aOverD, kMinEndToEndOverTransport,
              Verdict(aOverD >= kMinEndToEndOverTransport));
  std::printf("%-44s %10.1f  target <= %.0f  %s\n", "bytes per item (a)", a.BytesPerItem(), kMaxBytesPerItem,
              Verdict(a.growthKib >= 0 && a.BytesPerItem() <= kMaxBytesPerItem));
  std::printf("%-44s %10.1f  target <= %.0f  %s\n", "bytes per item (b)", b.BytesPerItem(), kMaxBytesPerItem,
              Verdict(b.growthKib >= 0 && b.BytesPerItem() <= kMaxBytesPerItem));
  std::printf("%-44s %10.2f  target <= %.2f  %s\n", "memory growth a/b", memory, kMaxMemoryEndToEndOverFloor,
              Verdict(memory > 0 && memory <= kMaxMemoryEndToEndOverFloor));
  if (!spillMib.empty()) {
    std::printf("%-44s %10.2f  target >= %.2f  %s\n", "rate a/c, (a) spilling", aOverC, kMinSpilledOverPython,
                Verdict(aOverC >= kMinSpilledOverPython));
    std::printf("%-44s %10s  target <= %.0f  %s\n", "peak MiB (a), spilling", Mib(a.peakKib).c_str(),
                kMaxSpilledPeakMib, Verdict(a.peakKib >= 0 && a.peakKib / 1024.0 <= kMaxSpilledPeakMib));
  }
  if (a.cpuSeconds > 0) {
    std::printf("%-44s %10.2f  (a/b %.2f by CPU time; for a busy machine)\n", "rate a/c by CPU time",
                c.cpuSeconds / a.cpuSeconds, b.cpuSeconds / a.cpuSeconds);
  }
  std::printf("summary items=%llu a_items_per_s=%.0f b_items_per_s=%.0f c_items_per_s=%.0f d_items_per_s=%.0f "
              "a_bytes_per_item=%.1f b_bytes_per_item=%.1f a_peak_rss_mib=%.1f\n",
              static_cast<unsigned long long>(items), aRate, bRate, cRate, dRate, a.BytesPerItem(), b.BytesPerItem(),
              a.peakKib / 1024.0);
  std::fflush(stdout);

  // Counts are checked; timings never are.
  if (a.items != items || b.items != items || c.items != items || static_cast<uint64_t>(recorded) != items) {
    return Fail("item counts differ from the difference's size");
  }
  if (!a.SameTally(b)) return Fail("the end-to-end and floor sides handed out different items");
  if (leanParse.wallSeconds >= 0 && leanParsed != items) return Fail("the lean parse read a different count");
  if (lean.wallSeconds >= 0 && !leanTally.SameTally(b)) return Fail("the lean hand-out differs from the snap client's");
  return 0;
}
