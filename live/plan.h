// What the kernel holds of one port, what the state file wants of it, and
// the plan that turns the one into the other.  The plan is a pure
// function, so every decision live mode makes can be tested without root.
#ifndef BRANTEL_SIM_LIVE_PLAN_H
#define BRANTEL_SIM_LIVE_PLAN_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "classifier.h"
#include "model.h"
#include "netlink.h"

namespace brantel_sim::live {

// A port's interfaces share the device group kGroupBase | (port ifindex &
// 0xffff), so that they can all be deleted in one request.
inline constexpr std::uint32_t kGroupBase = 0x62720000;  // "br"
inline constexpr std::uint32_t kGroupMask = 0xffff0000;
inline constexpr std::uint32_t group_of(int port_ifindex) {
  return kGroupBase | (static_cast<std::uint32_t>(port_ifindex) & 0xffff);
}
inline constexpr bool in_our_groups(std::uint32_t group) {
  return (group & kGroupMask) == kGroupBase;
}
// Our filters' place: the handle, and the first of the priorities tried
// when another tool's filter holds the one before.
inline constexpr std::uint32_t kFilterHandle = 0x6272;
inline constexpr std::uint32_t kFilterPriority = 0x6272;
inline constexpr std::uint32_t kFilterPriorities = 16;

// What one request or sync looks at: everything (sync, check), or only the
// interfaces and addresses a request changes, so that its cost does not
// grow with the size of the port.
struct Scope {
  bool all = true;
  std::set<std::string> ifaces;   // looked at and changed
  std::set<std::string> created;  // of those, new with this request
  std::set<MacBytes> macs;
};

struct IfaceView {
  Link link;
  std::optional<bool> accept;  // our program on its ingress; unknown when not looked at
  bool target = false;         // the classifier may hand it frames
  bool own = false;            // its own address is in the classifier's map
  bool bare_qdisc = false;     // a clsact qdisc with no filter at all (scope all)
};

struct PortView {
  std::string name;
  Link dev;                 // ifindex 0: no device of that name
  std::string renamed;      // the device our interfaces are on, if it is no longer `name`
  std::string unusable;     // why live mode cannot serve this device, or empty
  bool classifier = false;  // our filter runs on its ingress
  bool maps = false;        // and its maps were read
  Filter filter;            // ours, when `classifier`
  std::set<std::uint32_t> foreign_priorities;  // others' filters at its ingress
  bool clsact = false;
  bool others = false;  // filters at its clsact that are not ours
  brantel_port_config cfg{};
  // BRANTEL_OWN_* bits of the port's record under /run: what live mode
  // turned on, kept where losing the classifier cannot lose it.
  std::uint32_t recorded = 0;
  std::map<MacBytes, std::uint32_t> bindings;  // within the scope
  std::set<std::uint32_t> targets;             // interfaces frames may be handed to
  std::map<MacBytes, std::uint32_t> own;       // each interface's own address
  // Interfaces the classifier refers to that are gone: all of them with
  // the scope all, else those the scope's addresses and the default lead to.
  std::set<std::uint32_t> dead;
  // Of those, the ones a device not of ours holds now (someone took it out
  // of our group, or the number was given again), by name.
  std::map<std::uint32_t, std::string> strangers;
  // Devices not of ours named as ours are (PORT#...): a wanted interface of
  // that name cannot be made (scope all).
  std::map<std::string, Link> namesakes;
  bool group_shared = false;      // a device not ours is in our group
  std::uint32_t group = 0;        // the device group the port's interfaces belong in
  // Ours, within the scope; those whose device group is not `group` are
  // ours still (see observe), to be put back.
  std::vector<IfaceView> ifaces;
};

struct IfaceWant {
  std::string name;
  MacBytes mac{};
};

struct PortWant {
  std::string name;
  bool enabled = false;
  std::uint32_t flags = 0;
  std::vector<IfaceWant> ifaces;
  // Address -> interface; within a narrow scope, the scope's addresses
  // only, "" for one that must be bound nowhere.
  std::map<MacBytes, std::string> bindings;
};

enum class Op {
  load,           // a new classifier, not yet attached
  set_config,     // value: flags, name: the default interface ("" none), owned
  create_iface,   // name, mac
  delete_iface,   // name, ifindex
  delete_group,   // every interface of the port, in one request
  regroup,        // name: back into the port's device group
  attach_accept,  // name
  detach_accept,  // name
  add_target,     // name (or ifindex when the device is gone)
  remove_target,  // ifindex
  add_own,        // name, mac
  remove_own,     // mac
  bind,           // mac, name
  unbind,         // mac
  promisc,        // on
  record,         // value: the BRANTEL_OWN_* bits to keep in the port's record
  attach_rx,      // priority
  detach_rx,
  remove_qdisc,
  up,  // on
};

struct Action {
  Op op;
  std::string name;
  int ifindex = 0;
  MacBytes mac{};
  std::uint32_t value = 0;
  std::uint32_t owned = 0;
  bool on = false;
  std::string why;  // what differs, as check prints it; empty for a step of another
};

struct Plan {
  std::vector<Action> actions;
  // Why the port cannot be made to match, or empty.
  std::string trouble;
  int err = 0;  // the errno value that goes with `trouble`
};

Plan plan(const PortView& kernel, const PortWant& want, const Scope& scope);

// The lines check prints for a plan: each difference once.
std::vector<std::string> differences(const Plan& p);

}  // namespace brantel_sim::live

#endif
