#ifndef SRC_CLUSTERNAMES_H
#define SRC_CLUSTERNAMES_H

#include <string>

// Checks of the paths and names that the cluster reports before the snap client builds paths of the
// backup host from them: a cluster that answers with "../.." or a stray line feed must not redirect
// the agent's reads or writes. Stateless; thread-safe.
namespace clusternames {

// True for one non-empty path component: no "/", no byte below 0x20, not "." or "..".
bool IsSingleComponent(const std::string& name);

// True when `path` is `directory` itself or lies below it, compared component by component: an
// absolute path whose components are neither empty, "." nor "..", with one trailing "/" allowed,
// and no NUL byte. `directory` may end with "/"; "" or "/" stands for the root.
bool IsWithin(const std::string& path, const std::string& directory);

// The text for an error message: backslash and control bytes escaped, long texts cut.
std::string Shown(const std::string& text);

}  // namespace clusternames

#endif
