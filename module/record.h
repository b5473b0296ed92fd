// The request record as the module receives it: reading the caller's memory
// and decoding the fields its code lists, apart from what the module then
// does with the request (model.h).
#ifndef BRANTEL_SIM_RECORD_H
#define BRANTEL_SIM_RECORD_H

#include <linux/if_brantel.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brantel_sim {

inline constexpr std::size_t kNameSize = BRANTEL_NAMSIZ;
inline constexpr std::size_t kMaxNameLen = kNameSize - 1;
static_assert(sizeof(brantel_ioctl_reply::name) == kNameSize);

using Mac = std::array<unsigned char, 6>;

// "aa:bb:cc:dd:ee:ff", lower case.
std::string format_mac(const unsigned char* mac);
inline std::string format_mac(const Mac& mac) { return format_mac(mac.data()); }
// The value of a hexadecimal digit, or -1.
int hex_digit(char c);
// "\xHH" for a byte that cannot be shown as itself.
void append_hex_escape(std::string& out, unsigned char c);

// Exactly that form, either case; false for anything else.
bool parse_mac(std::string_view text, Mac& out);

// Access to the caller's memory.  Checked access goes through the kernel
// (process_vm_readv/writev), so a bad pointer gives EFAULT as the module
// would, instead of crashing the host; unchecked access lets sanitizers of an
// in-process caller see its bad pointers.
struct CallerMemory {
  bool checked = false;
  // Copies up to n bytes; returns how many could be read.
  std::size_t read(void* dst, const void* src, std::size_t n) const;
  bool write(void* dst, const void* src, std::size_t n) const;
};

// A name as read from a request: at most 16 bytes, stopping at a NUL.
struct NameArg {
  bool null = false;          // the pointer was NULL
  bool bad = false;           // the pointer could not be read
  bool unterminated = false;  // no NUL within 16 bytes
  std::string bytes;          // what was read (16 bytes when unterminated)
};

// A request copied out of the caller's record.  Only the fields its code
// lists are read; the rest of the record may hold garbage.
struct Request {
  int code = 0;
  std::int32_t portidx = 0;
  std::int32_t ifidx = 0;
  std::int32_t macaddridx = 0;
  NameArg ifname;
  std::optional<Mac> mac;  // nullopt: macaddr was NULL or unreadable
  bool mac_bad = false;    // macaddr could not be read
  bool reply_null = false;
};

// What a successful request hands back.
struct Reply {
  std::int32_t num = 0;
  std::array<char, kNameSize> name{};
};

Request decode(const brantel_ioctl& raw, const CallerMemory& mem = {});
NameArg read_name(const char* p, const CallerMemory& mem = {});

}  // namespace brantel_sim

#endif
