#include "bench_cluster.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include <boost/make_shared.hpp>
#include <httplib.h>

#include "FileLogWriter.h"
#include "KWClient.h"
#include "KwMntTab.h"
#include "LogWriter.h"
#include "TransportOptions.h"
#include "snaptest/loopback.h"

namespace bench {

namespace {

const char* const kArgNames[] = {"--address", "--ca", "--registry", "--mounts", "--work-dir", "--client-id"};

// The value of a numeric field in a flat JSON object, or false when it is absent.
bool JsonNumber(const std::string& body, const std::string& name, uint64_t* value) {
  const std::string key = "\"" + name + "\":";
  size_t at = body.find(key);
  if (at == std::string::npos) return false;
  at += key.size();
  while (at < body.size() && body[at] == ' ') ++at;
  char* end = nullptr;
  *value = std::strtoull(body.c_str() + at, &end, 10);
  return end != body.c_str() + at;
}

std::string RandomPassword() {
  std::random_device device;
  std::string text = "bench-";
  for (int i = 0; i < 4; ++i) text += std::to_string(device());
  return text;
}

}  // namespace

std::vector<std::string> AgentEnvironment::ToArgs() const {
  return {kArgNames[0], address,    kArgNames[1], caFile,  kArgNames[2], registryFile,
          kArgNames[3], mountTable, kArgNames[4], workDir, kArgNames[5], std::to_string(clientId)};
}

bool AgentEnvironment::FromArgs(const std::vector<std::string>& args) {
  std::string* fields[] = {&address, &caFile, &registryFile, &mountTable, &workDir};
  bool seen[6] = {};
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    for (int k = 0; k < 6; ++k) {
      if (args[i] != kArgNames[k]) continue;
      if (k < 5) {
        *fields[k] = args[i + 1];
      } else {
        clientId = std::strtoul(args[i + 1].c_str(), nullptr, 10);
      }
      seen[k] = true;
    }
  }
  for (bool s : seen) {
    if (!s) return false;
  }
  return true;
}

void AgentEnvironment::Apply(const std::string& logName) const {
  KWClient::SetRegistryPath(registryFile);
  KwMntTab::SetTablePath(mountTable);
  Qumulo::TransportOptions options = Qumulo::TransportOptions::Default();
  options.caFile = caFile;
  Qumulo::TransportOptions::SetDefault(options);
  // Like an agent: progress lines (level 0) go to a log file; per-item detail is off.
  auto writer = boost::make_shared<CFileLogWriter>(0);
  if (writer->Open((workDir + "/" + logName).c_str())) g_ptrLogWriter = writer;
}

BenchCluster::BenchCluster() {}

std::string BenchCluster::password() const {
  std::ifstream in(passwordFile_);
  std::string line;
  std::getline(in, line);
  return line;
}

bool BenchCluster::Start(const std::string& exportPath, const std::string& fsPath,
                         const std::vector<std::string>& extraArgs) {
  root_ = dir_.Sub("root");
  const std::string host = dir_.Sub("host");
  agent_.workDir = dir_.Sub("work");
  mountPoint_ = host + "/mnt" + exportPath;
  passwordFile_ = dir_.Sub("password");
  const std::string password = RandomPassword();
  if (!snaptest::MakeDirs(root_ + fsPath) || !snaptest::MakeDirs(host + "/mnt") ||
      !snaptest::MakeDirs(agent_.workDir) || !snaptest::WriteFile(passwordFile_, password + "\n") ||
      ::chmod(passwordFile_.c_str(), 0600) != 0) {
    error_ = "cannot prepare the benchmark's directories under " + dir_.path();
    return false;
  }
  // The host "mounts" the export: reads through the mount point see the emulator's tree.
  if (::symlink((root_ + fsPath).c_str(), mountPoint_.c_str()) != 0) {
    error_ = "cannot make the mount point " + mountPoint_;
    return false;
  }

  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    agent_.address = snaptest::PickLoopbackAddress();
    std::vector<std::string> args = {"--root",          root_,          "--bind", agent_.address,
                                     "--user",          user_,          "--password-file", passwordFile_,
                                     "--export",        exportPath + "=" + fsPath,
                                     "--state-dir",     dir_.Sub("state"), "--test-hooks"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    started = process_.Start(args);
  }
  if (!started) {
    error_ = "clustersim did not start: " + process_.error();
    return false;
  }
  agent_.caFile = process_.ca_path();

  agent_.mountTable = host + "/mounts";
  agent_.registryFile = host + "/registry.json";
  const std::string registry = "{\"clients\":[{\"id\":" + std::to_string(agent_.clientId) + ",\"hostname\":\"" +
                               agent_.address + "\",\"fileserver\":{\"username\":\"" + user_ +
                               "\",\"password\":\"" + password + "\"}}]}";
  if (!snaptest::WriteFile(agent_.mountTable, "/dev/vda1 / ext4 rw 0 0\n" + agent_.address + ":" + exportPath +
                                                  " " + mountPoint_ + " nfs rw 0 0\n") ||
      !snaptest::WriteFile(agent_.registryFile, registry) || ::chmod(agent_.registryFile.c_str(), 0600) != 0) {
    error_ = "cannot write the host files under " + host;
    return false;
  }
  return Calibrate();
}

// A reading made right after a reset shows what readings themselves add.
bool BenchCluster::Calibrate() {
  readingOverhead_ = CounterValues();
  CounterValues raw;
  if (!ResetCounters() || !ReadCounters(&raw)) return false;
  readingOverhead_ = raw;
  return true;
}

bool BenchCluster::ReadCounters(CounterValues* values) {
  httplib::SSLClient client(agent_.address, 8000);
  client.set_ca_cert_path(agent_.caFile);
  client.enable_server_certificate_verification(true);
  httplib::Result result = client.Get("/v1/debug/counters");
  uint64_t requests = 0, tls = 0;
  if (!result || result->status != 200 || !JsonNumber(result->body, "requests", &requests) ||
      !JsonNumber(result->body, "tls_connections", &tls)) {
    error_ = "cannot read the emulator's counters";
    return false;
  }
  values->requests = requests - std::min(requests, readingOverhead_.requests);
  values->tlsConnections = tls - std::min(tls, readingOverhead_.tlsConnections);
  return true;
}

bool BenchCluster::ResetCounters() {
  httplib::SSLClient client(agent_.address, 8000);
  client.set_ca_cert_path(agent_.caFile);
  client.enable_server_certificate_verification(true);
  httplib::Result result = client.Post("/v1/debug/counters/reset", "", "application/json");
  if (!result || result->status != 204) {
    error_ = "cannot reset the emulator's counters";
    return false;
  }
  return true;
}

}  // namespace bench
