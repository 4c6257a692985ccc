#include "changelist_modes.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include <boost/make_shared.hpp>

#include "ChangeSpillOptions.h"
#include "FileLogWriter.h"
#include "LogWriter.h"
#include "replay_snap_client.h"
#include "support/bench_cluster.h"
#include "support/peak_memory.h"
#include "support/plugin.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Arg(const std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == name) return args[i + 1];
  }
  return std::string();
}

int Fail(const std::string& what) {
  std::cerr << "bench_changelist: " << what << "\n";
  return 1;
}

// Times the comparison and the pulling, and prints the result line. The pull is over once the
// change list's memory is back: what the agent freed is consolidated now rather than at some later
// allocation of the agent's, which would pay for it all the same.
int CompareAndPull(CFileServerSnapClientBase& client, const std::string& path, size_t warmBytes) {
  PullResult result;
  std::function<FileServerSnapshotCompareItem()> source;
  // Each side starts on memory the host already backs, as a side would that ran just after another
  // had freed its own; the first touch is timed apart. Where the kernel refuses the reset below,
  // the growth is taken from the whole process's peak (an upper bound, as the untimed job before
  // used less), and that peak must not be the touched memory's.
  if (warmBytes > 0 && ResetPeakResident()) result.warmSeconds = TouchFreshMemory(warmBytes);
  ResetPeakResident();
  const long residentBefore = ResidentKib();
  const double cpuStart = CpuSeconds();
  const Clock::time_point start = Clock::now();
  CQiError compared = client.CompareSnapshots(path, path, source);
  result.compareSeconds = SecondsSince(start);
  if (compared.IsError()) return Fail("CompareSnapshots failed: " + compared.ToString());
  const Clock::time_point pulling = Clock::now();
  PullAll(source, &result);
  ::malloc_trim(0);
  result.pullSeconds = SecondsSince(pulling);
  result.cpuSeconds = CpuSeconds() - cpuStart;
  result.peakKib = PeakResidentKib();
  if (result.peakKib >= 0 && residentBefore >= 0) result.growthKib = result.peakKib - residentBefore;
  std::cout << result.ToLine() << std::endl;
  return 0;
}

void LogTo(const std::string& file) {
  auto writer = boost::make_shared<CFileLogWriter>(0);
  if (writer->Open(file.c_str())) g_ptrLogWriter = writer;
}

}  // namespace

bool PullResult::SameTally(const PullResult& other) const {
  return items == other.items && pathBytes == other.pathBytes && created == other.created &&
         modified == other.modified && deleted == other.deleted && this->other == other.other &&
         directories == other.directories;
}

std::string PullResult::ToLine() const {
  std::ostringstream out;
  out.precision(12);
  out << "result items=" << items << " compare_s=" << compareSeconds << " pull_s=" << pullSeconds << " cpu_s=" << cpuSeconds
      << " peak_kib=" << peakKib << " growth_kib=" << growthKib << " warm_s=" << warmSeconds
      << " path_bytes=" << pathBytes << " created=" << created << " modified=" << modified << " deleted=" << deleted
      << " other=" << other << " dirs=" << directories;
  return out.str();
}

bool PullResult::FromLine(const std::string& line, PullResult* result) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word) || word != "result") return false;
  int fields = 0;
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = word.substr(0, eq);
    std::istringstream value(word.substr(eq + 1));
    bool ok = true;
    if (key == "items") ok = static_cast<bool>(value >> result->items);
    else if (key == "compare_s") ok = static_cast<bool>(value >> result->compareSeconds);
    else if (key == "pull_s") ok = static_cast<bool>(value >> result->pullSeconds);
    else if (key == "cpu_s") ok = static_cast<bool>(value >> result->cpuSeconds);
    else if (key == "peak_kib") ok = static_cast<bool>(value >> result->peakKib);
    else if (key == "growth_kib") ok = static_cast<bool>(value >> result->growthKib);
    else if (key == "warm_s") ok = static_cast<bool>(value >> result->warmSeconds);
    else if (key == "path_bytes") ok = static_cast<bool>(value >> result->pathBytes);
    else if (key == "created") ok = static_cast<bool>(value >> result->created);
    else if (key == "modified") ok = static_cast<bool>(value >> result->modified);
    else if (key == "deleted") ok = static_cast<bool>(value >> result->deleted);
    else if (key == "other") ok = static_cast<bool>(value >> result->other);
    else if (key == "dirs") ok = static_cast<bool>(value >> result->directories);
    else continue;
    if (!ok) return false;
    ++fields;
  }
  return fields == 13;
}

void PullAll(const std::function<FileServerSnapshotCompareItem()>& source, PullResult* result) {
  for (;;) {
    FileServerSnapshotCompareItem item = source();
    switch (item.m_changeType) {
      case kFileServerChangeEndOfList:
        return;
      case kFileServerChangeNew:
        ++result->created;
        break;
      case kFileServerChangeModified:
        ++result->modified;
        break;
      case kFileServerChangeDeleted:
        ++result->deleted;
        break;
      default:
        ++result->other;
        break;
    }
    ++result->items;
    result->pathBytes += item.m_path.size();
    if (item.m_info.m_mode == 0x4000) ++result->directories;
  }
}

// Arguments: the agent environment, --job J --previous P --path BACKUP_PATH [--spill-threshold-mib M].
// Runs job J (previous P) through the plug-in, says "ready", waits for a line on standard input,
// then measures.
int RunEndToEndMode(const std::vector<std::string>& args) {
  AgentEnvironment environment;
  if (!environment.FromArgs(args)) return Fail("mode a needs the agent environment");
  environment.Apply("end-to-end.log");
  const LONGLONG job = std::stoll(Arg(args, "--job"));
  const LONGLONG previous = std::stoll(Arg(args, "--previous"));
  const std::string path = Arg(args, "--path");

  const std::string spillMib = Arg(args, "--spill-threshold-mib");
  if (!spillMib.empty()) {
    Qumulo::ChangeSpillOptions spill = Qumulo::ChangeSpillOptions::Default();
    spill.thresholdBytes = static_cast<size_t>(std::stoull(spillMib)) << 20;
    Qumulo::ChangeSpillOptions::SetDefault(spill);  // before the snap client, which copies it
  }

  std::string error;
  SnapClientPtr client = NewPluginSnapClient(&error);
  if (!client) return Fail(error);
  CQiError result = client->Initialize(job, environment.clientId, 1, 2, "", "", environment.workDir + "/snapmap.txt",
                                       previous, 0, 0, 0, ContentMapperAPIPtr());
  std::list<std::string> paths{path};
  const std::list<std::string> none;
  if (!result.IsError()) result = client->ConfigureSnapshot(paths, none, none);
  if (result.IsError()) return Fail("job " + std::to_string(job) + " failed: " + result.ToString());

  std::cout << "ready" << std::endl;
  std::string go;
  if (!std::getline(std::cin, go)) return Fail("the driver went away");
  return CompareAndPull(*client, path, std::stoull(Arg(args, "--warm-bytes")));
}

// Arguments: --pages FILE --path BACKUP_PATH --fs-path CLUSTER_PATH --older ID --newer ID
// --work-dir DIR.
int RunFloorMode(const std::vector<std::string>& args) {
  LogTo(Arg(args, "--work-dir") + "/floor.log");
  const std::string path = Arg(args, "--path");
  ReplaySnapClient client;
  if (!client.Prepare(Arg(args, "--pages"), path, Arg(args, "--fs-path"), std::stoull(Arg(args, "--older")),
                      std::stoull(Arg(args, "--newer")))) {
    return Fail("cannot read the recorded pages");
  }
  return CompareAndPull(client, path, std::stoull(Arg(args, "--warm-bytes")));
}

}  // namespace bench
