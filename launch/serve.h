// The process-wide simulator that the preload library answers from.
#ifndef BRANTEL_LAUNCH_SERVE_H
#define BRANTEL_LAUNCH_SERVE_H

#include "brantel_sim.h"

namespace brantel_sim {

// Options from BRANTEL_SIM_STATE, BRANTEL_SIM_FAULTS and BRANTEL_SIM_TRACE,
// with checked memory access, as the preload library needs.
Options options_from_env();

// The process-wide simulator, configured from the environment at its first
// use.  Thread-safe, never throws: these are what the preload library calls.
int serve(brantel_ioctl* req) noexcept;
int socket_call() noexcept;
// Replaces the process-wide simulator (an in-memory one in a fuzzer, say).
void reset_default(Options opts);

}  // namespace brantel_sim

#endif
