// Route netlink, as live mode needs it: network devices, device groups and
// a port's tc filters.  Names travel as attributes, so any name the kernel
// allows works, '#' included.
#ifndef BRANTEL_SIM_LIVE_NETLINK_H
#define BRANTEL_SIM_LIVE_NETLINK_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

namespace brantel_sim::live {

struct Link {
  int ifindex = 0;
  std::string name;
  std::string kind;  // "macvlan", "veth", ... or empty
  int parent = 0;    // IFLA_LINK: the device it is stacked on
  std::uint32_t group = 0;
  unsigned flags = 0;  // IFF_*, IFF_PROMISC as the administrator set it
  std::uint32_t macvlan_mode = 0;
  std::array<unsigned char, 6> mac{};
};

struct Filter {
  std::uint32_t parent = 0;    // TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS) ...
  std::uint32_t priority = 0;  // as tc shows it
  std::uint32_t handle = 0;
  std::string kind;
};

class Rtnl {
 public:
  Rtnl() = default;
  ~Rtnl();
  Rtnl(const Rtnl&) = delete;
  Rtnl& operator=(const Rtnl&) = delete;

  // Each returns 0 or an errno value; the kernel's own explanation, if it
  // gave one, is in last_message().
  int get_link(const std::string& name, Link& out);
  int get_link(int ifindex, Link& out);
  int links(std::vector<Link>& out);
  // A macvlan in private mode on `parent`, in `group`, down.  `mac` of all
  // zeros lets the kernel choose.
  int create_macvlan(const std::string& name, int parent, std::uint32_t group,
                     const std::array<unsigned char, 6>& mac, Link& out);
  int delete_link(int ifindex);
  // Deletes every device of the group in one request.
  int delete_group(std::uint32_t group);
  int set_promisc(int ifindex, bool on);
  // The filters at one parent of the device (ingress or egress of clsact).
  int filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out);
  // Whether the device has a clsact qdisc.
  int has_clsact(int ifindex, bool& has);
  // Adds a clsact qdisc if the device has none, and a direct-action BPF
  // filter at its ingress, in one batch: a process killed between the two
  // cannot leave a qdisc behind without the filter that marks it ours.
  // `created` tells whether the qdisc is new; `qdisc_err` is the errno
  // value of its creation, 0 when it was made or already there.
  int attach_ingress(int ifindex, int prog_fd, const std::string& name, std::uint32_t handle,
                     std::uint32_t priority, bool& created, int& qdisc_err);

  const std::string& last_message() const { return message_; }

 private:
  int open();
  int link_request(nlmsghdr* nlh, Link* out);
  int run(nlmsghdr* nlh, const std::function<void(const nlmsghdr*)>& each);
  int send(const void* data, std::size_t len);
  // Reads replies until request `seq` is acknowledged; the errno values of
  // the requests from `first` on land in `errors`.
  int receive(unsigned first, std::vector<int>& errors,
              const std::function<void(const nlmsghdr*)>& each);

  mnl_socket* sock_ = nullptr;
  unsigned port_id_ = 0;
  unsigned seq_ = 0;
  std::string message_;
};

}  // namespace brantel_sim::live

#endif
