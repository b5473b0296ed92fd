#include "trace.h"

#include <linux/if_brantel.h>

#include <cstring>

#include "codes.h"

namespace brantel_sim {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_mac(std::string& out, const unsigned char* m) {
  for (int i = 0; i < 6; ++i) {
    if (i) out += ':';
    out += kHex[m[i] >> 4];
    out += kHex[m[i] & 15];
  }
}

std::string reply_name(const Reply& reply) { return trace_name(read_name(reply.name.data())); }

}  // namespace

std::string trace_name(const NameArg& name) {
  if (name.null) return "NULL";
  if (name.bad) return "(unreadable)";
  std::string out = "\"";
  for (char ch : name.bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c >= 0x20 && c <= 0x7e) {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (name.unterminated) out += "...";
  out += '"';
  return out;
}

std::string trace_line(const Request& req, int err, bool injected, const Reply& reply) {
  std::string line;
  std::string_view code = code_name(req.code);
  if (code.empty())
    line = "code=" + std::to_string(req.code);
  else
    line = code;

  auto field = [&](std::string_view key, const std::string& value) {
    line += ' ';
    line += key;
    line += '=';
    line += value;
  };
  auto ifname = [&] { field("ifname", trace_name(req.ifname)); };
  auto num = [&](std::string_view key, std::int32_t v) { field(key, std::to_string(v)); };

  switch (req.code) {
    case BRANTEL_ENABLE:
    case BRANTEL_DISABLE:
    case BRANTEL_DEL: ifname(); break;
    case BRANTEL_ADD:
    case SET_PORT_FLAGS:
      ifname();
      num("ifidx", req.ifidx);
      break;
    case BRANTEL_BIND:
    case BRANTEL_UNBIND: {
      ifname();
      std::string mac;
      if (req.mac)
        append_mac(mac, req.mac->data());
      else
        mac = req.mac_bad ? "(unreadable)" : "NULL";
      field("macaddr", mac);
      break;
    }
    case GET_PORT_NAME:
    case GET_NUM_VLANS: num("portidx", req.portidx); break;
    case GET_VLAN_NAME:
    case GET_NUM_MACS:
      num("portidx", req.portidx);
      num("ifidx", req.ifidx);
      break;
    case GET_MAC_NAME:
      num("portidx", req.portidx);
      num("ifidx", req.ifidx);
      num("macaddridx", req.macaddridx);
      break;
    case GET_PORT_FLAGS:
      num("portidx", req.portidx);
      ifname();
      break;
    default: break;
  }

  line += " -> ";
  if (err) {
    line += errno_name(err);
    if (injected) line += " (injected)";
  } else {
    switch (result_kind(req.code)) {
      case ResultKind::none: line += "ok"; break;
      case ResultKind::num: line += "num=" + std::to_string(reply.num); break;
      case ResultKind::name: line += "name=" + reply_name(reply); break;
      case ResultKind::mac:
        line += "name=";
        append_mac(line, reinterpret_cast<const unsigned char*>(reply.name.data()));
        break;
    }
  }
  line += '\n';
  return line;
}

std::string trace_socket_line(int err) { return "socket -> " + errno_name(err) + " (injected)\n"; }

}  // namespace brantel_sim
