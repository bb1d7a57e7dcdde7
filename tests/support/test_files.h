// Whole files for tests.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace zvtest {

// The whole content of `path`; "" when it cannot be read.
inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

} // namespace zvtest
