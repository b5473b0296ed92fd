// The module's request codes: one row per code says what a request reads from
// the record, what its reply carries and whether it changes the module.
// Decoding, the trace, fault rules and change detection all read the row;
// only what a request does to the module is code (model.cpp).  A new code is
// one row here and one rule there.
#ifndef BRANTEL_SIM_CODES_H
#define BRANTEL_SIM_CODES_H

#include <linux/if_brantel.h>

#include <array>
#include <string>
#include <string_view>

namespace brantel_sim {

// The fields of a request record a code reads, as bits.  Decoding and the
// trace take them in this order, the record's own.
enum Field : unsigned {
  kPortIdx = 1u << 0,
  kIfName = 1u << 1,
  kIfIdx = 1u << 2,
  kMacAddr = 1u << 3,
  kMacIdx = 1u << 4,
};

// What a successful request hands back in its reply record.
enum class ResultKind { none, num, name, mac };

struct RequestKind {
  int code;
  std::string_view name;
  unsigned fields;
  ResultKind result;
  bool changes;  // the request changes the module (and the state file)
};

inline constexpr std::array<RequestKind, BRANTEL_CMD_MAX + 1> kRequests = {{
    {0, "", 0, ResultKind::none, false},
    {BRANTEL_ENABLE, "BRANTEL_ENABLE", kIfName, ResultKind::none, true},
    {BRANTEL_DISABLE, "BRANTEL_DISABLE", kIfName, ResultKind::none, true},
    {BRANTEL_ADD, "BRANTEL_ADD", kIfName | kIfIdx, ResultKind::none, true},
    {BRANTEL_DEL, "BRANTEL_DEL", kIfName, ResultKind::none, true},
    {BRANTEL_BIND, "BRANTEL_BIND", kIfName | kMacAddr, ResultKind::none, true},
    {BRANTEL_UNBIND, "BRANTEL_UNBIND", kIfName | kMacAddr, ResultKind::none, true},
    {GET_NUM_PORTS, "GET_NUM_PORTS", 0, ResultKind::num, false},
    {GET_PORT_NAME, "GET_PORT_NAME", kPortIdx, ResultKind::name, false},
    {GET_NUM_VLANS, "GET_NUM_VLANS", kPortIdx, ResultKind::num, false},
    {GET_VLAN_NAME, "GET_VLAN_NAME", kPortIdx | kIfIdx, ResultKind::name, false},
    {GET_NUM_MACS, "GET_NUM_MACS", kPortIdx | kIfIdx, ResultKind::num, false},
    {GET_MAC_NAME, "GET_MAC_NAME", kPortIdx | kIfIdx | kMacIdx, ResultKind::mac, false},
    {SET_PORT_FLAGS, "SET_PORT_FLAGS", kIfName | kIfIdx, ResultKind::none, true},
    {GET_PORT_FLAGS, "GET_PORT_FLAGS", kPortIdx | kIfName, ResultKind::num, false},
}};

constexpr bool rows_match_codes() {
  for (std::size_t i = 0; i < kRequests.size(); ++i)
    if (kRequests[i].code != static_cast<int>(i)) return false;
  return true;
}
static_assert(rows_match_codes(), "row i of kRequests must describe code i");

// The row of a code; nullptr for a code the module does not know.
constexpr const RequestKind* request_kind(int code) {
  if (code < 1 || code > BRANTEL_CMD_MAX) return nullptr;
  return &kRequests[static_cast<std::size_t>(code)];
}

// The code for a name such as "GET_NUM_PORTS", or 0.
int code_by_name(std::string_view name);

// True when a successful request of this code writes a name into the reply.
constexpr bool returns_name(int code) {
  const RequestKind* k = request_kind(code);
  return k && (k->result == ResultKind::name || k->result == ResultKind::mac);
}
constexpr ResultKind result_kind(int code) {
  const RequestKind* k = request_kind(code);
  return k ? k->result : ResultKind::none;
}

// "EEXIST" for a known errno value, the decimal number otherwise.
std::string errno_name(int err);
// The value for "EEXIST" (aliases such as EWOULDBLOCK included), or 0.
int errno_by_name(std::string_view name);

}  // namespace brantel_sim

#endif
