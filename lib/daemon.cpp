// daemon(): detach the calling program into the background.
//
// This object is delivered on its own and linked into other people's
// programs, so it needs nothing but the kernel's process calls: no C++
// runtime, no stdio, no state. It defines the routine <unistd.h> already
// declares, with the same C linkage and signature, so a program that
// includes that header and links this object gets this definition.

#include <fcntl.h>
#include <unistd.h>

extern "C" {

char daemon_rcsid[] = "$Id: daemon.cpp,v 1.1 2026/12/09 10:30:00 brantel Exp $";

int daemon(int nochdir, int noclose) noexcept {
  switch (fork()) {
    case -1: return -1;
    case 0: break;
    default:
      // _exit, not exit: the child holds its own copy of every stdio
      // buffer, so flushing here too would write pending output twice.
      _exit(0);
  }

  // A fresh session drops the controlling terminal. Only this and fork
  // are fatal; everything below is best effort.
  if (setsid() == -1) return -1;

  if (nochdir == 0) {
    // Don't keep a mount busy; failure here leaves us where we were.
    int ignored = chdir("/");
    (void)ignored;
  }

  if (noclose != 0) return 0;

  // Without /dev/null (a bare chroot, say) the descriptors stay as they
  // are rather than failing the whole detach.
  int fd = open("/dev/null", O_RDWR, 0);
  if (fd == -1) return 0;

  dup2(fd, STDIN_FILENO);
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  // If a standard descriptor was closed, open filled that slot; it is
  // one of the three now and must stay open.
  if (fd > STDERR_FILENO) close(fd);
  return 0;
}

}  // extern "C"
