// Fuzz target: arbitrary command lines through the dispatcher and every
// handler, answered in-process by the simulator's model.
//
// Input: one flag byte, then fields separated by NUL bytes:
//   flags \0? STATE \0 FAULTS \0 ARGV0 \0 ARGV1 \0 ...
// STATE is the body of a state file (records after the header line), FAULTS
// a list of fault rules as brantel-sim takes them, and the fields after them
// the whole argument vector, program name included (none at all: argc 0).
// Flag bit 0 makes ifconfig impossible to start; bit 1 interrupts the wait
// for it once.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brantel_config.h"
#include "fuzz_support.h"
#include "serve.h"

namespace brantel_fuzz {
namespace {

constexpr std::size_t kMaxArgs = 16;

struct Run : RunBase {
  bool spawn_fails = false;
};

Run* g_run;

std::string_view next_field(std::string_view& rest) {
  std::size_t nul = rest.find('\0');
  std::string_view field = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);
  return field;
}

}  // namespace

// The simulator itself answers, in memory and without checked access, so
// that the tool's own bad pointers reach AddressSanitizer.
int answer(brantel_ioctl* req) {
  if (int err = brantel_sim::serve(req)) {
    errno = err;
    return -1;
  }
  return 0;
}

int start_ifconfig(char* const[]) { return g_run->spawn_fails ? ENOENT : 0; }

int socket_error() { return brantel_sim::socket_call(); }

}  // namespace brantel_fuzz

using namespace brantel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string state(brantel_sim::kStateHeaderV1);  // no end line needed
  state += '\n';
  state += next_field(rest);
  brantel_sim::Options opts;
  std::string error;
  if (!brantel_sim::parse_state(state, opts.initial, error)) return -1;  // not a module
  opts.faults = next_field(rest);
  opts.report = [](const std::string&) {};
  brantel_sim::reset_default(std::move(opts));

  auto run = std::make_unique<Run>();
  run->spawn_fails = flags & 1;
  run->interrupt_wait = flags & 2;

  // Each argument in a block of its own size, so a read or write past one is
  // caught; the tool writes into them (bind cuts the address in place).
  std::vector<std::unique_ptr<char[]>> args;
  while (!rest.empty() && args.size() < kMaxArgs) {
    std::string_view a = next_field(rest);
    auto copy = std::make_unique<char[]>(a.size() + 1);
    std::memcpy(copy.get(), a.data(), a.size());
    copy[a.size()] = '\0';
    args.push_back(std::move(copy));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.get());
  argv.push_back(nullptr);

  g_run = run.get();
  g_run_base = g_run;
  end_run(dispatch(static_cast<int>(args.size()), argv.data()));
  return 0;
}
