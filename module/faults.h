// Fault rules: TARGET[@N]=ACTION, separated by commas.
#ifndef BRANTEL_SIM_FAULTS_H
#define BRANTEL_SIM_FAULTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brantel_sim {

struct FaultRule {
  enum class Target { code, any, socket };
  enum class Action { fail, num, nonul };

  Target target = Target::any;
  int code = 0;           // for Target::code
  std::uint64_t nth = 0;  // only the nth matching call (1-based); 0: every one
  Action action = Action::fail;
  int err = 0;             // for Action::fail
  std::int32_t num = 0;    // for Action::num
  std::uint64_t seen = 0;  // matching calls so far in this run
};

// Parses one rule.  On failure returns false with the reason in `why`.
bool parse_fault_rule(std::string_view text, FaultRule& out, std::string& why);

class FaultSet {
 public:
  // Parses a comma-separated list (empty items are skipped).  On failure
  // returns false with `error` like: bad fault rule "X": why
  bool parse(std::string_view list, std::string& error);

  struct Decision {
    int err = 0;                      // fail with this errno
    std::optional<std::int32_t> num;  // replace reply.num
    bool nonul = false;               // fill reply.name without a NUL
  };
  // Counts a request against every rule and says what to do with it.
  Decision on_request(int code);
  // Counts a socket() call; the errno to fail it with, or 0.
  int on_socket();

  bool empty() const { return rules_.empty(); }
  const std::vector<FaultRule>& rules() const { return rules_; }

 private:
  std::vector<FaultRule> rules_;
};

}  // namespace brantel_sim

#endif
