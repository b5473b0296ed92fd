#include "observe.h"

#include <linux/if_arp.h>
#include <linux/pkt_sched.h>

#include <algorithm>
#include <cerrno>

#include "owned.h"

namespace brantel_sim::live {
namespace {

constexpr std::uint32_t kIngress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS);
constexpr std::uint32_t kEgress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_EGRESS);

// A device without a clsact qdisc has no filters to list.
int filters_at(Rtnl& nl, int ifindex, std::uint32_t parent, std::vector<Filter>& out) {
  int err = nl.filters(ifindex, parent, out);
  if (err == EINVAL || err == ENOENT) {
    out.clear();
    return 0;
  }
  return err;
}

bool is_our_slot(const Filter& f, const char* prog) {
  return f.kind == "bpf" && f.handle == kFilterHandle && f.prog_name == prog &&
         f.priority >= kFilterPriority && f.priority < kFilterPriority + kFilterPriorities;
}

std::string unusable(const Link& dev) {
  if (dev.kind == "macvlan" && in_our_groups(dev.group))
    return "an interface of live mode, not a port";
  if (dev.type != ARPHRD_ETHER) return "not an Ethernet device";
  if (dev.kind == "macvlan" || dev.kind == "macvtap")
    return "a " + dev.kind + " device: the kernel would stack its interfaces on its lower device";
  return {};
}

bool ours(const Link& l, int port, std::uint32_t group) {
  return l.kind == "macvlan" && l.parent == port && !l.parent_elsewhere && l.group == group;
}

int classifier_of(Rtnl& nl, PortView& v, Classifier& cls, const ObserveOptions& opts,
                  Failure& why) {
  std::vector<Filter> in, out;
  if (int err = filters_at(nl, v.dev.ifindex, kIngress, in)) return err;
  if (int err = filters_at(nl, v.dev.ifindex, kEgress, out)) return err;
  v.others = !out.empty();
  // A dump also lists each classifier instance on its own, with handle 0,
  // before the filters it holds.
  std::set<std::uint32_t> held;
  for (const Filter& f : in)
    if (f.handle) held.insert(f.priority);
  for (const Filter& f : in) {
    if (!f.handle && held.count(f.priority)) continue;
    if (!v.classifier && is_our_slot(f, kRxName)) {
      int err = cls.open(f.prog_id, why);
      if (err == 0 || (err == EPERM && opts.without_maps)) {
        v.classifier = true;
        v.maps = err == 0;
        v.filter = f;
        continue;
      }
      if (err != ENOENT) return err;
    }
    v.foreign_priorities.insert(f.priority);
    v.others = true;
  }
  std::vector<Qdisc> qdiscs;
  if (int err = nl.qdiscs(v.dev.ifindex, qdiscs)) return err;
  v.clsact = std::any_of(qdiscs.begin(), qdiscs.end(), [&](const Qdisc& q) {
    return q.kind == "clsact" && q.ifindex == v.dev.ifindex;
  });
  return 0;
}

// Our interfaces named PORT#..., on whatever device they are now.
int find_renamed(Rtnl& nl, PortView& v) {
  std::vector<Link> macvlans;
  if (int err = nl.links(macvlans, "macvlan")) return err;
  std::string prefix = v.name + "#";
  for (const Link& l : macvlans) {
    if (l.name.rfind(prefix, 0) != 0 || !in_our_groups(l.group) || l.parent_elsewhere ||
        l.group != group_of(l.parent))
      continue;
    Link host;
    if (nl.get_link(l.parent, host) != 0) continue;
    v.dev = host;
    v.renamed = host.name;
    return 0;
  }
  return 0;
}

}  // namespace

int observe(Rtnl& nl, const std::string& name, const Scope& scope, const ObserveOptions& opts,
            PortView& v, Classifier& cls, Failure& why) {
  v = PortView{};
  v.name = name;
  int err = nl.get_link(name, v.dev);
  if (err == ENODEV) {
    v.dev = Link{};
    if ((err = find_renamed(nl, v)) || !v.dev.ifindex) return err;
  } else if (err) {
    return err;
  }
  v.unusable = unusable(v.dev);
  if (!v.unusable.empty()) return 0;
  v.recorded = recorded(v.dev);
  if ((err = classifier_of(nl, v, cls, opts, why))) return err;

  std::uint32_t group = group_of(v.dev.ifindex);
  if (v.maps) {
    if ((err = cls.read_config(v.cfg))) return err;
    group = v.cfg.group;
    std::map<std::uint32_t, IfaceStats> targets;
    if ((err = cls.targets(targets)) || (err = cls.own(v.own))) return err;
    for (const auto& t : targets) v.targets.insert(t.first);
    if (opts.bindings && scope.all) {
      if ((err = cls.bindings(v.bindings))) return err;
    } else if (opts.bindings) {
      for (const MacBytes& m : scope.macs) {
        std::uint32_t to = 0;
        err = cls.lookup(m, to);
        if (err == 0)
          v.bindings[m] = to;
        else if (err != ENOENT)
          return err;
      }
    }
  }

  std::vector<Link> all;  // every device, with the scope all
  if (scope.all) {
    if ((err = nl.links(all))) return err;
    for (const Link& l : all) {
      if (ours(l, v.dev.ifindex, group))
        v.ifaces.push_back(IfaceView{l, {}, false, false});
      else if (l.group == group)
        v.group_shared = true;
      if (!ours(l, v.dev.ifindex, group) && l.name.rfind(v.name + "#", 0) == 0)
        v.namesakes[l.name] = l;
    }
  } else {
    for (const std::string& n : scope.ifaces) {
      Link l;
      err = nl.get_link(n, l);
      if (err == ENODEV) continue;
      if (err) return err;
      if (ours(l, v.dev.ifindex, group)) v.ifaces.push_back(IfaceView{l, {}, false, false});
    }
  }
  std::set<std::uint32_t> live;
  for (IfaceView& i : v.ifaces) {
    auto ifindex = static_cast<std::uint32_t>(i.link.ifindex);
    live.insert(ifindex);
    i.target = v.targets.count(ifindex) > 0;
    auto o = v.own.find(i.link.mac);
    i.own = o != v.own.end() && o->second == ifindex;
    if (scope.all && opts.accept) {
      std::vector<Filter> in;
      if ((err = filters_at(nl, i.link.ifindex, kIngress, in))) return err;
      i.accept = std::any_of(in.begin(), in.end(), [](const Filter& f) {
        return is_our_slot(f, kAcceptName) && f.priority == kFilterPriority;
      });
      if (in.empty()) {
        std::vector<Filter> out;
        std::vector<Qdisc> qdiscs;
        if ((err = filters_at(nl, i.link.ifindex, kEgress, out)) ||
            (err = nl.qdiscs(i.link.ifindex, qdiscs)))
          return err;
        i.bare_qdisc =
            out.empty() && std::any_of(qdiscs.begin(), qdiscs.end(), [&](const Qdisc& q) {
              return q.kind == "clsact" && q.ifindex == i.link.ifindex;
            });
      }
    }
  }
  if (!v.maps) return 0;

  // What the classifier refers to that is gone.
  std::set<std::uint32_t> refs;
  if (v.cfg.default_ifindex) refs.insert(v.cfg.default_ifindex);
  for (const auto& b : v.bindings) refs.insert(b.second);
  if (scope.all) {
    refs.insert(v.targets.begin(), v.targets.end());
    for (const auto& o : v.own) refs.insert(o.second);
  }
  std::map<std::uint32_t, std::string> names;
  for (const Link& l : all) names[static_cast<std::uint32_t>(l.ifindex)] = l.name;
  for (std::uint32_t r : refs) {
    if (live.count(r)) continue;
    if (scope.all) {
      v.dead.insert(r);
      if (auto n = names.find(r); n != names.end()) v.strangers[r] = n->second;
      continue;
    }
    Link l;
    err = nl.get_link(static_cast<int>(r), l);
    if (err == 0 && !ours(l, v.dev.ifindex, group)) v.strangers[r] = l.name;
    if (err == ENODEV || (err == 0 && !ours(l, v.dev.ifindex, group)))
      v.dead.insert(r);
    else if (err)
      return err;
    else
      v.ifaces.push_back(IfaceView{l, {}, v.targets.count(r) > 0, false});
  }
  return 0;
}

int ports_on_kernel(Rtnl& nl, std::vector<std::string>& out, Failure& why) {
  out.clear();
  std::vector<Link> all;
  if (int err = nl.links(all)) return err;
  std::map<int, const Link*> by_index;
  for (const Link& l : all) by_index[l.ifindex] = &l;
  std::set<std::string> names;
  for (const Link& l : all) {
    if (l.kind == "macvlan" && in_our_groups(l.group)) {
      auto p = by_index.find(l.parent);
      if (!l.parent_elsewhere && p != by_index.end() && l.group == group_of(l.parent))
        names.insert(p->second->name);
      continue;
    }
    if (l.type != ARPHRD_ETHER) continue;
    std::vector<Filter> in;
    if (int err = filters_at(nl, l.ifindex, kIngress, in)) return err;
    for (const Filter& f : in) {
      if (!is_our_slot(f, kRxName)) continue;
      Classifier cls;
      int err = cls.open(f.prog_id, why);
      if (err == 0)
        names.insert(l.name);
      else if (err != ENOENT)
        return err;
    }
  }
  // What a lost classifier or a killed run left turned on.
  for (const auto& [ifindex, name] : records()) {
    auto p = by_index.find(ifindex);
    if (p != by_index.end() && recorded(*p->second)) names.insert(p->second->name);
  }
  out.assign(names.begin(), names.end());
  return 0;
}

}  // namespace brantel_sim::live
