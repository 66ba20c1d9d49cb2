// TempDir: a fresh folder under the system's temporary directory, removed with everything in it
// when the object goes away. For test files (certificates, stats files, pool logs).
#pragma once

#include <string>

namespace tavo::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole file as a string; empty when it cannot be read.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& content);

}  // namespace tavo::test
