// Shared pieces of the fuzz targets: an input reader, the stand-ins' fixed
// handles, quiet standard streams and the guards that turn a silent fault of
// the tool into a crash libFuzzer records.
#ifndef BRANTEL_FUZZ_SUPPORT_H
#define BRANTEL_FUZZ_SUPPORT_H

#include <linux/if_brantel.h>
#include <sanitizer/asan_interface.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Any ioctl that is not ours goes to the kernel unchanged.
inline int real_ioctl(int fd, unsigned long request, void* arg) {
  return static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
}

// The requests that carry a reply record back.
inline bool has_reply(int code) {
  return code >= GET_NUM_PORTS && code <= GET_PORT_FLAGS && code != SET_PORT_FLAGS;
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

}  // namespace brantel_fuzz

#endif
