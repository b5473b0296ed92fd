// Helpers shared by the simulator tests.
#ifndef BRANTEL_SIM_TEST_UTIL_H
#define BRANTEL_SIM_TEST_UTIL_H

#include <linux/if_brantel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "brantel_sim.h"

namespace sim_test {

// A fresh folder, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl =
        (std::filesystem::temp_directory_path() / "brantel-sim-test.XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A state file of the current version holding `records` (lines, each with
// its newline).
inline std::string state_text(const std::string& records) {
  return std::string(brantel_sim::kStateHeader) + "\n" + records +
         std::string(brantel_sim::kStateTrailer) + "\n";
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sends requests to a simulator the way the tool fills its records.
class Client {
 public:
  explicit Client(brantel_sim::Simulator& sim) : sim_(sim) {}

  brantel_ioctl_reply rep{};

  int send(int cmd, const char* ifname = nullptr, int ifidx = 0, const unsigned char* mac = nullptr,
           int portidx = 0, int macidx = 0) {
    brantel_ioctl r{};
    r.cmd = cmd;
    r.ifname = const_cast<char*>(ifname);
    r.ifidx = ifidx;
    r.macaddr = const_cast<unsigned char*>(mac);
    r.portidx = portidx;
    r.macaddridx = macidx;
    r.reply = &rep;
    return sim_.serve(&r);
  }
  int enable(const char* n) { return send(BRANTEL_ENABLE, n); }
  int disable(const char* n) { return send(BRANTEL_DISABLE, n); }
  int add(const char* n, int idx) { return send(BRANTEL_ADD, n, idx); }
  int del(const char* n) { return send(BRANTEL_DEL, n); }
  int bind(const char* n, const unsigned char* m) { return send(BRANTEL_BIND, n, 0, m); }
  int unbind(const char* n, const unsigned char* m) { return send(BRANTEL_UNBIND, n, 0, m); }
  int setflags(const char* n, int f) { return send(SET_PORT_FLAGS, n, f); }
  int query(int cmd, int portidx = 0, int ifidx = 0, int macidx = 0) {
    return send(cmd, nullptr, ifidx, nullptr, portidx, macidx);
  }

  // The whole module as the report walks it, e.g.
  // "eth0 0x1: eth0#0{00:11:22:33:44:55} eth0#3{}; eth1 0x0: eth1#0{}".
  std::string dump() {
    std::string out;
    if (query(GET_NUM_PORTS)) return "error";
    int nports = rep.num;
    for (int p = 0; p < nports; ++p) {
      if (query(GET_PORT_NAME, p)) return "error";
      std::string name = reply_name();
      brantel_ioctl r{};
      r.cmd = GET_PORT_FLAGS;
      r.portidx = p;
      r.reply = &rep;
      if (sim_.serve(&r)) return "error";
      char flags[16];
      std::snprintf(flags, sizeof flags, "0x%x", static_cast<unsigned>(rep.num));
      if (p) out += "; ";
      out += name;
      out += " ";
      out += flags;
      out += ":";
      if (query(GET_NUM_VLANS, p)) return "error";
      int nifs = rep.num;
      for (int i = 0; i < nifs; ++i) {
        if (query(GET_VLAN_NAME, p, i)) return "error";
        out += " ";
        out += reply_name();
        out += "{";
        if (query(GET_NUM_MACS, p, i)) return "error";
        int nmacs = rep.num;
        for (int m = 0; m < nmacs; ++m) {
          if (query(GET_MAC_NAME, p, i, m)) return "error";
          char buf[20];
          auto* b = reinterpret_cast<unsigned char*>(rep.name);
          std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3],
                        b[4], b[5]);
          if (m) out += " ";
          out += buf;
        }
        out += "}";
      }
    }
    return out;
  }

 private:
  std::string reply_name() const {
    return std::string(rep.name, strnlen(rep.name, sizeof rep.name));
  }

  brantel_sim::Simulator& sim_;
};

}  // namespace sim_test

#endif
