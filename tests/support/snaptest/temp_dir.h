// TempDir: a fresh directory under $TMPDIR (or /tmp), removed with everything
// in it when the object goes away. Not thread-safe; one owner.
#ifndef SNAPTEST_TEMP_DIR_H_
#define SNAPTEST_TEMP_DIR_H_

#include <string>

namespace snaptest {

class TempDir {
 public:
  // `prefix` becomes the start of the directory's name. Aborts the test
  // process if no directory can be made.
  explicit TempDir(const std::string& prefix = "snaptest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string Sub(const std::string& relative) const;

 private:
  std::string path_;
};

// Small file helpers for test fixtures; each returns false on failure.
bool WriteFile(const std::string& path, const std::string& content);
bool MakeDirs(const std::string& path);  // like mkdir -p
bool RemoveAll(const std::string& path); // like rm -rf
std::string ReadFile(const std::string& path);  // "" when it cannot be read

}  // namespace snaptest

#endif  // SNAPTEST_TEMP_DIR_H_
