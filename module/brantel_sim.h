// brantel-sim: a user-space stand-in for the brantel kernel module.
//
// The simulator answers SIOCGIFBRANTEL requests as the module would, keeps
// the module's state in a file between runs, injects faults on request and
// traces every request.  The preload library and the launcher are built on
// this API; fuzzers and tests can use it in process.
#ifndef BRANTEL_SIM_H
#define BRANTEL_SIM_H

#include <cerrno>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "faults.h"
#include "model.h"
#include "state_file.h"

struct brantel_ioctl;

namespace brantel_sim {

// Makes each committed change real outside the state file (live mode: on
// the running kernel).
class Realiser {
 public:
  virtual ~Realiser() = default;
  // Called before a change request takes the state lock: 0, or an errno
  // value that fails it at once (live mode: EPERM without CAP_NET_ADMIN).
  virtual int admit() { return 0; }
  // Called under the state lock once a change request has turned the module
  // from `before` into `after`, before the state file is written.  Returns 0,
  // or an errno value after which nothing it did is left behind: the request
  // then fails with that value and the state file stays as it was.
  virtual int realise(const Model& before, const Model& after) = 0;
  // Called under the state lock for a change the module takes: 0, or an
  // errno value that refuses it by a rule of the realiser's own (live mode:
  // an index or flag bit it cannot serve), having said why in one line.
  virtual int vet(const Request& req, const Model& before) {
    (void)req;
    (void)before;
    return 0;
  }
  // Called when the module refused a change with `err`, to say in one line
  // what to do about it; the module itself only answers an errno.
  virtual void refused(const Request& req, int err, const Model& before) {
    (void)req;
    (void)err;
    (void)before;
  }
  // Called once a change is both made and recorded (live mode logs it).
  virtual void committed(const Request& req, const Model& before) {
    (void)req;
    (void)before;
  }
  // Called when the state file cannot record what realise() just made:
  // puts back what it changed, the kernel's own differences from `before`
  // included (an address bound elsewhere by hand stays so).  By default,
  // realise() with the two swapped.
  virtual void take_back(const Model& before, const Model& after) { realise(after, before); }
};

struct Options {
  std::string state_path;   // empty: the module lives in memory only
  Model initial;            // the module in memory starts as this
  std::string faults;       // fault rules, comma-separated
  std::string trace_path;   // empty: no trace
  std::string setup_error;  // when set, reported once and every request fails with EIO
  // Read and write the caller's records through the kernel, so that a bad
  // pointer gives EFAULT rather than a crash (see CallerMemory).
  bool checked_memory = false;
  // When set, each change is also made real by it (live mode).
  std::shared_ptr<Realiser> realiser;
  // Where one-line messages go (without newline); stderr when empty.
  std::function<void(const std::string&)> report;
  // The name those messages begin with.
  std::string prog = "brantel-sim";
  // Appended to the line that reports a state file that cannot be read:
  // the way out of it.
  std::string broken_hint;
};

class Simulator {
 public:
  explicit Simulator(Options opts = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Serves one request as the module would: 0, or an errno value.  The reply
  // record is written only on success.  Nothing is read or written before
  // the first call.
  int serve(brantel_ioctl* req);
  // Accounts for one socket() call: the errno a fault rule fails it with, or 0.
  int socket_call();

 private:
  void setup();
  void report_once(const std::string& message);
  void trace(const std::string& line);
  int serve_model(const Request& req, Reply& reply);

  Options opts_;
  bool set_up_ = false;
  int config_err_ = 0;  // every request fails with it (bad rules, bad environment)
  FaultSet faults_;
  int trace_fd_ = -1;
  std::unique_ptr<StateStore> store_;
  bool loaded_ = false;
  bool broken_ = false;   // the state file is corrupt or unreadable
  int broken_err_ = EIO;  // what every request then fails with
  Model model_;
  std::set<std::string> reported_;
};

}  // namespace brantel_sim

#endif
