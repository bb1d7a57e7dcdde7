// The module exports exactly the PAM service functions and the named working functions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "test_files.h"

namespace {

std::set<std::string> names_in_map() {
  std::string s = zvtest::read_file(ZV_MAP_FILE);
  s = std::regex_replace(s, std::regex(R"(/\*[\s\S]*?\*/)"), "");
  const size_t global = s.find("global:");
  const size_t local = s.find("local:");
  std::set<std::string> out;
  std::regex name(R"(([A-Za-z_][A-Za-z0-9_]*)\s*;)");
  std::string section = s.substr(global + 7, local - global - 7);
  for (std::sregex_iterator it(section.begin(), section.end(), name), end; it != end; ++it)
    out.insert((*it)[1]);
  return out;
}

// The module's dynamic symbols that `nm -D <which>` lists (version suffixes dropped).
std::set<std::string> module_symbols(const std::string &which) {
  std::set<std::string> out;
  const std::string cmd = "nm -D " + which + " '" ZV_MODULE_PATH "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char line[512];
  while (fgets(line, sizeof line, p) != nullptr) {
    std::istringstream fields(line);
    std::string first, second, third;
    fields >> first >> second >> third;
    // Defined: "address type name"; undefined: "U name".
    std::string sym = third.empty() ? second : third;
    sym = sym.substr(0, sym.find('@'));
    if (!sym.empty()) out.insert(sym);
  }
  pclose(p);
  return out;
}

std::set<std::string> exported_by_module() { return module_symbols("--defined-only"); }

} // namespace

TEST(Exports, ExactlyTheNamedFunctions) {
  const std::set<std::string> expected = names_in_map();
  ASSERT_GE(expected.size(), 60u);
  for (const char *sm : {"pam_sm_authenticate", "pam_sm_setcred", "pam_sm_acct_mgmt",
                         "pam_sm_open_session", "pam_sm_close_session", "pam_sm_chauthtok"})
    EXPECT_TRUE(expected.count(sm)) << sm;
  EXPECT_EQ(exported_by_module(), expected);
}

TEST(Exports, EveryNamedFunctionResolvesThroughDlopen) {
  void *handle = dlopen(ZV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  for (const std::string &name : names_in_map())
    EXPECT_NE(dlsym(handle, name.c_str()), nullptr) << name;
  // Internal helpers stay hidden.
  EXPECT_EQ(dlsym(handle, "store_offline_codes"), nullptr);
  EXPECT_EQ(dlsym(handle, "zv_status_to_pam"), nullptr);
  dlclose(handle);
}

// The host's syslog(3) state (identity, options, facility) is the host's: the module writes to
// the log socket itself and never calls the functions that would change or use that state.
TEST(Exports, NoSystemLogStateFunctionsImported) {
  const std::set<std::string> imported = module_symbols("--undefined-only");
  ASSERT_TRUE(imported.count("socket")) << "nm lists the module's imports";
  for (const char *fn :
       {"openlog", "closelog", "syslog", "vsyslog", "__syslog_chk", "__vsyslog_chk", "setlogmask"})
    EXPECT_FALSE(imported.count(fn)) << fn;
}
