// Fuzz target: arbitrary module replies to `info` and `unload` - any counts,
// names with and without a NUL, any error number.
//
// Input: one byte whose bit 0 picks unload over info, then one reply per
// request the tool sends, in order:
//   tag                       bit 7 set: the request fails
//   failed:  errno (2 bytes)  any value, 0 and EEXIST included
//   served:  num              bit 6 of tag set: 4 bytes; clear: tag & 0x3f, less 8
//            length, name     length % 17 bytes of name, NUL-padded to 16;
//                             a length of 16 leaves no room for a NUL
//   bit 5 of tag: ioctl returns 1 instead of 0 (still a success)
// Past the end of the input every request fails with EIO, so each input
// makes a bounded number of requests and a run that goes on is a loop.
// Each ifconfig start takes one byte while there is input: bit 0 fails the
// start, bit 1 interrupts the wait once.
#include <errno.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdarg>

#include "brantel_config.h"
#include "fuzz_support.h"

namespace {

using namespace brantel_fuzz;

struct Run {
  explicit Run(Bytes b) : in(b) {}
  Bytes in;
  unsigned long requests = 0;
  bool child_waiting = false;
  bool interrupt_wait = false;
  ReplyGuard guard;
};

Run* g_run;

int fail_with(int err) {
  errno = err;
  return -1;
}

int answer(brantel_ioctl* req) {
  Run& run = *g_run;
  if (++run.requests > kMaxRequests) fail("endless loop: too many requests in one run");
  bool query = has_reply(req->cmd);
  brantel_ioctl_reply* reply = query ? req->reply : nullptr;
  if (query && !reply) fail("a query sent without a reply record");
  run.guard.on_request(reply);

  std::uint8_t tag;
  if (!run.in.take(&tag, 1)) {
    run.guard.on_failure(reply);
    return fail_with(EIO);
  }
  if (tag & 0x80) {
    std::uint16_t err = EIO;
    run.in.take(&err, sizeof err);
    run.guard.on_failure(reply);
    return fail_with(err);
  }
  std::int32_t num = (tag & 0x3f) - 8;
  if (tag & 0x40) run.in.take(&num, sizeof num);
  std::uint8_t len = 0;
  run.in.take(&len, 1);
  char name[BRANTEL_NAMSIZ] = {};
  std::size_t n = len % (BRANTEL_NAMSIZ + 1);
  if (n > run.in.left()) n = run.in.left();
  run.in.take(name, n);
  if (reply) {
    reply->num = num;
    std::memcpy(reply->name, name, sizeof name);
  }
  return tag & 0x20 ? 1 : 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (!g_run || fd != kFakeSocket || request != SIOCGIFBRANTEL) return real_ioctl(fd, request, arg);
  return answer(static_cast<brantel_ioctl*>(arg));
}

extern "C" int socket(int domain, int type, int protocol) __THROW {
  if (!g_run) return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
  return kFakeSocket;
}

extern "C" int posix_spawnp(pid_t* pid, const char*, const posix_spawn_file_actions_t*,
                            const posix_spawnattr_t*, char* const argv[], char* const[]) {
  if (!g_run) fail("posix_spawnp outside a run");
  // Whatever the module said, the name handed on stays within its 16 bytes.
  if (!argv[1] || strnlen(argv[1], 64) > BRANTEL_NAMSIZ) fail("interface name past 16 bytes");
  std::uint8_t how = 0;
  g_run->in.take(&how, 1);
  if (how & 1) return EAGAIN;
  g_run->interrupt_wait = how & 2;
  g_run->child_waiting = true;
  *pid = kFakePid;
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
  char prog[] = "brantel_config";
  char info[] = "info";
  char unload[] = "unload";
  char* argv[] = {prog, data[0] & 1 ? unload : info, nullptr};

  Run run(Bytes(data + 1, size - 1));
  g_run = &run;
  int result = dispatch(2, argv);
  std::fflush(stdout);
  if (result != 0 && result != 1) fail("result other than 0 or 1");
  if (run.child_waiting) fail("ifconfig started and never waited for");
  g_run = nullptr;
  return 0;
}
