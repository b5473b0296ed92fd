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

int classifier_of(Kernel& k, PortView& v, Classifier& cls, const ObserveOptions& opts,
                  Failure& why) {
  std::vector<Filter> in, out;
  if (int err = k.filters(v.dev.ifindex, kIngress, in)) return err;
  if (int err = k.filters(v.dev.ifindex, kEgress, out)) return err;
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
  return k.has_clsact(v.dev.ifindex, v.clsact);
}

}  // namespace

int holders(Kernel& k, const std::string& port, std::vector<Link>& out) {
  out.clear();
  const std::vector<Link>* all = nullptr;
  if (int err = k.links(all)) return err;
  std::string prefix = port + "#";
  std::set<int> seen;
  for (const Link& l : *all) {
    if (l.kind != "macvlan" || l.name.rfind(prefix, 0) != 0 || !in_our_groups(l.group) ||
        l.parent_elsewhere || l.group != group_of(l.parent) || !seen.insert(l.parent).second)
      continue;
    Link host;
    if (k.link(l.parent, host) == 0) out.push_back(host);
  }
  return 0;
}

namespace {

// Our interfaces named PORT#..., on whatever device they are now.
int find_renamed(Kernel& k, PortView& v) {
  std::vector<Link> found;
  if (int err = holders(k, v.name, found)) return err;
  if (found.empty()) return 0;
  v.dev = found.front();
  v.renamed = found.front().name;
  return 0;
}

}  // namespace

int Kernel::take() {
  taken_ = changed_ = false;
  links_.clear();
  by_index_.clear();
  by_name_.clear();
  by_parent_.clear();
  by_group_.clear();
  clsact_.clear();
  filters_.clear();
  std::vector<Qdisc> qdiscs;
  if (int err = nl_.links(links_)) return err;
  if (int err = nl_.qdiscs(0, qdiscs)) return err;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    const Link& l = links_[i];
    by_index_[l.ifindex] = i;
    by_name_[l.name] = i;
    if (l.parent && !l.parent_elsewhere) by_parent_.emplace(l.parent, i);
    by_group_.emplace(l.group, i);
  }
  for (const Qdisc& q : qdiscs)
    if (q.kind == "clsact") clsact_.insert(q.ifindex);
  taken_ = true;
  return 0;
}

int Kernel::link(const std::string& name, Link& out) {
  if (!taken_) return nl_.get_link(name, out);
  auto it = by_name_.find(name);
  // The dump holds each device's name, not its alternative names, which
  // the kernel resolves on a question of its own.
  if (it == by_name_.end()) return nl_.get_link(name, out);
  out = links_[it->second];
  return 0;
}

int Kernel::link(int ifindex, Link& out) {
  if (!taken_) return nl_.get_link(ifindex, out);
  auto it = by_index_.find(ifindex);
  if (it == by_index_.end()) return ENODEV;
  out = links_[it->second];
  return 0;
}

int Kernel::links(const std::vector<Link>*& out) {
  if (!taken_)
    if (int err = take()) return err;
  out = &links_;
  return 0;
}

int Kernel::children(int parent, std::vector<const Link*>& out) {
  out.clear();
  if (!taken_)
    if (int err = take()) return err;
  auto [from, to] = by_parent_.equal_range(parent);
  for (auto it = from; it != to; ++it) out.push_back(&links_[it->second]);
  return 0;
}

int Kernel::group(std::uint32_t group, std::vector<const Link*>& out) {
  out.clear();
  if (!taken_)
    if (int err = take()) return err;
  auto [from, to] = by_group_.equal_range(group);
  for (auto it = from; it != to; ++it) out.push_back(&links_[it->second]);
  return 0;
}

int Kernel::named(const std::string& prefix, std::vector<const Link*>& out) {
  out.clear();
  if (!taken_)
    if (int err = take()) return err;
  for (auto it = by_name_.lower_bound(prefix);
       it != by_name_.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
    out.push_back(&links_[it->second]);
  return 0;
}

int Kernel::has_clsact(int ifindex, bool& out) {
  if (taken_) {
    out = clsact_.count(ifindex) > 0;
    return 0;
  }
  std::vector<Qdisc> qdiscs;
  if (int err = nl_.qdiscs(ifindex, qdiscs)) return err;
  out = std::any_of(qdiscs.begin(), qdiscs.end(),
                    [&](const Qdisc& q) { return q.kind == "clsact" && q.ifindex == ifindex; });
  return 0;
}

int Kernel::filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out) {
  out.clear();
  if (taken_) {
    // A device without a clsact qdisc has no filters to list.
    if (!clsact_.count(ifindex)) return 0;
    auto it = filters_.find({ifindex, parent});
    if (it != filters_.end()) {
      out = it->second;
      return 0;
    }
  }
  int err = nl_.filters(ifindex, parent, out);
  if (err == EINVAL || err == ENOENT) {
    out.clear();
    err = 0;
  }
  if (!err && taken_) filters_[{ifindex, parent}] = out;
  return err;
}

int observe(Kernel& k, const std::string& name, const Scope& scope, const ObserveOptions& opts,
            PortView& v, Classifier& cls, Failure& why) {
  v = PortView{};
  v.name = name;
  int err = k.link(name, v.dev);
  if (err == ENODEV) {
    v.dev = Link{};
    if ((err = find_renamed(k, v)) || !v.dev.ifindex) return err;
  } else if (err) {
    return err;
  }
  v.unusable = unusable(v.dev);
  if (!v.unusable.empty()) return 0;
  v.recorded = recorded(v.dev);
  if ((err = classifier_of(k, v, cls, opts, why))) return err;

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

  v.group = group;
  // An interface of ours out of the port's group is ours still: one made
  // before the port came back from another namespace under a new number
  // (its group is of the old one), or one the classifier leads to that was
  // taken out of the group by hand.  A macvlan's lower device never
  // changes, so either proves it was made on this port.
  std::set<std::uint32_t> made;
  if (v.maps) {
    made = v.targets;
    for (const auto& o : v.own) made.insert(o.second);
    if (v.cfg.default_ifindex) made.insert(v.cfg.default_ifindex);
  }
  const std::string prefix = v.name + "#";
  auto strayed = [&](const Link& l) {
    return l.kind == "macvlan" && l.parent == v.dev.ifindex && !l.parent_elsewhere &&
           l.name.rfind(prefix, 0) == 0 &&
           (in_our_groups(l.group) || made.count(static_cast<std::uint32_t>(l.ifindex)));
  };
  auto of_port = [&](const Link& l) { return ours(l, v.dev.ifindex, group) || strayed(l); };
  if (scope.all) {
    // The port's slice of the kernel: the devices on it, those in its
    // group, and those named after it.
    std::vector<const Link*> on, in, named;
    if ((err = k.children(v.dev.ifindex, on)) || (err = k.group(group, in)) ||
        (err = k.named(prefix, named)))
      return err;
    for (const Link* l : on)
      if (of_port(*l)) v.ifaces.push_back(IfaceView{*l, {}, false, false});
    v.group_shared = std::any_of(in.begin(), in.end(),
                                 [&](const Link* l) { return !ours(*l, v.dev.ifindex, group); });
    for (const Link* l : named)
      if (!of_port(*l)) v.namesakes[l->name] = *l;
  } else {
    for (const std::string& n : scope.ifaces) {
      Link l;
      err = k.link(n, l);
      if (err == ENODEV) continue;
      if (err) return err;
      if (of_port(l)) v.ifaces.push_back(IfaceView{l, {}, false, false});
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
      if ((err = k.filters(i.link.ifindex, kIngress, in))) return err;
      i.accept = std::any_of(in.begin(), in.end(), [](const Filter& f) {
        return is_our_slot(f, kAcceptName) && f.priority == kFilterPriority;
      });
      if (in.empty()) {
        std::vector<Filter> out;
        bool clsact = false;
        if ((err = k.filters(i.link.ifindex, kEgress, out)) ||
            (err = k.has_clsact(i.link.ifindex, clsact)))
          return err;
        i.bare_qdisc = out.empty() && clsact;
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
  for (std::uint32_t r : refs) {
    if (live.count(r)) continue;
    if (scope.all) {
      v.dead.insert(r);
      Link l;
      if (k.link(static_cast<int>(r), l) == 0) v.strangers[r] = l.name;
      continue;
    }
    Link l;
    err = k.link(static_cast<int>(r), l);
    if (err == 0 && !of_port(l)) v.strangers[r] = l.name;
    if (err == ENODEV || (err == 0 && !of_port(l)))
      v.dead.insert(r);
    else if (err)
      return err;
    else
      v.ifaces.push_back(IfaceView{l, {}, v.targets.count(r) > 0, false});
  }
  return 0;
}

int ports_on_kernel(Kernel& k, std::vector<std::string>& out, Failure& why) {
  out.clear();
  const std::vector<Link>* all = nullptr;
  if (int err = k.links(all)) return err;
  std::set<std::string> names;
  for (const Link& l : *all) {
    if (l.kind == "macvlan" && in_our_groups(l.group)) {
      // Named after its port, it is ours whatever number the port had then.
      Link p;
      if (!l.parent_elsewhere && k.link(l.parent, p) == 0 &&
          (l.group == group_of(l.parent) || l.name.rfind(p.name + "#", 0) == 0))
        names.insert(p.name);
      continue;
    }
    if (l.type != ARPHRD_ETHER) continue;
    std::vector<Filter> in;
    if (int err = k.filters(l.ifindex, kIngress, in)) return err;
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
  // A port that came back from another namespace may have a new number:
  // its record is found by its name too.
  for (const auto& [ifindex, name] : records()) {
    Link p;
    if ((k.link(ifindex, p) == 0 && recorded(p)) || (k.link(name, p) == 0 && recorded(p)))
      names.insert(p.name);
  }
  out.assign(names.begin(), names.end());
  return 0;
}

}  // namespace brantel_sim::live
