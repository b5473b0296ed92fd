#include "faults.h"

#include <charconv>

#include "codes.h"

namespace brantel_sim {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

template <typename T>
bool parse_decimal(std::string_view s, T& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool is_digits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// The kernel's errno values stop below this.
constexpr int kMaxErrno = 4095;

bool matches(const FaultRule& r, int code) {
  return r.target == FaultRule::Target::any ||
         (r.target == FaultRule::Target::code && r.code == code);
}

// Counts the call and says whether the rule fires for it.
bool fires(FaultRule& r) {
  ++r.seen;
  return r.nth == 0 || r.seen == r.nth;
}

}  // namespace

bool parse_fault_rule(std::string_view text, FaultRule& out, std::string& why) {
  out = FaultRule{};
  std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    why = "expected TARGET[@N]=ACTION";
    return false;
  }
  std::string_view target = text.substr(0, eq), action = text.substr(eq + 1);

  if (std::size_t at = target.find('@'); at != std::string_view::npos) {
    std::string_view n = target.substr(at + 1);
    if (!is_digits(n) || !parse_decimal(n, out.nth) || out.nth == 0) {
      why = "@N needs a whole number of 1 or more";
      return false;
    }
    target = target.substr(0, at);
  }
  if (target == "*") {
    out.target = FaultRule::Target::any;
  } else if (target == "socket") {
    out.target = FaultRule::Target::socket;
  } else if (int code = code_by_name(target)) {
    out.target = FaultRule::Target::code;
    out.code = code;
  } else {
    why = target.empty() ? "no target"
                         : "unknown target \"" + std::string(target) +
                               "\" (a request name such as GET_NUM_PORTS, * or socket)";
    return false;
  }

  ResultKind kind = out.target == FaultRule::Target::code ? result_kind(out.code) : ResultKind::num;
  if (action.substr(0, 4) == "num=") {
    if (!parse_decimal(action.substr(4), out.num)) {
      why = "num= needs a decimal int";
      return false;
    }
    out.action = FaultRule::Action::num;
    if (out.target == FaultRule::Target::socket || kind == ResultKind::none) {
      why = "num= needs a request with a reply";
      return false;
    }
  } else if (action == "nonul") {
    out.action = FaultRule::Action::nonul;
    bool named = out.target == FaultRule::Target::any ||
                 (out.target == FaultRule::Target::code &&
                  (kind == ResultKind::name || kind == ResultKind::mac));
    if (!named) {
      why = "nonul needs a request that returns a name";
      return false;
    }
  } else {
    out.action = FaultRule::Action::fail;
    if (is_digits(action)) {
      if (!parse_decimal(action, out.err) || out.err < 1 || out.err > kMaxErrno) {
        why = "errno number out of range 1.." + std::to_string(kMaxErrno);
        return false;
      }
    } else if (!(out.err = errno_by_name(action))) {
      why = action.empty() ? "no action"
                           : "unknown action \"" + std::string(action) +
                                 "\" (an errno name or number, num=V or nonul)";
      return false;
    }
  }
  return true;
}

bool FaultSet::parse(std::string_view list, std::string& error) {
  rules_.clear();
  while (true) {
    std::size_t comma = list.find(',');
    std::string_view item = trim(list.substr(0, comma));
    if (!item.empty()) {
      FaultRule r;
      std::string why;
      if (!parse_fault_rule(item, r, why)) {
        error = "bad fault rule \"" + std::string(item) + "\": " + why;
        rules_.clear();
        return false;
      }
      rules_.push_back(r);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return true;
}

FaultSet::Decision FaultSet::on_request(int code) {
  Decision d;
  for (FaultRule& r : rules_) {
    if (!matches(r, code) || !fires(r)) continue;
    switch (r.action) {
      case FaultRule::Action::fail:
        if (!d.err) d.err = r.err;
        break;
      case FaultRule::Action::num:
        if (result_kind(code) != ResultKind::none) d.num = r.num;
        break;
      case FaultRule::Action::nonul:
        if (result_kind(code) == ResultKind::name || result_kind(code) == ResultKind::mac)
          d.nonul = true;
        break;
    }
  }
  return d;
}

int FaultSet::on_socket() {
  int err = 0;
  for (FaultRule& r : rules_)
    if (r.target == FaultRule::Target::socket && fires(r) && !err) err = r.err;
  return err;
}

}  // namespace brantel_sim
