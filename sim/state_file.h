// The state file: its text format, and a store that reads it and changes it
// under a lock so that concurrent runs never lose a change.
#ifndef BRANTEL_SIM_STATE_FILE_H
#define BRANTEL_SIM_STATE_FILE_H

#include <functional>
#include <string>
#include <string_view>

#include "model.h"

namespace brantel_sim {

inline constexpr std::string_view kStateHeader = "brantel-sim state 1";

// Parses a whole state file.  On failure returns false and sets `error` to
// e.g. `line 3: unknown record "foo"`; `out` is then unspecified.
bool parse_state(std::string_view text, Model& out, std::string& error);
std::string serialize_state(const Model& model);

// A name as written in the state file: bytes outside 0x21..0x7e and the
// backslash become \xHH.
std::string escape_state_name(std::string_view name);

// The state path the environment asks for: BRANTEL_SIM_STATE, else
// $XDG_STATE_HOME/brantel-sim/state, else $HOME/.local/state/brantel-sim/state.
// Empty with `error` set when none can be made.
std::string state_path_from_env(std::string& error);

class StateStore {
 public:
  explicit StateStore(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Reads the file; a missing file is an empty module.  On failure returns
  // false with a message naming the file.
  bool read(Model& out, std::string& error) const;

  // Under the lock: re-reads the file, calls change(model), and if it
  // returns 0 writes the result atomically.  Returns change's errno value,
  // or with `error` set: -1 when the file is unreadable or corrupt, -2 when
  // it could not be locked or written.
  // Unless -1, `current` receives the module as it now stands.
  // When the file cannot be written, undo() is called, still under the lock.
  int update(const std::function<int(Model&)>& change, Model& current, std::string& error,
             const std::function<void()>& undo = {}) const;

  // Under the lock: replaces the file by `model`, whatever it held.
  bool replace(const Model& model, std::string& error) const;

 private:
  bool write_locked(const Model& model, std::string& error) const;
  int lock(std::string& error) const;

  std::string path_;
};

}  // namespace brantel_sim

#endif
