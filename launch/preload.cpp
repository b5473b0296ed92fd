// The LD_PRELOAD library: answers SIOCGIFBRANTEL on sockets from the
// simulator and hands every other ioctl to the real one.  The simulator
// sets itself up at the first request; at load time only a command that
// brantel-sim's front started in live mode is checked (see below).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "interpose.h"
#include "launch.h"
#include "serve.h"

namespace {

template <typename F>
F next_symbol(const char* name) {
  int saved = errno;  // the caller must see the real call's errno only
  F f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  errno = saved;
  return f;
}

bool is_socket(int fd) {
  int saved = errno;
  struct stat st {};
  bool sock = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
  errno = saved;
  return sock;
}

// brantel-sim's front goes without the C++ runtime and leaves the checks
// that need it to the command it starts, before the command's own code:
// it names itself in BRANTEL_SIM_LAUNCHED, which goes no further.
__attribute__((constructor)) void check_front_start(int, char** argv) {
  const char* front = std::getenv("BRANTEL_SIM_LAUNCHED");
  if (!front) return;
  const char* live = std::getenv("BRANTEL_SIM_LIVE");
  std::string prog = std::string_view(front) == "brantel-live" ? "brantel-live" : "brantel-sim";
  unsetenv("BRANTEL_SIM_LAUNCHED");
  std::string error = "no command";
  if (argv && argv[0] && brantel_sim::front_checks(argv, live && *live, error)) return;
  std::string line = prog + ": " + error + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
  _exit(1);
}

}  // namespace

namespace brantel_interpose {

bool module_request(int fd, brantel_ioctl* req, int& result) {
  if (!is_socket(fd)) return false;
  int err = brantel_sim::serve(req);
  if (err) errno = err;
  result = err ? -1 : 0;
  return true;
}

int control_socket_fault() { return brantel_sim::socket_call(); }

int next_ioctl(int fd, unsigned long request, void* arg) {
  using ioctl_fn = int (*)(int, unsigned long, ...);
  static const ioctl_fn real = next_symbol<ioctl_fn>("ioctl");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, request, arg);
}

int next_socket(int domain, int type, int protocol) {
  using socket_fn = int (*)(int, int, int);
  static const socket_fn real = next_symbol<socket_fn>("socket");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(domain, type, protocol);
}

}  // namespace brantel_interpose
