#include "plan.h"

#include <linux/if.h>
#include <linux/if_link.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace brantel_sim::live {

namespace {

std::string hex(std::uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%x", v);
  return s;
}

class Planner {
 public:
  Planner(const PortView& k, const PortWant& w, const Scope& s) : k_(k), w_(w), s_(s) {
    // Looked up once per interface: a port of thousands must not cost
    // their square.
    for (const IfaceView& v : k_.ifaces) {
      kernel_.emplace(v.link.name, &v);
      by_index_.emplace(static_cast<std::uint32_t>(v.link.ifindex), &v);
    }
    for (const IfaceWant& v : w_.ifaces) wanted_.emplace(v.name, &v);
  }

  Plan run() {
    if (!w_.enabled) {
      disable();
    } else if (!k_.dev.ifindex || !k_.renamed.empty()) {
      refuse(ENODEV, k_.renamed.empty()
                         ? "no such network device"
                         : "no such network device (its interfaces are on " + k_.renamed + ")");
    } else if (!k_.unusable.empty()) {
      refuse(in_our_groups(k_.dev.group) ? ENODEV : EOPNOTSUPP, k_.unusable);
    } else {
      enable();
    }
    // check prints what sync would change: a step no line accounts for
    // must still show, or check would call a differing port clean.
    bool told = std::any_of(p_.actions.begin(), p_.actions.end(),
                            [](const Action& a) { return !a.why.empty(); });
    if (s_.all && !told && !p_.actions.empty())
      p_.actions.front().why = w_.name + ": differs on the kernel from the state file";
    return std::move(p_);
  }

 private:
  Action& add(Op op, std::string why = {}) {
    p_.actions.push_back(Action{op, {}, 0, {}, 0, 0, false, std::move(why)});
    return p_.actions.back();
  }
  void refuse(int err, std::string why) {
    p_.err = err;
    p_.trouble = std::move(why);
  }

  const IfaceView* kernel_iface(const std::string& name) const {
    auto it = kernel_.find(name);
    return it == kernel_.end() ? nullptr : it->second;
  }
  const IfaceWant* wanted(const std::string& name) const {
    auto it = wanted_.find(name);
    return it == wanted_.end() ? nullptr : it->second;
  }
  std::string name_of(std::uint32_t ifindex) const {
    auto it = by_index_.find(ifindex);
    return it != by_index_.end() ? it->second->link.name : "ifindex " + std::to_string(ifindex);
  }
  // What became of a device the classifier refers to that is not ours now:
  // gone, or another's (taken out of our group by hand, say).
  std::string lost(std::uint32_t ifindex) const {
    auto s = k_.strangers.find(ifindex);
    if (s == k_.strangers.end()) return "ifindex " + std::to_string(ifindex) + ", which is gone";
    return s->second + " (ifindex " + std::to_string(ifindex) + "), which is not live mode's";
  }
  bool in_scope(const std::string& iface) const { return s_.all || s_.ifaces.count(iface); }
  // Whether the state file binds an address of the scope to `iface`.
  bool binds_to(const std::string& iface) const {
    return std::any_of(w_.bindings.begin(), w_.bindings.end(),
                       [&](const auto& b) { return b.second == iface; });
  }

  void keep_record(std::uint32_t bits, std::string why = {}) {
    bits &= BRANTEL_OWN_QDISC | BRANTEL_OWN_PROMISC | BRANTEL_OWN_UP;
    if (bits == recorded_) return;
    add(Op::record, std::move(why)).value = bits;
    recorded_ = bits;
  }

  void disable() {
    recorded_ = k_.recorded;
    if (!k_.classifier && k_.ifaces.empty()) {
      // What a lost classifier or a killed run left turned on.
      if (!k_.recorded) return;  // nothing of ours
      bool promisc = k_.dev.flags & IFF_PROMISC;
      if ((k_.recorded & BRANTEL_OWN_PROMISC) && promisc)
        add(Op::promisc, w_.name + ": promiscuous, as live mode made it, which has left it").on =
            false;
      if ((k_.recorded & BRANTEL_OWN_UP) && (k_.dev.flags & IFF_UP))
        add(Op::up, w_.name + ": up, as live mode made it, which has left it").on = false;
      if ((k_.recorded & BRANTEL_OWN_QDISC) && k_.clsact && !k_.others)
        add(Op::remove_qdisc, w_.name + ": a clsact qdisc live mode made, which has left it");
      keep_record(0, w_.name + ": a record of live mode's under /run, which has left it");
      return;
    }
    std::string why =
        k_.classifier ? w_.name + ": enabled on the kernel, not in the state file"
                      : w_.name + ": live mode's interfaces on the kernel, not in the state file";
    // One request deletes the group: those out of it go one by one.
    bool strays = std::any_of(k_.ifaces.begin(), k_.ifaces.end(),
                              [&](const IfaceView& v) { return v.link.group != k_.group; });
    if (k_.group_shared || strays) {
      for (const IfaceView& v : k_.ifaces) add(Op::delete_iface, why).name = v.link.name;
    } else if (!k_.ifaces.empty()) {
      add(Op::delete_group, why).name = k_.ifaces.front().link.name;
    }
    if (k_.classifier) add(Op::detach_rx, why);
    std::uint32_t owned = k_.cfg.owned | k_.recorded;
    if (owned & BRANTEL_OWN_PROMISC) add(Op::promisc, why).on = false;
    if (owned & BRANTEL_OWN_UP) add(Op::up, why).on = false;
    if ((owned & BRANTEL_OWN_QDISC) && k_.clsact && !k_.others) add(Op::remove_qdisc, why);
    keep_record(0, why);
  }

  void set_config(std::uint32_t owned, std::string why = {}) {
    Action& a = add(Op::set_config, std::move(why));
    a.value = w_.flags;
    a.name = default_;
    a.owned = owned;
    owned_ = owned;
  }

  void unbind(const MacBytes& mac, std::string why = {}) {
    if (!unbound_.insert(mac).second) return;
    add(Op::unbind, std::move(why)).mac = mac;
  }
  void remove_target(std::uint32_t ifindex, std::string why = {}) {
    if (!untargeted_.insert(ifindex).second || !k_.targets.count(ifindex)) return;
    add(Op::remove_target, std::move(why)).ifindex = static_cast<int>(ifindex);
  }
  void remove_own(const MacBytes& mac, std::string why = {}) {
    if (!unowned_.insert(mac).second) return;
    add(Op::remove_own, std::move(why)).mac = mac;
  }

  // Nothing of ours may stay mapped to a device that is going.
  void forget(std::uint32_t ifindex, std::string why = {}) {
    bool gone = k_.dead.count(ifindex) > 0;
    for (const auto& [mac, to] : k_.bindings)
      if (to == ifindex)
        unbind(mac, s_.all && !w_.bindings.count(mac)
                        ? format_mac(mac) + ": bound to " + (gone ? lost(to) + "," : name_of(to)) +
                              " on the kernel only"
                        : std::string());
    // Whichever entry leads there carries the difference.
    bool targeted = k_.targets.count(ifindex) && !untargeted_.count(ifindex);
    for (const auto& [mac, to] : k_.own)
      if (to == ifindex) remove_own(mac, targeted ? std::string() : why);
    remove_target(ifindex, std::move(why));
  }

  // Each own address leads to the interface that has it now, and nothing
  // else does: an interface's address changed by hand, or an entry made by
  // hand, is a difference like any other.
  void own_addresses() {
    if (!s_.all) return;
    for (const auto& [mac, to] : k_.own) {
      if (unowned_.count(mac)) continue;
      bool current = false, someones = false;
      for (const IfaceView& v : k_.ifaces) {
        if (v.link.mac != mac || !wanted(v.link.name)) continue;
        someones = true;  // add_own below puts it right
        current = current || static_cast<std::uint32_t>(v.link.ifindex) == to;
      }
      if (current || someones) continue;
      remove_own(mac, format_mac(mac) + ": the own address of " +
                          (k_.dead.count(to) ? lost(to) : name_of(to)) +
                          " on the kernel only, not its address");
    }
  }

  void remove_iface(const IfaceView& v, const std::string& why) {
    forget(static_cast<std::uint32_t>(v.link.ifindex));
    Action& a = add(Op::delete_iface, why);
    a.name = v.link.name;
    a.ifindex = v.link.ifindex;
  }

  void create_iface(const IfaceWant& v, const std::string& why) {
    Action& a = add(Op::create_iface, why);
    a.name = v.name;
    a.mac = v.mac;
    add(Op::add_target).name = v.name;
    Action& o = add(Op::add_own);
    o.name = v.name;
    o.mac = v.mac;
    if (by_dest_) add(Op::attach_accept).name = v.name;
    made_.insert(v.name);
  }

  void ifaces() {
    // Ours that the state file no longer has, or that are not as made.
    for (const IfaceView& v : k_.ifaces) {
      const IfaceWant* w = wanted(v.link.name);
      if (!w) {
        remove_iface(v, v.link.name + ": on the kernel, not in the state file");
        continue;
      }
      if (s_.all && v.link.macvlan_mode != MACVLAN_MODE_PRIVATE) {
        remove_iface(v, v.link.name + ": macvlan mode " + std::to_string(v.link.macvlan_mode) +
                            " on the kernel, not private");
        create_iface(*w, {});  // made in the port's group
      } else if (v.link.group != k_.group) {
        Action& a = add(Op::regroup, v.link.name + ": in device group " +
                                         std::to_string(v.link.group) + ", not the port's " +
                                         std::to_string(k_.group));
        a.name = v.link.name;
        a.value = k_.group;
      }
    }
    for (std::uint32_t d : k_.dead)
      forget(d, s_.all ? w_.name + ": frames may still go to " + lost(d) : std::string());
    own_addresses();
    for (const IfaceWant& w : w_.ifaces) {
      if (!in_scope(w.name) || made_.count(w.name)) continue;
      const IfaceView* v = kernel_iface(w.name);
      if (!v) {
        bool created = s_.created.count(w.name) > 0;
        if (!s_.all && !created) {
          // Removals put up with a missing interface; additions need it.
          if (binds_to(w.name))
            refuse(ENODEV, w.name + " is missing on the kernel; sync restores it");
          if (p_.err) return;
          continue;
        }
        std::string why = w.name + ": missing on the kernel";
        if (k_.namesakes.count(w.name))
          why = w.name + ": on the kernel a device of that name is not live mode's (device group " +
                std::to_string(k_.namesakes.at(w.name).group) + ")";
        create_iface(w, created || fresh_ ? std::string() : why);
        continue;
      }
      if (!v->target) {
        add(Op::add_target, fresh_ ? "" : w.name + ": the classifier hands it no frames").name =
            w.name;
      }
      if (!v->own) {
        Action& a = add(Op::add_own, fresh_ ? ""
                                            : w.name + ": its address " + format_mac(v->link.mac) +
                                                  " is not among the classifier's own");
        a.name = w.name;
        a.mac = v->link.mac;
      }
      // A fresh classifier's program is not the one an interface may still
      // run, and a flag change is not looked at interface by interface.
      if (v->accept && !fresh_ && !flags_change_) {
        // Left by a run killed between the qdisc and the program.
        if (!by_dest_ && v->bare_qdisc)
          add(Op::detach_accept, w.name + ": an empty clsact qdisc live mode left").name = w.name;
        if (*v->accept != by_dest_)
          add(by_dest_ ? Op::attach_accept : Op::detach_accept,
              by_dest_ ? w.name + ": its program for destination mode is missing"
                       : w.name + ": runs the program of destination mode, which is off")
              .name = w.name;
      } else if (fresh_ || flags_change_) {
        add(by_dest_ ? Op::attach_accept : Op::detach_accept).name = w.name;
      }
    }
  }

  void bindings() {
    for (const auto& [mac, iface] : w_.bindings) {
      auto cur = k_.bindings.find(mac);
      bool bound = cur != k_.bindings.end() && !unbound_.count(mac);
      if (iface.empty()) {
        if (bound)
          unbind(mac,
                 format_mac(mac) + ": bound to " + name_of(cur->second) + " on the kernel only");
        continue;
      }
      if (!in_scope(iface)) continue;
      const IfaceView* v = kernel_iface(iface);
      bool made = made_.count(iface) > 0;
      if (!made && !v) continue;  // refused above, or nothing to bind to
      if (!made && bound && cur->second == static_cast<std::uint32_t>(v->link.ifindex)) continue;
      std::string why;
      bool expected = fresh_ || made || s_.created.count(iface) || (!s_.all && !bound);
      if (!bound && cur != k_.bindings.end() && k_.dead.count(cur->second))
        why = format_mac(mac) + ": bound to " + iface + ", on the kernel to " + lost(cur->second);
      else if (!bound && !expected)
        why = format_mac(mac) + ": bound to " + iface + ", not on the kernel";
      else if (bound && (!made || name_of(cur->second) != iface))
        why =
            format_mac(mac) + ": bound to " + iface + ", on the kernel to " + name_of(cur->second);
      Action& a = add(Op::bind, s_.all ? why : std::string());
      a.mac = mac;
      a.name = iface;
      unbound_.erase(mac);
    }
    if (!s_.all) return;
    for (const auto& [mac, to] : k_.bindings) {
      if (w_.bindings.count(mac)) continue;
      unbind(mac, format_mac(mac) + ": bound to " + name_of(to) + " on the kernel only");
    }
  }

  void enable() {
    // The classifier's maps are sized: a port that cannot fit is refused
    // before anything is made, not found out one device at a time.
    if (w_.ifaces.size() > BRANTEL_MAX_IFACES) {
      refuse(ENOSPC, "the classifier holds at most " + std::to_string(BRANTEL_MAX_IFACES) +
                         " interfaces on one port");
      return;
    }
    if (s_.all && w_.bindings.size() > BRANTEL_MAX_MACS) {
      refuse(ENOSPC, "the classifier holds at most " + std::to_string(BRANTEL_MAX_MACS) +
                         " addresses on one port");
      return;
    }
    fresh_ = !k_.classifier;
    by_dest_ = w_.flags & BRANTEL_FLAG_BY_DESTINATION;
    flags_change_ = !fresh_ && k_.cfg.flags != w_.flags;
    // The record under /run outlives a classifier lost or never attached.
    owned_ = (fresh_ ? 0 : k_.cfg.owned) | k_.recorded;
    recorded_ = k_.recorded;
    std::string def = w_.name + "#0";
    std::uint32_t priority = k_.filter.priority;
    if (fresh_) {
      priority = 0;
      for (std::uint32_t i = 0; i < kFilterPriorities && !priority; ++i)
        if (!k_.foreign_priorities.count(kFilterPriority + i)) priority = kFilterPriority + i;
      if (!priority) {
        refuse(EBUSY, "other filters hold every priority from " + std::to_string(kFilterPriority) +
                          " to " + std::to_string(kFilterPriority + kFilterPriorities - 1) +
                          " at its ingress");
        return;
      }
      add(Op::load, w_.name + ": not enabled on the kernel");
      set_config(owned_);
    }
    default_ = wanted(def) ? def : "";
    ifaces();
    if (p_.err) return;
    bindings();

    // The flag word and the default interface.
    std::uint32_t def_now = k_.cfg.default_ifindex;
    const IfaceView* dv = default_.empty() ? nullptr : kernel_iface(default_);
    bool def_ok = default_.empty() ? def_now == 0
                                   : dv && !made_.count(default_) &&
                                         def_now == static_cast<std::uint32_t>(dv->link.ifindex);
    bool def_known = s_.all || dv || made_.count(default_) || k_.dead.count(def_now) ||
                     std::any_of(k_.ifaces.begin(), k_.ifaces.end(), [&](const IfaceView& v) {
                       return static_cast<std::uint32_t>(v.link.ifindex) == def_now;
                     });
    std::string why;
    if (flags_change_)
      why = w_.name + ": flag word " + hex(w_.flags) + ", on the kernel " + hex(k_.cfg.flags);
    else if (!fresh_ && !def_ok && def_known && !s_.created.count(default_))
      why = w_.name + ": frames bound to no interface go to " +
            (def_now ? name_of(def_now) : std::string("no interface")) + ", not to " +
            (default_.empty() ? std::string("none") : default_);
    if (fresh_ || flags_change_ || (!def_ok && def_known)) set_config(owned_, s_.all ? why : "");

    // By destination, frames for bound addresses must get past the NIC's
    // own address filter: the port is made promiscuous unless it already
    // was, and put back when the flag goes or the port is disabled.  What
    // is ours is recorded first, so that a run killed in between leaves a
    // record that only overstates.
    bool promisc = k_.dev.flags & IFF_PROMISC;
    bool quiet = fresh_ || flags_change_;
    if (by_dest_ && !promisc) {
      keep_record(owned_ | BRANTEL_OWN_PROMISC);
      set_config(owned_ | BRANTEL_OWN_PROMISC);
      add(Op::promisc, quiet ? "" : w_.name + ": not promiscuous, as destination mode needs").on =
          true;
    } else if (!by_dest_ && (owned_ & BRANTEL_OWN_PROMISC)) {
      add(Op::promisc, quiet ? "" : w_.name + ": promiscuous for destination mode, which is off")
          .on = false;
      set_config(owned_ & ~BRANTEL_OWN_PROMISC);
      keep_record(owned_);
    }

    if (fresh_) {
      // A port that is down carries no frame: enable, and the restore
      // after a reboot, bring it up, recorded so that disable puts it
      // down again.  Once enabled, its up flag is the administrator's.
      if (!(k_.dev.flags & IFF_UP)) {
        keep_record(owned_ | BRANTEL_OWN_UP);
        set_config(owned_ | BRANTEL_OWN_UP);
        add(Op::up).on = true;
      }
      // Last: frames are taken over only once everything is in place.
      if (!k_.clsact) {
        keep_record(owned_ | BRANTEL_OWN_QDISC);
        set_config(owned_ | BRANTEL_OWN_QDISC);
      }
      add(Op::attach_rx).value = priority;
    }
    keep_record(owned_,
                fresh_ ? "" : w_.name + ": live mode's record under /run is not its classifier's");
  }

  const PortView& k_;
  const PortWant& w_;
  const Scope& s_;
  // The first of each name or ifindex, as a scan would find it.
  std::map<std::string, const IfaceView*> kernel_;
  std::map<std::uint32_t, const IfaceView*> by_index_;
  std::map<std::string, const IfaceWant*> wanted_;
  Plan p_;
  bool fresh_ = false, by_dest_ = false, flags_change_ = false;
  std::uint32_t owned_ = 0;
  std::uint32_t recorded_ = 0;  // the bits the port's record holds once the steps so far are done
  std::string default_;
  std::set<std::string> made_;
  std::set<MacBytes> unbound_, unowned_;
  std::set<std::uint32_t> untargeted_;
};

}  // namespace

Plan plan(const PortView& kernel, const PortWant& want, const Scope& scope) {
  return Planner(kernel, want, scope).run();
}

std::vector<std::string> differences(const Plan& p) {
  std::vector<std::string> out;
  for (const Action& a : p.actions)
    if (!a.why.empty() && std::find(out.begin(), out.end(), a.why) == out.end())
      out.push_back(a.why);
  return out;
}

}  // namespace brantel_sim::live
