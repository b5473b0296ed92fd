// The module's configuration and the rules by which requests change it.
#ifndef BRANTEL_SIM_MODEL_H
#define BRANTEL_SIM_MODEL_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct brantel_ioctl;

namespace brantel_sim {

inline constexpr std::size_t kNameSize = 16;  // BRANTEL_NAMSIZ
inline constexpr std::size_t kMaxNameLen = kNameSize - 1;

using Mac = std::array<unsigned char, 6>;

struct Vlan {
  std::string name;
  std::vector<Mac> macs;  // in bind order
};

struct Port {
  std::string name;
  std::int32_t flags = 0;
  std::vector<Vlan> vlans;  // in creation order
};

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

// Why a name is refused, or nullptr: empty, 16 bytes or more, NUL or '/'
// inside, "." or "..".  Any other byte is allowed on purpose, so that tests
// can feed hostile names to the tool.
const char* name_problem(std::string_view name);

class Model {
 public:
  const std::vector<Port>& ports() const { return ports_; }
  std::vector<Port>& ports() { return ports_; }

  // Serves one request: 0 or an errno value.  A failed request leaves the
  // model untouched; the reply is filled only on success.
  int execute(const Request& req, Reply& reply);

  // Lookups by name; -1 when absent.
  int find_port(std::string_view name) const;
  // {port index, interface index}, or {-1, -1}.
  std::pair<int, int> find_vlan(std::string_view name) const;

  std::size_t mac_count() const;

 private:
  int enable(std::string_view port);
  int disable(std::string_view port);
  int add(std::string_view port, std::int32_t idx);
  int del(std::string_view ifname);
  int bind(std::string_view ifname, const Mac& mac);
  int unbind(std::string_view ifname, const Mac& mac);
  int set_flags(std::string_view port, std::int32_t flags);

  std::vector<Port> ports_;
};

}  // namespace brantel_sim

#endif
