// What must hold before a command runs under the simulator, shared by the
// launcher and the preload library (which checks for brantel-sim's front).
#ifndef BRANTEL_SIM_LAUNCH_H
#define BRANTEL_SIM_LAUNCH_H

#include <string>

namespace brantel_sim {

// Whether `command` only reads the module: the tool's help and info, and
// the tool with no subcommand, which lists them.
bool reads_only(char** command);

// Live mode's checks on a command that the front started: the state file is
// BRANTEL_SIM_STATE, else the network namespace's own (then set there), and
// unless the command only reads, no one but its owner may write it.  False
// with `error` set when the command must not run.
bool live_launch_checks(char** command, std::string& error);

// Root's brantel-sim changes a file of its own, never the kernel; where
// live mode holds a configuration, this says so on standard error.
void note_simulated_only();

// What the front leaves to the command it started: the live checks above
// in live mode, else the note for a change.  False with `error` set when
// the command must not run.
bool front_checks(char** command, bool live, std::string& error);

}  // namespace brantel_sim

#endif
