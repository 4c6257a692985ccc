// Small file helpers of the demo: whole-file reads and writes, private files for secrets, the
// mount-table escaping of paths. Stateless; safe from any thread.
#ifndef SNAPJOB_DEMO_FILES_H_
#define SNAPJOB_DEMO_FILES_H_

#include <string>
#include <vector>

namespace snapjob {

// Writes `content` to `path`, replacing it. `mode` applies when the file is created.
bool WriteFile(const std::string& path, const std::string& content, unsigned int mode = 0644);
// Creates `path` readable by its owner only; fails if it exists (a secret never goes into a file
// that someone else could have opened first).
bool WritePrivateFile(const std::string& path, const std::string& content);
bool ReadFile(const std::string& path, std::string* content);

// The names in a directory, sorted; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);

// A path as a field of a mount table: blanks, tabs, line feeds and backslashes as octal escapes.
std::string MountTableField(const std::string& path);

// `bytes` random bytes from the kernel, as lowercase hex.
std::string RandomHex(size_t bytes);

}  // namespace snapjob

#endif  // SNAPJOB_DEMO_FILES_H_
