#include "agent_setup.h"

#include "ChangeSpillOptions.h"
#include "FileShareAutoMount.h"
#include "KWClient.h"
#include "KwMntTab.h"
#include "cluster_session.h"
#include "log_writer.h"

namespace snapjob {

bool ConfigureAgent(const RunOptions& options, std::string* error) {
  if (!InstallLogWriter(options.log_file, options.log_level, error)) return false;
  KWClient::SetRegistryPath(options.connection.registry);
  KwMntTab::SetTablePath(options.mount_table);
  FileShareAutoMount::SetAutoMountRoot(options.auto_mount_root);
  Qumulo::TransportOptions::SetDefault(TransportFor(options.connection));
  Qumulo::ChangeSpillOptions spill;
  spill.directory = options.spill_dir;
  spill.thresholdBytes = static_cast<size_t>(options.spill_threshold_mib) << 20;
  Qumulo::ChangeSpillOptions::SetDefault(spill);
  return true;
}

}  // namespace snapjob
