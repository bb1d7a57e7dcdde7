// Helpers shared by the configuration tests: writing the fixed configuration file, and a whole
// record as text, field by field from the option table, so that two records compare plainly.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config/option_table.h"
#include "config/params.h"
#include "syslog_reader.h"

namespace cfgtest {

inline const std::string kConfigFile = ZV_CONFIG_FILE;

// One setting of the record as "name=value" ('text', null, or the number; a character as its
// code).
inline std::string describe(const module_params &p, const zv::Option &o) {
  std::string value;
  switch (o.kind) {
  case zv::OptionKind::text: {
    const char *text = zv::text_of(&p, o);
    value = text != nullptr ? "'" + std::string(text) + "'" : "null";
    break;
  }
  case zv::OptionKind::character:
    value = std::to_string(p.*o.character);
    break;
  default:
    value = std::to_string(p.*o.number);
  }
  return std::string(o.field) + "=" + value;
}

// Every setting of the record (all but pamh and logname) as "name=value" lines, in the order of
// the fields.
inline std::string describe(const module_params &p) {
  std::string out;
  for (const zv::Option &o : zv::options())
    if ((o.traits & zv::kAlias) == 0) out += describe(p, o) + "\n";
  return out;
}

// True when no captured record contains `needle` anywhere (text or identity).
inline bool log_free_of(const std::string &needle) {
  for (const auto &r : zvtest::syslog_records())
    if (r.text.find(needle) != std::string::npos || r.ident.find(needle) != std::string::npos)
      return false;
  return true;
}

inline void write_config(const std::string &content) {
  std::ofstream out(kConfigFile, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good());
}

inline void remove_config() {
  ::unlink(kConfigFile.c_str());
  ::rmdir(kConfigFile.c_str());
}

// Resets the configuration directory and the log for one test.
class ConfigTest : public ::testing::Test {
protected:
  void SetUp() override {
    zvtest::syslog_capture_start();
    ::chmod(ZV_CONFIG_DIR, 0700);
    remove_config();
  }
  void TearDown() override {
    ::chmod(ZV_CONFIG_DIR, 0700);
    remove_config();
  }
};

} // namespace cfgtest
