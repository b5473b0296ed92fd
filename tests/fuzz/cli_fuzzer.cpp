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
#include <errno.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brantel_config.h"
#include "codes.h"
#include "faults.h"
#include "fuzz_support.h"
#include "model.h"
#include "state_file.h"

namespace {

using namespace brantel_fuzz;

constexpr std::size_t kMaxArgs = 16;

struct Run {
  brantel_sim::Model model;
  brantel_sim::FaultSet faults;
  int config_err = 0;  // bad fault rules: every request fails, as in the simulator
  bool spawn_fails = false;
  bool interrupt_wait = false;
  bool child_waiting = false;
  unsigned long requests = 0;
  ReplyGuard guard;
};

Run* g_run;

// The simulator's serve() without files, trace or checked memory, so that
// the tool's own bad pointers reach AddressSanitizer.
int serve(brantel_ioctl* raw) {
  Run& run = *g_run;
  if (++run.requests > kMaxRequests) fail("endless loop: too many requests in one run");
  run.guard.on_request(raw->reply);
  brantel_sim::Request req = brantel_sim::decode(*raw);
  brantel_sim::Reply reply;
  brantel_sim::FaultSet::Decision d = run.faults.on_request(req.code);
  int err = run.config_err ? run.config_err : d.err;
  if (!err) err = run.model.execute(req, reply);
  if (err) {
    if (has_reply(req.code)) run.guard.on_failure(raw->reply);
    return err;
  }
  brantel_sim::ResultKind kind = brantel_sim::result_kind(req.code);
  if (d.num) reply.num = *d.num;
  if (d.nonul) {
    std::size_t len = kind == brantel_sim::ResultKind::mac
                          ? 6
                          : strnlen(reply.name.data(), brantel_sim::kNameSize);
    std::memset(reply.name.data() + len, '*', brantel_sim::kNameSize - len);
  }
  if (kind == brantel_sim::ResultKind::num || d.num) raw->reply->num = reply.num;
  if (kind == brantel_sim::ResultKind::name || kind == brantel_sim::ResultKind::mac)
    std::memcpy(raw->reply->name, reply.name.data(), brantel_sim::kNameSize);
  return 0;
}

std::string_view next_field(std::string_view& rest) {
  std::size_t nul = rest.find('\0');
  std::string_view field = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view{} : rest.substr(nul + 1);
  return field;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!g_run || fd != kFakeSocket || request != SIOCGIFBRANTEL) return real_ioctl(fd, request, arg);
  int err = serve(static_cast<brantel_ioctl*>(arg));
  if (err) {
    errno = err;
    return -1;
  }
  return 0;
}

extern "C" int socket(int domain, int type, int protocol) __THROW {
  if (!g_run) return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
  if (int err = g_run->faults.on_socket()) {
    errno = err;
    return -1;
  }
  return kFakeSocket;
}

// ifconfig is never started: the call is checked and answered here.
extern "C" int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t*,
                            const posix_spawnattr_t*, char* const argv[], char* const[]) {
  if (!g_run) fail("posix_spawnp outside a run");
  // The interface name must reach ifconfig whole, as one argument.
  if (std::strcmp(file, "ifconfig") != 0 || !argv[0] || std::strcmp(argv[0], "ifconfig") != 0 ||
      !argv[1] || strnlen(argv[1], 64) > brantel_sim::kNameSize || !argv[2] ||
      std::strcmp(argv[2], "down") != 0 || argv[3])
    fail("ifconfig started with unexpected arguments");
  if (g_run->spawn_fails) return ENOENT;
  *pid = kFakePid;
  g_run->child_waiting = true;
  return 0;
}

extern "C" pid_t waitpid(pid_t pid, int* status, int options) {
  if (!g_run || pid != kFakePid)
    return static_cast<pid_t>(::syscall(SYS_wait4, pid, status, options, nullptr));
  if (!g_run->child_waiting) fail("waited for a child that is gone");
  if (g_run->interrupt_wait) {
    g_run->interrupt_wait = false;
    errno = EINTR;
    return -1;
  }
  g_run->child_waiting = false;
  if (status) *status = 0;
  return pid;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quiet_stdio();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string state(brantel_sim::kStateHeader);
  state += '\n';
  state += next_field(rest);
  std::string_view faults = next_field(rest);

  auto run = std::make_unique<Run>();
  std::string error;
  if (!brantel_sim::parse_state(state, run->model, error)) return -1;  // not a module
  if (!run->faults.parse(faults, error)) run->config_err = EINVAL;
  bool interrupt = flags & 2;
  run->spawn_fails = flags & 1;

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
  g_run->interrupt_wait = interrupt;
  int result = dispatch(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  // Exit statuses 0, 1 and 255 are all the tool may give.
  if (result != 0 && result != 1 && result != -1) fail("result other than 0, 1 or -1");
  if (g_run->child_waiting) fail("ifconfig started and never waited for");
  g_run = nullptr;
  return 0;
}
