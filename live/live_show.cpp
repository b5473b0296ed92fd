#include "live_show.h"

#include <cstdint>
#include <cstdio>

#include "model.h"

namespace brantel_sim {
namespace {

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string mac_of(const std::array<unsigned char, 6>& m) { return format_mac(m.data()); }

std::string ifindex_json(int ifindex) { return ifindex > 0 ? std::to_string(ifindex) : "null"; }

std::string up_json(int ifindex, bool up) { return ifindex > 0 ? (up ? "true" : "false") : "null"; }

std::string count(std::uint64_t n, const char* what) {
  return number(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7f) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

std::vector<LivePort> unrealised_ports(const Model& state) {
  std::vector<LivePort> out;
  for (const Port& p : state.ports()) {
    LivePort lp;
    lp.name = p.name;
    lp.flags = p.flags;
    for (const Vlan& v : p.vlans) {
      LiveInterface li;
      li.name = v.name;
      li.bound = v.macs;
      lp.interfaces.push_back(std::move(li));
    }
    out.push_back(std::move(lp));
  }
  return out;
}

std::string render_json(const std::vector<LivePort>& ports) {
  // Names as ip -j gives them where the meaning is the same; "name", "mac",
  // "rx_frames" and "rx_bytes" are the names of before, kept for one
  // release beside them.
  std::string out = "{\"schema\":" + std::to_string(kShowSchema) + ",\"ports\":[";
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const LivePort& p = ports[i];
    if (i) out += ',';
    out += "{\"ifname\":" + json_string(p.name) + ",\"name\":" + json_string(p.name);
    // The flag word as the state file writes it: unsigned.
    out += ",\"flags\":" + number(static_cast<std::uint32_t>(p.flags));
    out += ",\"ifindex\":" + ifindex_json(p.ifindex);
    out += ",\"up\":" + up_json(p.ifindex, p.up);
    out += std::string(",\"realised\":") + (p.realised ? "true" : "false");
    out += ",\"dropped\":" + (p.counted ? number(p.dropped) : "null");
    out += ",\"trouble\":" + (p.trouble.empty() ? "null" : json_string(p.trouble));
    out += ",\"interfaces\":[";
    for (std::size_t j = 0; j < p.interfaces.size(); ++j) {
      const LiveInterface& v = p.interfaces[j];
      if (j) out += ',';
      out += "{\"ifname\":" + json_string(v.name) + ",\"name\":" + json_string(v.name);
      out += ",\"ifindex\":" + ifindex_json(v.ifindex);
      // An address is known only from a device the kernel has.
      std::string address = v.ifindex > 0 ? json_string(mac_of(v.mac)) : "null";
      out += ",\"address\":" + address + ",\"mac\":" + address;
      out += ",\"up\":" + up_json(v.ifindex, v.up);
      out += ",\"bound\":[";
      for (std::size_t k = 0; k < v.bound.size(); ++k) {
        if (k) out += ',';
        out += json_string(format_mac(v.bound[k]));
      }
      out += "]";
      bool counted = p.counted && v.ifindex > 0;
      out += ",\"stats64\":" + (counted ? "{\"rx\":{\"packets\":" + number(v.rx_frames) +
                                              ",\"bytes\":" + number(v.rx_bytes) + "}}"
                                        : std::string("null"));
      out += ",\"rx_frames\":" + (counted ? number(v.rx_frames) : "null");
      out += ",\"rx_bytes\":" + (counted ? number(v.rx_bytes) : "null");
      out += "}";
    }
    out += "]}";
  }
  out += "]}\n";
  return out;
}

std::string pretty_json(std::string_view json) {
  std::string out, indent;
  bool in_string = false, escaped = false;
  for (std::size_t i = 0; i < json.size(); ++i) {
    char c = json[i];
    if (in_string) {
      out += c;
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        out += c;
        break;
      case '{':
      case '[':
        out += c;
        // An empty list or object stays on its line.
        if (i + 1 < json.size() && (json[i + 1] == '}' || json[i + 1] == ']')) {
          out += json[++i];
        } else {
          indent += "  ";
          out += "\n" + indent;
        }
        break;
      case '}':
      case ']':
        if (indent.size() >= 2) indent.resize(indent.size() - 2);
        out += "\n" + indent + c;
        break;
      case ',': out += ",\n" + indent; break;
      case ':': out += ": "; break;
      default: out += c;
    }
  }
  return out;
}

// Text of our own on one comment line: only what could end the line is
// escaped.
static std::string one_line(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f)
      append_hex_escape(out, c);
    else
      out += static_cast<char>(c);
  return out;
}

std::string render_comments(const std::vector<LivePort>& ports) {
  if (ports.empty()) return {};
  // Comments only, and names as the state file escapes them: the output of
  // show still loads.
  std::string out = "# frames each port's classifier delivered since it was enabled:\n";
  for (const LivePort& p : ports) {
    std::string name = escape_state_name(p.name);
    if (!p.realised) {
      out += "# " + name + ": not on the kernel" +
             (p.trouble.empty() ? std::string() : " (" + one_line(p.trouble) + ")") +
             "; brantel-live check tells more\n";
      continue;
    }
    // The port's line holds no number but its counters, which scripts take
    // as the first number on it.
    if (!p.counted) {
      out += "# " + name + ": counters not readable\n";
    } else {
      std::string where = p.ifindex > 0 ? " (ifindex " + std::to_string(p.ifindex) + ")" : "";
      std::uint64_t delivered = 0;
      for (const LiveInterface& v : p.interfaces) delivered += v.rx_frames;
      out += "# " + name + ": " + count(delivered, "frame") + " to its interfaces, " +
             number(p.dropped) + " dropped" + where + (p.up ? ", up" : ", down") + "\n";
    }
    for (const LiveInterface& v : p.interfaces) {
      std::string vname = escape_state_name(v.name);
      if (v.ifindex <= 0) {
        out += "#   " + vname + ": missing on the kernel\n";
        continue;
      }
      out += "#   " + vname + ": ";
      if (p.counted) out += count(v.rx_frames, "frame") + ", " + count(v.rx_bytes, "byte") + ", ";
      out += "ifindex " + std::to_string(v.ifindex) + ", address " + mac_of(v.mac) +
             (v.up ? ", up" : ", down") + "\n";
    }
  }
  return out;
}

}  // namespace brantel_sim
