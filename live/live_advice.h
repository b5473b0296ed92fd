// What live mode says beyond the module's errno: a line on what to do
// about a refused change, the limits of its own, and the record of each
// change in the system log.  Needs no kernel and no live library.
#ifndef BRANTEL_SIM_LIVE_ADVICE_H
#define BRANTEL_SIM_LIVE_ADVICE_H

#include <cstdint>
#include <string>

#include "brantel_sim.h"

namespace brantel_sim {

// The interface numbers and flag bits live mode serves: the tool sends a
// number too large as 2147483647, and bits that mean nothing would sit in
// the state file as if they did.
inline constexpr std::int32_t kLiveMaxIndex = 65535;
inline constexpr std::uint32_t kLiveFlagBits = 0x01;

// The name live mode's messages begin with: brantel-live when
// $BRANTEL_SIM_LIVE says so (brantel-live sets it to its name), else
// brantel-sim (brantel-sim --live sets it to 1).
std::string live_prog();
// "PROG: line" on standard error, in one write.
void live_say(const std::string& line);

// The capabilities of live mode's that this process lacks, as
// "CAP_NET_ADMIN", "CAP_SYS_ADMIN" or both joined by " and "; empty when it
// has both.
std::string missing_capabilities();
// The line for a process that may not change live mode's objects.
std::string privileges_line();

// Live mode's own limits on a change the module takes: 0, or EINVAL
// having said why.
int live_vet(const Request& req, const Model& before);
// One line on what to do about the module's refusal `err`, if any helps.
void live_explain(const Request& req, int err, const Model& before);
// What a change did, for the record ("eth1: bound 00:11:22:33:44:55 to
// eth1#1"); empty for a request that changes nothing.
std::string change_record(const Request& req, const Model& before);
// A note on a change that is done but leaves something to know.
void live_after(const Request& req, const Model& before);
// One line in the system log (syslog(3), facility daemon), as
// PROG[PID]: line.
void live_record(const std::string& line);

}  // namespace brantel_sim

#endif
