#include "trace.h"

#include "codes.h"

namespace brantel_sim {
namespace {

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
      append_hex_escape(out, c);
    }
  }
  if (name.unterminated) out += "...";
  out += '"';
  return out;
}

std::string trace_line(const Request& req, int err, bool injected, const Reply& reply) {
  std::string line;
  if (const RequestKind* kind = request_kind(req.code))
    line = kind->name;
  else
    line = "code=" + std::to_string(req.code);

  auto field = [&](std::string_view key, const std::string& value) {
    line += ' ';
    line += key;
    line += '=';
    line += value;
  };
  unsigned fields = 0;
  if (const RequestKind* kind = request_kind(req.code)) fields = kind->fields;
  if (fields & kPortIdx) field("portidx", std::to_string(req.portidx));
  if (fields & kIfName) field("ifname", trace_name(req.ifname));
  if (fields & kIfIdx) field("ifidx", std::to_string(req.ifidx));
  if (fields & kMacAddr)
    field("macaddr", req.mac ? format_mac(*req.mac) : req.mac_bad ? "(unreadable)" : "NULL");
  if (fields & kMacIdx) field("macaddridx", std::to_string(req.macaddridx));

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
        line += "name=" + format_mac(reinterpret_cast<const unsigned char*>(reply.name.data()));
        break;
    }
  }
  line += '\n';
  return line;
}

std::string trace_socket_line(int err) { return "socket -> " + errno_name(err) + " (injected)\n"; }

}  // namespace brantel_sim
