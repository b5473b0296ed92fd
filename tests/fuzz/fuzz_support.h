// Shared pieces of the fuzz targets: an input reader, the stand-ins' fixed
// handles, quiet standard streams and the guards that turn a silent fault of
// the tool into a crash libFuzzer records.
#ifndef BRANTEL_FUZZ_SUPPORT_H
#define BRANTEL_FUZZ_SUPPORT_H

#include <linux/if_brantel.h>
#include <sanitizer/asan_interface.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codes.h"
#include "interpose.h"

// Defines the process's ioctl, socket, posix_spawnp and waitpid: include in
// one translation unit only.
namespace brantel_fuzz {

// Handles our socket() and posix_spawnp() stand-ins give out.  They are no
// real descriptor or process, so nothing outside the harness ever sees them.
inline constexpr int kFakeSocket = 0x7ead;
inline constexpr pid_t kFakePid = 0x7ead;

// Far more requests than any input can make the tool send on purpose: one
// run past it is a loop that never ends.
inline constexpr unsigned long kMaxRequests = 100000;

// Reports a fault of the tool and aborts, so libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* why) {
  // Straight to the descriptor: the stderr stream points at /dev/null.
  ssize_t n = ::write(STDERR_FILENO, "brantel fuzz: ", 14);
  n = ::write(STDERR_FILENO, why, std::strlen(why));
  n = ::write(STDERR_FILENO, "\n", 1);
  (void)n;
  std::abort();
}

// The tool prints on every run; that text is of no interest and would drown
// libFuzzer's own report.  Sanitizer reports write to descriptor 2 directly
// and libFuzzer keeps the stream it took at start-up, so both still show.
inline void quiet_stdio() {
  FILE* out = std::fopen("/dev/null", "w");
  FILE* err = std::fopen("/dev/null", "w");
  if (!out || !err) fail("cannot open /dev/null");
  stdout = out;
  stderr = err;
}

// After a failed request the tool must not read its reply record: the module
// wrote nothing there.  The record is poisoned until the tool sends it again,
// so a read in between is reported by AddressSanitizer; the frame that holds
// it clears the poison when it returns.
class ReplyGuard {
 public:
  void reset() { poisoned_ = nullptr; }
  // At the start of each request, before the harness writes a reply.
  void on_request(brantel_ioctl_reply* reply) {
    if (poisoned_ && poisoned_ == reply) ASAN_UNPOISON_MEMORY_REGION(reply, sizeof *reply);
    poisoned_ = nullptr;
  }
  void on_failure(brantel_ioctl_reply* reply) {
    if (!reply) return;
    ASAN_POISON_MEMORY_REGION(reply, sizeof *reply);
    poisoned_ = reply;
  }

 private:
  brantel_ioctl_reply* poisoned_ = nullptr;
};

// Reads the fuzz input front to back; past its end every read fails.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
  bool take(void* out, std::size_t len) {
    if (len > n_) return false;
    std::memcpy(out, p_, len);
    p_ += len;
    n_ -= len;
    return true;
  }
  std::size_t left() const { return n_; }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

// What every run records, whichever harness answers its requests.
struct RunBase {
  unsigned long requests = 0;
  bool child_waiting = false;
  bool interrupt_wait = false;
  ReplyGuard guard;
};

// The run in progress; nullptr between runs, when every call is the real one.
inline RunBase* g_run_base = nullptr;

// Each harness answers the module's requests and decides how an ifconfig
// start goes (0, or the errno value posix_spawnp fails with).
int answer(brantel_ioctl* req);
int start_ifconfig(char* const argv[]);
// The errno value the control socket fails with, or 0.
int socket_error();

}  // namespace brantel_fuzz

namespace brantel_interpose {

bool module_request(int fd, brantel_ioctl* req, int& result) {
  using namespace brantel_fuzz;
  if (!g_run_base || fd != kFakeSocket) return false;
  if (++g_run_base->requests > kMaxRequests) fail("endless loop: too many requests in one run");
  brantel_ioctl_reply* reply =
      brantel_sim::result_kind(req->cmd) != brantel_sim::ResultKind::none ? req->reply : nullptr;
  g_run_base->guard.on_request(reply);
  result = answer(req);
  if (result < 0) g_run_base->guard.on_failure(reply);
  return true;
}

int control_socket_fault() { return brantel_fuzz::g_run_base ? brantel_fuzz::socket_error() : 0; }

int next_ioctl(int fd, unsigned long request, void* arg) {
  return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

// The harness's socket is no real descriptor: nothing outside it sees it.
int next_socket(int domain, int type, int protocol) {
  if (brantel_fuzz::g_run_base) return brantel_fuzz::kFakeSocket;
  return static_cast<int>(::syscall(SYS_socket, domain, type, protocol));
}

}  // namespace brantel_interpose

// ifconfig is never started: the call is checked and answered here.
extern "C" int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t*,
                            const posix_spawnattr_t*, char* const argv[], char* const[]) {
  using namespace brantel_fuzz;
  if (!g_run_base) fail("posix_spawnp outside a run");
  // The interface name must reach ifconfig whole, as one argument, and stay
  // within its 16 bytes whatever the module said.
  if (std::strcmp(file, "ifconfig") != 0 || !argv[0] || std::strcmp(argv[0], "ifconfig") != 0 ||
      !argv[1] || strnlen(argv[1], 64) > BRANTEL_NAMSIZ || !argv[2] ||
      std::strcmp(argv[2], "down") != 0 || argv[3])
    fail("ifconfig started with unexpected arguments");
  if (int err = start_ifconfig(argv)) return err;
  *pid = kFakePid;
  g_run_base->child_waiting = true;
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  brantel_fuzz::quiet_stdio();
  return 0;
}

extern "C" pid_t waitpid(pid_t pid, int* status, int options) {
  using namespace brantel_fuzz;
  if (!g_run_base || pid != kFakePid)
    return static_cast<pid_t>(::syscall(SYS_wait4, pid, status, options, nullptr));
  if (!g_run_base->child_waiting) fail("waited for a child that is gone");
  if (g_run_base->interrupt_wait) {
    g_run_base->interrupt_wait = false;
    errno = EINTR;
    return -1;
  }
  g_run_base->child_waiting = false;
  if (status) *status = 0;
  return pid;
}

namespace brantel_fuzz {

// Checks what every run must leave behind.
inline void end_run(int result) {
  std::fflush(stdout);
  // Exit statuses 0, 1 and 255 are all the tool may give.
  if (result != 0 && result != 1 && result != -1) fail("result other than 0, 1 or -1");
  if (g_run_base->child_waiting) fail("ifconfig started and never waited for");
  g_run_base = nullptr;
}

}  // namespace brantel_fuzz

#endif
