#include "launch.h"

#include <cstdlib>
#include <string_view>

#include "live_paths.h"
#include "state_file.h"

namespace brantel_sim {

bool reads_only(char** command) {
  std::string_view name = command[0];
  std::size_t slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (name != "brantel_config") return false;
  if (!command[1]) return true;
  std::string_view sub = command[1];
  return sub == "help" || sub == "info";
}

bool live_launch_checks(char** command, std::string& error) {
  const char* given = std::getenv("BRANTEL_SIM_STATE");
  std::string path = given && *given ? given : live_default_state(error);
  if (path.empty()) return false;
  if (!reads_only(command) && !only_owner_writes(path, error)) return false;
  return setenv("BRANTEL_SIM_STATE", path.c_str(), 1) == 0 || (error = "out of memory", false);
}

}  // namespace brantel_sim
