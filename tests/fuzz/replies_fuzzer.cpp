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
#include "brantel_config.h"
#include "fuzz_support.h"

namespace brantel_fuzz {
namespace {

struct Run : RunBase {
  explicit Run(Bytes b) : in(b) {}
  Bytes in;
};

Run* g_run;

int fail_with(int err) {
  errno = err;
  return -1;
}

}  // namespace

int answer(brantel_ioctl* req) {
  Run& run = *g_run;
  bool query = brantel_sim::result_kind(req->cmd) != brantel_sim::ResultKind::none;
  brantel_ioctl_reply* reply = query ? req->reply : nullptr;
  if (query && !reply) fail("a query sent without a reply record");

  std::uint8_t tag;
  if (!run.in.take(&tag, 1)) return fail_with(EIO);
  if (tag & 0x80) {
    std::uint16_t err = EIO;
    run.in.take(&err, sizeof err);
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

int start_ifconfig(char* const[]) {
  std::uint8_t how = 0;
  g_run->in.take(&how, 1);
  if (how & 1) return EAGAIN;
  g_run->interrupt_wait = how & 2;
  return 0;
}

int socket_error() { return 0; }

}  // namespace brantel_fuzz

using namespace brantel_fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  char prog[] = "brantel_config";
  char info[] = "info";
  char unload[] = "unload";
  char* argv[] = {prog, data[0] & 1 ? unload : info, nullptr};

  Run run(Bytes(data + 1, size - 1));
  g_run = &run;
  g_run_base = &run;
  int result = dispatch(2, argv);
  // info and unload never pass on a worker's -1.
  if (result == -1) fail("result -1 from info or unload");
  end_run(result);
  return 0;
}
