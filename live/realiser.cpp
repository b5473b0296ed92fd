// The live realiser: each change of the module, and each sync and check,
// is worked out port by port as observe (what the kernel holds), plan (a
// pure function of that and of what the state file wants) and apply (a
// journal of steps, each with its undo).  One port's trouble is that
// port's alone.
#include <linux/if.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_set>

#include "address.h"
#include "apply.h"
#include "live.h"
#include "live_advice.h"
#include "observe.h"

namespace brantel_sim::live {
namespace {

const Port* find_port(const Model& m, const std::string& name) {
  int i = m.find_port(name);
  return i < 0 ? nullptr : &m.ports()[static_cast<std::size_t>(i)];
}

bool same(const Vlan& a, const Vlan& b) { return a.name == b.name && a.macs == b.macs; }
bool same(const Port& a, const Port& b) {
  return a.flags == b.flags && a.vlans.size() == b.vlans.size() &&
         std::equal(a.vlans.begin(), a.vlans.end(), b.vlans.begin(),
                    [](const Vlan& x, const Vlan& y) { return same(x, y); });
}

const Vlan* find_vlan(const Port& p, const std::string& name) {
  auto it =
      std::find_if(p.vlans.begin(), p.vlans.end(), [&](const Vlan& v) { return v.name == name; });
  return it == p.vlans.end() ? nullptr : &*it;
}

// The addresses of `from` that `to` lacks.  A vlan's addresses are unique
// and keep their order, and a request adds or takes one, so only what lies
// between the two lists' common start and common end can differ: the cost
// follows the change, not the length of the lists.
std::vector<Mac> missing_from(const Vlan& from, const Vlan* to) {
  if (!to) return from.macs;
  const std::vector<Mac>& f = from.macs;
  const std::vector<Mac>& t = to->macs;
  std::size_t head = 0;
  while (head < f.size() && head < t.size() && f[head] == t[head]) ++head;
  std::size_t tail = 0;
  while (tail < f.size() - head && tail < t.size() - head &&
         f[f.size() - 1 - tail] == t[t.size() - 1 - tail])
    ++tail;
  std::unordered_set<std::string> has;
  for (std::size_t i = head; i < t.size() - tail; ++i)
    has.insert(std::string(t[i].begin(), t[i].end()));
  std::vector<Mac> out;
  for (std::size_t i = head; i < f.size() - tail; ++i)
    if (!has.count(std::string(f[i].begin(), f[i].end()))) out.push_back(f[i]);
  return out;
}

// What a change from `b` to `a` touches of a port: all of it when the port
// comes, goes or changes its flag word; else only the interfaces and
// addresses that change, with `bindings` the addresses' new interfaces.
// Whether the change adds to the kernel.
bool narrow(const Port* b, const Port* a, Scope& scope, std::map<MacBytes, std::string>& bindings) {
  scope.all = !a || !b || a->flags != b->flags;
  if (scope.all) return a != nullptr;
  bool adds = false;
  for (const Vlan& v : b->vlans) {
    const Vlan* now = find_vlan(*a, v.name);
    if (now && now->macs == v.macs) continue;
    scope.ifaces.insert(v.name);
    for (const Mac& m : missing_from(v, now)) {
      scope.macs.insert(m);
      bindings.emplace(m, "");
    }
  }
  for (const Vlan& v : a->vlans) {
    const Vlan* old = find_vlan(*b, v.name);
    if (old && old->macs == v.macs) continue;
    scope.ifaces.insert(v.name);
    if (!old) scope.created.insert(v.name);
    adds = adds || !old;
    for (const Mac& m : missing_from(v, old)) {
      scope.macs.insert(m);
      bindings[m] = v.name;
      adds = true;
    }
  }
  return adds;
}

// A port being worked on: what was seen, its classifier and its journal.
struct Work {
  PortView view;
  Classifier cls;
  Plan plan;
  std::unique_ptr<Journal> journal;
  bool all = true;  // the view holds every binding of the port
};

// Once a port's changes are done or taken back: its address map sized for
// what it holds now.
void settle(Work& w) {
  if (!w.journal || !w.cls.loaded()) return;
  std::int64_t before = !w.view.maps ? 0
                        : w.all      ? static_cast<std::int64_t>(w.view.bindings.size())
                                     : w.view.cfg.bound;
  w.cls.settle(static_cast<std::uint32_t>(std::max<std::int64_t>(0, before + w.cls.added())));
}

void settle_all(std::vector<std::unique_ptr<Work>>& done) {
  for (auto& w : done) settle(*w);
}

class LiveRealiser final : public Live {
 public:
  LiveRealiser() { quiet_libbpf(); }
  int admit() override { return has_live_privileges() ? 0 : EPERM; }
  int realise(const Model& before, const Model& after) override;
  void take_back(const Model& before, const Model& after) override;
  int sync(const Model& state, const std::vector<std::string>& only,
           std::vector<std::string>& unrestored, bool whole) override;
  int check(const Model& state, std::vector<std::string>& differences) override {
    return check_ports(state, {}, differences);
  }
  int check_ports(const Model& state, const std::vector<std::string>& only,
                  std::vector<std::string>& differences) override;
  int kernel_ports(std::vector<std::string>& names) override;
  std::vector<std::string> take_repairs() override { return std::move(repairs_); }
  void undo_sync() override {
    roll_back(last_);
    settle_all(last_);
    last_.clear();
  }
  int describe(const Model& state, std::vector<LivePort>& out) override;

 private:
  PortWant want_of(const Port* p, const std::string& name, const PortView& view,
                   bool all_bindings = true);
  int prepare(Kernel& k, const std::string& name, const Scope& scope, Work& w,
              const ObserveOptions& opts = {});
  int apply(Kernel& k, Work& w);
  int every_port(Kernel& k, const Model& state, std::vector<std::string>& names);
  void roll_back(std::vector<std::unique_ptr<Work>>& done);
  int reason(int err, const std::string& port, const Failure& f);
  void say(const std::string& message);

  Rtnl nl_;
  std::string machine_id_;
  bool machine_read_ = false;
  std::set<std::string> said_;
  std::vector<std::string> repairs_;
  // The ports the last realise() or whole sync changed, with their
  // journals: take_back() and undo_sync() undo them step by step, so that
  // what the kernel held beside the state file (a binding made by hand)
  // comes back too.
  std::vector<std::unique_ptr<Work>> last_;
};

void LiveRealiser::say(const std::string& message) {
  if (!said_.insert(message).second) return;
  live_say(message);
}

// A refusal that means the kernel lacks a feature, or a limit, gets one
// line naming it; any other is the caller's to report through its errno.
int LiveRealiser::reason(int err, const std::string& port, const Failure& f) {
  bool missing = err == ENOENT || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL;
  std::string detail = f.detail.empty() ? "" : " (" + f.detail + ")";
  if (f.err == err) {
    switch (f.step) {
      case Step::qdisc:
        if (missing)
          say("the kernel has no clsact qdisc (CONFIG_NET_SCH_INGRESS): " +
              std::string(std::strerror(err)));
        break;
      case Step::filter:
        if (missing)
          say("the kernel has no BPF tc classifier (CONFIG_NET_CLS_BPF): " +
              std::string(std::strerror(err)));
        break;
      case Step::load:
        if (err == ENOSYS)
          say("the kernel has no BPF system call (CONFIG_BPF_SYSCALL)");
        else if (err != EPERM)
          say("the kernel refused the classifier program: " + std::string(std::strerror(err)) +
              detail);
        break;
      case Step::map:
        if (err == ENOSPC && f.detail == "full")
          say(port + ": the classifier holds at most " + std::to_string(BRANTEL_MAX_MACS) +
              " addresses on one port");
        break;
      case Step::bpf:
        if (err == ENOSYS) say("the kernel has no BPF system call (CONFIG_BPF_SYSCALL)");
        break;
    }
  }
  if (err == EOPNOTSUPP && f.err != err) say("the kernel has no macvlan devices (CONFIG_MACVLAN)");
  return err;
}

PortWant LiveRealiser::want_of(const Port* p, const std::string& name, const PortView& view,
                               bool all_bindings) {
  PortWant w;
  w.name = name;
  if (!p) return w;
  w.enabled = true;
  w.flags = static_cast<std::uint32_t>(p->flags);
  if (!machine_read_) {
    std::string error;
    machine_id_ = read_machine_id(error);
    machine_read_ = true;
    if (machine_id_.empty()) say(error + "; interfaces get addresses of the kernel's choice");
  }
  std::set<MacBytes> taken{view.dev.mac};
  std::map<std::string, MacBytes> has;
  for (const IfaceView& k : view.ifaces) has[k.link.name] = k.link.mac;
  for (const Vlan& v : p->vlans) {
    IfaceWant i{v.name, {}};
    // An interface that exists keeps its address; a new one gets its own.
    if (auto k = has.find(v.name); k != has.end()) i.mac = k->second;
    for (unsigned attempt = 0; i.mac == MacBytes{} && !machine_id_.empty(); ++attempt) {
      MacBytes m = stable_mac(machine_id_, v.name, attempt);
      if (!taken.count(m)) i.mac = m;
    }
    taken.insert(i.mac);
    w.ifaces.push_back(i);
    if (all_bindings)
      for (const Mac& m : v.macs) w.bindings[m] = v.name;
  }
  return w;
}

int LiveRealiser::prepare(Kernel& k, const std::string& name, const Scope& scope, Work& w,
                          const ObserveOptions& opts) {
  Failure f;
  w.cls = Classifier();
  if (int err = observe(k, name, scope, opts, w.view, w.cls, f)) return reason(err, name, f);
  return 0;
}

// The ports of the state file, then those of ours on the kernel it lacks.
int LiveRealiser::every_port(Kernel& k, const Model& state, std::vector<std::string>& names) {
  for (const Port& p : state.ports()) names.push_back(p.name);
  std::vector<std::string> kernel;
  Failure f;
  if (int err = ports_on_kernel(k, kernel, f)) return reason(err, "", f);
  for (const std::string& k : kernel)
    if (!find_port(state, k)) names.push_back(k);
  return 0;
}

int LiveRealiser::apply(Kernel& k, Work& w) {
  if (!w.plan.actions.empty()) k.changed();
  w.journal = std::make_unique<Journal>(nl_, w.cls, w.view);
  Failure f;
  const Action* failed = nullptr;
  int err = w.journal->run(w.plan, f, failed);
  if (!err) return 0;
  if (failed && failed->op == Op::create_iface && err == EEXIST)
    say(failed->name + ": the name is taken by a device that is not live mode's");
  return reason(err, w.view.name, f);
}

void LiveRealiser::roll_back(std::vector<std::unique_ptr<Work>>& done) {
  for (auto it = done.rbegin(); it != done.rend(); ++it)
    if ((*it)->journal)
      for (const std::string& line : (*it)->journal->undo()) say((*it)->view.name + ": " + line);
}

// A request changes the ports it names: each port whose configuration
// differs, and only that.  Within a port, an unchanged flag word limits the
// work to the interfaces and addresses that change.
int LiveRealiser::realise(const Model& before, const Model& after) {
  std::vector<std::string> names;
  for (const Port& b : before.ports()) {
    const Port* a = find_port(after, b.name);
    if (!a || !same(b, *a)) names.push_back(b.name);
  }
  for (const Port& a : after.ports())
    if (!find_port(before, a.name)) names.push_back(a.name);

  last_.clear();
  std::vector<std::unique_ptr<Work>> done;
  Kernel k(nl_);
  for (const std::string& name : names) {
    const Port* b = find_port(before, name);
    const Port* a = find_port(after, name);
    Scope scope;
    std::map<MacBytes, std::string> bindings;
    bool adds = narrow(b, a, scope, bindings);
    auto w = std::make_unique<Work>();
    w->all = scope.all;
    int err = prepare(k, name, scope, *w, ObserveOptions{true, false});
    if (!err && !w->view.dev.ifindex && !adds) continue;  // gone, and with it all of ours
    if (!err && !w->view.renamed.empty() && a) err = ENODEV;
    if (!err && a && b && w->view.dev.ifindex && w->view.unusable.empty() && !w->view.classifier) {
      say(name + " has lost its classifier; brantel-live sync restores it");
      err = ENODEV;
    }
    PortWant want = want_of(a, name, w->view, scope.all);
    if (!scope.all) want.bindings = std::move(bindings);
    if (!err) {
      w->plan = plan(w->view, want, scope);
      if (w->plan.err) {
        err = w->plan.err;
        if (err != ENODEV || w->view.dev.ifindex) say(name + ": " + w->plan.trouble);
      }
    } else if (err == ENODEV && !w->view.renamed.empty()) {
      say(name + ": no such network device; its interfaces are on " + w->view.renamed +
          ", renamed from it?");
    }
    if (!err) err = apply(k, *w);
    // The tool reads EEXIST from enable as "already enabled", and would
    // call this failure a success.
    if (err == EEXIST && !b) err = ENOTUNIQ;
    done.push_back(std::move(w));
    if (err) {
      roll_back(done);
      settle_all(done);
      return err;
    }
  }
  settle_all(done);
  last_ = std::move(done);
  return 0;
}

void LiveRealiser::take_back(const Model&, const Model&) {
  roll_back(last_);
  settle_all(last_);
  last_.clear();
}

int LiveRealiser::sync(const Model& state, const std::vector<std::string>& only,
                       std::vector<std::string>& unrestored, bool whole) {
  if (int err = admit()) return err;
  // The kernel is read once, and each port planned from its slice: no
  // port's changes touch another's slice, but for a device group that two
  // ports' ifindexes share, which a port's deletion of its group must see
  // as it is now.
  Kernel k(nl_);
  // Not taken: each port asks netlink on its own, and has its own trouble.
  k.take();
  std::vector<std::string> names = only;
  if (names.empty())
    if (int err = every_port(k, state, names)) return err;
  int first = 0;
  std::vector<std::unique_ptr<Work>> done;
  auto deletes_group = [](const Plan& p) {
    return std::any_of(p.actions.begin(), p.actions.end(),
                       [](const Action& a) { return a.op == Op::delete_group; });
  };
  for (const std::string& name : names) {
    const Port* p = find_port(state, name);
    done.push_back(std::make_unique<Work>());
    Work& w = *done.back();
    Scope all;
    int err = prepare(k, name, all, w);
    for (int again = 0; !err && again < 2; ++again) {
      PortWant want = want_of(p, name, w.view);
      w.plan = plan(w.view, want, all);
      if (again || !k.stale() || !deletes_group(w.plan)) break;
      if (!(err = k.take())) err = prepare(k, name, all, w);
    }
    if (!err) {
      // A port that is not there (yet) is no failure: it is restored when
      // it appears.
      if (w.plan.err == ENODEV && (!w.view.dev.ifindex || !w.view.renamed.empty())) {
        unrestored.push_back(name + ": " + w.plan.trouble + "; restored when it appears");
        continue;
      }
      if (w.plan.err) {
        unrestored.push_back(name + ": " + w.plan.trouble);
        first = first ? first : w.plan.err;
        if (whole) break;
        continue;
      }
      std::vector<std::string> found = differences(w.plan);
      err = apply(k, w);
      if (!err)
        for (std::string& d : found)
          repairs_.push_back(d.rfind(name, 0) == 0 ? d : name + ": " + d);
      if (err && !whole) {
        for (const std::string& line : w.journal->undo()) say(name + ": " + line);
      }
    }
    if (err) {
      unrestored.push_back(name + ": " + std::strerror(err));
      first = first ? first : err;
    }
    if (first && whole) break;
  }
  if (first && whole) roll_back(done);
  settle_all(done);
  last_.clear();
  if (!first && whole) last_ = std::move(done);
  return first;
}

int LiveRealiser::kernel_ports(std::vector<std::string>& names) {
  names.clear();
  Kernel k(nl_);
  Failure f;
  if (int err = ports_on_kernel(k, names, f)) return reason(err, "", f);
  return 0;
}

int LiveRealiser::check_ports(const Model& state, const std::vector<std::string>& only,
                              std::vector<std::string>& out) {
  std::vector<std::string> names = only;
  Kernel k(nl_);
  // The whole kernel at once pays for many ports, not for one.
  if (names.empty()) k.take();  // see sync
  if (names.empty())
    if (int err = every_port(k, state, names)) return err;
  for (const std::string& name : names) {
    const Port* p = find_port(state, name);
    Work w;
    Scope all;
    if (int err = prepare(k, name, all, w)) return err;
    PortWant want = want_of(p, name, w.view);
    w.plan = plan(w.view, want, all);
    if (!w.plan.trouble.empty()) out.push_back(name + ": " + w.plan.trouble);
    for (std::string& d : differences(w.plan)) out.push_back(std::move(d));
  }
  return 0;
}

int LiveRealiser::describe(const Model& state, std::vector<LivePort>& out) {
  out.clear();
  Kernel k(nl_);
  k.take();  // see sync
  for (const Port& p : state.ports()) {
    LivePort lp;
    lp.name = p.name;
    lp.flags = p.flags;
    Work w;
    Scope all;
    int err = prepare(k, p.name, all, w, ObserveOptions{false, false, true});
    if (!err && w.view.renamed.empty()) lp.ifindex = w.view.dev.ifindex;
    lp.up = (w.view.dev.flags & IFF_UP) != 0;
    lp.realised = !err && w.view.classifier && w.view.renamed.empty();
    if (err)
      lp.trouble = std::strerror(err);
    else if (!lp.ifindex)
      lp.trouble = "no such network device";
    else if (!w.view.unusable.empty())
      lp.trouble = w.view.unusable;
    else if (!lp.realised)
      lp.trouble = "not enabled on the kernel";
    std::map<std::uint32_t, IfaceStats> stats;
    std::array<std::uint64_t, BRANTEL_OUTCOMES> n{};
    if (lp.realised && w.view.maps && w.cls.targets(stats) == 0 && w.cls.counters(n) == 0) {
      lp.counted = true;
      lp.dropped = n[BRANTEL_DROPPED] + w.view.cfg.dropped_gone;
    }
    std::vector<UnboundSeen> seen;
    if (lp.realised && w.view.maps && w.cls.unbound(seen) == 0) {
      lp.unbound_known = true;
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      auto ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                static_cast<std::uint64_t>(now.tv_nsec);
      std::sort(seen.begin(), seen.end(), [](const UnboundSeen& a, const UnboundSeen& b) {
        return a.last_seen_ns > b.last_seen_ns;
      });
      for (const UnboundSeen& u : seen)
        lp.unbound.push_back(
            {u.mac, u.frames, u.bytes, u.last_seen_ns < ns ? (ns - u.last_seen_ns) / 1000000 : 0});
    }
    std::set<std::uint32_t> shown;
    for (const Vlan& v : p.vlans) {
      LiveInterface li;
      li.name = v.name;
      li.bound = v.macs;
      for (const IfaceView& k : w.view.ifaces) {
        if (k.link.name != v.name) continue;
        li.ifindex = k.link.ifindex;
        li.mac = k.link.mac;
        li.up = (k.link.flags & IFF_UP) != 0;
        auto s = stats.find(static_cast<std::uint32_t>(k.link.ifindex));
        if (s != stats.end()) {
          li.rx_frames = s->second.frames;
          li.rx_bytes = s->second.bytes;
          shown.insert(s->first);
        }
      }
      lp.interfaces.push_back(std::move(li));
    }
    // Frames handed to interfaces that are gone were dropped.
    for (const auto& [ifindex, s] : stats)
      if (!shown.count(ifindex) && w.view.dead.count(ifindex)) lp.dropped += s.frames;
    out.push_back(std::move(lp));
  }
  return 0;
}

}  // namespace
}  // namespace brantel_sim::live

extern "C" __attribute__((visibility("default"))) brantel_sim::Live* brantel_sim_live_create() {
  return new brantel_sim::live::LiveRealiser();
}
