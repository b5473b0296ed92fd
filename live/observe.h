// Reads what the kernel holds of one port into a PortView, and nothing
// else: no writes.
#ifndef BRANTEL_SIM_LIVE_OBSERVE_H
#define BRANTEL_SIM_LIVE_OBSERVE_H

#include <string>

#include "dataplane.h"
#include "netlink.h"
#include "plan.h"

namespace brantel_sim::live {

struct ObserveOptions {
  bool bindings = true;  // the scope's addresses (all of them with the scope all)
  bool accept = true;    // each interface's program (scope all only)
  // Where the maps cannot be read (an ordinary user), take our filter's
  // name for ours and read what netlink shows: devices and addresses.
  bool without_maps = false;
};

// 0, or an errno value when the kernel could not be read; `cls` is opened
// when the port runs our classifier (and `view.maps` is set).
int observe(Rtnl& nl, const std::string& name, const Scope& scope, const ObserveOptions& opts,
            PortView& view, Classifier& cls, Failure& why);

// The devices that carry interfaces of ours named PORT#...: after a
// rename, under another name.
int holders(Rtnl& nl, const std::string& port, std::vector<Link>& out);

// The names of the devices that run our classifier or carry interfaces of
// ours, whatever the state file says.
int ports_on_kernel(Rtnl& nl, std::vector<std::string>& out, Failure& why);

}  // namespace brantel_sim::live

#endif
