#ifndef KWQUMULOSDKWRAPPER_CHANGESPILLOPTIONS_H
#define KWQUMULOSDKWRAPPER_CHANGESPILLOPTIONS_H

#include <cstddef>
#include <string>

namespace Qumulo {

// Where a snap client keeps a change list that outgrows its memory budget. The agent sets the
// process default once, before it creates snap clients; each snap client copies it when created.
// Thread-safe.
struct ChangeSpillOptions {
  // The directory of the private spill file; "" for $TMPDIR, or /tmp when that is unset or empty.
  std::string directory;
  // Bytes of change list kept in memory; further blocks go to the spill file.
  size_t thresholdBytes = size_t{1} << 30;

  // The directory the spill file goes to, with the "" default resolved.
  std::string ResolvedDirectory() const;

  static void SetDefault(const ChangeSpillOptions& options);
  static ChangeSpillOptions Default();
};

}  // namespace Qumulo

#endif
