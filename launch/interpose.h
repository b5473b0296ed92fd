// The process's own ioctl() and socket(): a request to the module is answered
// through the hooks below, every other call goes on unchanged.  The preload
// library and the in-process harnesses each include this in one translation
// unit and define the hooks.
#ifndef BRANTEL_SIM_INTERPOSE_H
#define BRANTEL_SIM_INTERPOSE_H

#include <linux/if_brantel.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>

namespace brantel_interpose {

// Answers a module request sent on fd as ioctl() would: `result` is the
// call's result, with errno set on failure.  False when the call is not one
// for the module and must go on.
bool module_request(int fd, brantel_ioctl* req, int& result);
// Called for a socket() of the shape of the module's control socket: the
// errno value to fail it with, or 0.
int control_socket_fault();
// Where the calls go on to.
int next_ioctl(int fd, unsigned long request, void* arg);
int next_socket(int domain, int type, int protocol);

// The module's control socket is made as socket(AF_INET, SOCK_STREAM, 0);
// faults aimed at it must not reach other programs' sockets (ifconfig's).
inline bool is_control_socket_call(int domain, int type, int protocol) {
  return domain == AF_INET && (type & 0xf) == SOCK_STREAM && protocol == 0;
}

}  // namespace brantel_interpose

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int result;
  if (request == SIOCGIFBRANTEL &&
      brantel_interpose::module_request(fd, static_cast<brantel_ioctl*>(arg), result))
    return result;
  return brantel_interpose::next_ioctl(fd, request, arg);
}

extern "C" __attribute__((visibility("default"))) int socket(int domain, int type,
                                                             int protocol) noexcept {
  if (brantel_interpose::is_control_socket_call(domain, type, protocol)) {
    if (int err = brantel_interpose::control_socket_fault()) {
      errno = err;
      return -1;
    }
  }
  return brantel_interpose::next_socket(domain, type, protocol);
}

#endif
