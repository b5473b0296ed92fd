// Inside the netlink layer: requests as built, and the ends of answers as
// read.  Rtnl's transport (netlink.cpp) uses them; the parsers and builders
// live in netlink_messages.cpp.
#ifndef BRANTEL_SIM_LIVE_NETLINK_WIRE_H
#define BRANTEL_SIM_LIVE_NETLINK_WIRE_H

#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "netlink.h"

namespace brantel_sim::live::wire {

// GET requests are answered (by the object, a dump, or an error); the
// others are answered only when they ask for an acknowledgement.
constexpr bool is_get(std::uint16_t type) { return type >= RTM_BASE && (type & 3) == 2; }

// mnl_nlmsg_ok, but also false for a length of 2 GiB or more, which it
// takes for a negative one and so for one that fits.
inline bool message_ok(const nlmsghdr* nlh, int len) {
  return mnl_nlmsg_ok(nlh, len) && nlh->nlmsg_len <= static_cast<unsigned>(len);
}

// One request, or several sent as one datagram.  Each message is begun with
// the fixed header of its kind; flags get NLM_F_REQUEST, and NLM_F_ACK
// unless the message is a GET.  Attributes go to the message begun last.
// Sequence numbers are the transport's to set.
class Batch {
 public:
  Batch() : buf_(kSize) {}
  ifinfomsg* link(std::uint16_t type, std::uint16_t flags, int ifindex);
  tcmsg* tc(std::uint16_t type, std::uint16_t flags, int ifindex, std::uint32_t parent,
            std::uint32_t handle, std::uint32_t info);

  void u32(std::uint16_t type, std::uint32_t value);
  void str(std::uint16_t type, const std::string& value);
  void bytes(std::uint16_t type, const void* data, std::size_t len);
  nlattr* nest(std::uint16_t type);
  void end(nlattr* nest);

  // 0, or why the batch cannot be sent: EMSGSIZE when it does not fit,
  // EINVAL for a string with a NUL inside (the kernel would read less).
  int error() const { return error_; }
  char* data() { return buf_.data(); }
  std::size_t size() const;

 private:
  static constexpr std::size_t kSize = 8192;
  nlmsghdr* start(std::uint16_t type, std::uint16_t flags, std::size_t header);
  std::size_t room() const;

  std::vector<char> buf_;
  std::size_t offset_ = 0;  // where the message begun last starts
  nlmsghdr* cur_ = nullptr;
  int error_ = 0;
};

// An NLMSG_ERROR or NLMSG_DONE: `err` is its errno value (0 for an
// acknowledgement or a dump that went well), `msg` the kernel's explanation
// of a refusal or empty.  False when it is malformed.
bool parse_end(const nlmsghdr* nlh, int& err, std::string& msg);

}  // namespace brantel_sim::live::wire

#endif
