// The plan: from what the kernel holds of a port and what the state file
// wants of it, the steps that make the one the other.  Each row is a kernel
// view, a wish, a scope, and the steps and differences expected.
#include "plan.h"

#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>

#include <cerrno>
#include <functional>
#include <string>

namespace brantel_sim::live {
namespace {

constexpr int kPortIndex = 7;
const MacBytes A{2, 0xaa, 0, 0, 0, 1}, B{2, 0xbb, 0, 0, 0, 2};

Link link(const std::string& name, int ifindex, std::uint8_t last) {
  Link l;
  l.name = name;
  l.ifindex = ifindex;
  l.kind = "macvlan";
  l.parent = kPortIndex;
  l.group = group_of(kPortIndex);
  l.type = ARPHRD_ETHER;
  l.macvlan_mode = MACVLAN_MODE_PRIVATE;
  l.mac = {2, 0x42, 0, 0, 0, last};
  return l;
}

// eth1 on the kernel, not yet enabled.
PortView bare() {
  PortView v;
  v.name = "eth1";
  v.dev.name = "eth1";
  v.dev.ifindex = kPortIndex;
  v.dev.type = ARPHRD_ETHER;
  v.dev.flags = IFF_UP;
  v.group = group_of(kPortIndex);
  return v;
}

// eth1 enabled with eth1#0 (ifindex 10) and eth1#1 (11), A bound to #1.
PortView enabled(std::uint32_t flags = 0) {
  PortView v = bare();
  v.classifier = true;
  v.filter.priority = kFilterPriority;
  v.filter.handle = kFilterHandle;
  v.clsact = true;
  v.cfg = {flags, 10, group_of(kPortIndex), BRANTEL_OWN_QDISC, 0, 0, 0};
  v.recorded = BRANTEL_OWN_QDISC;
  for (auto [name, i] : {std::pair{"eth1#0", 10}, std::pair{"eth1#1", 11}}) {
    IfaceView f{link(name, i, static_cast<std::uint8_t>(i)), flags & 1, true, true};
    v.ifaces.push_back(f);
    v.targets.insert(static_cast<std::uint32_t>(i));
    v.own[f.link.mac] = static_cast<std::uint32_t>(i);
  }
  v.bindings[A] = 11;
  return v;
}

PortWant wish(std::uint32_t flags = 0, bool with1 = true) {
  PortWant w;
  w.name = "eth1";
  w.enabled = true;
  w.flags = flags;
  w.ifaces.push_back({"eth1#0", {2, 0x42, 0, 0, 0, 10}});
  if (with1) {
    w.ifaces.push_back({"eth1#1", {2, 0x42, 0, 0, 0, 11}});
    w.bindings[A] = "eth1#1";
  }
  return w;
}

Scope narrow(std::set<std::string> ifaces, std::set<MacBytes> macs) {
  Scope s;
  s.all = false;
  s.ifaces = std::move(ifaces);
  s.macs = std::move(macs);
  return s;
}

// The steps as one line: op, then what it acts on.
std::string steps(const Plan& p) {
  static const char* names[] = {"load",    "config", "create",   "delete", "delete_group",
                                "regroup", "accept", "unaccept", "target", "untarget",
                                "own",     "unown",  "bind",     "unbind", "promisc",
                                "record",  "attach", "detach",   "unqdisc", "up"};
  std::string out;
  for (const Action& a : p.actions) {
    if (!out.empty()) out += ' ';
    out += names[static_cast<int>(a.op)];
    if (a.op == Op::set_config)
      out += ":" + std::to_string(a.value) + "/" + (a.name.empty() ? "-" : a.name) + "/" +
             std::to_string(a.owned);
    else if (a.op == Op::promisc || a.op == Op::up)
      out += a.on ? ":on" : ":off";
    else if (a.op == Op::attach_rx || a.op == Op::record)
      out += ":" + std::to_string(a.value);
    else if (a.op == Op::bind || a.op == Op::unbind)
      out += ":" + format_mac(a.mac).substr(15) + (a.name.empty() ? "" : ">" + a.name);
    else if (a.op == Op::remove_target && a.name.empty())
      out += ":" + std::to_string(a.ifindex);
    else if (!a.name.empty())
      out += ":" + a.name;
  }
  return out;
}

struct Row {
  const char* name;
  std::function<PortView()> kernel;
  std::function<PortWant()> want;
  Scope scope;
  const char* expected;    // the steps
  int err;                 // the plan's refusal
  const char* difference;  // one line check must print, or ""
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class PlanTable : public ::testing::TestWithParam<Row> {};

TEST_P(PlanTable, Steps) {
  const Row& r = GetParam();
  Plan p = plan(r.kernel(), r.want(), r.scope);
  EXPECT_EQ(steps(p), r.expected);
  EXPECT_EQ(p.err, r.err) << p.trouble;
  if (*r.difference) {
    auto d = differences(p);
    bool found =
        std::find(d.begin(), d.end(), r.difference) != d.end() || p.trouble == r.difference;
    EXPECT_TRUE(found) << r.difference << " not among " << ::testing::PrintToString(d) << " / "
                       << p.trouble;
  }
  // check prints a line for whatever sync would change, and names it.
  if (r.scope.all && !p.actions.empty()) {
    auto d = differences(p);
    EXPECT_FALSE(d.empty());
    EXPECT_EQ(std::count(d.begin(), d.end(), "eth1: differs on the kernel from the state file"), 0)
        << "a step no line names: " << steps(p);
  }
}

PortView with(PortView v, const std::function<void(PortView&)>& f) {
  f(v);
  return v;
}
PortWant with(PortWant w, const std::function<void(PortWant&)>& f) {
  f(w);
  return w;
}

const Row kRows[] = {
    {"enable_bare_port", bare, [] { return wish(0, false); }, Scope{},
     "load config:0/-/0 create:eth1#0 target:eth1#0 own:eth1#0 config:0/eth1#0/0 record:1 "
     "config:0/eth1#0/1 attach:25202",
     0, "eth1: not enabled on the kernel"},
    {"enable_beside_a_foreign_qdisc_and_filter_at_our_place",
     [] {
       return with(bare(), [](PortView& v) {
         v.clsact = true;
         v.others = true;
         v.foreign_priorities = {kFilterPriority};
       });
     },
     [] { return wish(0, false); }, Scope{},
     "load config:0/-/0 create:eth1#0 target:eth1#0 own:eth1#0 config:0/eth1#0/0 attach:25203", 0,
     ""},
    {"every_place_taken",
     [] {
       return with(bare(), [](PortView& v) {
         for (std::uint32_t i = 0; i < kFilterPriorities; ++i)
           v.foreign_priorities.insert(kFilterPriority + i);
       });
     },
     [] { return wish(0, false); }, Scope{}, "", EBUSY, ""},
    {"enable_by_destination_records_promiscuity_first", bare, [] { return wish(1, false); },
     Scope{},
     "load config:1/-/0 create:eth1#0 target:eth1#0 own:eth1#0 accept:eth1#0 config:1/eth1#0/0 "
     "record:2 config:1/eth1#0/2 promisc:on record:3 config:1/eth1#0/3 attach:25202",
     0, ""},
    {"someone_elses_promiscuity_is_left_alone",
     [] { return with(bare(), [](PortView& v) { v.dev.flags |= IFF_PROMISC; }); },
     [] { return wish(1, false); }, Scope{},
     "load config:1/-/0 create:eth1#0 target:eth1#0 own:eth1#0 accept:eth1#0 config:1/eth1#0/0 "
     "record:1 config:1/eth1#0/1 attach:25202",
     0, ""},
    {"enable_brings_a_down_port_up_and_records_it",
     [] { return with(bare(), [](PortView& v) { v.dev.flags = 0; }); },
     [] { return wish(0, false); }, Scope{},
     "load config:0/-/0 create:eth1#0 target:eth1#0 own:eth1#0 config:0/eth1#0/0 "
     "record:4 config:0/eth1#0/4 up:on record:5 config:0/eth1#0/5 attach:25202",
     0, ""},
    {"disable_puts_down_a_port_it_brought_up",
     [] { return with(enabled(0), [](PortView& v) { v.cfg.owned |= BRANTEL_OWN_UP; }); },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete_group:eth1#0 detach up:off unqdisc record:0", 0, ""},
    {"a_port_set_down_once_enabled_is_left_down",
     [] { return with(enabled(0), [](PortView& v) { v.dev.flags = 0; }); }, [] { return wish(0); },
     Scope{}, "", 0, ""},
    {"flag_off_undoes_our_promiscuity",
     [] {
       return with(enabled(1), [](PortView& v) {
         v.dev.flags |= IFF_PROMISC;
         v.cfg.owned |= BRANTEL_OWN_PROMISC;
         v.recorded |= BRANTEL_OWN_PROMISC;
       });
     },
     [] { return wish(0); }, Scope{},
     "unaccept:eth1#0 unaccept:eth1#1 config:0/eth1#0/3 promisc:off config:0/eth1#0/1 record:1", 0,
     "eth1: flag word 0x0, on the kernel 0x1"},
    {"flag_off_keeps_someone_elses_promiscuity",
     [] { return with(enabled(1), [](PortView& v) { v.dev.flags |= IFF_PROMISC; }); },
     [] { return wish(0); }, Scope{}, "unaccept:eth1#0 unaccept:eth1#1 config:0/eth1#0/1", 0, ""},
    {"promiscuity_turned_off_by_hand", [] { return enabled(1); }, [] { return wish(1); }, Scope{},
     "record:3 config:1/eth1#0/3 promisc:on", 0,
     "eth1: not promiscuous, as destination mode needs"},
    {"matching_port_needs_nothing", [] { return enabled(0); }, [] { return wish(0); }, Scope{}, "",
     0, ""},
    {"disable_takes_our_qdisc", [] { return enabled(0); },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete_group:eth1#0 detach unqdisc record:0", 0,
     "eth1: enabled on the kernel, not in the state file"},
    {"disable_leaves_a_qdisc_others_use",
     [] {
       return with(enabled(1), [](PortView& v) {
         v.others = true;
         v.cfg.owned |= BRANTEL_OWN_PROMISC;
         v.recorded |= BRANTEL_OWN_PROMISC;
       });
     },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete_group:eth1#0 detach promisc:off record:0", 0, ""},
    // Made before the port came back under a new number: its group is of the old one.
    {"disable_one_by_one_when_one_of_ours_is_out_of_the_group",
     [] { return with(enabled(0), [](PortView& v) { v.ifaces[0].link.group = group_of(3); }); },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete:eth1#0 delete:eth1#1 detach unqdisc record:0", 0, ""},
    {"one_of_ours_out_of_the_group_is_put_back",
     [] { return with(enabled(0), [](PortView& v) { v.ifaces[1].link.group = 0; }); },
     [] { return wish(); }, Scope{}, "regroup:eth1#1", 0,
     "eth1#1: in device group 0, not the port's 1651638279"},
    {"disable_one_by_one_when_a_stranger_shares_the_group",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.group_shared = true;
         v.cfg.owned = 0;
         v.recorded = 0;
       });
     },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete:eth1#0 delete:eth1#1 detach", 0, ""},
    {"unbind_from_an_interface_deleted_by_hand",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.ifaces.pop_back();
         v.dead = {11};
       });
     },
     [] { return with(wish(), [](PortWant& w) {
            w.bindings = {{A, ""}};
          }); },
     narrow({"eth1#1"}, {A}), "unbind:01 unown untarget:11", 0, ""},
    {"del_of_an_interface_deleted_by_hand_leaves_nothing_mapped",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.ifaces.pop_back();
         v.dead = {11};
       });
     },
     [] { return with(wish(0, false), [](PortWant& w) {
            w.bindings = {{A, ""}};
          }); },
     narrow({"eth1#1"}, {A}), "unbind:01 unown untarget:11", 0, ""},
    {"del_takes_the_interface_and_what_leads_to_it", [] { return enabled(0); },
     [] { return with(wish(0, false), [](PortWant& w) {
            w.bindings = {{A, ""}};
          }); },
     narrow({"eth1#1"}, {A}), "unbind:01 unown untarget:11 delete:eth1#1", 0, ""},
    {"del_of_the_default_interface_leaves_no_default", [] { return enabled(0); },
     [] {
       return with(wish(), [](PortWant& w) {
         w.ifaces.erase(w.ifaces.begin());
         w.bindings.clear();
       });
     },
     narrow({"eth1#0"}, {}), "unown untarget:10 delete:eth1#0 config:0/-/1", 0, ""},
    {"bind_to_an_interface_deleted_by_hand_is_refused",
     [] { return with(enabled(0), [](PortView& v) { v.ifaces.pop_back(); }); },
     [] { return with(wish(), [](PortWant& w) {
            w.bindings = {{B, "eth1#1"}};
          }); },
     narrow({"eth1#1"}, {B}), "", ENODEV, ""},
    {"bind_in_a_narrow_scope", [] { return enabled(0); },
     [] { return with(wish(), [](PortWant& w) {
            w.bindings = {{B, "eth1#1"}};
          }); },
     narrow({"eth1#1"}, {B}), "bind:02>eth1#1", 0, ""},
    {"sync_rebinds_addresses_of_an_interface_made_again",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.ifaces.pop_back();
         v.dead = {11};
       });
     },
     [] { return wish(); }, Scope{},
     "unbind:01 unown untarget:11 create:eth1#1 target:eth1#1 own:eth1#1 bind:01>eth1#1", 0,
     "eth1#1: missing on the kernel"},
    {"sync_unbinds_what_the_state_file_does_not_have",
     [] { return with(enabled(0), [](PortView& v) { v.bindings[B] = 10; }); },
     [] { return wish(); }, Scope{}, "unbind:02", 0,
     "02:bb:00:00:00:02: bound to eth1#0 on the kernel only"},
    {"sync_takes_our_interfaces_the_state_file_dropped", [] { return enabled(0); },
     [] { return with(wish(0, false), [](PortWant& w) { w.bindings.clear(); }); }, Scope{},
     "unbind:01 unown untarget:11 delete:eth1#1", 0,
     "eth1#1: on the kernel, not in the state file"},
    {"a_macvlan_mode_changed_by_hand_is_made_again",
     [] {
       return with(enabled(0),
                   [](PortView& v) { v.ifaces[1].link.macvlan_mode = MACVLAN_MODE_BRIDGE; });
     },
     [] { return wish(); }, Scope{},
     "unbind:01 unown untarget:11 delete:eth1#1 create:eth1#1 target:eth1#1 own:eth1#1 "
     "bind:01>eth1#1",
     0, "eth1#1: macvlan mode 4 on the kernel, not private"},
    {"a_missing_program_by_destination",
     [] {
       return with(enabled(1), [](PortView& v) {
         v.dev.flags |= IFF_PROMISC;
         v.ifaces[1].accept = false;
       });
     },
     [] { return wish(1); }, Scope{}, "accept:eth1#1", 0,
     "eth1#1: its program for destination mode is missing"},
    {"an_address_the_state_lacks_bound_to_a_dead_device",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.bindings[B] = 99;
         v.targets.insert(99);
         v.dead = {99};
       });
     },
     [] { return wish(); }, Scope{}, "unbind:02 untarget:99", 0,
     "02:bb:00:00:00:02: bound to ifindex 99, which is gone, on the kernel only"},
    {"a_stale_target_is_dropped",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.targets.insert(99);
         v.dead = {99};
       });
     },
     [] { return wish(); }, Scope{}, "untarget:99", 0,
     "eth1: frames may still go to ifindex 99, which is gone"},
    {"an_address_changed_by_hand",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.ifaces[1].link.mac = {2, 0x12, 0x34, 0x56, 0x78, 0x9a};
         v.ifaces[1].own = false;
       });
     },
     [] { return wish(); }, Scope{}, "unown own:eth1#1", 0,
     "eth1#1: its address 02:12:34:56:78:9a is not among the classifier's own"},
    {"an_own_address_made_by_hand",
     [] { return with(enabled(0), [](PortView& v) { v.own[B] = 10; }); }, [] { return wish(); },
     Scope{}, "unown", 0,
     "02:bb:00:00:00:02: the own address of eth1#0 on the kernel only, not its address"},
    {"an_own_address_to_a_dead_device",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.own[B] = 99;
         v.dead = {99};
       });
     },
     [] { return wish(); }, Scope{}, "unown", 0,
     "eth1: frames may still go to ifindex 99, which is gone"},
    {"a_target_another_device_holds_now",
     [] {
       return with(enabled(0), [](PortView& v) {
         v.targets.insert(12);
         v.dead = {12};
         v.strangers[12] = "eth1#2";
       });
     },
     [] { return wish(); }, Scope{}, "untarget:12", 0,
     "eth1: frames may still go to eth1#2 (ifindex 12), which is not live mode's"},
    {"an_interface_taken_out_of_our_group",
     [] {
       return with(enabled(0), [](PortView& v) {
         Link l = v.ifaces[1].link;
         l.group = 0;
         v.ifaces.pop_back();
         v.namesakes["eth1#1"] = l;
         v.dead = {11};
         v.strangers[11] = "eth1#1";
       });
     },
     [] { return wish(); }, Scope{},
     "unbind:01 unown untarget:11 create:eth1#1 target:eth1#1 own:eth1#1 bind:01>eth1#1", 0,
     "eth1#1: on the kernel a device of that name is not live mode's (device group 0)"},
    {"an_address_moved_to_an_interface_the_kernel_lacks", [] { return enabled(0); },
     [] {
       return with(wish(), [](PortWant& w) {
         w.ifaces.push_back({"eth1#2", {2, 0x42, 0, 0, 0, 12}});
         w.bindings[A] = "eth1#2";
       });
     },
     Scope{}, "create:eth1#2 target:eth1#2 own:eth1#2 bind:01>eth1#2", 0,
     "02:aa:00:00:00:01: bound to eth1#2, on the kernel to eth1#1"},
    {"interfaces_without_a_classifier_or_a_port_in_the_state",
     [] { return with(enabled(0), [](PortView& v) { v.classifier = false; }); },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete_group:eth1#0 unqdisc record:0", 0,
     "eth1: live mode's interfaces on the kernel, not in the state file"},
    {"the_program_of_destination_mode_by_source",
     [] { return with(enabled(0), [](PortView& v) { v.ifaces[1].accept = true; }); },
     [] { return wish(); }, Scope{}, "unaccept:eth1#1", 0,
     "eth1#1: runs the program of destination mode, which is off"},
    {"a_port_too_many_interfaces_would_fill", bare,
     [] {
       return with(wish(0, false), [](PortWant& w) {
         for (int i = 1; i <= BRANTEL_MAX_IFACES; ++i)
           w.ifaces.push_back({"eth1#" + std::to_string(i), {}});
       });
     },
     Scope{}, "", ENOSPC, "the classifier holds at most 4096 interfaces on one port"},
    {"an_add_to_a_full_port", [] { return enabled(0); },
     [] {
       return with(wish(), [](PortWant& w) {
         for (int i = 2; i <= BRANTEL_MAX_IFACES; ++i)
           w.ifaces.push_back({"eth1#" + std::to_string(i), {}});
         w.bindings.clear();
       });
     },
     narrow({"eth1#4096"}, {}), "", ENOSPC,
     "the classifier holds at most 4096 interfaces on one port"},
    {"what_a_lost_classifier_left_turned_on_is_turned_off",
     [] {
       return with(bare(), [](PortView& v) {
         v.dev.flags |= IFF_PROMISC;
         v.clsact = true;
         v.recorded = BRANTEL_OWN_PROMISC | BRANTEL_OWN_QDISC;
       });
     },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "promisc:off unqdisc record:0", 0,
     "eth1: promiscuous, as live mode made it, which has left it"},
    {"a_classifier_made_anew_keeps_what_was_ours",
     [] {
       return with(bare(), [](PortView& v) {
         v.dev.flags |= IFF_PROMISC;
         v.clsact = true;
         v.recorded = BRANTEL_OWN_PROMISC | BRANTEL_OWN_QDISC;
       });
     },
     [] { return wish(1, false); }, Scope{},
     "load config:1/-/3 create:eth1#0 target:eth1#0 own:eth1#0 accept:eth1#0 config:1/eth1#0/3 "
     "attach:25202",
     0, ""},
    {"a_port_missing", [] { return with(bare(), [](PortView& v) { v.dev = Link{}; }); },
     [] { return wish(); }, Scope{}, "", ENODEV, "no such network device"},
    {"a_port_that_is_not_ethernet",
     [] { return with(bare(), [](PortView& v) { v.unusable = "not an Ethernet device"; }); },
     [] { return wish(); }, Scope{}, "", EOPNOTSUPP, "not an Ethernet device"},
    {"a_renamed_port_is_not_enabled_again",
     [] { return with(enabled(0), [](PortView& v) { v.renamed = "eth9"; }); },
     [] { return wish(); }, Scope{}, "", ENODEV, ""},
    {"a_renamed_port_is_taken_down_where_it_is",
     [] { return with(enabled(0), [](PortView& v) { v.renamed = "eth9"; }); },
     [] { return with(wish(), [](PortWant& w) { w.enabled = false; }); }, Scope{},
     "delete_group:eth1#0 detach unqdisc record:0", 0, ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, PlanTable, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brantel_sim::live
