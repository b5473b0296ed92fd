#include "record.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "codes.h"

namespace brantel_sim {
namespace {

constexpr char kHex[] = "0123456789abcdef";

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

std::string format_mac(const unsigned char* mac) {
  std::string out;
  out.reserve(17);
  for (int i = 0; i < 6; ++i) {
    if (i) out += ':';
    out += kHex[mac[i] >> 4];
    out += kHex[mac[i] & 15];
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_hex_escape(std::string& out, unsigned char c) {
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

bool parse_mac(std::string_view s, Mac& out) {
  if (s.size() != 17) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    std::size_t at = i * 3;
    if (i > 0 && s[at - 1] != ':') return false;
    int hi = hex_digit(s[at]), lo = hex_digit(s[at + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return true;
}

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
  const RequestKind* kind = request_kind(raw.cmd);
  if (!kind) return r;
  if (kind->fields & kPortIdx) r.portidx = raw.portidx;
  if (kind->fields & kIfName) r.ifname = read_name(raw.ifname, mem);
  if (kind->fields & kIfIdx) r.ifidx = raw.ifidx;
  if ((kind->fields & kMacAddr) && raw.macaddr) {
    Mac m;
    if (mem.read(m.data(), raw.macaddr, m.size()) == m.size())
      r.mac = m;
    else
      r.mac_bad = true;
  }
  if (kind->fields & kMacIdx) r.macaddridx = raw.macaddridx;
  if (kind->result != ResultKind::none) r.reply_null = raw.reply == nullptr;
  return r;
}

}  // namespace brantel_sim
