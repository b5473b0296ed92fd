// Live mode: the module's configuration made real on the running kernel.
//
// The work is done by libbrantel-sim-live.so, which links libbpf and libmnl;
// the preload library and the launcher load it only in live mode, so that
// the programs run under the simulated mode (shells, ifconfig) never pay
// for those libraries.
#ifndef BRANTEL_SIM_LIVE_LIVE_H
#define BRANTEL_SIM_LIVE_LIVE_H

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brantel_sim.h"

namespace brantel_sim {

// The state file of live mode when neither --state nor BRANTEL_SIM_STATE
// names one: network devices belong to the whole system.
inline constexpr const char* kLiveStatePath = "/var/lib/brantel-sim/state";
inline constexpr const char* kLiveLibraryName = "libbrantel-sim-live.so";

// What live mode shows of one interface or port (show, show --json).
struct LiveInterface {
  std::string name;
  int ifindex = 0;                     // 0 when the kernel has no such device of ours
  std::array<unsigned char, 6> mac{};  // the device's own address
  bool up = false;                     // administratively up (IFF_UP), when ifindex > 0
  std::vector<Mac> bound;              // as the state file has them
  std::uint64_t rx_frames = 0;         // frames delivered to it, whatever the path
  std::uint64_t rx_bytes = 0;
};

// An address bound to no interface whose frames the port's default
// interface got (show --unbound, monitor).
struct LiveUnbound {
  std::array<unsigned char, 6> mac{};
  std::uint64_t frames = 0;
  std::uint64_t bytes = 0;
  std::uint64_t age_ms = 0;  // since its last frame
};

struct LivePort {
  std::string name;
  std::int32_t flags = 0;
  int ifindex = 0;            // 0 when the kernel has no such device
  bool up = false;            // administratively up (IFF_UP), when ifindex > 0
  bool realised = false;      // its classifier is on the kernel
  bool counted = false;       // the counters below could be read
  std::uint64_t dropped = 0;  // frames no interface could take
  std::string trouble;        // why it is not realised, or empty
  std::vector<LiveInterface> interfaces;
  bool unbound_known = false;        // the table below could be read
  std::vector<LiveUnbound> unbound;  // newest first
};

class Live : public Realiser {
 public:
  // Makes the kernel match `state` for each port named in `only` (every
  // port of `state`, and every port of ours the kernel has, when empty),
  // whatever it holds now (after a reboot, or after someone deleted a device
  // by hand).  One port's trouble is that port's alone: a port that could
  // not be restored gets a line "PORT: why" in `unrestored`.  Returns 0 when
  // every port that exists matches, or an errno value when live mode cannot
  // work at all.  With `whole` (load, reset), a port that exists and cannot
  // be restored takes back every port restored before it, so that the
  // kernel stays as it was with the state file.
  virtual int sync(const Model& state, const std::vector<std::string>& only,
                   std::vector<std::string>& unrestored, bool whole = false) = 0;
  // Takes back what the last sync with `whole` changed, latest first (load
  // and reset, when the state file cannot be written after it).
  virtual void undo_sync() = 0;
  // One line for each difference between `state` and the kernel.
  virtual int check(const Model& state, std::vector<std::string>& differences) = 0;
  // What the kernel holds of each port of `state`, with its counters.
  virtual int describe(const Model& state, std::vector<LivePort>& out) = 0;
  // As check, for the ports named in `only` (all, as check, when empty).
  virtual int check_ports(const Model& state, const std::vector<std::string>& only,
                          std::vector<std::string>& differences) {
    (void)only;
    return check(state, differences);
  }
  // The ports on which the kernel holds something of live mode's.
  virtual int kernel_ports(std::vector<std::string>& names) {
    names.clear();
    return 0;
  }
  // What the last sync found different and put right, one line each, for
  // the record; emptied by the call.
  virtual std::vector<std::string> take_repairs() { return {}; }
};

// Whether this process may change live mode's objects: CAP_NET_ADMIN for
// devices and filters, and CAP_SYS_ADMIN, without which a later run cannot
// find its BPF programs again by their ids (CAP_BPF alone does not let it).
inline bool has_live_privileges() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return true;  // let the kernel decide
  auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1u; };
  return has(CAP_NET_ADMIN) && has(CAP_SYS_ADMIN);
}

// Loads the live library from `path`: null with `error` set when it cannot.
std::unique_ptr<Live> load_live(const std::string& path, std::string& error);

// A realiser for the preload library: checks the caller's capability at
// once, and loads the live library (beside the preload library, or
// $BRANTEL_SIM_LIVE_LIBRARY) at the first change.
std::shared_ptr<Realiser> lazy_live_realiser();

}  // namespace brantel_sim

// The live library's one entry point.
extern "C" brantel_sim::Live* brantel_sim_live_create();

#endif
