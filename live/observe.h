// Reads what the kernel holds of one port into a PortView, and nothing
// else: no writes.
#ifndef BRANTEL_SIM_LIVE_OBSERVE_H
#define BRANTEL_SIM_LIVE_OBSERVE_H

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dataplane.h"
#include "netlink.h"
#include "plan.h"

namespace brantel_sim::live {

// The kernel as a command sees it.  Once taken, the devices and the qdiscs
// of every device come from one dump each, and each device's filters from
// at most one: a command that looks at many ports pays for the kernel once,
// and each port reads its slice.  Until taken, each question goes to
// netlink, so that a request that looks at a few devices does not pay for
// them all.
class Kernel {
 public:
  explicit Kernel(Rtnl& nl) : nl_(nl) {}
  Rtnl& nl() { return nl_; }

  // 0, or an errno value.  Taking it again reads the kernel anew.
  int take();
  bool taken() const { return taken_; }
  // After a change to devices or filters: what was taken may be out of date.
  void changed() { changed_ = true; }
  bool stale() const { return taken_ && changed_; }

  // ENODEV when there is no such device.
  int link(const std::string& name, Link& out);
  int link(int ifindex, Link& out);
  // Every device (taken first if it is not).
  int links(const std::vector<Link>*& out);
  // The devices stacked on `parent`, and those of a device group (taken
  // first if it is not).
  int children(int parent, std::vector<const Link*>& out);
  int group(std::uint32_t group, std::vector<const Link*>& out);
  // The devices whose names start with `prefix` (taken first if it is not).
  int named(const std::string& prefix, std::vector<const Link*>& out);
  int has_clsact(int ifindex, bool& out);
  // The filters at one parent of the device's clsact qdisc: none without one.
  int filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out);

 private:
  Rtnl& nl_;
  bool taken_ = false, changed_ = false;
  std::vector<Link> links_;
  std::map<int, std::size_t> by_index_;
  std::map<std::string, std::size_t> by_name_;
  std::multimap<int, std::size_t> by_parent_;
  std::multimap<std::uint32_t, std::size_t> by_group_;
  std::set<int> clsact_;
  std::map<std::pair<int, std::uint32_t>, std::vector<Filter>> filters_;
};

struct ObserveOptions {
  bool bindings = true;  // the scope's addresses (all of them with the scope all)
  bool accept = true;    // each interface's program (scope all only)
  // Where the maps cannot be read (an ordinary user), take our filter's
  // name for ours and read what netlink shows: devices and addresses.
  bool without_maps = false;
};

// 0, or an errno value when the kernel could not be read; `cls` is opened
// when the port runs our classifier (and `view.maps` is set).
int observe(Kernel& kernel, const std::string& name, const Scope& scope, const ObserveOptions& opts,
            PortView& view, Classifier& cls, Failure& why);

// The names of the devices that run our classifier or carry interfaces of
// ours, whatever the state file says.
int ports_on_kernel(Kernel& kernel, std::vector<std::string>& out, Failure& why);

}  // namespace brantel_sim::live

#endif
