#include "model.h"

#include <linux/if_brantel.h>
#include <sys/uio.h>
#include <unistd.h>

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

// The kernel moves no part of an iovec element that faults, so transfers go
// a page at most at a time to get every readable byte.
constexpr std::uintptr_t kPage = 4096;

template <typename Call>
std::size_t transfer(std::uintptr_t remote, std::size_t n, Call call) {
  int saved = errno;
  std::size_t done = 0;
  while (done < n) {
    std::uintptr_t at = remote + done;
    std::size_t chunk = std::min<std::size_t>(n - done, kPage - at % kPage);
    ssize_t got = call(done, at, chunk);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  errno = saved;
  return done;
}

bool vm_calls_work() {
  // Some sandboxes forbid these calls; plain access is the fallback.
  static const bool works = [] {
    int probe = 1, copy = 0;
    iovec local{&copy, sizeof copy}, remote{&probe, sizeof probe};
    int saved = errno;
    bool ok = process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == sizeof copy;
    errno = saved;
    return ok;
  }();
  return works;
}

}  // namespace

std::size_t CallerMemory::read(void* dst, const void* src, std::size_t n) const {
  if (!checked || !vm_calls_work()) {
    std::memcpy(dst, src, n);
    return n;
  }
  auto* out = static_cast<char*>(dst);
  return transfer(reinterpret_cast<std::uintptr_t>(src), n,
                  [&](std::size_t done, std::uintptr_t at, std::size_t len) {
                    iovec local{out + done, len}, remote{reinterpret_cast<void*>(at), len};
                    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
                  });
}

bool CallerMemory::write(void* dst, const void* src, std::size_t n) const {
  if (!checked || !vm_calls_work()) {
    std::memcpy(dst, src, n);
    return true;
  }
  const auto* in = static_cast<const char*>(src);
  return transfer(reinterpret_cast<std::uintptr_t>(dst), n,
                  [&](std::size_t done, std::uintptr_t at, std::size_t len) {
                    iovec local{const_cast<char*>(in) + done, len},
                        remote{reinterpret_cast<void*>(at), len};
                    return process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
                  }) == n;
}

NameArg read_name(const char* p, const CallerMemory& mem) {
  NameArg n;
  if (!p) {
    n.null = true;
    return n;
  }
  char buf[kNameSize];
  std::size_t got;
  if (mem.checked) {
    got = mem.read(buf, p, kNameSize);
  } else {
    // strnlen stops at the NUL, so a short string in a short buffer is safe.
    got = strnlen(p, kNameSize);
    std::memcpy(buf, p, got);
    if (got < kNameSize) buf[got++] = '\0';
  }
  std::size_t len = strnlen(buf, got);
  if (len == got && got < kNameSize) {
    n.bad = true;  // unreadable before the NUL
    return n;
  }
  n.bytes.assign(buf, len);
  n.unterminated = len == kNameSize;
  return n;
}

Request decode(const brantel_ioctl& raw, const CallerMemory& mem) {
  Request r;
  r.code = raw.cmd;
  auto read_name = [&](const char* p) { return brantel_sim::read_name(p, mem); };
  auto take_mac = [&] {
    if (raw.macaddr) {
      Mac m;
      if (mem.read(m.data(), raw.macaddr, m.size()) == m.size())
        r.mac = m;
      else
        r.mac_bad = true;
    }
  };
  switch (raw.cmd) {
    case BRANTEL_ENABLE:
    case BRANTEL_DISABLE:
    case BRANTEL_DEL: r.ifname = read_name(raw.ifname); break;
    case BRANTEL_ADD:
    case SET_PORT_FLAGS:
      r.ifname = read_name(raw.ifname);
      r.ifidx = raw.ifidx;
      break;
    case BRANTEL_BIND:
    case BRANTEL_UNBIND:
      r.ifname = read_name(raw.ifname);
      take_mac();
      break;
    case GET_NUM_PORTS: break;
    case GET_PORT_NAME:
    case GET_NUM_VLANS: r.portidx = raw.portidx; break;
    case GET_VLAN_NAME:
    case GET_NUM_MACS:
      r.portidx = raw.portidx;
      r.ifidx = raw.ifidx;
      break;
    case GET_MAC_NAME:
      r.portidx = raw.portidx;
      r.ifidx = raw.ifidx;
      r.macaddridx = raw.macaddridx;
      break;
    case GET_PORT_FLAGS:
      r.portidx = raw.portidx;
      r.ifname = read_name(raw.ifname);
      break;
    default: break;
  }
  if (result_kind(raw.cmd) != ResultKind::none) r.reply_null = raw.reply == nullptr;
  return r;
}

const char* name_problem(std::string_view name) {
  if (name.empty()) return "empty";
  if (name.size() > kMaxNameLen) return "longer than 15 bytes";
  if (name.find('\0') != std::string_view::npos) return "contains a NUL byte";
  if (name.find('/') != std::string_view::npos) return "contains '/'";
  if (name == "." || name == "..") return "is \".\" or \"..\"";
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

int Model::enable(std::string_view port) {
  if (find_port(port) >= 0) return EEXIST;
  std::string first = std::string(port) + "#0";
  if (first.size() > kMaxNameLen) return EINVAL;
  // A stale "port#0" can only come from a hand-written state file, but two
  // interfaces of one name would make DEL ambiguous.
  if (find_vlan(first).first >= 0) return EEXIST;
  ports_.push_back(Port{std::string(port), 0, {Vlan{std::move(first), {}}}});
  return 0;
}

int Model::disable(std::string_view port) {
  int p = find_port(port);
  if (p < 0) return ENODEV;
  ports_.erase(ports_.begin() + p);
  return 0;
}

int Model::add(std::string_view port, std::int32_t idx) {
  int p = find_port(port);
  if (p < 0) return ENODEV;
  if (idx < 0) return EINVAL;
  std::string full = std::string(port) + "#" + std::to_string(idx);
  if (full.size() > kMaxNameLen) return EINVAL;
  if (find_vlan(full).first >= 0) return EEXIST;
  ports_[static_cast<std::size_t>(p)].vlans.push_back(Vlan{std::move(full), {}});
  return 0;
}

int Model::del(std::string_view ifname) {
  auto [p, v] = find_vlan(ifname);
  if (p < 0) return ENODEV;
  auto& vlans = ports_[static_cast<std::size_t>(p)].vlans;
  vlans.erase(vlans.begin() + v);
  return 0;
}

int Model::bind(std::string_view ifname, const Mac& mac) {
  auto [p, v] = find_vlan(ifname);
  if (p < 0) return ENODEV;
  Port& port = ports_[static_cast<std::size_t>(p)];
  for (const Vlan& vl : port.vlans)
    if (std::find(vl.macs.begin(), vl.macs.end(), mac) != vl.macs.end()) return EEXIST;
  port.vlans[static_cast<std::size_t>(v)].macs.push_back(mac);
  return 0;
}

int Model::unbind(std::string_view ifname, const Mac& mac) {
  auto [p, v] = find_vlan(ifname);
  if (p < 0) return ENODEV;
  auto& macs = ports_[static_cast<std::size_t>(p)].vlans[static_cast<std::size_t>(v)].macs;
  auto it = std::find(macs.begin(), macs.end(), mac);
  if (it == macs.end()) return ENOENT;
  macs.erase(it);
  return 0;
}

int Model::set_flags(std::string_view port, std::int32_t flags) {
  int p = find_port(port);
  if (p < 0) return ENODEV;
  ports_[static_cast<std::size_t>(p)].flags = flags;
  return 0;
}

int Model::execute(const Request& req, Reply& reply) {
  if (req.reply_null) return EFAULT;
  const std::string& name = req.ifname.bytes;
  switch (req.code) {
    case BRANTEL_ENABLE:
    case BRANTEL_DISABLE:
    case BRANTEL_ADD:
    case BRANTEL_DEL:
    case SET_PORT_FLAGS: {
      if (int e = check_name(req.ifname)) return e;
      switch (req.code) {
        case BRANTEL_ENABLE: return enable(name);
        case BRANTEL_DISABLE: return disable(name);
        case BRANTEL_ADD: return add(name, req.ifidx);
        case BRANTEL_DEL: return del(name);
        default: return set_flags(name, req.ifidx);
      }
    }
    case BRANTEL_BIND:
    case BRANTEL_UNBIND: {
      if (int e = check_name(req.ifname)) return e;
      if (find_vlan(name).first < 0) return ENODEV;
      if (!req.mac) return EFAULT;  // NULL or unreadable
      return req.code == BRANTEL_BIND ? bind(name, *req.mac) : unbind(name, *req.mac);
    }
    case GET_NUM_PORTS: reply.num = static_cast<std::int32_t>(ports_.size()); return 0;
    case GET_PORT_NAME:
    case GET_NUM_VLANS:
    case GET_PORT_FLAGS: {
      if (!in_range(req.portidx, ports_.size())) return EINVAL;
      const Port& p = ports_[static_cast<std::size_t>(req.portidx)];
      if (req.code == GET_PORT_NAME)
        copy_name(reply.name, p.name);
      else if (req.code == GET_NUM_VLANS)
        reply.num = static_cast<std::int32_t>(p.vlans.size());
      else
        reply.num = p.flags;
      return 0;
    }
    case GET_VLAN_NAME:
    case GET_NUM_MACS:
    case GET_MAC_NAME: {
      if (!in_range(req.portidx, ports_.size())) return EINVAL;
      const Port& p = ports_[static_cast<std::size_t>(req.portidx)];
      if (!in_range(req.ifidx, p.vlans.size())) return EINVAL;
      const Vlan& v = p.vlans[static_cast<std::size_t>(req.ifidx)];
      if (req.code == GET_VLAN_NAME) {
        copy_name(reply.name, v.name);
      } else if (req.code == GET_NUM_MACS) {
        reply.num = static_cast<std::int32_t>(v.macs.size());
      } else {
        if (!in_range(req.macaddridx, v.macs.size())) return EINVAL;
        reply.name.fill('\0');
        const Mac& m = v.macs[static_cast<std::size_t>(req.macaddridx)];
        std::memcpy(reply.name.data(), m.data(), m.size());
      }
      return 0;
    }
    default: return EINVAL;
  }
}

}  // namespace brantel_sim
