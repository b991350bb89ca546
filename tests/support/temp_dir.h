// A scratch directory that is removed with everything in it.
#pragma once

#include <string>

struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Path of `name` inside the directory.
  std::string pathOf(const std::string& name) const { return path + "/" + name; }
};

// Whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
// Writes `bytes` to a file, replacing it.
void writeFile(const std::string& path, const std::string& bytes);
