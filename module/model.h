// The module's configuration and the rules by which requests change it.
#ifndef BRANTEL_SIM_MODEL_H
#define BRANTEL_SIM_MODEL_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codes.h"
#include "record.h"

namespace brantel_sim {

struct Vlan {
  std::string name;
  std::vector<Mac> macs;  // in bind order
};

struct Port {
  std::string name;
  std::int32_t flags = 0;
  std::vector<Vlan> vlans;  // in creation order
};

// Why a name is refused, or nullptr.  The kernel's own rules for device
// names: 1 to 15 bytes, not "." or "..", no '/', ':' or white space.  Shell
// metacharacters and a leading '-' are allowed, as the kernel allows them.
const char* name_problem(std::string_view name);

class Model {
 public:
  const std::vector<Port>& ports() const { return ports_; }
  std::vector<Port>& ports() { return ports_; }

  // Serves one request: 0 or an errno value.  A failed request leaves the
  // model untouched; the reply is filled only on success.
  int execute(const Request& req, Reply& reply);

  // Lookups by name; -1 when absent.
  int find_port(std::string_view name) const;
  // {port index, interface index}, or {-1, -1}.
  std::pair<int, int> find_vlan(std::string_view name) const;

  std::size_t mac_count() const;

 private:
  using Rule = int (Model::*)(const Request&, Reply&);
  static constexpr std::array<Rule, kRequests.size()> rules();

  int enable(const Request& req, Reply& reply);
  int disable(const Request& req, Reply& reply);
  int add(const Request& req, Reply& reply);
  int del(const Request& req, Reply& reply);
  int bind(const Request& req, Reply& reply);
  int unbind(const Request& req, Reply& reply);
  int set_flags(const Request& req, Reply& reply);
  int num_ports(const Request& req, Reply& reply);
  int port_name(const Request& req, Reply& reply);
  int num_vlans(const Request& req, Reply& reply);
  int port_flags(const Request& req, Reply& reply);
  int vlan_name(const Request& req, Reply& reply);
  int num_macs(const Request& req, Reply& reply);
  int mac_name(const Request& req, Reply& reply);

  int binding_target(const Request& req, Vlan*& vlan, Port*& port);
  const Port* port_at(std::int32_t idx) const;
  const Vlan* vlan_at(std::int32_t portidx, std::int32_t ifidx) const;

  std::vector<Port> ports_;
};

}  // namespace brantel_sim

#endif
