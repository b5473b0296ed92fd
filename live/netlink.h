// Route netlink, as live mode needs it: network devices, device groups,
// clsact qdiscs and tc filters.  One transport (sequence and port checks,
// acknowledgements only where no answer comes, extended ack, interrupted
// dumps), one builder per kind of message, and attributes validated before
// use.  Names travel as attributes, so any name the kernel allows works,
// '#' included.
#ifndef BRANTEL_SIM_LIVE_NETLINK_H
#define BRANTEL_SIM_LIVE_NETLINK_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct nlmsghdr;

namespace brantel_sim::live {

using MacBytes = std::array<unsigned char, 6>;

struct Link {
  int ifindex = 0;
  std::string name;
  std::string kind;                // IFLA_INFO_KIND: "macvlan", "veth", ... or empty
  int parent = 0;                  // IFLA_LINK: the device it is stacked on, 0 if none
  bool parent_elsewhere = false;   // IFLA_LINK_NETNSID: that device is in another namespace
  std::uint32_t group = 0;         // IFLA_GROUP
  unsigned flags = 0;              // ifi_flags (IFF_*)
  unsigned short type = 0;         // ifi_type (ARPHRD_*)
  std::uint32_t macvlan_mode = 0;  // IFLA_MACVLAN_MODE, 0 when not a macvlan
  MacBytes mac{};                  // IFLA_ADDRESS when 6 bytes long, else zeros
};

struct Qdisc {
  int ifindex = 0;
  std::uint32_t handle = 0;
  std::uint32_t parent = 0;
  std::string kind;
};

struct Filter {
  int ifindex = 0;
  std::uint32_t parent = 0;    // TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS) ...
  std::uint32_t priority = 0;  // as tc shows it (pref)
  std::uint32_t handle = 0;
  std::uint16_t protocol = 0;  // host byte order (ETH_P_ALL ...)
  std::string kind;            // "bpf", "u32", ...
  // bpf filters only:
  std::uint32_t prog_id = 0;   // TCA_BPF_ID
  std::string prog_name;       // TCA_BPF_NAME
  bool direct_action = false;  // TCA_BPF_FLAG_ACT_DIRECT
};

// Pure parsers, shared by Rtnl and the fuzzer: false when the message is
// not of the kind or is malformed (short header, an attribute of the wrong
// type or length, a string without its NUL, attributes that run past their
// end).  Unknown attributes are ignored.  `nlh` must be a whole message:
// nlmsg_len bytes readable.
bool parse_link(const nlmsghdr* nlh, Link& out);
bool parse_qdisc(const nlmsghdr* nlh, Qdisc& out);
bool parse_filter(const nlmsghdr* nlh, Filter& out);

// Where messages go and answers come from: the kernel, or a test's stand-in.
class Transport {
 public:
  virtual ~Transport() = default;
  // 0 or an errno value.
  virtual int send(const void* data, std::size_t len) = 0;
  // Bytes received (one datagram), or -1 with errno set.
  virtual ssize_t receive(void* buf, std::size_t len) = 0;
  // The netlink port id the kernel answers to.
  virtual std::uint32_t port_id() const = 0;
};

// A route netlink socket (NETLINK_ROUTE, close-on-exec, extended ack),
// opened at first use.
std::unique_ptr<Transport> kernel_transport();

class Rtnl {
 public:
  explicit Rtnl(std::unique_ptr<Transport> transport = nullptr);  // null: the kernel's
  ~Rtnl();
  Rtnl(const Rtnl&) = delete;
  Rtnl& operator=(const Rtnl&) = delete;

  // Each returns 0 or an errno value; the kernel's own explanation of a
  // refusal, if it gave one, is in last_message().  A dump the kernel
  // interrupted (NLM_F_DUMP_INTR) is asked again, a few times, then EINTR.
  // A malformed answer fails the call with EBADMSG (the rest of the answer
  // is still read); a dump that fails leaves its output empty.  EINVAL for
  // a name with a NUL inside, ETIMEDOUT when the kernel does not answer.

  // ENODEV when there is no such device.
  int get_link(const std::string& name, Link& out);
  int get_link(int ifindex, Link& out);
  // Every device, or only those of one kind (the kernel filters).
  int links(std::vector<Link>& out, const std::string& kind = {});
  // A macvlan in private mode on `parent`, in `group`, down, with address
  // `mac`; `out` is the device as made.  EEXIST when the name is taken.
  int create_macvlan(const std::string& name, int parent, std::uint32_t group, const MacBytes& mac,
                     Link& out);
  int delete_link(int ifindex);
  // Deletes every device of the group in one request.
  int delete_group(std::uint32_t group);
  int set_group(int ifindex, std::uint32_t group);
  int set_promisc(int ifindex, bool on);
  int set_up(int ifindex, bool on);

  // Those of one device, or of all with ifindex 0.
  int qdiscs(int ifindex, std::vector<Qdisc>& out);
  // The filters at one parent of the device (ingress or egress of clsact),
  // as the kernel lists them: each priority's classifier first, with
  // handle 0 and no program, then its filters.
  int filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out);
  // A clsact qdisc: EEXIST when the device has one already.
  int add_clsact(int ifindex);
  int delete_clsact(int ifindex);
  // A direct-action BPF filter for every protocol at `parent`.  Without
  // `replace`, EEXIST when the slot (priority, handle) is taken; with it,
  // the filter there is replaced.
  int add_bpf_filter(int ifindex, std::uint32_t parent, std::uint32_t priority,
                     std::uint32_t handle, int prog_fd, const std::string& name, bool replace);
  // The filter at (priority, handle), whatever its protocol; handle 0
  // deletes every filter of the priority.
  int delete_filter(int ifindex, std::uint32_t parent, std::uint32_t priority,
                    std::uint32_t handle);
  // A clsact qdisc if the device has none, and add_bpf_filter(ingress,
  // no replace), in one batch: a process killed between the two cannot leave
  // a qdisc behind without the filter that marks it ours.  `created` tells
  // whether the qdisc is new; `qdisc_err` is the errno value of its
  // creation, 0 when it was made or already there.  A qdisc made for a
  // filter that then failed stays: `created` says it is the caller's.
  int attach_ingress(int ifindex, int prog_fd, const std::string& name, std::uint32_t priority,
                     std::uint32_t handle, bool& created, int& qdisc_err);

  const std::string& last_message() const { return message_; }

 private:
  int set_flag(int ifindex, unsigned flag, bool on);

  class Impl;
  std::unique_ptr<Impl> impl_;
  std::string message_;
};

}  // namespace brantel_sim::live

#endif
