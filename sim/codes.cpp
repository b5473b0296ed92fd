#include "codes.h"

#include <linux/if_brantel.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace brantel_sim {
namespace {

constexpr std::array<std::string_view, kLastCode + 1> kNames = {
    "",
    "BRANTEL_ENABLE",
    "BRANTEL_DISABLE",
    "BRANTEL_ADD",
    "BRANTEL_DEL",
    "BRANTEL_BIND",
    "BRANTEL_UNBIND",
    "GET_NUM_PORTS",
    "GET_PORT_NAME",
    "GET_NUM_VLANS",
    "GET_VLAN_NAME",
    "GET_NUM_MACS",
    "GET_MAC_NAME",
    "SET_PORT_FLAGS",
    "GET_PORT_FLAGS",
};

// glibc names each value once; these are the other spellings people use.
struct Alias {
  std::string_view name;
  int value;
};
constexpr Alias kAliases[] = {
    {"EWOULDBLOCK", EWOULDBLOCK},
    {"EDEADLOCK", EDEADLOCK},
    {"ENOTSUP", ENOTSUP},
};

// Linux errno values stop well below this.
constexpr int kMaxNamedErrno = 200;

}  // namespace

std::string_view code_name(int code) {
  if (code < kFirstCode || code > kLastCode) return {};
  return kNames[static_cast<size_t>(code)];
}

int code_by_name(std::string_view name) {
  for (int c = kFirstCode; c <= kLastCode; ++c)
    if (kNames[static_cast<size_t>(c)] == name) return c;
  return 0;
}

ResultKind result_kind(int code) {
  switch (code) {
    case GET_NUM_PORTS:
    case GET_NUM_VLANS:
    case GET_NUM_MACS:
    case GET_PORT_FLAGS: return ResultKind::num;
    case GET_PORT_NAME:
    case GET_VLAN_NAME: return ResultKind::name;
    case GET_MAC_NAME: return ResultKind::mac;
    default: return ResultKind::none;
  }
}

bool is_change(int code) {
  switch (code) {
    case BRANTEL_ENABLE:
    case BRANTEL_DISABLE:
    case BRANTEL_ADD:
    case BRANTEL_DEL:
    case BRANTEL_BIND:
    case BRANTEL_UNBIND:
    case SET_PORT_FLAGS: return true;
    default: return false;
  }
}

std::string errno_name(int err) {
  if (err > 0 && err < kMaxNamedErrno) {
    if (const char* n = strerrorname_np(err)) return n;
  }
  return std::to_string(err);
}

int errno_by_name(std::string_view name) {
  if (name.size() < 2 || name[0] != 'E') return 0;
  for (const Alias& a : kAliases)
    if (a.name == name) return a.value;
  for (int e = 1; e < kMaxNamedErrno; ++e) {
    const char* n = strerrorname_np(e);
    if (n && name == n) return e;
  }
  return 0;
}

}  // namespace brantel_sim
