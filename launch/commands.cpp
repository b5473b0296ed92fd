#include "commands.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <utility>

#include "brantel_sim.h"
#include "launch.h"
#include "live_advice.h"
#include "live_paths.h"
#include "live_show.h"

namespace brantel_sim {
namespace {

// The options a command takes, after its word.
enum Option : unsigned {
  kJson = 1,     // -j, --json
  kPretty = 2,   // -p, --pretty
  kIfKnown = 4,  // --if-known
  kUnbound = 8,  // --unbound
};

struct Args {
  unsigned options = 0;
  std::vector<std::string> words;  // the rest, in order
};

using Handler = int (*)(const Invocation&, const Args&);

struct Command {
  const char* word;
  const char* synopsis;  // what follows the word
  const char* help;      // for --help, lines after the first indented
  bool live_only;        // needs live mode (brantel-sim: --live)
  unsigned options;      // those it takes
  std::size_t min_words, max_words;
  Handler run;
};

int show(const Invocation&, const Args&);
int check(const Invocation&, const Args&);
int sync(const Invocation&, const Args&);
int which(const Invocation&, const Args&);
int monitor(const Invocation&, const Args&);
int reset(const Invocation&, const Args&);
int load(const Invocation&, const Args&);

constexpr std::size_t kMany = ~std::size_t{0};

// brantel-sim's and brantel-live's own words; none is a word of the tool's.
constexpr Command kCommands[] = {
    {"show", "[-j] [-p] [--unbound] [PORT|IFACE]",
     "the state file, with what the kernel has of each port and interface\n"
     "(counters, ifindex, address, up or down) as comments; -j: as JSON;\n"
     "--unbound: the addresses bound to no interface each port saw, newest first",
     false, kJson | kPretty | kUnbound, 0, 1, show},
    {"check", "[-j] [-p] [PORT]",
     "each difference between the state file and the kernel; exit 1 if\n"
     "there is any, 2 on trouble",
     true, kJson | kPretty, 0, 1, check},
    {"sync", "[--if-known] [PORT]...",
     "make the kernel match the state file, for the ports named (each port\n"
     "of the file and of the kernel if none)",
     true, kIfKnown, 0, kMany, sync},
    {"which", "[-j] [-p] MAC",
     "the interface an address is bound to, on which port, and whether the\n"
     "kernel agrees",
     false, kJson | kPretty, 1, 1, which},
    {"monitor", "",
     "print a line for each change of the configuration and each new address\n"
     "bound to no interface, as they happen, until interrupted",
     true, 0, 0, 0, monitor},
    {"reset", "", "take every device and filter of ours away, empty the state", false, 0, 0, 0,
     reset},
    {"load", "FILE|-", "check a state file (or standard input), make it real and install it", false,
     0, 1, 1, load},
};

constexpr const char* kToolWords[] = {"help", "enable", "disable", "add",      "del",
                                      "bind", "unbind", "unload",  "setflags", "info"};

const Command* find(const Invocation& inv, std::string_view word) {
  // brantel-sim keeps its words of before: any other runs as a command.
  for (const Command& c : kCommands)
    if (word == c.word && (inv.live_command || std::string_view(c.word) != "which")) return &c;
  return nullptr;
}

bool state_path(const Invocation& inv, std::string& path) {
  if (!inv.state.empty()) {
    path = inv.state;
    return true;
  }
  std::string error;
  if (inv.live) {
    const char* given = std::getenv("BRANTEL_SIM_STATE");
    path = given && *given ? given : live_default_state(error);
  } else {
    path = state_path_from_env(error);
  }
  if (path.empty()) {
    fail(inv, error);
    return false;
  }
  return true;
}

StateStore store(const Invocation& inv, const std::string& path) {
  std::string prog = inv.prog;
  return StateStore(path, [prog](const std::string& m) { std::cerr << prog << ": " << m << "\n"; });
}

// A state file that cannot be read, with the way out of it.
int unreadable(const Invocation& inv, const std::string& error) {
  if (!inv.live) return fail(inv, error);
  return fail(inv, error + "; " + inv.prog + " reset empties it, " + inv.prog +
                       " load FILE installs another");
}

bool write_out(const Invocation& inv, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return true;
  fail(inv, std::string("cannot write the output: ") + std::strerror(errno));
  return false;
}

std::string json_out(const Args& a, const std::string& compact) {
  return a.options & kPretty ? pretty_json(compact) : compact;
}

// Live mode changes the kernel only with its capabilities: say which are
// missing before the state lock says "Permission denied".
bool may_change(const Invocation& inv) {
  if (!inv.live || has_live_privileges()) return true;
  fail(inv, privileges_line());
  return false;
}

void record(const Invocation& inv, const std::string& line) {
  if (inv.live) live_record(line);
}

void record_repairs(const Invocation& inv, Live* live) {
  if (!live) return;
  for (const std::string& r : live->take_repairs()) record(inv, r + " (repaired)");
}

// `m` cut down to the port `name`, or to the port of the interface `name`
// with that interface alone; false when the state file holds neither.
bool narrow_to(Model& m, const std::string& name) {
  for (Port& p : m.ports()) {
    if (p.name == name) {
      Model one;
      one.ports().push_back(p);
      m = one;
      return true;
    }
    for (Vlan& v : p.vlans)
      if (v.name == name) {
        Port port = p;
        port.vlans = {v};
        Model one;
        one.ports().push_back(port);
        m = one;
        return true;
      }
  }
  return false;
}

// The ports of `m` in `only` (all when empty) that have no PORT#0, whose
// classifier so drops every frame bound to no interface.
std::vector<std::string> without_default(const Model& m, const std::string& only) {
  std::vector<std::string> out;
  for (const Port& p : m.ports()) {
    if (!only.empty() && p.name != only) continue;
    std::string first = p.name + "#0";
    bool has = false;
    for (const Vlan& v : p.vlans) has = has || v.name == first;
    if (!has)
      out.push_back(p.name + ": no " + first + ": frames bound to no interface are dropped; " +
                    "brantel-live add " + p.name + " 0 restores it");
  }
  return out;
}

std::string by_of(const Port& p) { return p.flags & 0x01 ? "destination" : "source"; }

std::string unbound_line(const std::string& port, const std::string& by, const LiveUnbound& u) {
  auto plural = [](std::uint64_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
  };
  return escape_state_name(port) + ": " + format_mac(u.mac.data()) + " (" + by +
         "): " + plural(u.frames, "frame") + ", " + plural(u.bytes, "byte") + ", last seen " +
         std::to_string(u.age_ms / 1000) + " s ago";
}

// The addresses bound to no interface that each port of `m` saw.
int show_unbound(const Invocation& inv, const Args& a, const Model& m) {
  if (!inv.live) return fail(inv, "show --unbound reads the kernel: it needs --live");
  std::unique_ptr<Live> live = inv.open_live();
  if (!live) return 1;
  std::vector<LivePort> ports;
  if (int err = live->describe(m, ports))
    return fail(inv, std::string("show: cannot read the kernel: ") + std::strerror(err));
  std::string text, json, unread;
  for (std::size_t i = 0; i < ports.size() && i < m.ports().size(); ++i) {
    const LivePort& p = ports[i];
    std::string by = by_of(m.ports()[i]);
    if (!p.unbound_known) {
      unread += (unread.empty() ? "" : ",") + json_string(p.name);
      std::cerr << inv.prog << ": show: " << escape_state_name(p.name) << ": "
                << (p.realised ? "no table of unbound addresses (brantel-live sync " +
                                     escape_state_name(p.name) + " makes one)"
                               : "not on the kernel; brantel-live check tells more")
                << "\n";
      continue;
    }
    for (const LiveUnbound& u : p.unbound) {
      text += unbound_line(p.name, by, u) + "\n";
      json += std::string(json.empty() ? "" : ",") + "{\"port\":" + json_string(p.name) +
              ",\"by\":\"" + by + "\",\"address\":" + json_string(format_mac(u.mac.data())) +
              ",\"frames\":" + std::to_string(u.frames) + ",\"bytes\":" + std::to_string(u.bytes) +
              ",\"last_seen_ms_ago\":" + std::to_string(u.age_ms) + "}";
    }
  }
  std::string out = a.options & kJson ? json_out(a, "{\"schema\":" + std::to_string(kShowSchema) +
                                                        ",\"unbound\":[" + json +
                                                        "],\"unreadable\":[" + unread + "]}\n")
                                      : text;
  if (!write_out(inv, out)) return 1;
  return unread.empty() ? 0 : 1;
}

int show(const Invocation& inv, const Args& a) {
  std::string path;
  if (!state_path(inv, path)) return 1;
  Model m;
  std::string error;
  if (!store(inv, path).read(m, error)) return unreadable(inv, error);
  if (!a.words.empty() && !narrow_to(m, a.words[0]))
    return fail(
        inv, "show: " + escape_state_name(a.words[0]) + ": no such port or interface in " + path);
  bool json = a.options & kJson;
  if (a.options & kUnbound) return show_unbound(inv, a, m);
  std::vector<LivePort> ports;
  if (inv.live) {
    std::unique_ptr<Live> live = inv.open_live();
    if (!live) return 1;
    if (int err = live->describe(m, ports)) {
      // The state is still worth showing, with why the kernel's part is not.
      ports = unrealised_ports(m);
      for (LivePort& p : ports)
        p.trouble = std::string("cannot read the kernel: ") + std::strerror(err);
    }
  } else if (json) {
    ports = unrealised_ports(m);
  }
  if (json) return write_out(inv, json_out(a, render_json(ports))) ? 0 : 1;
  std::string text = serialize_state(m);
  // As comments before the end line, the output still loads as a state file.
  std::string end = std::string(kStateTrailer) + "\n";
  std::size_t at =
      text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0
          ? text.size() - end.size()
          : text.size();
  text.insert(at, render_comments(ports));
  return write_out(inv, text) ? 0 : 1;
}

// Whether `port` is the state file's or has something of live mode's on
// the kernel: the ports a command may be asked about.
int known_port(const Model& m, Live& live, const std::string& port, bool& known) {
  known = m.find_port(port) >= 0;
  if (known) return 0;
  // Any name of a port's device: an alternative one, or a new one.
  std::string named;
  if (int err = live.port_named(m, port, named)) return err;
  known = m.find_port(named) >= 0;
  if (known) return 0;
  std::vector<std::string> kernel;
  if (int err = live.kernel_ports(kernel)) return err;
  for (const std::string& k : kernel) known = known || k == port;
  return 0;
}

// Like diff: 0 when the kernel matches, 1 when it differs, 2 on trouble.
int check(const Invocation& inv, const Args& a) {
  std::string path;
  if (!state_path(inv, path)) return 2;
  std::unique_ptr<Live> live = inv.open_live();
  if (!live) return 2;
  Model m;
  std::string error;
  if (!store(inv, path).read(m, error)) return unreadable(inv, error) + 1;
  std::string only = a.words.empty() ? "" : a.words[0];
  std::vector<std::string> differences;
  int err = 0;
  if (!only.empty()) {
    bool known = false;
    err = known_port(m, *live, only, known);
    if (!err && !known)
      return fail(inv, "check: " + escape_state_name(only) + ": not in " + path +
                           ", nor anything of live mode's on the kernel") +
             1;
  }
  if (!err)
    err = live->check_ports(m, only.empty() ? std::vector<std::string>{} : std::vector{only},
                            differences);
  if (err)
    return fail(inv, std::string("check: cannot read the kernel: ") + std::strerror(err)) + 1;
  for (std::string& line : without_default(m, only)) differences.push_back(std::move(line));
  if (a.options & kJson) {
    std::string out = "{\"schema\":" + std::to_string(kShowSchema) +
                      ",\"clean\":" + (differences.empty() ? "true" : "false") +
                      ",\"differences\":[";
    for (std::size_t i = 0; i < differences.size(); ++i)
      out += (i ? "," : "") + json_string(differences[i]);
    out += "]}\n";
    if (!write_out(inv, json_out(a, out))) return 2;
  } else {
    std::string out;
    for (const std::string& d : differences) out += d + "\n";
    if (!write_out(inv, out)) return 2;
  }
  return differences.empty() ? 0 : 1;
}

// One line per port that sync could not restore: the others are restored,
// and a port that does not exist yet is no failure.
void report_unrestored(const Invocation& inv, const std::vector<std::string>& unrestored) {
  for (const std::string& line : unrestored) std::cerr << inv.prog << ": sync: " << line << "\n";
}

int sync(const Invocation& inv, const Args& a) {
  for (const std::string& port : a.words)
    if (const char* why = name_problem(port))
      return usage_error(inv, "sync: bad port name \"" + escape_state_name(port) + "\": " + why);
  std::string path;
  if (!state_path(inv, path)) return 1;
  std::string error;
  if (!only_owner_writes(path, error)) return fail(inv, error);
  if (!may_change(inv)) return 1;
  std::unique_ptr<Live> live = inv.open_live();
  if (!live) return 1;
  std::vector<std::string> only;
  if (!a.words.empty()) {
    // A port neither the file nor the kernel knows is a mistyped name;
    // with --if-known (the unit udev starts for each device) it is passed
    // over.
    Model m;
    if (!store(inv, path).read(m, error)) return unreadable(inv, error);
    for (const std::string& port : a.words) {
      bool known = false;
      if (int err = known_port(m, *live, port, known))
        return fail(inv, std::string("sync: cannot read the kernel: ") + std::strerror(err));
      if (known)
        only.push_back(port);
      else if (!(a.options & kIfKnown))
        return fail(inv, "sync: " + escape_state_name(port) + ": not in " + path +
                             ", nor anything of live mode's on the kernel");
    }
    if (only.empty()) return 0;
  }
  std::vector<std::string> unrestored;
  StateStore s = store(inv, path);
  // sync changes the kernel, never the file.  Under the lock no request
  // changes it, but a file put in its place (mv) may; the kernel then
  // follows the new one.
  bool corrupt = false;
  int r = s.locked(
      [&](std::string& why) {
        for (int round = 0; round < 3; ++round) {
          Model m;
          StateStore::Stamp read;
          if (!s.read(m, why, &read)) {
            corrupt = true;
            return -1;
          }
          unrestored.clear();
          int err = live->sync(m, only, unrestored);
          if (s.stamp() == read) return err;
        }
        why = path + ": replaced again and again while sync ran; run sync once it is still";
        return -1;
      },
      error);
  report_unrestored(inv, unrestored);
  record_repairs(inv, live.get());
  if (r < 0) return corrupt ? unreadable(inv, error) : fail(inv, error);
  if (r > 0) return fail(inv, std::string("sync: the kernel refused: ") + std::strerror(r));
  return 0;
}

int which(const Invocation& inv, const Args& a) {
  Mac mac{};
  if (!parse_mac(a.words[0], mac))
    return usage_error(inv, "which: \"" + escape_state_name(a.words[0]) +
                                "\" is not an address (aa:bb:cc:dd:ee:ff)");
  std::string path;
  if (!state_path(inv, path)) return 2;
  Model m;
  std::string error;
  if (!store(inv, path).read(m, error)) return unreadable(inv, error) + 1;
  std::unique_ptr<Live> live;
  if (inv.live && !(live = inv.open_live())) return 2;
  std::string text = format_mac(mac);
  struct Found {
    std::string iface, port;
    bool by_destination;
    std::vector<std::string> differences;  // the kernel's, on this binding
  };
  std::vector<Found> found;
  for (const Port& p : m.ports())
    for (const Vlan& v : p.vlans)
      for (const Mac& b : v.macs)
        if (b == mac) found.push_back({v.name, p.name, (p.flags & 0x01) != 0, {}});
  bool agrees = true;
  for (Found& f : found) {
    if (!live) continue;
    std::vector<std::string> all;
    if (int err = live->check_ports(m, {f.port}, all))
      return fail(inv, std::string("which: cannot read the kernel: ") + std::strerror(err)) + 1;
    // What concerns the binding, the closest first: its address, its
    // interface, the port as a whole (its classifier, its flag word).
    for (const std::string& prefix : {text, f.iface + ":", f.port + ":"})
      for (std::string& d : all)
        if (!d.empty() &&
            (prefix == text ? d.find(text) != std::string::npos : d.rfind(prefix, 0) == 0))
          f.differences.push_back(std::exchange(d, std::string()));
    agrees = agrees && f.differences.empty();
  }
  std::string out;
  if (a.options & kJson) {
    out = "{\"schema\":" + std::to_string(kShowSchema) + ",\"address\":" + json_string(text) +
          ",\"bindings\":[";
    for (std::size_t i = 0; i < found.size(); ++i) {
      const Found& f = found[i];
      out += std::string(i ? "," : "") + "{\"ifname\":" + json_string(f.iface) +
             ",\"port\":" + json_string(f.port) + ",\"by\":\"" +
             (f.by_destination ? "destination" : "source") + "\",\"kernel_agrees\":" +
             (live ? (f.differences.empty() ? "true" : "false") : "null") + ",\"differences\":[";
      for (std::size_t k = 0; k < f.differences.size(); ++k)
        out += (k ? "," : "") + json_string(f.differences[k]);
      out += "]}";
    }
    out = json_out(a, out + "]}\n");
  } else if (found.empty()) {
    out = text + ": bound to no interface; on each port its frames go to PORT#0\n";
  } else {
    for (const Found& f : found) {
      out += text + ": " + f.iface + " on " + f.port +
             (f.by_destination ? " (frames to it)" : " (frames from it)");
      if (live)
        out += f.differences.empty() ? "; the kernel agrees"
                                     : "; the kernel differs: " + f.differences[0];
      out += "\n";
    }
  }
  if (!write_out(inv, out)) return 2;
  return !found.empty() && agrees ? 0 : 1;
}

using MacBytes6 = std::array<unsigned char, 6>;
volatile std::sig_atomic_t g_stop = 0;

// What turned `before` into `after`, in the words of the log.
std::vector<std::string> model_changes(const Model& before, const Model& after) {
  std::vector<std::string> out;
  auto port_in = [](const Model& m, const std::string& name) -> const Port* {
    int i = m.find_port(name);
    return i < 0 ? nullptr : &m.ports()[static_cast<std::size_t>(i)];
  };
  auto vlan_in = [](const Port* p, const std::string& name) -> const Vlan* {
    if (p)
      for (const Vlan& v : p->vlans)
        if (v.name == name) return &v;
    return nullptr;
  };
  auto has = [](const Vlan* v, const Mac& mac) {
    return v && std::find(v->macs.begin(), v->macs.end(), mac) != v->macs.end();
  };
  char hex[2][16];
  for (const Port& b : before.ports())
    if (!port_in(after, b.name)) out.push_back(escape_state_name(b.name) + ": disabled");
  for (const Port& p : after.ports()) {
    const Port* b = port_in(before, p.name);
    std::string name = escape_state_name(p.name);
    if (!b) out.push_back(name + ": enabled");
    if (b && b->flags != p.flags) {
      std::snprintf(hex[0], sizeof hex[0], "0x%x", static_cast<unsigned>(b->flags));
      std::snprintf(hex[1], sizeof hex[1], "0x%x", static_cast<unsigned>(p.flags));
      out.push_back(name + ": flag word " + hex[0] + " -> " + hex[1]);
    }
    if (b)
      for (const Vlan& v : b->vlans) {
        const Vlan* now = vlan_in(&p, v.name);
        for (const Mac& mac : v.macs)
          if (!has(now, mac))
            out.push_back(name + ": unbound " + format_mac(mac) + " from " +
                          escape_state_name(v.name));
        if (!now) out.push_back(name + ": deleted " + escape_state_name(v.name));
      }
    for (const Vlan& v : p.vlans) {
      const Vlan* old = vlan_in(b, v.name);
      if (!old && b) out.push_back(name + ": added " + escape_state_name(v.name));
      for (const Mac& mac : v.macs)
        if (!has(old, mac))
          out.push_back(name + ": bound " + format_mac(mac) + " to " + escape_state_name(v.name));
    }
  }
  return out;
}

// Like ip monitor: what changes, as it changes, until interrupted.  The
// state file and the classifiers' tables are read a few times a second.
int monitor(const Invocation& inv, const Args&) {
  std::string path;
  if (!state_path(inv, path)) return 1;
  std::unique_ptr<Live> live = inv.open_live();
  if (!live) return 1;
  struct sigaction stop {};
  stop.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  std::optional<Model> before;
  std::set<std::pair<std::string, MacBytes6>> seen;
  bool first = true;
  std::string error;
  while (!g_stop) {
    Model m;
    std::string out;
    if (store(inv, path).read(m, error)) {
      if (before)
        for (const std::string& line : model_changes(*before, m)) out += line + "\n";
      before = m;
    } else if (before) {
      m = *before;
    }
    std::vector<LivePort> ports;
    std::set<std::pair<std::string, MacBytes6>> now;
    if (live->describe(m, ports) == 0)
      for (std::size_t i = 0; i < ports.size() && i < m.ports().size(); ++i)
        for (const LiveUnbound& u : ports[i].unbound) {
          now.insert({ports[i].name, u.mac});
          if (!first && !seen.count({ports[i].name, u.mac}))
            out += unbound_line(ports[i].name, by_of(m.ports()[i]), u) + ", new\n";
        }
    seen = std::move(now);
    first = false;
    if (!out.empty() && !write_out(inv, out)) return 1;
    timespec pause{0, 250 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return 0;
}

// Installs `m`; in live mode the kernel is first made to match it, under
// the state lock, whatever the old file held (reset also mends a corrupt one).
int install(const Invocation& inv, const Model& m, const std::string& what) {
  std::string path;
  if (!state_path(inv, path)) return 1;
  if (!inv.live && geteuid() == 0) note_simulated_only();
  std::string error;
  if (inv.live && !only_owner_writes(path, error)) return fail(inv, error);
  if (!may_change(inv)) return 1;
  std::unique_ptr<Live> live;
  if (inv.live && !(live = inv.open_live())) return 1;
  std::vector<std::string> unrestored;
  auto realise = [&](std::string& why) {
    int err = live ? live->sync(m, {}, unrestored, true) : 0;
    if (err)
      why = std::string("the kernel refused: ") + std::strerror(err) + " (file left as it was)";
    return err == 0;
  };
  // A file that cannot record the new state leaves the kernel as it was.
  auto undo = [&] {
    if (live) live->undo_sync();
  };
  bool ok = store(inv, path).replace(m, error, realise, undo);
  report_unrestored(inv, unrestored);
  if (!ok) return fail(inv, error);
  record(inv, what);
  return 0;
}

int reset(const Invocation& inv, const Args&) {
  return install(inv, Model{}, "reset: every port of live mode's taken away");
}

int load(const Invocation& inv, const Args& a) {
  const std::string& source = a.words[0];
  std::string text;
  if (source == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) return fail(inv, "standard input: cannot read");
  } else {
    FILE* f = std::fopen(source.c_str(), "rb");
    if (!f) return fail(inv, source + ": " + std::strerror(errno));
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) return fail(inv, source + ": cannot read");
  }
  Model m;
  std::string error;
  if (!parse_state(text, m, error))
    return fail(inv, (source == "-" ? std::string("standard input") : source) + ": " + error +
                         " (nothing installed)");
  std::string ports;
  for (const Port& p : m.ports()) ports += " " + p.name;
  return install(inv, m,
                 "load: " + (source == "-" ? std::string("standard input") : absolute(source)) +
                     ", ports:" + (ports.empty() ? std::string(" none") : ports));
}

// The words after the command's own, its options taken out.
bool parse_args(const Invocation& inv, const Command& c, const std::vector<std::string>& in,
                Args& out, int& status) {
  bool options = true;
  for (std::size_t i = 1; i < in.size(); ++i) {
    const std::string& w = in[i];
    unsigned o = 0;
    if (options && w == "--") {
      options = false;
      continue;
    }
    if (options && w.size() > 1 && w[0] == '-') {
      if (w == "-j" || w == "--json") o = kJson;
      if (w == "-p" || w == "--pretty") o = kPretty;
      if (w == "--if-known") o = kIfKnown;
      if (w == "--unbound") o = kUnbound;
      if (!(o & c.options)) {
        status = usage_error(
            inv, std::string(c.word) + ": unknown option \"" + escape_state_name(w) + "\"");
        return false;
      }
      out.options |= o;
      continue;
    }
    out.words.push_back(w);
  }
  if (out.words.size() < c.min_words || out.words.size() > c.max_words) {
    status = usage_error(inv, std::string("usage: ") + inv.prog + " " + c.word +
                                  (*c.synopsis ? " " : "") + c.synopsis);
    return false;
  }
  if ((out.options & kPretty) && !(out.options & kJson)) {
    status = usage_error(inv, std::string(c.word) + ": -p/--pretty goes with -j/--json");
    return false;
  }
  return true;
}

}  // namespace

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> buf(4096);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return path;
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data()) + "/" + path;
}

int usage_error(const Invocation& inv, const std::string& message) {
  std::cerr << inv.prog << ": " << message << "\nTry '" << inv.prog
            << " --help' for more information.\n";
  return 2;
}

int fail(const Invocation& inv, const std::string& message) {
  std::cerr << inv.prog << ": " << message << "\n";
  return 1;
}

bool is_tool_word(std::string_view word) {
  for (const char* w : kToolWords)
    if (word == w) return true;
  return false;
}

bool is_own_command(const Invocation& inv, std::string_view word) {
  return find(inv, word) != nullptr;
}

int run_own_command(const Invocation& inv, const std::vector<std::string>& args) {
  const Command* c = find(inv, args.at(0));
  if (!c) return usage_error(inv, "\"" + args[0] + "\" is unknown");
  if (c->live_only && !inv.live) return usage_error(inv, std::string(c->word) + " needs --live");
  Args a;
  int status = 2;
  if (!parse_args(inv, *c, args, a, status)) return status;
  return c->run(inv, a);
}

std::string usage(const Invocation& inv) {
  if (!inv.live_command)
    return "Usage: brantel-sim [OPTIONS] [--] COMMAND [ARG]...\n"
           "       brantel-sim [--state FILE] show [-j] [-p] [PORT|IFACE]\n"
           "       brantel-sim [--state FILE] reset\n"
           "       brantel-sim [--state FILE] load FILE|-\n"
           "       brantel-sim --live [--state FILE] sync [PORT]...|check [PORT]\n"
           "       brantel-sim --help | --version\n"
           "\n"
           "Run COMMAND with the brantel kernel module simulated, or look after the\n"
           "simulated module's state.  With --live, each change is also made real\n"
           "on the running kernel (brantel-live does the same).\n"
           "\n"
           "  show [-j]      print the state, in the state file format (-j, --json: as\n"
           "                 one JSON document; -p, --pretty: over lines)\n"
           "  reset          empty the module\n"
           "  load FILE|-    check a state file (or standard input) and install it\n"
           "  sync [PORT]... make the kernel match the state file, for the ports\n"
           "                 named or all (live mode)\n"
           "  check [PORT]   list each difference between the state file and the\n"
           "                 kernel; exit 1 if there is any (live mode)\n"
           "\n"
           "Options:\n"
           "  --live         live mode: real interfaces and frame delivery\n"
           "  --state FILE   state file (default: $BRANTEL_SIM_STATE, else\n"
           "                 $XDG_STATE_HOME/brantel-sim/state, else\n"
           "                 ~/.local/state/brantel-sim/state; with --live,\n"
           "                 $BRANTEL_SIM_STATE, else /var/lib/brantel-sim/state)\n"
           "  --fault RULE   inject a fault, TARGET[@N]=ACTION; repeatable\n"
           "                 (e.g. BRANTEL_DEL=EPERM, *@5=EIO, GET_NUM_PORTS=num=-1)\n"
           "  --trace FILE   append one line per request to FILE\n"
           "  --             what follows is the command, even if named like an action\n"
           "  --help         show this help\n"
           "  --version      show the version\n";
  std::string out =
      "Usage: brantel-live [OPTIONS] SUBCOMMAND [ARG]...\n"
      "       brantel-live [OPTIONS] COMMAND [ARG]...\n"
      "       brantel-live [OPTIONS] [--] brantel_config SUBCOMMAND [ARG]...\n"
      "       brantel-live --help | --version\n"
      "\n"
      "Configure MAC-based VLANs on the running kernel: the changes brantel_config\n"
      "makes become network devices and frame delivery, with the kernel's own\n"
      "features, and are kept in a state file.\n"
      "\n"
      "Subcommands of brantel_config, run by it; each change is made real and\n"
      "recorded in the system log (brantel-live help SUBCOMMAND tells more):\n"
      "  enable PORT | disable PORT | add PORT N | del PORT#N | setflags PORT FLAGS\n"
      "  bind PORT#N MAC | unbind PORT#N MAC | info | unload | help [SUBCOMMAND]\n"
      "\n"
      "Commands:\n";
  for (const Command& c : kCommands) {
    std::string head = std::string("  ") + c.word + (*c.synopsis ? " " : "") + c.synopsis;
    std::string help = c.help;
    std::string indented;
    for (char ch : help) indented += ch == '\n' ? std::string("\n      ") : std::string(1, ch);
    out += head + "\n      " + indented + "\n";
  }
  out +=
      "\n"
      "Options:\n"
      "  --state FILE   state file (default: $BRANTEL_SIM_STATE, else\n"
      "                 /var/lib/brantel-sim/state; in a network namespace that\n"
      "                 ip netns names NAME, /var/lib/brantel-sim/netns/NAME/state)\n"
      "  --fault RULE   inject a fault, TARGET[@N]=ACTION; repeatable\n"
      "  --trace FILE   append one line per request to FILE\n"
      "  --             what follows is the command, even if named like a command\n"
      "  --help         show this help\n"
      "  --version      show the version\n";
  return out;
}

}  // namespace brantel_sim
