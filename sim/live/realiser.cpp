// The live realiser: turns each change of the module into the kernel's own
// objects.  Every port gets a clsact ingress filter running the classifier,
// and each interface PORT#N is a macvlan in private mode on the port, in a
// device group of the port's own, so that the port's interfaces can all be
// deleted in one request.
//
// Each step registers how to take it back; a refused step takes back the
// steps before it, so a request either happens whole or not at all.
#include <linux/if.h>
#include <linux/pkt_sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "dataplane.h"
#include "live.h"
#include "netlink.h"

namespace brantel_sim::live {
namespace {

constexpr std::uint32_t kGroupBase = 0x62720000;  // "br": a port's group is this | ifindex

std::string mac_text(const MacBytes& m) {
  char s[18];
  std::snprintf(s, sizeof s, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return s;
}

const Port* find_port(const Model& m, const std::string& name) {
  for (const Port& p : m.ports())
    if (p.name == name) return &p;
  return nullptr;
}

const Vlan* find_vlan(const Port& p, const std::string& name) {
  for (const Vlan& v : p.vlans)
    if (v.name == name) return &v;
  return nullptr;
}

std::string default_name(const std::string& port) { return port + "#0"; }

// Steps to take back, latest first.
class Undo {
 public:
  void add(std::function<void()> step) { steps_.push_back(std::move(step)); }
  void run() {
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) (*it)();
    steps_.clear();
  }

 private:
  std::vector<std::function<void()>> steps_;
};

// What the kernel holds of one port, beyond what a Model records.
struct KernelPort {
  Link link;
  brantel_port_config cfg{};
  std::vector<Link> vlans;                     // ours, on this port
  std::map<MacBytes, std::uint32_t> bindings;  // address -> ifindex
};

class LiveRealiser final : public Live {
 public:
  int realise(const Model& before, const Model& after) override;
  int sync(const Model& state, const std::vector<std::string>& only,
           std::vector<std::string>& unrestored) override;
  int check(const Model& state, std::vector<std::string>& differences) override;
  int describe(const Model& state, std::vector<LivePort>& out) override;
  int sync(const Model& state);

 private:
  // A port being changed: its device, its classifier and its config.
  struct Ctx {
    Link port;
    PortObjects obj;
    brantel_port_config cfg{};
  };

  // Shared with the undo steps, which outlive the call that made them.
  using CtxPtr = std::shared_ptr<Ctx>;

  // `macs` and `owned` restore a port that a failed disable took away:
  // its interfaces' addresses, and what of the port was ours.
  int enable(const Port& p, Undo& undo, const std::map<std::string, MacBytes>& macs = {},
             std::uint32_t owned = 0);
  int disable(const Port& p, Undo& undo);
  int update(const Port& b, const Port& a, Undo& undo);
  int open_port(const std::string& name, Ctx& c, bool must_exist);
  static bool ours(const Ctx& c, const Link& l) {
    return l.kind == "macvlan" && l.parent == c.port.ifindex && l.group == c.cfg.group;
  }
  int create_vlan(const CtxPtr& c, const std::string& name, const MacBytes& mac, Undo& undo,
                  Link& out);
  int delete_vlan(const CtxPtr& c, const std::string& name, Undo& undo);
  int vlan_ifindex(const Ctx& c, const std::string& name, std::uint32_t& ifindex);
  int set_config(const CtxPtr& c, const brantel_port_config& cfg, Undo& undo);
  int set_promisc(const CtxPtr& c, std::uint32_t flags, Undo& undo);
  int remove_devices(const Ctx& c, const std::vector<Link>& devices);
  int read_kernel(std::vector<KernelPort>& out);
  Model model_of(const std::vector<KernelPort>& kernel);

  int refused(int err, const std::string& what);
  int refused(const Failure& f);
  void say(const std::string& message);

  Rtnl nl_;
  std::set<std::string> said_;
};

// --- messages --------------------------------------------------------------

void LiveRealiser::say(const std::string& message) {
  if (!said_.insert(message).second) return;
  std::string line = "brantel-sim: live mode: " + message + "\n";
  ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  (void)n;
}

// A refusal that means the kernel lacks a feature gets one line naming it;
// any other refusal is the caller's to report through its errno.
int LiveRealiser::refused(int err, const std::string& what) {
  if (err == EOPNOTSUPP || err == ENOSYS || err == EAFNOSUPPORT || err == EPROTONOSUPPORT)
    say("the kernel " + what + ": " + std::strerror(err));
  return err;
}

int LiveRealiser::refused(const Failure& f) {
  bool missing = f.err == ENOENT || f.err == EOPNOTSUPP || f.err == ENOSYS || f.err == EINVAL;
  std::string detail = f.detail.empty() ? "" : " (" + f.detail + ")";
  switch (f.step) {
    case Step::qdisc:
      if (missing)
        say("the kernel has no clsact qdisc (CONFIG_NET_SCH_INGRESS): " +
            std::string(std::strerror(f.err)));
      break;
    case Step::filter:
      if (missing)
        say("the kernel has no BPF tc classifier (CONFIG_NET_CLS_BPF): " +
            std::string(std::strerror(f.err)));
      break;
    case Step::load:
      if (f.err == ENOSYS)
        say("the kernel has no BPF system call (CONFIG_BPF_SYSCALL)");
      else if (f.err != EPERM)
        say("the kernel refused the classifier program: " + std::string(std::strerror(f.err)) +
            detail);
      break;
    case Step::bpf:
    case Step::map:
      if (f.err == ENOSYS) say("the kernel has no BPF system call (CONFIG_BPF_SYSCALL)");
      break;
  }
  return f.err;
}

// --- one port --------------------------------------------------------------

int LiveRealiser::open_port(const std::string& name, Ctx& c, bool must_exist) {
  if (int err = nl_.get_link(name, c.port)) return refused(err, "cannot list network devices");
  Failure f;
  int err = c.obj.find(c.port.ifindex, f);
  if (err == ENOENT) {
    if (must_exist) say(name + " has lost its classifier; brantel-sim --live sync restores it");
    return must_exist ? ENODEV : ENOENT;
  }
  if (err) return refused(f);
  if (int e = c.obj.read_config(c.cfg)) return e;
  return 0;
}

int LiveRealiser::set_config(const CtxPtr& c, const brantel_port_config& cfg, Undo& undo) {
  if (std::memcmp(&cfg, &c->cfg, sizeof cfg) == 0) return 0;
  brantel_port_config old = c->cfg;
  if (int err = c->obj.write_config(cfg)) return err;
  c->cfg = cfg;
  undo.add([c, old] {
    c->obj.write_config(old);
    c->cfg = old;
  });
  return 0;
}

// By destination, frames for bound addresses must get past the NIC's own
// address filter: the port is made promiscuous, unless it already was, and
// put back when the flag goes or the port is disabled.
int LiveRealiser::set_promisc(const CtxPtr& c, std::uint32_t flags, Undo& undo) {
  bool want = flags & BRANTEL_FLAG_BY_DESTINATION;
  brantel_port_config cfg = c->cfg;
  int ifindex = c->port.ifindex;
  if (want) {
    Link now;
    if (int err = nl_.get_link(ifindex, now)) return err;
    if (now.flags & IFF_PROMISC) return 0;  // on already, ours or someone else's
    // Recorded first: a run killed in between then leaves a record that
    // only overstates, and turning off what is off changes nothing.
    cfg.owned |= BRANTEL_OWN_PROMISC;
    if (int err = set_config(c, cfg, undo)) return err;
    if (int err = nl_.set_promisc(ifindex, true)) return err;
    undo.add([this, ifindex] { nl_.set_promisc(ifindex, false); });
  } else if (cfg.owned & BRANTEL_OWN_PROMISC) {
    if (int err = nl_.set_promisc(ifindex, false); err && err != ENODEV) return err;
    undo.add([this, ifindex] { nl_.set_promisc(ifindex, true); });
    cfg.owned &= ~BRANTEL_OWN_PROMISC;
    return set_config(c, cfg, undo);
  }
  return 0;
}

int LiveRealiser::create_vlan(const CtxPtr& c, const std::string& name, const MacBytes& mac,
                              Undo& undo, Link& out) {
  int err = nl_.create_macvlan(name, c->port.ifindex, c->cfg.group, mac, out);
  if (err == EEXIST && nl_.get_link(name, out) == 0 && ours(*c, out)) {
    err = 0;  // left by a run that was killed: take it over
  } else if (err) {
    return refused(err, "has no macvlan devices (CONFIG_MACVLAN)");
  } else {
    int ifindex = out.ifindex;
    undo.add([this, ifindex] { nl_.delete_link(ifindex); });
  }
  Failure f;
  if (c->obj.attach_accept(out.ifindex, f)) return refused(f);
  return 0;
}

int LiveRealiser::vlan_ifindex(const Ctx& c, const std::string& name, std::uint32_t& ifindex) {
  Link l;
  int err = nl_.get_link(name, l);
  if (err) return err;
  if (!ours(c, l)) return ENODEV;  // a device of that name, but not one of ours
  ifindex = static_cast<std::uint32_t>(l.ifindex);
  return 0;
}

int LiveRealiser::delete_vlan(const CtxPtr& c, const std::string& name, Undo& undo) {
  Link l;
  if (int err = nl_.get_link(name, l); err == ENODEV || (!err && !ours(*c, l))) {
    return 0;  // already gone
  } else if (err) {
    return err;
  }
  if (int err = nl_.delete_link(l.ifindex); err && err != ENODEV) return err;
  // Taken back as it was: same name, same address; what led to the old
  // device then leads to the new one.
  undo.add([this, c, name, mac = l.mac, old = static_cast<std::uint32_t>(l.ifindex)] {
    Undo none;
    Link back;
    if (create_vlan(c, name, mac, none, back)) return;
    auto now = static_cast<std::uint32_t>(back.ifindex);
    std::map<MacBytes, std::uint32_t> bound;
    c->obj.bindings(bound);
    for (const auto& [m, ifindex] : bound)
      if (ifindex == old) c->obj.bind(m, now);
    brantel_port_config cfg{};
    if (c->obj.read_config(cfg) == 0 && cfg.default_ifindex == old) {
      cfg.default_ifindex = now;
      c->obj.write_config(cfg);
      c->cfg = cfg;
    }
  });
  return 0;
}

int LiveRealiser::enable(const Port& p, Undo& undo, const std::map<std::string, MacBytes>& macs,
                         std::uint32_t owned) {
  auto c = std::make_shared<Ctx>();
  int err = open_port(p.name, *c, false);
  if (err == ENODEV) return ENODEV;
  if (err == 0) {
    // A classifier the state file does not know of, left by a killed run.
    Undo none;
    Port stale{p.name, 0, {}};
    if ((err = disable(stale, none))) return err;
    *c = Ctx{};
    err = open_port(p.name, *c, false);
  }
  if (err != ENOENT) return err;
  // An interface of ours is not a port.
  if (c->port.kind == "macvlan" && (c->port.group & 0xffff0000) == kGroupBase) return ENODEV;

  brantel_port_config cfg{};
  cfg.flags = static_cast<std::uint32_t>(p.flags);
  cfg.group = kGroupBase | (static_cast<std::uint32_t>(c->port.ifindex) & 0xffff);
  cfg.owned = owned;
  Failure f;
  if (c->obj.load(cfg, f)) return refused(f);
  c->obj.read_config(c->cfg);

  brantel_port_config want = c->cfg;
  for (const Vlan& v : p.vlans) {
    auto m = macs.find(v.name);
    Link l;
    // A name taken by a device not ours.  The tool reads EEXIST from enable
    // as "already enabled", and would call this failure a success.
    if ((err = create_vlan(c, v.name, m == macs.end() ? MacBytes{} : m->second, undo, l)))
      return err == EEXIST ? ENOTUNIQ : err;
    if (v.name == default_name(p.name))
      want.default_ifindex = static_cast<std::uint32_t>(l.ifindex);
    for (const Mac& mac : v.macs)
      if ((err = c->obj.bind(mac, static_cast<std::uint32_t>(l.ifindex)))) return err;
  }
  if ((err = set_config(c, want, undo))) return err;
  if ((err = set_promisc(c, want.flags, undo))) return err;

  // Whether the qdisc will be ours is recorded before it is made, so that a
  // run killed in between leaves a record that only overstates.
  bool had_qdisc = false;
  if ((err = nl_.has_clsact(c->port.ifindex, had_qdisc))) return err;
  want = c->cfg;
  if (!had_qdisc) want.owned |= BRANTEL_OWN_QDISC;
  if ((err = set_config(c, want, undo))) return err;
  // Last: frames are taken over only once everything is in place.
  bool created = false;
  int qdisc_err = 0;
  err = nl_.attach_ingress(c->port.ifindex, c->obj.rx_fd(), "brantel_rx", kFilterHandle,
                           kFilterPriority, created, qdisc_err);
  if (err) return refused(Failure{err, qdisc_err ? Step::qdisc : Step::filter, nl_.last_message()});
  int ifindex = c->port.ifindex;
  undo.add([this, c, ifindex, created] {
    Failure ignored;
    c->obj.detach_rx(ifindex, ignored);
    if (created) remove_clsact(ifindex, ignored);
  });
  if (created != !had_qdisc) {  // someone else was quicker, or slower
    want = c->cfg;
    want.owned = created ? want.owned | BRANTEL_OWN_QDISC : want.owned & ~BRANTEL_OWN_QDISC;
    if ((err = set_config(c, want, undo))) return err;
  }
  return 0;
}

int LiveRealiser::remove_devices(const Ctx& c, const std::vector<Link>& devices) {
  if (devices.empty()) return 0;
  std::vector<Link> all;
  if (int err = nl_.links(all)) return err;
  bool group_is_ours = std::all_of(
      all.begin(), all.end(), [&](const Link& l) { return l.group != c.cfg.group || ours(c, l); });
  if (group_is_ours) {
    int err = nl_.delete_group(c.cfg.group);
    if (err != ENODEV) return err;
    return 0;
  }
  // Someone else put a device in our group: delete ours one by one.
  for (const Link& l : devices)
    if (int err = nl_.delete_link(l.ifindex); err && err != ENODEV) return err;
  return 0;
}

int LiveRealiser::disable(const Port& p, Undo& undo) {
  auto c = std::make_shared<Ctx>();
  int err = open_port(p.name, *c, false);
  if (err == ENODEV) return 0;  // the port went, and with it all of ours
  if (err == ENOENT) {
    // No classifier: still delete what is left of its interfaces.
    for (const Vlan& v : p.vlans) {
      Link l;
      if ((err = nl_.get_link(v.name, l)) == ENODEV) continue;
      if (err) return err;
      if (l.kind == "macvlan" && l.parent == c->port.ifindex &&
          (l.group & 0xffff0000) == kGroupBase && (err = nl_.delete_link(l.ifindex)) &&
          err != ENODEV)
        return err;
    }
    return 0;
  }
  if (err) return err;

  std::vector<Link> all, devices;
  if ((err = nl_.links(all))) return err;
  std::map<std::string, MacBytes> macs;
  for (const Link& l : all) {
    if (!ours(*c, l)) continue;
    devices.push_back(l);
    macs[l.name] = l.mac;
  }
  if ((err = remove_devices(*c, devices))) return err;
  // From here on, taking the disable back means enabling the port again as
  // it was, with the same addresses; that also restores what follows.
  undo.add([this, p, macs, owned = c->cfg.owned] {
    Undo none;
    enable(p, none, macs, owned);
  });
  Failure f;
  int ifindex = c->port.ifindex;
  if (c->obj.detach_rx(ifindex, f)) return refused(f);
  if (c->cfg.owned & BRANTEL_OWN_PROMISC) {
    if ((err = nl_.set_promisc(ifindex, false)) && err != ENODEV) return err;
  }
  if (c->cfg.owned & BRANTEL_OWN_QDISC) {
    // Only while no one else has a filter in it.
    std::vector<Filter> in, out;
    if ((err = nl_.filters(ifindex, TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS), in)) ||
        (err = nl_.filters(ifindex, TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_EGRESS), out)))
      return err;
    if (in.empty() && out.empty() && remove_clsact(ifindex, f)) return refused(f);
  }
  return 0;
}

int LiveRealiser::update(const Port& b, const Port& a, Undo& undo) {
  auto c = std::make_shared<Ctx>();
  // A change that only takes away may find things already gone; one that
  // adds needs the port's classifier.
  bool adds = a.flags != b.flags;
  for (const Vlan& v : a.vlans) {
    const Vlan* old = find_vlan(b, v.name);
    for (const Mac& m : v.macs)
      if (!old || std::find(old->macs.begin(), old->macs.end(), m) == old->macs.end()) adds = true;
    if (!old) adds = true;
  }
  int err = open_port(a.name, *c, adds);
  if (err == ENOENT) return 0;
  if (err) return err;

  brantel_port_config want = c->cfg;
  want.flags = static_cast<std::uint32_t>(a.flags);
  // Addresses first leave their old interface, then join their new one,
  // so that one that moves ends up bound to its new interface.
  for (const Vlan& old : b.vlans) {
    const Vlan* now = find_vlan(a, old.name);
    if (now && now->macs == old.macs) continue;
    for (const Mac& m : old.macs) {
      if (now && std::find(now->macs.begin(), now->macs.end(), m) != now->macs.end()) continue;
      std::uint32_t ifindex = 0;
      if ((err = vlan_ifindex(*c, old.name, ifindex)) == ENODEV) continue;  // gone already
      if (err || (err = c->obj.unbind(m))) return err;
      // By name: by then the interface may have been made again.
      undo.add([this, c, m, name = old.name] {
        std::uint32_t now = 0;
        if (vlan_ifindex(*c, name, now) == 0) c->obj.bind(m, now);
      });
    }
    if (now) continue;
    if (old.name == default_name(a.name)) want.default_ifindex = 0;
    if ((err = delete_vlan(c, old.name, undo))) return err;
  }
  for (const Vlan& v : a.vlans) {
    const Vlan* old = find_vlan(b, v.name);
    std::uint32_t ifindex = 0;
    if (!old) {
      Link l;
      if ((err = create_vlan(c, v.name, MacBytes{}, undo, l))) return err;
      ifindex = static_cast<std::uint32_t>(l.ifindex);
      if (v.name == default_name(a.name)) want.default_ifindex = ifindex;
    } else if (old->macs == v.macs) {
      continue;
    } else if ((err = vlan_ifindex(*c, v.name, ifindex))) {
      return err;
    }
    for (const Mac& m : v.macs) {
      if (old && std::find(old->macs.begin(), old->macs.end(), m) != old->macs.end()) continue;
      if ((err = c->obj.bind(m, ifindex))) return err;
      undo.add([c, m] { c->obj.unbind(m); });
    }
  }
  if ((err = set_config(c, want, undo))) return err;
  return set_promisc(c, want.flags, undo);
}

// --- the whole module ------------------------------------------------------

int LiveRealiser::realise(const Model& before, const Model& after) {
  Undo undo;
  int err = 0;
  for (const Port& b : before.ports())
    if (!find_port(after, b.name) && (err = disable(b, undo))) break;
  if (!err) {
    for (const Port& a : after.ports()) {
      const Port* b = find_port(before, a.name);
      if ((err = b ? update(*b, a, undo) : enable(a, undo))) break;
    }
  }
  if (err) undo.run();
  return err;
}

int LiveRealiser::read_kernel(std::vector<KernelPort>& out) {
  out.clear();
  std::vector<Link> all;
  if (int err = nl_.links(all)) return refused(err, "cannot list network devices");
  for (const Link& l : all) {
    if (l.kind == "macvlan" && (l.group & 0xffff0000) == kGroupBase) continue;
    PortObjects obj;
    Failure f;
    int err = obj.find(l.ifindex, f);
    if (err == ENOENT) continue;
    if (err) return refused(f);
    KernelPort k;
    k.link = l;
    if ((err = obj.read_config(k.cfg)) || (err = obj.bindings(k.bindings))) return err;
    for (const Link& v : all)
      if (v.kind == "macvlan" && v.parent == l.ifindex && v.group == k.cfg.group)
        k.vlans.push_back(v);
    out.push_back(std::move(k));
  }
  return 0;
}

Model LiveRealiser::model_of(const std::vector<KernelPort>& kernel) {
  Model m;
  for (const KernelPort& k : kernel) {
    Port p{k.link.name, static_cast<std::int32_t>(k.cfg.flags), {}};
    for (const Link& l : k.vlans) {
      Vlan v{l.name, {}};
      for (const auto& [mac, ifindex] : k.bindings)
        if (ifindex == static_cast<std::uint32_t>(l.ifindex)) v.macs.push_back(mac);
      p.vlans.push_back(std::move(v));
    }
    m.ports().push_back(std::move(p));
  }
  return m;
}

int LiveRealiser::sync(const Model& state) {
  // Interfaces of ours that no port of the state file has, left by a run
  // killed before its port's classifier was in place.  Those that it has
  // are taken over as they are, addresses and all.
  std::vector<Link> all;
  if (int err = nl_.links(all)) return refused(err, "cannot list network devices");
  std::map<int, std::string> names;
  for (const Link& l : all) names[l.ifindex] = l.name;
  for (const Link& l : all) {
    if (l.kind != "macvlan" || (l.group & 0xffff0000) != kGroupBase) continue;
    const Port* p = find_port(state, names[l.parent]);
    if (!p || !find_vlan(*p, l.name))
      if (int err = nl_.delete_link(l.ifindex); err && err != ENODEV) return err;
  }
  std::vector<KernelPort> kernel;
  if (int err = read_kernel(kernel)) return err;
  // Repairs that a model cannot express: addresses that lead to deleted
  // interfaces, and a default interface that is no longer PORT#0.
  for (const KernelPort& k : kernel) {
    Ctx c;
    if (open_port(k.link.name, c, false) != 0) continue;
    std::set<std::uint32_t> live;
    for (const Link& l : k.vlans) live.insert(static_cast<std::uint32_t>(l.ifindex));
    for (const auto& [mac, ifindex] : k.bindings)
      if (!live.count(ifindex)) c.obj.unbind(mac);
    for (const Link& l : k.vlans) {
      Failure ignored;
      c.obj.attach_accept(l.ifindex, ignored);  // in case someone removed it
    }
  }
  int err = realise(model_of(kernel), state);
  if (err) return err;
  for (const Port& p : state.ports()) {
    auto c = std::make_shared<Ctx>();
    if (open_port(p.name, *c, true) != 0) continue;
    brantel_port_config want = c->cfg;
    want.default_ifindex = 0;
    if (find_vlan(p, default_name(p.name)))
      vlan_ifindex(*c, default_name(p.name), want.default_ifindex);
    Undo none;
    set_config(c, want, none);
    set_promisc(c, want.flags, none);
  }
  return 0;
}

int LiveRealiser::check(const Model& state, std::vector<std::string>& out) {
  std::vector<KernelPort> kernel;
  if (int err = read_kernel(kernel)) return err;
  std::map<std::string, const KernelPort*> by_name;
  for (const KernelPort& k : kernel) by_name[k.link.name] = &k;

  char flags[64];
  for (const Port& p : state.ports()) {
    auto it = by_name.find(p.name);
    if (it == by_name.end()) {
      Link l;
      out.push_back(p.name + (nl_.get_link(p.name, l) ? ": no such network device"
                                                      : ": not enabled on the kernel"));
      continue;
    }
    const KernelPort& k = *it->second;
    by_name.erase(it);
    if (k.cfg.flags != static_cast<std::uint32_t>(p.flags)) {
      std::snprintf(flags, sizeof flags, ": flag word 0x%x, on the kernel 0x%x",
                    static_cast<std::uint32_t>(p.flags), k.cfg.flags);
      out.push_back(p.name + flags);
    }
    std::map<std::uint32_t, std::string> names;  // ifindex -> interface
    for (const Link& l : k.vlans) names[static_cast<std::uint32_t>(l.ifindex)] = l.name;
    std::map<std::string, int> kernel_vlans;
    for (const Link& l : k.vlans) kernel_vlans[l.name] = l.ifindex;
    std::map<MacBytes, std::string> want;  // address -> interface
    for (const Vlan& v : p.vlans) {
      for (const Mac& m : v.macs) want[m] = v.name;
      if (!kernel_vlans.erase(v.name)) {
        out.push_back(v.name + ": missing on the kernel");
        continue;
      }
    }
    for (const auto& [name, ifindex] : kernel_vlans)
      out.push_back(name + ": on the kernel, not in the state file");
    std::uint32_t def = 0;
    for (const Link& l : k.vlans)
      if (l.name == default_name(p.name)) def = static_cast<std::uint32_t>(l.ifindex);
    if (k.cfg.default_ifindex != def) {
      auto n = names.find(k.cfg.default_ifindex);
      out.push_back(
          p.name + ": frames bound to no interface go to " +
          (n != names.end() ? n->second : "ifindex " + std::to_string(k.cfg.default_ifindex)) +
          ", not to " + default_name(p.name));
    }
    for (const auto& [mac, ifindex] : k.bindings) {
      auto n = names.find(ifindex);
      std::string on = n != names.end() ? n->second : "ifindex " + std::to_string(ifindex);
      auto w = want.find(mac);
      if (w == want.end()) {
        out.push_back(mac_text(mac) + ": bound to " + on + " on the kernel only");
      } else {
        if (w->second != on)
          out.push_back(mac_text(mac) + ": bound to " + w->second + ", on the kernel to " + on);
        want.erase(w);
      }
    }
    for (const auto& [mac, name] : want)
      out.push_back(mac_text(mac) + ": bound to " + name + ", not on the kernel");
  }
  for (const auto& [name, k] : by_name)
    out.push_back(name + ": enabled on the kernel, not in the state file");
  return 0;
}

// Stand-in for the per-port engine: syncs the whole state, and describes
// the ports without counters.
int LiveRealiser::sync(const Model& state, const std::vector<std::string>& only,
                       std::vector<std::string>& unrestored) {
  (void)only;
  unrestored.clear();
  return sync(state);
}

int LiveRealiser::describe(const Model& state, std::vector<LivePort>& out) {
  out.clear();
  for (const Port& p : state.ports()) {
    LivePort lp;
    lp.name = p.name;
    lp.flags = p.flags;
    Link l;
    if (nl_.get_link(p.name, l) == 0) lp.ifindex = l.ifindex;
    Ctx c;
    lp.realised = open_port(p.name, c, false) == 0;
    for (const Vlan& v : p.vlans) {
      LiveInterface li;
      li.name = v.name;
      li.bound = v.macs;
      Link vl;
      if (nl_.get_link(v.name, vl) == 0) {
        li.ifindex = vl.ifindex;
        li.mac = vl.mac;
      }
      lp.interfaces.push_back(std::move(li));
    }
    out.push_back(std::move(lp));
  }
  return 0;
}

}  // namespace
}  // namespace brantel_sim::live

extern "C" __attribute__((visibility("default"))) brantel_sim::Live* brantel_sim_live_create() {
  return new brantel_sim::live::LiveRealiser();
}
