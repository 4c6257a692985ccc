#include "changelist_splits.h"

#include <chrono>
#include <list>

#include <simdjson.h>

#include "Parser.h"
#include "support/page_replay.h"
#include "support/peak_memory.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

class Stopwatch {
 public:
  void Start() {
    wall_ = Clock::now();
    cpu_ = CpuSeconds();
  }
  void Stop(Timing* timing) {
    timing->wallSeconds = std::max(timing->wallSeconds, 0.0) + std::chrono::duration<double>(Clock::now() - wall_).count();
    timing->cpuSeconds = std::max(timing->cpuSeconds, 0.0) + CpuSeconds() - cpu_;
  }

 private:
  Clock::time_point wall_;
  double cpu_ = 0;
};

std::string WithoutTrailingSlash(std::string path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

Timing TimeParseOnly(const std::string& pageFile) {
  PageFileReader reader(pageFile);
  Qumulo::CParser parser;
  std::list<Qumulo::CSnapshotDiffInfo> page;
  std::string body, error, next;
  Timing timing;
  Stopwatch watch;
  while (reader.Next(&body, &error)) {
    watch.Start();
    const bool parsed = !parser.ParseDiffPage(body, "GET (recorded page)", page, next).IsError();
    page.clear();
    watch.Stop(&timing);
    if (!parsed) return Timing();
  }
  return error.empty() ? timing : Timing();
}

Timing TimeLeanParse(const std::string& pageFile, size_t* entries) {
  namespace od = simdjson::ondemand;
  PageFileReader reader(pageFile);
  od::parser parser;
  std::list<Qumulo::CSnapshotDiffInfo> page;
  std::string body, error, next;
  Timing timing;
  Stopwatch watch;
  *entries = 0;
  while (reader.Next(&body, &error)) {
    watch.Start();
    od::document document;
    if (parser.iterate(body.data(), body.size(), body.capacity()).get(document)) return Timing();
    od::array array;
    if (document["entries"].get_array().get(array)) return Timing();
    for (auto element : array) {
      od::object object;
      std::string_view op, path;
      if (element.get_object().get(object) || object["op"].get_string().get(op) ||
          object["path"].get_string().get(path)) {
        return Timing();
      }
      Qumulo::CSnapshotDiffInfo& entry = page.emplace_back();
      entry.m_path.assign(path.data(), path.size());
      entry.m_changeType = op == "CREATE" ? 0 : op == "DELETE" ? 1 : op == "MODIFY" ? 2 : -1;
      entry.m_isDirectory = !path.empty() && path.back() == '/';
    }
    std::string_view token;
    if (document["paging"]["next"].get_string().get(token)) return Timing();
    next.assign(token.data(), token.size());
    *entries += page.size();
    page.clear();
    watch.Stop(&timing);
  }
  return error.empty() ? timing : Timing();
}

Timing TimeLeanHandOut(const std::string& pageFile, const std::string& fsPath, const std::string& backupPath,
                       PullResult* tally) {
  std::list<Qumulo::CSnapshotDiffInfo> items;
  {
    PageFileReader reader(pageFile);
    Qumulo::CParser parser;
    std::string body, error, next;
    while (reader.Next(&body, &error)) {
      if (parser.ParseDiffPage(body, "GET (recorded page)", items, next).IsError()) return Timing();
    }
    if (!error.empty()) return Timing();
  }

  Timing timing;
  Stopwatch watch;
  watch.Start();
  const std::string clusterPrefix = WithoutTrailingSlash(fsPath);
  const std::string localPrefix = WithoutTrailingSlash(backupPath);
  std::function<FileServerSnapshotCompareItem()> source = [&]() {
    FileServerSnapshotCompareItem item;
    if (items.empty()) {
      item.m_changeType = kFileServerChangeEndOfList;
      return item;
    }
    const Qumulo::CSnapshotDiffInfo& diff = items.front();
    switch (diff.m_changeType) {
      case Qumulo::kSnapshotChangeCreated:
        item.m_changeType = kFileServerChangeNew;
        item.m_info.m_exists = true;
        break;
      case Qumulo::kSnapshotChangeDeleted:
        item.m_changeType = kFileServerChangeDeleted;
        break;
      case Qumulo::kSnapshotChangeModified:
        item.m_changeType = kFileServerChangeModified;
        item.m_info.m_exists = true;
        break;
      default:
        break;
    }
    size_t length = diff.m_path.size();
    if (length > 0 && diff.m_path[length - 1] == '/') --length;
    if (length >= clusterPrefix.size() && diff.m_path.compare(0, clusterPrefix.size(), clusterPrefix) == 0) {
      item.m_path.reserve(localPrefix.size() + length - clusterPrefix.size());
      item.m_path.append(localPrefix).append(diff.m_path, clusterPrefix.size(), length - clusterPrefix.size());
    } else {
      item.m_path.assign(diff.m_path, 0, length);
    }
    item.m_newDirectory = diff.m_isDirectory && item.m_changeType == kFileServerChangeNew;
    item.m_info.m_mode = diff.m_isDirectory ? 0x4000 : 0x8000;
    items.pop_front();
    return item;
  };
  PullAll(source, tally);
  watch.Stop(&timing);
  return timing;
}

}  // namespace bench
