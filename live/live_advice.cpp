#include "live_advice.h"

#include <linux/capability.h>
#include <linux/if_brantel.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

namespace brantel_sim {
namespace {

std::string hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", v);
  return buf;
}

const Port* port_named(const Model& m, std::string_view name) {
  int p = m.find_port(name);
  return p < 0 ? nullptr : &m.ports()[static_cast<std::size_t>(p)];
}

// The port an interface belongs to, by the model or else by its name.
std::string port_of(const Model& m, const std::string& iface) {
  auto [p, v] = m.find_vlan(iface);
  if (p >= 0) return m.ports()[static_cast<std::size_t>(p)].name;
  std::size_t hash = iface.rfind('#');
  return hash == std::string::npos ? std::string() : iface.substr(0, hash);
}

// The interface of `port` that holds `mac`, or empty.
std::string holder(const Model& m, const std::string& port, const Mac& mac) {
  if (const Port* p = port_named(m, port))
    for (const Vlan& v : p->vlans)
      for (const Mac& b : v.macs)
        if (b == mac) return v.name;
  return {};
}

}  // namespace

std::string live_prog() {
  const char* live = std::getenv("BRANTEL_SIM_LIVE");
  return live && std::string_view(live) == "brantel-live" ? "brantel-live" : "brantel-sim";
}

void live_say(const std::string& line) {
  std::string text = live_prog() + ": " + line + "\n";
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

std::string missing_capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return {};
  auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1u; };
  std::string out;
  if (!has(CAP_NET_ADMIN)) out = "CAP_NET_ADMIN";
  if (!has(CAP_SYS_ADMIN)) out += std::string(out.empty() ? "" : " and ") + "CAP_SYS_ADMIN";
  return out;
}

std::string privileges_line() {
  std::string missing = missing_capabilities();
  return "changing live mode needs CAP_NET_ADMIN and CAP_SYS_ADMIN; this process lacks " +
         (missing.empty() ? std::string("one of them") : missing) + ": run it as root";
}

int live_vet(const Request& req, const Model&) {
  const std::string& name = req.ifname.bytes;
  if (req.code == BRANTEL_ADD && req.ifidx > kLiveMaxIndex) {
    live_say(name + "#" + std::to_string(req.ifidx) + ": live mode numbers interfaces 0 to " +
             std::to_string(kLiveMaxIndex) + " (a number too large reaches it as 2147483647)");
    return EINVAL;
  }
  auto flags = static_cast<std::uint32_t>(req.ifidx);
  if (req.code == SET_PORT_FLAGS && (flags & ~kLiveFlagBits)) {
    live_say(name + ": flag bits " + hex(flags & ~kLiveFlagBits) +
             " mean nothing; live mode knows 0x1 (bind by destination address)");
    return EINVAL;
  }
  return 0;
}

void live_explain(const Request& req, int err, const Model& m) {
  const std::string& name = req.ifname.bytes;
  if (req.ifname.null || req.ifname.bad || (req.ifname.unterminated && err == EINVAL)) return;
  if (err == EINVAL) {
    if (const char* why = name_problem(name)) {
      live_say("\"" + name + "\": not a device name: " + why);
    } else if (req.code == BRANTEL_ENABLE) {
      live_say(name + ": too long for a port: " + name +
               "#N must fit a device name's 15 characters, so a port's name has at most 13");
    } else if (req.code == BRANTEL_ADD && req.ifidx < 0) {
      live_say(name + ": interface numbers are 0 to " + std::to_string(kLiveMaxIndex));
    } else if (req.code == BRANTEL_ADD) {
      live_say(name + "#" + std::to_string(req.ifidx) +
               ": longer than a device name's 15 characters; use a smaller number");
    }
    return;
  }
  std::string port = port_of(m, name);
  std::string mac = req.mac ? format_mac(*req.mac) : "";
  switch (req.code) {
    case BRANTEL_ADD:
    case SET_PORT_FLAGS:
      if (err == ENODEV)
        live_say(name + " is not enabled: run brantel-live enable " + name + " first");
      if (err == EEXIST) live_say(name + "#" + std::to_string(req.ifidx) + " exists already");
      break;
    case BRANTEL_DISABLE:
      if (err == ENODEV) live_say(name + " is not enabled (brantel-live info lists the ports)");
      break;
    case BRANTEL_DEL:
    case BRANTEL_BIND:
    case BRANTEL_UNBIND:
      if (err == ENODEV) {
        std::string number = name.substr(port.size() + (port.empty() ? 0 : 1));
        if (port.empty() || !port_named(m, port))
          live_say(name + ": no such interface" +
                   (port.empty() ? std::string(" (brantel-live info lists them)")
                                 : "; " + port + " is not enabled"));
        else if (req.code != BRANTEL_DEL && !number.empty() &&
                 number.find_first_not_of("0123456789") == std::string::npos)
          live_say(name + ": no such interface: run brantel-live add " + port + " " + number +
                   " first");
        else
          live_say(name + ": no such interface on " + port + " (brantel-live info lists them)");
      } else if (err == EEXIST && req.mac) {
        std::string held = holder(m, port, *req.mac);
        if (held == name)
          live_say(mac + " is bound to " + name + " already");
        else if (!held.empty())
          live_say(mac + " is bound to " + held + " already: run brantel-live unbind " + held +
                   " " + mac + " first");
      } else if (err == ENOENT && req.mac) {
        std::string held = holder(m, port, *req.mac);
        live_say(mac + " is not bound to " + name +
                 (held.empty() ? std::string() : " but to " + held));
      }
      break;
    default: break;
  }
}

std::string change_record(const Request& req, const Model& before) {
  const std::string& name = req.ifname.bytes;
  std::string port = port_of(before, name);
  std::string mac = req.mac ? format_mac(*req.mac) : "";
  switch (req.code) {
    case BRANTEL_ENABLE: return name + ": enabled, with " + name + "#0";
    case BRANTEL_DISABLE: return name + ": disabled";
    case BRANTEL_ADD: return name + ": added " + name + "#" + std::to_string(req.ifidx);
    case BRANTEL_DEL: return port + ": deleted " + name;
    case BRANTEL_BIND: return port + ": bound " + mac + " to " + name;
    case BRANTEL_UNBIND: return port + ": unbound " + mac + " from " + name;
    case SET_PORT_FLAGS: {
      const Port* p = port_named(before, name);
      return name + ": flag word " + hex(static_cast<std::uint32_t>(p ? p->flags : 0)) + " -> " +
             hex(static_cast<std::uint32_t>(req.ifidx));
    }
    default: return {};
  }
}

namespace {

// Ports left without PORT#0 by this run.  Said when the run ends, and only
// of those still so then: unload deletes every PORT#0 on its way to
// disabling the port, which leaves nothing to warn of.
std::set<std::string>* g_without_default = nullptr;

void say_without_default() {
  for (const std::string& port : *g_without_default)
    live_say("note: " + port + " has no " + port + "#0 now: frames of addresses bound to no " +
             "interface are dropped until brantel-live add " + port + " 0");
}

}  // namespace

void live_after(const Request& req, const Model& before) {
  const std::string& name = req.ifname.bytes;
  std::string port = port_of(before, name);
  if (!g_without_default) {
    // Never destroyed: the exit handler reads it after static destructors may have run.
    g_without_default = new std::set<std::string>;
    std::atexit(say_without_default);
  }
  if (req.code == BRANTEL_DEL && name == port + "#0") g_without_default->insert(port);
  if (req.code == BRANTEL_DISABLE) g_without_default->erase(name);
  if (req.code == BRANTEL_ADD && req.ifidx == 0) g_without_default->erase(name);
}

void live_record(const std::string& line) {
  if (line.empty()) return;
  std::string ident = live_prog();
  openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
  syslog(LOG_NOTICE, "%s", line.c_str());
  closelog();
}

}  // namespace brantel_sim
