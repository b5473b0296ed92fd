#include "model.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "codes.h"

namespace brantel_sim {
namespace {

void copy_name(std::array<char, kNameSize>& out, std::string_view name) {
  out.fill('\0');
  std::memcpy(out.data(), name.data(), std::min(name.size(), kMaxNameLen));
}

// EFAULT, EINVAL or 0 for a name argument.
int check_name(const NameArg& n) {
  if (n.null || n.bad) return EFAULT;
  if (n.unterminated || name_problem(n.bytes)) return EINVAL;
  return 0;
}

bool in_range(std::int32_t idx, std::size_t size) {
  return idx >= 0 && static_cast<std::size_t>(idx) < size;
}

}  // namespace

const char* name_problem(std::string_view name) {
  if (name.empty()) return "empty";
  if (name.size() > kMaxNameLen) return "longer than 15 bytes";
  if (name == "." || name == "..") return "is \".\" or \"..\"";
  for (char c : name) {
    if (c == '\0') return "contains a NUL byte";
    if (c == '/') return "contains '/'";
    if (c == ':') return "contains ':'";
    if (c == ' ' || (c >= '\t' && c <= '\r')) return "contains white space";
  }
  return nullptr;
}

int Model::find_port(std::string_view name) const {
  for (std::size_t i = 0; i < ports_.size(); ++i)
    if (ports_[i].name == name) return static_cast<int>(i);
  return -1;
}

std::pair<int, int> Model::find_vlan(std::string_view name) const {
  for (std::size_t p = 0; p < ports_.size(); ++p) {
    const auto& vlans = ports_[p].vlans;
    for (std::size_t v = 0; v < vlans.size(); ++v)
      if (vlans[v].name == name) return {static_cast<int>(p), static_cast<int>(v)};
  }
  return {-1, -1};
}

std::size_t Model::mac_count() const {
  std::size_t n = 0;
  for (const Port& p : ports_)
    for (const Vlan& v : p.vlans) n += v.macs.size();
  return n;
}

// Each rule checks its own arguments: what is an error differs by request
// (GET_PORT_FLAGS, say, carries a name the module does not look at).

int Model::enable(const Request& req, Reply&) {
  if (int e = check_name(req.ifname)) return e;
  const std::string& port = req.ifname.bytes;
  if (find_port(port) >= 0) return EEXIST;
  std::string first = port + "#0";
  if (first.size() > kMaxNameLen) return EINVAL;
  // A stale "port#0" can only come from a hand-written state file, but two
  // interfaces of one name would make DEL ambiguous.
  if (find_vlan(first).first >= 0) return EEXIST;
  ports_.push_back(Port{port, 0, {Vlan{std::move(first), {}}}});
  return 0;
}

int Model::disable(const Request& req, Reply&) {
  if (int e = check_name(req.ifname)) return e;
  int p = find_port(req.ifname.bytes);
  if (p < 0) return ENODEV;
  ports_.erase(ports_.begin() + p);
  return 0;
}

int Model::add(const Request& req, Reply&) {
  if (int e = check_name(req.ifname)) return e;
  int p = find_port(req.ifname.bytes);
  if (p < 0) return ENODEV;
  if (req.ifidx < 0) return EINVAL;
  std::string full = req.ifname.bytes + "#" + std::to_string(req.ifidx);
  if (full.size() > kMaxNameLen) return EINVAL;
  if (find_vlan(full).first >= 0) return EEXIST;
  ports_[static_cast<std::size_t>(p)].vlans.push_back(Vlan{std::move(full), {}});
  return 0;
}

int Model::del(const Request& req, Reply&) {
  if (int e = check_name(req.ifname)) return e;
  auto [p, v] = find_vlan(req.ifname.bytes);
  if (p < 0) return ENODEV;
  auto& vlans = ports_[static_cast<std::size_t>(p)].vlans;
  vlans.erase(vlans.begin() + v);
  return 0;
}

// The interface a bind or unbind names, or an errno value.
int Model::binding_target(const Request& req, Vlan*& vlan, Port*& port) {
  if (int e = check_name(req.ifname)) return e;
  auto [p, v] = find_vlan(req.ifname.bytes);
  if (p < 0) return ENODEV;
  if (!req.mac) return EFAULT;  // NULL or unreadable
  port = &ports_[static_cast<std::size_t>(p)];
  vlan = &port->vlans[static_cast<std::size_t>(v)];
  return 0;
}

int Model::bind(const Request& req, Reply&) {
  Vlan* vlan;
  Port* port;
  if (int e = binding_target(req, vlan, port)) return e;
  for (const Vlan& vl : port->vlans)
    if (std::find(vl.macs.begin(), vl.macs.end(), *req.mac) != vl.macs.end()) return EEXIST;
  vlan->macs.push_back(*req.mac);
  return 0;
}

int Model::unbind(const Request& req, Reply&) {
  Vlan* vlan;
  Port* port;
  if (int e = binding_target(req, vlan, port)) return e;
  auto it = std::find(vlan->macs.begin(), vlan->macs.end(), *req.mac);
  if (it == vlan->macs.end()) return ENOENT;
  vlan->macs.erase(it);
  return 0;
}

int Model::set_flags(const Request& req, Reply&) {
  if (int e = check_name(req.ifname)) return e;
  int p = find_port(req.ifname.bytes);
  if (p < 0) return ENODEV;
  ports_[static_cast<std::size_t>(p)].flags = req.ifidx;  // the flag word travels in ifidx
  return 0;
}

const Port* Model::port_at(std::int32_t idx) const {
  return in_range(idx, ports_.size()) ? &ports_[static_cast<std::size_t>(idx)] : nullptr;
}

const Vlan* Model::vlan_at(std::int32_t portidx, std::int32_t ifidx) const {
  const Port* p = port_at(portidx);
  if (!p || !in_range(ifidx, p->vlans.size())) return nullptr;
  return &p->vlans[static_cast<std::size_t>(ifidx)];
}

int Model::num_ports(const Request&, Reply& reply) {
  reply.num = static_cast<std::int32_t>(ports_.size());
  return 0;
}

int Model::port_name(const Request& req, Reply& reply) {
  const Port* p = port_at(req.portidx);
  if (!p) return EINVAL;
  copy_name(reply.name, p->name);
  return 0;
}

int Model::num_vlans(const Request& req, Reply& reply) {
  const Port* p = port_at(req.portidx);
  if (!p) return EINVAL;
  reply.num = static_cast<std::int32_t>(p->vlans.size());
  return 0;
}

int Model::port_flags(const Request& req, Reply& reply) {
  const Port* p = port_at(req.portidx);
  if (!p) return EINVAL;
  reply.num = p->flags;
  return 0;
}

int Model::vlan_name(const Request& req, Reply& reply) {
  const Vlan* v = vlan_at(req.portidx, req.ifidx);
  if (!v) return EINVAL;
  copy_name(reply.name, v->name);
  return 0;
}

int Model::num_macs(const Request& req, Reply& reply) {
  const Vlan* v = vlan_at(req.portidx, req.ifidx);
  if (!v) return EINVAL;
  reply.num = static_cast<std::int32_t>(v->macs.size());
  return 0;
}

int Model::mac_name(const Request& req, Reply& reply) {
  const Vlan* v = vlan_at(req.portidx, req.ifidx);
  if (!v || !in_range(req.macaddridx, v->macs.size())) return EINVAL;
  reply.name.fill('\0');
  const Mac& m = v->macs[static_cast<std::size_t>(req.macaddridx)];
  std::memcpy(reply.name.data(), m.data(), m.size());
  return 0;
}

// The rule of each request code, indexed like kRequests.
constexpr std::array<Model::Rule, kRequests.size()> Model::rules() {
  return {
      nullptr,           &Model::enable,   &Model::disable,   &Model::add,       &Model::del,
      &Model::bind,      &Model::unbind,   &Model::num_ports, &Model::port_name, &Model::num_vlans,
      &Model::vlan_name, &Model::num_macs, &Model::mac_name,  &Model::set_flags, &Model::port_flags,
  };
}

int Model::execute(const Request& req, Reply& reply) {
  static constexpr auto kRules = rules();
  static_assert(
      [] {
        for (std::size_t c = 1; c < kRules.size(); ++c)
          if (!kRules[c]) return false;
        return true;
      }(),
      "every request code needs a rule");
  if (!request_kind(req.code)) return EINVAL;
  if (req.reply_null) return EFAULT;
  return (this->*kRules[static_cast<std::size_t>(req.code)])(req, reply);
}

}  // namespace brantel_sim
