// The LD_PRELOAD library: answers SIOCGIFBRANTEL on sockets from the
// simulator and hands every other ioctl to the real one.  Nothing happens at
// load time; the simulator sets itself up at the first request.
#include <dlfcn.h>
#include <sys/stat.h>

#include "brantel_sim.h"
#include "interpose.h"

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
