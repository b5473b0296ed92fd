// The classifier's kernel objects for one port: its programs and maps.
// Nothing is pinned: a later run finds them again through the program id
// of the port's filter, whose program names its maps.  The tc filters
// themselves are netlink's business (netlink.h).
#ifndef BRANTEL_SIM_LIVE_DATAPLANE_H
#define BRANTEL_SIM_LIVE_DATAPLANE_H

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "classifier.h"
#include "netlink.h"

namespace brantel_sim::live {

inline constexpr const char* kRxName = "brantel_rx";
inline constexpr const char* kAcceptName = "brantel_accept";

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
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

struct IfaceStats {
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
};

// An address bound to no interface that the port saw.
struct UnboundSeen {
  MacBytes mac{};
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t last_seen_ns = 0;  // CLOCK_MONOTONIC
};

// libbpf's messages are kept to explain a refusal, never printed.  Called
// once before any other use.
void quiet_libbpf();

class Classifier {
 public:
  // Loads a new classifier with `cfg` in its config map (not attached).
  int load(const brantel_port_config& cfg, Failure& why);
  // Opens the classifier running as program `prog_id`: ENOENT when that
  // program is not ours.
  int open(std::uint32_t prog_id, Failure& why);
  bool loaded() const { return static_cast<bool>(rx_); }

  int rx_fd() const { return rx_.get(); }
  std::uint32_t rx_id() const { return rx_id_; }
  // The interfaces' program, loaded again on the same maps when no
  // interface runs it any more.
  int accept_fd(Failure& why);

  int read_config(brantel_port_config& cfg) const;
  int write_config(const brantel_port_config& cfg) const;

  // The interface an address is bound to: 0, or ENOENT.
  int lookup(const MacBytes& mac, std::uint32_t& ifindex) const;
  // A full address map is replaced by a larger one, holding all it held,
  // before the address goes in: the old map serves until the switch, and
  // stays as it was when the new one cannot be made.  E2BIG when the port
  // holds BRANTEL_MAX_MACS addresses already.
  int bind(const MacBytes& mac, std::uint32_t ifindex);
  int unbind(const MacBytes& mac);
  // Every bound address with the interface it goes to.
  int bindings(std::map<MacBytes, std::uint32_t>& out) const;
  // Addresses put in less those taken out through this object.
  std::int64_t added() const { return added_; }
  // How many addresses the address map has room for (0: no map).
  std::uint32_t capacity() const;
  // Records `count` as the number of bound addresses, and replaces the
  // address map by a smaller one when it is far larger than that needs.
  // Best effort: a map left larger costs memory, not correctness.
  void settle(std::uint32_t count);

  // Each interface's own address, by destination.
  int own(std::map<MacBytes, std::uint32_t>& out) const;
  int add_own(const MacBytes& mac, std::uint32_t ifindex) const;
  int remove_own(const MacBytes& mac) const;

  // The interfaces frames may be handed to, with what each was handed.
  int targets(std::map<std::uint32_t, IfaceStats>& out) const;
  int add_target(std::uint32_t ifindex) const;
  int remove_target(std::uint32_t ifindex) const;

  // Frames per outcome, summed over the CPUs.
  int counters(std::array<std::uint64_t, BRANTEL_OUTCOMES>& out) const;

  // The addresses bound to no interface that the default interface got
  // frames of: ENOENT from a classifier made before there was the table.
  int unbound(std::vector<UnboundSeen>& out) const;

 private:
  int take(int prog_fd, bool all_maps, Failure& why);
  int load_objects(const brantel_port_config* cfg, bool reuse_maps, Failure& why);
  // Puts a new address map of room for `room` addresses in the slot, with
  // every address of the old one, and `extra` when given; `held` is how
  // many it holds.
  int replace(std::uint32_t room, const MacBytes* extra, std::uint32_t ifindex,
              std::size_t* held = nullptr);

  // addrs_ is the slot the programs read, macs_ the address map it holds.
  Fd rx_, accept_, addrs_, macs_, own_, ifaces_, config_, counts_;
  Fd unbound_;  // optional: classifiers of before lack it
  std::uint32_t rx_id_ = 0;
  std::int64_t added_ = 0;
};

}  // namespace brantel_sim::live

#endif
