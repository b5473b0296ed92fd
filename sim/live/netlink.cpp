#include "netlink.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace brantel_sim::live {
namespace {

constexpr std::size_t kBufferSize = 65536;  // room for any one dump reply

// libmnl's iteration macros convert from void*, which C++ does not allow.
template <typename F>
void each_attr(const void* start, const void* end, F f) {
  auto* a = static_cast<const nlattr*>(start);
  auto left = [&] {
    return static_cast<int>(static_cast<const char*>(end) - reinterpret_cast<const char*>(a));
  };
  for (; mnl_attr_ok(a, left()); a = mnl_attr_next(a)) f(a);
}

template <typename F>
void each_attr(const nlmsghdr* nlh, std::size_t offset, F f) {
  each_attr(mnl_nlmsg_get_payload_offset(nlh, offset), mnl_nlmsg_get_payload_tail(nlh), f);
}

template <typename F>
void each_nested(const nlattr* nest, F f) {
  auto* start = static_cast<const char*>(mnl_attr_get_payload(nest));
  each_attr(start, start + mnl_attr_get_payload_len(nest), f);
}

void parse_link_info(const nlattr* info, Link& l) {
  each_nested(info, [&](const nlattr* a) {
    switch (mnl_attr_get_type(a)) {
      case IFLA_INFO_KIND: l.kind = mnl_attr_get_str(a); break;
      case IFLA_INFO_DATA:
        each_nested(a, [&](const nlattr* d) {
          if (mnl_attr_get_type(d) == IFLA_MACVLAN_MODE &&
              mnl_attr_get_payload_len(d) >= sizeof(std::uint32_t))
            l.macvlan_mode = mnl_attr_get_u32(d);
        });
        break;
      default: break;
    }
  });
}

Link parse_link(const nlmsghdr* nlh) {
  Link l;
  auto* ifi = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
  l.ifindex = ifi->ifi_index;
  l.flags = ifi->ifi_flags;
  each_attr(nlh, sizeof *ifi, [&](const nlattr* a) {
    std::size_t len = mnl_attr_get_payload_len(a);
    switch (mnl_attr_get_type(a)) {
      case IFLA_IFNAME: l.name = mnl_attr_get_str(a); break;
      case IFLA_LINK:
        if (len >= 4) l.parent = static_cast<int>(mnl_attr_get_u32(a));
        break;
      case IFLA_GROUP:
        if (len >= 4) l.group = mnl_attr_get_u32(a);
        break;
      case IFLA_ADDRESS:
        if (len == l.mac.size()) std::memcpy(l.mac.data(), mnl_attr_get_payload(a), len);
        break;
      case IFLA_LINKINFO: parse_link_info(a, l); break;
      default: break;
    }
  });
  return l;
}

// Every request but a dump asks for an acknowledgement, which ends its
// reply.  (NLM_F_EXCL and NLM_F_MATCH share a bit, so flags cannot tell.)
nlmsghdr* start(std::vector<char>& buf, std::uint16_t type, std::uint16_t flags) {
  buf.assign(8192, 0);
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf.data());
  nlh->nlmsg_type = type;
  nlh->nlmsg_flags = NLM_F_REQUEST | (flags == NLM_F_DUMP ? flags : flags | NLM_F_ACK);
  return nlh;
}

ifinfomsg* put_ifinfo(nlmsghdr* nlh, int ifindex) {
  auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = ifindex;
  return ifi;
}

}  // namespace

Rtnl::~Rtnl() {
  if (sock_) mnl_socket_close(sock_);
}

int Rtnl::open() {
  if (sock_) return 0;
  sock_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (!sock_) return errno;
  int on = 1;
  // The kernel's own words for a refusal make a better message than errno.
  mnl_socket_setsockopt(sock_, NETLINK_EXT_ACK, &on, sizeof on);
  mnl_socket_setsockopt(sock_, NETLINK_CAP_ACK, &on, sizeof on);
  if (mnl_socket_bind(sock_, 0, MNL_SOCKET_AUTOPID) < 0) {
    int err = errno;
    mnl_socket_close(sock_);
    sock_ = nullptr;
    return err;
  }
  port_id_ = mnl_socket_get_portid(sock_);
  return 0;
}

int Rtnl::send(const void* data, std::size_t len) {
  message_.clear();
  if (int err = open()) return err;
  if (mnl_socket_sendto(sock_, data, len) < 0) return errno;
  return 0;
}

int Rtnl::receive(unsigned first, std::vector<int>& errors,
                  const std::function<void(const nlmsghdr*)>& each) {
  errors.assign(seq_ - first + 1, 0);
  std::vector<bool> answered(errors.size(), false);
  std::size_t left = errors.size();
  std::vector<char> buf(kBufferSize);
  while (left) {
    ssize_t n = mnl_socket_recvfrom(sock_, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    int len = static_cast<int>(n);
    for (auto* m = reinterpret_cast<const nlmsghdr*>(buf.data()); mnl_nlmsg_ok(m, len);
         m = mnl_nlmsg_next(m, &len)) {
      // Replies to an earlier request that was cut short are not ours.
      if (m->nlmsg_pid != port_id_ || m->nlmsg_seq < first || m->nlmsg_seq > seq_) continue;
      std::size_t i = m->nlmsg_seq - first;
      if (answered[i]) continue;
      if (m->nlmsg_type == NLMSG_DONE || m->nlmsg_type == NLMSG_ERROR) {
        if (m->nlmsg_type == NLMSG_ERROR) {
          auto* e = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(m));
          errors[i] = -e->error;
          if (e->error && (m->nlmsg_flags & NLM_F_ACK_TLVS)) {
            std::size_t skip = sizeof *e;
            if (!(m->nlmsg_flags & NLM_F_CAPPED)) skip += e->msg.nlmsg_len - sizeof(nlmsghdr);
            each_attr(m, skip, [&](const nlattr* a) {
              if (mnl_attr_get_type(a) == NLMSGERR_ATTR_MSG) message_ = mnl_attr_get_str(a);
            });
          }
        }
        answered[i] = true;
        --left;
      } else if (each) {
        each(m);
      }
    }
  }
  return 0;
}

int Rtnl::run(nlmsghdr* nlh, const std::function<void(const nlmsghdr*)>& each) {
  nlh->nlmsg_seq = ++seq_;
  if (int err = send(nlh, nlh->nlmsg_len)) return err;
  std::vector<int> errors;
  if (int err = receive(seq_, errors, each)) return err;
  return errors[0];
}

int Rtnl::link_request(nlmsghdr* nlh, Link* out) {
  bool found = false;
  int err = run(nlh, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWLINK || !out) return;
    *out = parse_link(m);
    found = true;
  });
  // A get answers with the link itself and no acknowledgement.
  if (err == 0 && out && !found) return ENODEV;
  return err;
}

int Rtnl::get_link(const std::string& name, Link& out) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_GETLINK, 0);
  put_ifinfo(nlh, 0);
  mnl_attr_put_u32(nlh, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
  mnl_attr_put_strz(nlh, IFLA_IFNAME, name.c_str());
  return link_request(nlh, &out);
}

int Rtnl::get_link(int ifindex, Link& out) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_GETLINK, 0);
  put_ifinfo(nlh, ifindex);
  mnl_attr_put_u32(nlh, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
  return link_request(nlh, &out);
}

int Rtnl::links(std::vector<Link>& out) {
  out.clear();
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_GETLINK, NLM_F_DUMP);
  put_ifinfo(nlh, 0);
  mnl_attr_put_u32(nlh, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
  return run(nlh, [&](const nlmsghdr* m) {
    if (m->nlmsg_type == RTM_NEWLINK) out.push_back(parse_link(m));
  });
}

int Rtnl::create_macvlan(const std::string& name, int parent, std::uint32_t group,
                         const std::array<unsigned char, 6>& mac, Link& out) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
  put_ifinfo(nlh, 0);
  mnl_attr_put_strz(nlh, IFLA_IFNAME, name.c_str());
  mnl_attr_put_u32(nlh, IFLA_LINK, static_cast<std::uint32_t>(parent));
  mnl_attr_put_u32(nlh, IFLA_GROUP, group);
  if (mac != std::array<unsigned char, 6>{})
    mnl_attr_put(nlh, IFLA_ADDRESS, mac.size(), mac.data());
  nlattr* info = mnl_attr_nest_start(nlh, IFLA_LINKINFO);
  mnl_attr_put_strz(nlh, IFLA_INFO_KIND, "macvlan");
  nlattr* data = mnl_attr_nest_start(nlh, IFLA_INFO_DATA);
  // Private: bridge mode would loop frames between siblings back through
  // the port's ingress, where they would be delivered by the wrong rule.
  mnl_attr_put_u32(nlh, IFLA_MACVLAN_MODE, MACVLAN_MODE_PRIVATE);
  mnl_attr_nest_end(nlh, data);
  mnl_attr_nest_end(nlh, info);
  if (int err = link_request(nlh, nullptr)) return err;
  int err = get_link(name, out);
  if (err) {
    // Made but not found again: take it back by name, or it is left over.
    std::vector<char> del;
    nlmsghdr* d = start(del, RTM_DELLINK, 0);
    put_ifinfo(d, 0);
    mnl_attr_put_strz(d, IFLA_IFNAME, name.c_str());
    link_request(d, nullptr);
  }
  return err;
}

int Rtnl::delete_link(int ifindex) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_DELLINK, 0);
  put_ifinfo(nlh, ifindex);
  return link_request(nlh, nullptr);
}

int Rtnl::delete_group(std::uint32_t group) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_DELLINK, 0);
  put_ifinfo(nlh, 0);
  mnl_attr_put_u32(nlh, IFLA_GROUP, group);
  return link_request(nlh, nullptr);
}

int Rtnl::set_promisc(int ifindex, bool on) {
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_SETLINK, 0);
  ifinfomsg* ifi = put_ifinfo(nlh, ifindex);
  ifi->ifi_change = IFF_PROMISC;
  ifi->ifi_flags = on ? IFF_PROMISC : 0;
  return link_request(nlh, nullptr);
}

int Rtnl::filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out) {
  out.clear();
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_GETTFILTER, NLM_F_DUMP);
  auto* tc = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(tcmsg)));
  tc->tcm_family = AF_UNSPEC;
  tc->tcm_ifindex = ifindex;
  tc->tcm_parent = parent;
  return run(nlh, [&](const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWTFILTER) return;
    auto* t = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(m));
    Filter f;
    f.parent = t->tcm_parent;
    f.priority = TC_H_MAJ(t->tcm_info) >> 16;
    f.handle = t->tcm_handle;
    each_attr(m, sizeof *t, [&](const nlattr* a) {
      if (mnl_attr_get_type(a) == TCA_KIND) f.kind = mnl_attr_get_str(a);
    });
    out.push_back(f);
  });
}

int Rtnl::has_clsact(int ifindex, bool& has) {
  has = false;
  std::vector<char> buf;
  nlmsghdr* nlh = start(buf, RTM_GETQDISC, NLM_F_DUMP);
  auto* tc = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(tcmsg)));
  tc->tcm_family = AF_UNSPEC;
  tc->tcm_ifindex = ifindex;
  return run(nlh, [&](const nlmsghdr* m) {
    auto* t = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(m));
    if (m->nlmsg_type != RTM_NEWQDISC || t->tcm_ifindex != ifindex) return;
    each_attr(m, sizeof *t, [&](const nlattr* a) {
      if (mnl_attr_get_type(a) == TCA_KIND && std::strcmp(mnl_attr_get_str(a), "clsact") == 0)
        has = true;
    });
  });
}

int Rtnl::attach_ingress(int ifindex, int prog_fd, const std::string& name, std::uint32_t handle,
                         std::uint32_t priority, bool& created, int& qdisc_err) {
  created = false;
  std::vector<char> buf(8192, 0);
  nlmsghdr* q = mnl_nlmsg_put_header(buf.data());
  q->nlmsg_type = RTM_NEWQDISC;
  q->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
  q->nlmsg_seq = ++seq_;
  auto* qt = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(q, sizeof(tcmsg)));
  qt->tcm_family = AF_UNSPEC;
  qt->tcm_ifindex = ifindex;
  qt->tcm_handle = TC_H_MAKE(TC_H_CLSACT, 0);
  qt->tcm_parent = TC_H_CLSACT;
  mnl_attr_put_strz(q, TCA_KIND, "clsact");

  nlmsghdr* f = mnl_nlmsg_put_header(buf.data() + NLMSG_ALIGN(q->nlmsg_len));
  f->nlmsg_type = RTM_NEWTFILTER;
  f->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE;
  f->nlmsg_seq = ++seq_;
  auto* ft = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(f, sizeof(tcmsg)));
  ft->tcm_family = AF_UNSPEC;
  ft->tcm_ifindex = ifindex;
  ft->tcm_handle = handle;
  ft->tcm_parent = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS);
  ft->tcm_info = TC_H_MAKE(priority << 16, htons(ETH_P_ALL));
  mnl_attr_put_strz(f, TCA_KIND, "bpf");
  nlattr* opts = mnl_attr_nest_start(f, TCA_OPTIONS);
  mnl_attr_put_u32(f, TCA_BPF_FD, static_cast<std::uint32_t>(prog_fd));
  mnl_attr_put_strz(f, TCA_BPF_NAME, name.c_str());
  mnl_attr_put_u32(f, TCA_BPF_FLAGS, TCA_BPF_FLAG_ACT_DIRECT);
  mnl_attr_nest_end(f, opts);

  if (int err = send(buf.data(), NLMSG_ALIGN(q->nlmsg_len) + f->nlmsg_len)) return err;
  std::vector<int> errors;
  if (int err = receive(q->nlmsg_seq, errors, nullptr)) return err;
  created = errors[0] == 0;
  qdisc_err = errors[0] == EEXIST ? 0 : errors[0];
  // Without the qdisc, the filter's failure says nothing new.
  return errors[1] && qdisc_err ? qdisc_err : errors[1];
}

}  // namespace brantel_sim::live
