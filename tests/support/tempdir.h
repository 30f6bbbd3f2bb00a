// Temporary directories and small file helpers for tests.
#pragma once

#include <string>

namespace pictra_test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes bytes to name (relative to the directory) and returns the full path.
  std::string write(const std::string& name, const std::string& bytes) const;
  // Creates a subdirectory and returns its full path.
  std::string mkdir(const std::string& name) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// Runs a shell command and answers what it wrote to standard output (for reference decoders).
std::string command_output(const std::string& command);
// Copies a file of tests/data into dir under name.
std::string copy_test_data(const std::string& data_name, const TempDir& dir,
                           const std::string& name);

}  // namespace pictra_test
