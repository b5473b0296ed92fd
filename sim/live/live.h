// Live mode: the module's configuration made real on the running kernel.
//
// The work is done by libbrantel-sim-live.so, which links libbpf and libmnl;
// the preload library and the launcher load it only in live mode, so that
// the programs run under the simulated mode (shells, ifconfig) never pay
// for those libraries.
#ifndef BRANTEL_SIM_LIVE_LIVE_H
#define BRANTEL_SIM_LIVE_LIVE_H

#include <memory>
#include <string>
#include <vector>

#include "brantel_sim.h"

namespace brantel_sim {

// The state file of live mode when neither --state nor BRANTEL_SIM_STATE
// names one: network devices belong to the whole system.
inline constexpr const char* kLiveStatePath = "/var/lib/brantel-sim/state";
inline constexpr const char* kLiveLibraryName = "libbrantel-sim-live.so";

class Live : public Realiser {
 public:
  // Makes the kernel match `state`, whatever it holds now (after a reboot,
  // or after someone deleted a device by hand).  Reports each repair.
  virtual int sync(const Model& state) = 0;
  // One line for each difference between `state` and the kernel.
  virtual int check(const Model& state, std::vector<std::string>& differences) = 0;
  // The classifier's frame counters of each port, as comment lines.
  virtual int counters(const Model& state, std::vector<std::string>& lines) = 0;
};

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
