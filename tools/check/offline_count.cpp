// How many offline codes each user has left, read as the module reads the files (under their
// lock, never through a link). Counts only: no line of a file is ever shown.
#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

#include "auth/offline.h"
#include "auth/offline_file_int.h"
#include "check.h"
#include "common/own.h"
#include "pam/log.h"

namespace zvcheck {
namespace {

constexpr std::string_view kSuffix = ".offline";
constexpr size_t kMaxFile = 4u << 20; // the module's own bound on a code file

void count_one(Report &r, const char *user) {
  const zv::LogText name(user, true);
  char area[sizeof(zv::LogText) + 16];
  std::snprintf(area, sizeof area, "offline %s", name.c_str());
  if (offline_username_ok(user) == 0) {
    r.say(Report::error, area, "the module keeps no offline codes for this user name");
    return;
  }
  char path[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(path, sizeof path, user);
  zv::Fd fd;
  bool created = false;
  const zv::offline::Opened opened = zv::offline::open_locked(path, false, &fd, &created);
  if (opened == zv::offline::Opened::missing) {
    r.say(Report::warning, area, "no offline codes");
    return;
  }
  zv::Secret content;
  if (opened != zv::offline::Opened::locked ||
      zv::offline::read_whole(fd.get(), kMaxFile, &content) != 0) {
    r.say(Report::error, area, "%s cannot be read", path);
    return;
  }
  const size_t left = offline_count_lines(content.get(), content.size());
  r.say(left > ZV_OFFLINE_LOW_WATER ? Report::ok : Report::warning, area, "%zu offline code%s left",
        left, left == 1 ? "" : "s");
}

} // namespace

void count_offline_codes(Report &r, const char *user) {
  if (user != nullptr) {
    count_one(r, user);
    return;
  }
  DIR *dir = opendir(ZV_CONFIG_DIR);
  if (dir == nullptr) {
    r.say(Report::error, "offline", "%s cannot be read", ZV_CONFIG_DIR);
    return;
  }
  // Sorted, so that the output of two runs compares line by line.
  std::vector<std::string> users;
  while (const dirent *e = readdir(dir)) {
    const std::string_view name(e->d_name);
    if (name.size() > kSuffix.size() && name.ends_with(kSuffix))
      users.emplace_back(name.substr(0, name.size() - kSuffix.size()));
  }
  closedir(dir);
  std::sort(users.begin(), users.end());
  for (const std::string &u : users) count_one(r, u.c_str());
  if (users.empty()) r.say(Report::ok, "offline", "no user has offline codes");
}

} // namespace zvcheck
