// The state file: its text format, and a store that reads it and changes it
// under a lock so that concurrent runs never lose a change.
#ifndef BRANTEL_SIM_STATE_FILE_H
#define BRANTEL_SIM_STATE_FILE_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "model.h"

namespace brantel_sim {

// Version 2 files end with kStateTrailer, so a file cut short shows; files of
// version 1, which have no such line, still load.
inline constexpr std::string_view kStateHeader = "brantel-sim state 2";
inline constexpr std::string_view kStateHeaderV1 = "brantel-sim state 1";
inline constexpr std::string_view kStateTrailer = "end";

// The largest state file read, far above what a million addresses need
// (about 22 bytes each); anything larger is refused rather than loaded.
inline constexpr std::size_t kMaxStateSize = std::size_t{256} << 20;

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

// The files are never reached through a symbolic link, must be regular files
// owned by this user or root, and are replaced by files created afresh: the
// simulator runs as root, perhaps in a folder others can write to.
class StateStore {
 public:
  // `notice` hears one line when the lock is slow to come.
  explicit StateStore(std::string path, std::function<void(const std::string&)> notice = {})
      : path_(std::move(path)), notice_(std::move(notice)) {}
  const std::string& path() const { return path_; }

  // Which file is at the path, and as of when: a file replaced (mv, which
  // takes no lock) or changed shows as another stamp.
  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;  // 0: no file
    off_t size = 0;
    long mtime_ns = 0, ctime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp stamp() const;

  // Reads the file; a missing file is an empty module.  On failure returns
  // false with a message naming the file.  `stamp`, when given, is the
  // file read.
  bool read(Model& out, std::string& error, Stamp* stamp = nullptr) const;

  // Runs f under the lock: f's value, or -2 with `error` set when the file
  // cannot be locked.
  int locked(const std::function<int(std::string&)>& f, std::string& error) const;

  // Under the lock: re-reads the file, calls change(model), and if it
  // returns 0 writes the result atomically.  Returns change's errno value,
  // or with `error` set: -1 when the file is unreadable or corrupt, -2 when
  // it could not be locked or written.
  // Unless -1, `current` receives the module as it now stands.
  // When the file cannot be written, undo() is called, still under the lock.
  int update(const std::function<int(Model&)>& change, Model& current, std::string& error,
             const std::function<void()>& undo = {}) const;

  // Under the lock: replaces the file by `model`, whatever it held.  When
  // given, `first` runs under the lock before the write; its false (with
  // `error` set) leaves the file as it was.  When the file cannot be
  // written after `first` succeeded, undo() is called, still under the lock.
  bool replace(const Model& model, std::string& error,
               const std::function<bool(std::string&)>& first = {},
               const std::function<void()>& undo = {}) const;

 private:
  bool write_locked(const Model& model, std::string& error, const Stamp* read = nullptr) const;
  int lock(std::string& error) const;

  std::string path_;
  std::function<void(const std::string&)> notice_;
};

// Opens a file the simulator writes to or reads its state from, refusing a
// symbolic link and a file owned by another user (root aside); `what` is for
// the message, e.g. "cannot open".  Needs O_NOFOLLOW semantics from flags,
// which it adds.  -1 with `error` set on failure.
int open_owned(const std::string& path, int flags, mode_t mode, std::string& error);

// Whether only its owner and root may change the state file at `path`: the
// file (if there is one) neither group- nor world-writable, and its folder
// owned by this user or root and writable by others only if sticky.  Live
// mode makes real only what such a file says.  False with `error` set.
bool only_owner_writes(const std::string& path, std::string& error);

}  // namespace brantel_sim

#endif
