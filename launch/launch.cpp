#include "launch.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "brantel_sim.h"
#include "live_paths.h"

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

void note_simulated_only() {
  if (geteuid() != 0) return;
  std::string error;
  std::string live_path = live_default_state(error);
  if (live_path.empty()) return;
  Model m;
  StateStore quiet(live_path);
  if (!quiet.read(m, error) || m.ports().empty()) return;
  std::fprintf(stderr,
               "brantel-sim: note: this changes the simulated module only; live mode holds %s: "
               "use brantel-live\n",
               live_path.c_str());
}

bool front_checks(char** command, bool live, std::string& error) {
  if (live) return live_launch_checks(command, error);
  if (!reads_only(command)) note_simulated_only();
  return true;
}

}  // namespace brantel_sim
