// A directory of the test's own that is removed with everything in it, even
// when an assertion ends the test early.
#pragma once

#include <string>

namespace brantwick::testing {

struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// Whole-file helpers for test fixtures.
void write_file(const std::string& path, const std::string& data);
void append_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);

}  // namespace brantwick::testing
