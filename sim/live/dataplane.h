// The classifier's kernel objects for one port: its programs, its maps and
// the tc filters that run them.  Nothing is pinned: a later run finds the
// port's objects again through the filter on the port's ingress (fixed
// handle and priority), whose program names its maps.
#ifndef BRANTEL_SIM_LIVE_DATAPLANE_H
#define BRANTEL_SIM_LIVE_DATAPLANE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "classifier.h"

namespace brantel_sim::live {

using MacBytes = std::array<unsigned char, 6>;

// Where a step failed: which feature, so that a missing one can be named.
enum class Step { bpf, load, qdisc, filter, map };

struct Failure {
  int err = 0;
  Step step = Step::bpf;
  std::string detail;  // the loader's or kernel's own words, if any
};

// An open descriptor, closed with its owner.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

class PortObjects {
 public:
  // Finds the classifier on the port: 0, ENOENT when there is none, or
  // another errno value.
  int find(int port_ifindex, Failure& why);
  // Loads a new classifier with `cfg` in its config map (not attached).
  int load(const brantel_port_config& cfg, Failure& why);

  // Runs brantel_rx on the port's ingress, replacing a stale one of ours.
  int attach_rx(int port_ifindex, Failure& why) const;
  int detach_rx(int port_ifindex, Failure& why) const;
  // Runs brantel_accept on an interface's ingress (a new clsact of its own).
  int attach_accept(int ifindex, Failure& why);

  int read_config(brantel_port_config& cfg) const;
  int write_config(const brantel_port_config& cfg) const;
  int bind(const MacBytes& mac, std::uint32_t ifindex) const;
  int unbind(const MacBytes& mac) const;
  // Every bound address with the interface it goes to.
  int bindings(std::map<MacBytes, std::uint32_t>& out) const;
  // Frames per outcome, summed over the CPUs.
  int counters(std::array<std::uint64_t, BRANTEL_OUTCOMES>& out) const;
  std::uint32_t rx_prog_id() const { return rx_id_; }
  int rx_fd() const { return rx_.get(); }

 private:
  int accept_fd(Failure& why);
  int load_with(const brantel_port_config* cfg, bool reuse_maps, Failure& why);

  Fd rx_, accept_, macs_, config_, counts_;
  std::uint32_t rx_id_ = 0;
};

// Whether the port has a clsact qdisc; creates one if not.  `created` tells
// which.
int ensure_clsact(int ifindex, bool& created, Failure& why);
int remove_clsact(int ifindex, Failure& why);

// The handle and priority of our filters, on the port and on interfaces.
inline constexpr std::uint32_t kFilterHandle = 0x6272;
inline constexpr std::uint32_t kFilterPriority = 0x6272;

}  // namespace brantel_sim::live

#endif
