// A scratch directory that is removed with everything in it.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();   // makes a fresh directory under /tmp
  ~TempDir();  // removes it, contents included
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes content to name (bytes as they are) and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace testsupport
