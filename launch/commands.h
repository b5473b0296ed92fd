// brantel-live's command surface, and brantel-sim's where the two share
// it: the words each takes, their options, what they print.  One table, as
// ip and ethtool keep theirs; the launcher parses the options that come
// before the word and hands the rest here.
#ifndef BRANTEL_LAUNCH_COMMANDS_H
#define BRANTEL_LAUNCH_COMMANDS_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "live.h"

namespace brantel_sim {

// Who runs a command, and with what.
struct Invocation {
  std::string prog = "brantel-sim";  // the name messages begin with
  bool live_command = false;         // run as brantel-live
  bool live = false;                 // brantel-live, or brantel-sim --live
  std::string state;                 // --state FILE, or empty
  // Loads live mode's library; null after saying why.
  std::function<std::unique_ptr<Live>()> open_live;
};

// Whether `word` is one of the tool's subcommands, which brantel-live
// runs under its own name.
bool is_tool_word(std::string_view word);

// Whether `word` is a command of brantel-sim's or brantel-live's own for
// this invocation.
bool is_own_command(const Invocation& inv, std::string_view word);

// Runs the command `args[0]` on `args[1...]`: its exit status.
int run_own_command(const Invocation& inv, const std::vector<std::string>& args);

// --help's text.
std::string usage(const Invocation& inv);

// "PROG: message" and "Try 'PROG --help'", on standard error: 2.
int usage_error(const Invocation& inv, const std::string& message);
// "PROG: message" on standard error: 1.
int fail(const Invocation& inv, const std::string& message);

// `path` made absolute against the working folder (as given where that
// cannot be read).
std::string absolute(const std::string& path);

}  // namespace brantel_sim

#endif
