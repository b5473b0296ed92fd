#include "apply.h"

#include <linux/pkt_sched.h>

#include <cerrno>
#include <cstring>

#include "owned.h"

namespace brantel_sim::live {
namespace {

constexpr std::uint32_t kIngress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS);
constexpr std::uint32_t kEgress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_EGRESS);

// Removing what is already gone is no failure.
int gone_ok(int err) { return err == ENODEV || err == ENOENT || err == EINVAL ? 0 : err; }

}  // namespace

Journal::Journal(Rtnl& nl, Classifier& cls, const PortView& view)
    : nl_(nl), cls_(cls), view_(view) {
  for (const IfaceView& v : view.ifaces) {
    ifindex_[v.link.name] = v.link.ifindex;
    mac_[v.link.name] = v.link.mac;
  }
}

void Journal::on_undo(std::string what, std::function<int()> f) {
  undo_.emplace_back(std::move(what), std::move(f));
}

int Journal::ifindex(const std::string& name) const {
  auto it = ifindex_.find(name);
  return it == ifindex_.end() ? 0 : it->second;
}

std::string Journal::name_of(std::uint32_t ifindex) const {
  for (const auto& [name, i] : ifindex_)
    if (static_cast<std::uint32_t>(i) == ifindex) return name;
  return {};
}

std::vector<std::string> Journal::undo() {
  std::vector<std::string> failed;
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it)
    if (int err = it->second())
      failed.push_back("could not take back " + it->first + ": " + std::strerror(err));
  undo_.clear();
  return failed;
}

int Journal::run(const Plan& plan, Failure& why, const Action*& failed) {
  failed = nullptr;
  for (const Action& a : plan.actions) {
    if (int err = step(a, why)) {
      failed = &a;
      if (why.err == 0) why = Failure{err, Step::map, {}};
      return err;
    }
  }
  return 0;
}

int Journal::make(const std::string& name, const MacBytes& mac, bool by_dest) {
  Link out;
  int err =
      nl_.create_macvlan(name, view_.dev.ifindex,
                         view_.cfg.group ? view_.cfg.group : group_of(view_.dev.ifindex), mac, out);
  if (err) return err;
  ifindex_[name] = out.ifindex;
  mac_[name] = out.mac;
  if (by_dest) {
    Failure f;
    int fd = cls_.accept_fd(f);
    if (fd < 0) return -fd;
    if ((err = nl_.add_clsact(out.ifindex)) && err != EEXIST) return err;
    return nl_.add_bpf_filter(out.ifindex, kIngress, kFilterPriority, kFilterHandle, fd,
                              kAcceptName, true);
  }
  return 0;
}

int Journal::remap(const std::map<std::uint32_t, std::uint32_t>& moved) {
  std::map<MacBytes, std::uint32_t> b;
  if (int err = cls_.bindings(b)) return err;
  for (const auto& [mac, to] : b)
    if (auto m = moved.find(to); m != moved.end())
      if (int err = cls_.bind(mac, m->second)) return err;
  for (const auto& [from, to] : moved) {
    if (int err = cls_.add_target(to)) return err;
    cls_.remove_target(from);
  }
  std::map<MacBytes, std::uint32_t> own;
  if (int err = cls_.own(own)) return err;
  for (const auto& [mac, to] : own)
    if (auto m = moved.find(to); m != moved.end())
      if (int err = cls_.add_own(mac, m->second)) return err;
  brantel_port_config cfg{};
  if (int err = cls_.read_config(cfg)) return err;
  if (auto m = moved.find(cfg.default_ifindex); m != moved.end()) {
    cfg.default_ifindex = m->second;
    return cls_.write_config(cfg);
  }
  return 0;
}

int Journal::step(const Action& a, Failure& why) {
  const int port = view_.dev.ifindex;
  switch (a.op) {
    case Op::load: {
      brantel_port_config cfg{};
      cfg.group = group_of(port);
      return cls_.load(cfg, why);
    }
    case Op::set_config: {
      brantel_port_config old{};
      if (int err = cls_.read_config(old)) return err;
      brantel_port_config cfg = old;
      cfg.flags = a.value;
      cfg.default_ifindex = a.name.empty() ? 0 : static_cast<std::uint32_t>(ifindex(a.name));
      cfg.owned = a.owned;
      if (!cfg.group) cfg.group = group_of(port);
      if (int err = cls_.write_config(cfg)) return err;
      std::string def = name_of(old.default_ifindex);
      on_undo("the port's configuration", [this, old, def] {
        brantel_port_config back = old;
        if (!def.empty()) back.default_ifindex = static_cast<std::uint32_t>(ifindex(def));
        return cls_.write_config(back);
      });
      return 0;
    }
    case Op::create_iface: {
      int err = make(a.name, a.mac, false);
      if (err == EEXIST) {
        // The name is taken: by one of ours left by a killed run (take it
        // over), or by someone else's device.
        Link l;
        if (nl_.get_link(a.name, l) == 0 && l.kind == "macvlan" && l.parent == port &&
            l.group == (view_.cfg.group ? view_.cfg.group : group_of(port))) {
          ifindex_[a.name] = l.ifindex;
          mac_[a.name] = l.mac;
          return 0;
        }
        return EEXIST;
      }
      if (err) return err;
      int made = ifindex(a.name);
      on_undo(a.name, [this, made, name = a.name] {
        ifindex_.erase(name);
        return gone_ok(nl_.delete_link(made));
      });
      return 0;
    }
    case Op::delete_iface:
    case Op::delete_group: {
      std::vector<const IfaceView*> going;
      for (const IfaceView& v : view_.ifaces)
        if (a.op == Op::delete_group || v.link.name == a.name) going.push_back(&v);
      int err = 0;
      if (a.op == Op::delete_group) {
        err = gone_ok(nl_.delete_group(view_.cfg.group ? view_.cfg.group : group_of(port)));
      } else if (int i = ifindex(a.name)) {
        err = gone_ok(nl_.delete_link(i));
      }
      if (err) return err;
      bool by_dest = view_.cfg.flags & BRANTEL_FLAG_BY_DESTINATION;
      std::vector<std::pair<std::string, MacBytes>> made;
      for (const IfaceView* v : going) {
        made.emplace_back(v->link.name, mac_[v->link.name]);
        ifindex_.erase(v->link.name);
      }
      // Taken back as they were: same names, same addresses; what led to
      // the old devices then leads to the new ones.
      on_undo(a.op == Op::delete_group ? "the port's interfaces" : a.name,
              [this, made, going, by_dest, has = view_.classifier] {
                std::map<std::uint32_t, std::uint32_t> moved;
                for (std::size_t i = 0; i < made.size(); ++i) {
                  if (int err = make(made[i].first, made[i].second, by_dest && has)) return err;
                  moved[static_cast<std::uint32_t>(going[i]->link.ifindex)] =
                      static_cast<std::uint32_t>(ifindex(made[i].first));
                }
                return has ? remap(moved) : 0;
              });
      return 0;
    }
    case Op::regroup: {
      int i = ifindex(a.name);
      std::uint32_t was = 0;
      for (const IfaceView& v : view_.ifaces)
        if (v.link.name == a.name) was = v.link.group;
      if (int err = nl_.set_group(i, a.value)) return err;
      on_undo(a.name + "'s device group", [this, i, was] { return gone_ok(nl_.set_group(i, was)); });
      return 0;
    }
    case Op::attach_accept: {
      int i = ifindex(a.name);
      int fd = cls_.accept_fd(why);
      if (fd < 0) return -fd;
      int qdisc = nl_.add_clsact(i);
      if (qdisc && qdisc != EEXIST) return qdisc;
      if (!qdisc)
        on_undo(a.name + "'s clsact qdisc",
                [this, name = a.name] { return gone_ok(nl_.delete_clsact(ifindex(name))); });
      if (int err = nl_.add_bpf_filter(i, kIngress, kFilterPriority, kFilterHandle, fd, kAcceptName,
                                       true))
        return err;
      on_undo(a.name + "'s program", [this, name = a.name] {
        return gone_ok(nl_.delete_filter(ifindex(name), kIngress, kFilterPriority, kFilterHandle));
      });
      return 0;
    }
    case Op::detach_accept: {
      int i = ifindex(a.name);
      if (int err = gone_ok(nl_.delete_filter(i, kIngress, kFilterPriority, kFilterHandle)))
        return err;
      on_undo(a.name + "'s program", [this, name = a.name] {
        Failure f;
        int fd = cls_.accept_fd(f);
        if (fd < 0) return -fd;
        return nl_.add_bpf_filter(ifindex(name), kIngress, kFilterPriority, kFilterHandle, fd,
                                  kAcceptName, true);
      });
      // The interface's clsact qdisc came with the program: it goes with
      // it, unless someone else put a filter there.
      std::vector<Filter> in, out;
      if (int err = gone_ok(nl_.filters(i, kIngress, in))) return err;
      if (int err = gone_ok(nl_.filters(i, kEgress, out))) return err;
      if (in.empty() && out.empty()) {
        if (int err = gone_ok(nl_.delete_clsact(i))) return err;
        on_undo(a.name + "'s clsact qdisc", [this, name = a.name] {
          int e = nl_.add_clsact(ifindex(name));
          return e == EEXIST ? 0 : e;
        });
      }
      return 0;
    }
    case Op::add_target: {
      auto i = static_cast<std::uint32_t>(a.name.empty() ? a.ifindex : ifindex(a.name));
      if (int err = cls_.add_target(i)) return err;
      on_undo("a target", [this, i] { return cls_.remove_target(i); });
      return 0;
    }
    case Op::remove_target: {
      auto i = static_cast<std::uint32_t>(a.ifindex);
      if (view_.dead.count(i)) {
        // Frames handed to a device that was gone were dropped: they stay
        // counted so once its entry goes.
        std::map<std::uint32_t, IfaceStats> stats;
        brantel_port_config cfg{};
        if (int err = cls_.targets(stats)) return err;
        if (int err = cls_.read_config(cfg)) return err;
        std::uint64_t frames = stats[i].frames;
        if (frames) {
          cfg.dropped_gone += frames;
          if (int err = cls_.write_config(cfg)) return err;
          on_undo("the port's count of dropped frames", [this, frames] {
            brantel_port_config back{};
            if (int e = cls_.read_config(back)) return e;
            back.dropped_gone -= frames;
            return cls_.write_config(back);
          });
        }
      }
      if (int err = cls_.remove_target(i)) return err;
      std::string name = name_of(i);
      on_undo("a target", [this, i, name] {
        return cls_.add_target(name.empty() ? i : static_cast<std::uint32_t>(ifindex(name)));
      });
      return 0;
    }
    case Op::add_own: {
      auto i = static_cast<std::uint32_t>(ifindex(a.name));
      // The address the device has: the kernel's choice when none was given.
      MacBytes mac = mac_.count(a.name) ? mac_[a.name] : a.mac;
      if (int err = cls_.add_own(mac, i)) return err;
      on_undo(a.name + "'s own address", [this, mac] { return cls_.remove_own(mac); });
      return 0;
    }
    case Op::remove_own: {
      auto old = view_.own.find(a.mac);
      if (int err = cls_.remove_own(a.mac)) return err;
      if (old == view_.own.end()) return 0;
      std::string name = name_of(old->second);
      on_undo("an own address", [this, mac = a.mac, i = old->second, name] {
        return cls_.add_own(mac, name.empty() ? i : static_cast<std::uint32_t>(ifindex(name)));
      });
      return 0;
    }
    case Op::bind:
    case Op::unbind: {
      auto old = view_.bindings.find(a.mac);
      int err = a.op == Op::bind ? cls_.bind(a.mac, static_cast<std::uint32_t>(ifindex(a.name)))
                                 : cls_.unbind(a.mac);
      if (err == E2BIG) why = Failure{ENOSPC, Step::map, "full"};
      if (err) return err == E2BIG ? ENOSPC : err;
      std::string was = old == view_.bindings.end() ? std::string() : name_of(old->second);
      std::uint32_t raw = old == view_.bindings.end() ? 0 : old->second;
      on_undo(format_mac(a.mac), [this, mac = a.mac, raw, was] {
        if (!raw) return cls_.unbind(mac);
        return cls_.bind(mac, was.empty() ? raw : static_cast<std::uint32_t>(ifindex(was)));
      });
      return 0;
    }
    case Op::record: {
      std::uint32_t was = recorded(view_.dev);
      if (int err = live::record(view_.dev, a.value)) return err;
      on_undo("the port's record", [this, was] { return live::record(view_.dev, was); });
      return 0;
    }
    case Op::promisc: {
      int err = nl_.set_promisc(port, a.on);
      if (err && !(err == ENODEV && !a.on)) return err;
      on_undo("promiscuous mode", [this, port, on = a.on] { return nl_.set_promisc(port, !on); });
      return 0;
    }
    case Op::up: {
      int err = nl_.set_up(port, a.on);
      if (err && !(err == ENODEV && !a.on)) return err;
      on_undo("the port's up flag", [this, port, on = a.on] { return nl_.set_up(port, !on); });
      return 0;
    }
    case Op::attach_rx: {
      bool created = false;
      int qdisc_err = 0;
      int err = nl_.attach_ingress(port, cls_.rx_fd(), kRxName, a.value, kFilterHandle, created,
                                   qdisc_err);
      if (err) {
        why = Failure{err, qdisc_err ? Step::qdisc : Step::filter, nl_.last_message()};
        return err;
      }
      on_undo("the port's classifier", [this, port, prio = a.value, created] {
        int e = gone_ok(nl_.delete_filter(port, kIngress, prio, kFilterHandle));
        if (!e && created) e = gone_ok(nl_.delete_clsact(port));
        return e;
      });
      // Someone else's qdisc came or went between looking and making.
      if (created == view_.clsact) {
        brantel_port_config cfg{};
        if ((err = cls_.read_config(cfg))) return err;
        cfg.owned = created ? cfg.owned | BRANTEL_OWN_QDISC : cfg.owned & ~BRANTEL_OWN_QDISC;
        return cls_.write_config(cfg);
      }
      return 0;
    }
    case Op::detach_rx: {
      const Filter& f = view_.filter;
      if (int err = gone_ok(nl_.delete_filter(port, kIngress, f.priority, f.handle))) return err;
      on_undo("the port's classifier", [this, port, prio = f.priority, handle = f.handle] {
        return nl_.add_bpf_filter(port, kIngress, prio, handle, cls_.rx_fd(), kRxName, false);
      });
      return 0;
    }
    case Op::remove_qdisc: {
      if (int err = gone_ok(nl_.delete_clsact(port))) return err;
      on_undo("the port's clsact qdisc", [this, port] { return nl_.add_clsact(port); });
      return 0;
    }
  }
  return EINVAL;
}

}  // namespace brantel_sim::live
