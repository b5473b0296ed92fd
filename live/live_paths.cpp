#include "live_paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <string_view>

namespace brantel_sim {
namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string live_default_state(std::string& error, const NetnsRoots& roots) {
  std::string base = roots.state;
  struct stat self {
  }, init{};
  if (stat(roots.self, &self) != 0) return base + "/state";
  bool init_known = stat(roots.init, &init) == 0;
  if (init_known && same_file(self, init)) return base + "/state";
  // A named namespace is known by its name whether or not the first
  // process's namespace can be seen (it cannot with hidepid, or in some
  // sandboxes even as root).
  if (DIR* d = opendir(roots.named)) {
    std::string found;
    while (dirent* e = readdir(d)) {
      std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      std::string path = std::string(roots.named) + "/" + e->d_name;
      if (stat(path.c_str(), &st) == 0 && same_file(st, self)) {
        found = e->d_name;
        break;
      }
    }
    closedir(d);
    if (!found.empty()) return base + "/netns/" + found + "/state";
  }
  // Without a view of the first process's namespace (hidepid, a sandbox),
  // the sysctls only the system's namespace has tell it apart; where even
  // /proc/sys is missing, assume the system's, as before there were
  // namespaces of ours.
  struct stat st {};
  if (!init_known && (stat(roots.system_only, &st) == 0 || stat(roots.net_core, &st) != 0))
    return base + "/state";
  error = "this network namespace is not the system's and has no name in " +
          std::string(roots.named) + ": give its state file with --state FILE";
  return {};
}

}  // namespace brantel_sim
