// Where live mode keeps its state when not told: one file per network
// namespace, since each namespace has devices of its own.
#ifndef BRANTEL_SIM_LIVE_PATHS_H
#define BRANTEL_SIM_LIVE_PATHS_H

#include <string>

namespace brantel_sim {

struct NetnsRoots {
  const char* self = "/proc/self/ns/net";
  const char* init = "/proc/1/ns/net";
  const char* named = "/run/netns";            // where ip netns keeps its names
  const char* state = "/var/lib/brantel-sim";  // live mode's folder
  // A sysctl that the system's namespace alone has, in the folder that
  // every namespace has: the namespace's own view of /proc/sys/net.
  const char* net_core = "/proc/sys/net/core";
  const char* system_only = "/proc/sys/net/core/devconf_inherit_init_net";
};

// The default live state file of the calling process's network namespace:
// STATE/state in the system's (or when that cannot be told), STATE/netns/
// NAME/state in one that ip netns names NAME.  Empty with `error` set in a
// namespace of no name, also where the first process cannot be seen.
std::string live_default_state(std::string& error, const NetnsRoots& roots = {});

}  // namespace brantel_sim

#endif
