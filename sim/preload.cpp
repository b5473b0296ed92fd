// The LD_PRELOAD library: answers SIOCGIFBRANTEL on sockets from the
// simulator and hands every other ioctl to the real one.  Nothing happens at
// load time; the simulator sets itself up at the first request.
#include <dlfcn.h>
#include <linux/if_brantel.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>

#include "brantel_sim.h"

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);
using socket_fn = int (*)(int, int, int);

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

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);

  if (request == SIOCGIFBRANTEL && is_socket(fd)) {
    int err = brantel_sim::serve(static_cast<brantel_ioctl*>(arg));
    if (err) {
      errno = err;
      return -1;
    }
    return 0;
  }
  static const ioctl_fn real = next_symbol<ioctl_fn>("ioctl");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, request, arg);
}

extern "C" __attribute__((visibility("default"))) int socket(int domain, int type,
                                                             int protocol) noexcept {
  if (int err = brantel_sim::socket_call()) {
    errno = err;
    return -1;
  }
  static const socket_fn real = next_symbol<socket_fn>("socket");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  return real(domain, type, protocol);
}
