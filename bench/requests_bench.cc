// bench_requests: requests and TLS connections per job. Runs three jobs through the plug-in
// (loaded with dlopen), each Initialize plus ConfigureSnapshot over the same backup paths, against
// the emulator in its own process, and reads the emulator's counters around each job:
//   job 1: the first, with no previous snapshots;
//   job 2: compares with job 1, nothing stale;
//   job 3: compares with job 2, and job 1's snapshots are stale and deleted.
// Prints the figures and whether each target is met; exits non-zero only when a job fails or does
// not leave one snapshot per path. The budget counts the stale snapshots a job must delete apart:
// they grow with what earlier jobs left behind, not with the job's own paths.
//
//   bench_requests [--paths N]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <list>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "Connection.h"
#include "SnapshotQueries.h"
#include "support/bench_cluster.h"
#include "support/plugin.h"

namespace {

// Export listing, attributes at creation, creation, attributes at reconciliation.
constexpr uint64_t kMaxRequestsPerPath = 4;
constexpr uint64_t kMaxRequestsPerJob = 2;  // login and the snapshot listing

struct JobFigures {
  int job = 0;
  const char* what = "";
  uint64_t deletions = 0;  // stale snapshots the job has to delete
  bench::CounterValues counters;
  double seconds = 0;
};

int Fail(const std::string& what) {
  std::cerr << "bench_requests: " << what << "\n";
  return 1;
}

// Snapshots on the cluster whose names belong to this job.
bool CountJobSnapshots(bench::BenchCluster& cluster, int job, size_t* count, std::string* error) {
  auto connection = boost::make_shared<Qumulo::CConnection>();
  CQiError result = connection->Connect(cluster.url(), cluster.user(), cluster.password());
  std::list<Qumulo::CSnapshotInfo> snapshots;
  if (!result.IsError()) {
    result = Qumulo::CSnapshotQueries(connection, boost::make_shared<Qumulo::CParser>()).ListSnapshots(snapshots);
  }
  if (result.IsError()) {
    *error = result.ToString();
    return false;
  }
  const std::string prefix =
      "kwsnap_" + std::to_string(cluster.agent().clientId) + "_2_" + std::to_string(job) + "_";
  *count = 0;
  for (const Qumulo::CSnapshotInfo& snapshot : snapshots) *count += snapshot.m_name.compare(0, prefix.size(), prefix) == 0;
  return true;
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
  size_t pathCount = 200;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "--paths") {
    pathCount = std::strtoul(args[1].c_str(), nullptr, 10);
  } else if (!args.empty()) {
    return Fail("usage: bench_requests [--paths N]");
  }
  if (pathCount == 0) return Fail("--paths must be positive");

  bench::BenchCluster cluster;
  if (!cluster.Start("/projects", "/fs/projects", {})) return Fail(cluster.error());
  const bench::AgentEnvironment& environment = cluster.agent();
  environment.Apply("requests.log");

  std::list<std::string> paths;
  for (size_t i = 0; i < pathCount; ++i) {
    char name[32];
    std::snprintf(name, sizeof(name), "/dir%04zu", i);
    if (!snaptest::MakeDirs(cluster.DiskPath(std::string("/fs/projects") + name))) {
      return Fail("cannot make the backup directories");
    }
    paths.push_back(cluster.mountPoint() + name);
  }

  const char* kinds[] = {"first job, nothing to compare", "previous job found, nothing stale",
                         "previous job found, one stale snapshot per path"};
  std::vector<JobFigures> jobs;
  for (int job = 1; job <= 3; ++job) {
    std::string error;
    bench::SnapClientPtr client = bench::NewPluginSnapClient(&error);
    if (!client) return Fail(error);
    if (!cluster.ResetCounters()) return Fail(cluster.error());
    const auto start = std::chrono::steady_clock::now();
    CQiError result = client->Initialize(job, environment.clientId, 1, 2, "", "", environment.workDir + "/snapmap.txt",
                                         job - 1, 0, 0, 0, ContentMapperAPIPtr());
    std::list<std::string> jobPaths = paths;
    const std::list<std::string> none;
    if (!result.IsError()) result = client->ConfigureSnapshot(jobPaths, none, none);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    client.reset();
    if (result.IsError()) return Fail("job " + std::to_string(job) + " failed: " + result.ToString());
    JobFigures figures;
    figures.job = job;
    figures.what = kinds[job - 1];
    figures.deletions = job == 3 ? pathCount : 0;
    figures.seconds = seconds;
    if (!cluster.ReadCounters(&figures.counters)) return Fail(cluster.error());
    size_t made = 0;
    if (!CountJobSnapshots(cluster, job, &made, &error)) return Fail(error);
    if (made != pathCount) {
      return Fail("job " + std::to_string(job) + " left " + std::to_string(made) + " snapshots for " +
                  std::to_string(pathCount) + " paths");
    }
    jobs.push_back(figures);
  }

  const uint64_t budget = kMaxRequestsPerPath * pathCount + kMaxRequestsPerJob;
  std::printf("Requests per job: Initialize + ConfigureSnapshot of %zu backup paths through the plug-in\n",
              pathCount);
  std::printf("%-3s %-48s %8s %8s %9s %4s %11s  %-34s %s\n", "job", "kind", "requests", "per path", "deletions",
              "TLS", "ms per path", "requests <= 4/path + 2 + deletions", "TLS == 1");
  for (const JobFigures& f : jobs) {
    std::printf("%-3d %-48s %8llu %8.2f %9llu %4llu %11.2f  %-34s %s\n", f.job, f.what,
                static_cast<unsigned long long>(f.counters.requests),
                static_cast<double>(f.counters.requests) / pathCount, static_cast<unsigned long long>(f.deletions),
                static_cast<unsigned long long>(f.counters.tlsConnections), f.seconds * 1000.0 / pathCount,
                Verdict(f.counters.requests <= budget + f.deletions), Verdict(f.counters.tlsConnections == 1));
  }
  std::printf("(budget for %zu paths: %llu requests plus the deletions)\n", pathCount,
              static_cast<unsigned long long>(budget));
  std::fflush(stdout);
  return 0;
}
