// The requests live mode makes of route netlink, and their answers.  Each
// answer is matched to its request by port id and sequence number; each
// request ends in the way its kind does (acknowledgement, the object asked
// for, or the end of a dump), so nothing is left unread and nothing waited
// for that will not come.
#include "netlink.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>

#include <cerrno>
#include <ctime>
#include <functional>

#include "netlink_wire.h"

namespace brantel_sim::live {
namespace {

// Room for any one answer datagram: the kernel sizes dump datagrams by the
// largest read it has seen, up to 32 KiB.
constexpr std::size_t kReceiveSize = 65536;
constexpr int kDumpTries = 5;

enum class Ends { ack, answer, dump };

// One request of a batch, and how its answer went.
struct Pending {
  std::uint32_t seq = 0;
  Ends ends = Ends::ack;
  bool done = false;
  bool interrupted = false;  // NLM_F_DUMP_INTR on any part of the answer
  int err = 0;
  std::string message;
};

// Called with each answer that is not a control message; false when it is
// malformed, which fails its request with EBADMSG.
using Each = std::function<bool(std::size_t request, const nlmsghdr*)>;

constexpr std::uint32_t kIngress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS);

std::uint32_t filter_info(std::uint32_t priority) {
  return TC_H_MAKE(priority << 16, htons(ETH_P_ALL));
}

void put_clsact(wire::Batch& b, std::uint16_t type, std::uint16_t flags, int ifindex) {
  b.tc(type, flags, ifindex, TC_H_CLSACT, TC_H_MAKE(TC_H_CLSACT, 0), 0);
  // On a delete the kind makes the kernel refuse any other qdisc there.
  b.str(TCA_KIND, "clsact");
}

void put_bpf_filter(wire::Batch& b, int ifindex, std::uint32_t parent, std::uint32_t priority,
                    std::uint32_t handle, int prog_fd, const std::string& name, bool replace) {
  b.tc(RTM_NEWTFILTER, NLM_F_CREATE | (replace ? NLM_F_REPLACE : NLM_F_EXCL), ifindex, parent,
       handle, filter_info(priority));
  b.str(TCA_KIND, "bpf");
  nlattr* opts = b.nest(TCA_OPTIONS);
  b.u32(TCA_BPF_FD, static_cast<std::uint32_t>(prog_fd));
  b.str(TCA_BPF_NAME, name);
  b.u32(TCA_BPF_FLAGS, TCA_BPF_FLAG_ACT_DIRECT);
  b.end(opts);
}

}  // namespace

class Rtnl::Impl {
 public:
  explicit Impl(std::unique_ptr<Transport> t)
      : transport(std::move(t)), seq(static_cast<std::uint32_t>(std::time(nullptr))) {}

  // Sends the batch and reads until each of its requests is answered.
  // Returns 0 or the transport's errno value; each request's own outcome is
  // in `out`.
  int talk(wire::Batch& batch, std::vector<Pending>& out, const Each& each);
  // talk() for a single request: its errno value, its message in `message`.
  int run(wire::Batch& batch, std::string& message, const Each& each = {});
  // A dump, asked again while the kernel says it was interrupted.  `reset`
  // empties what `each` gathered.
  int dump(const std::function<void(wire::Batch&)>& build, const std::function<void()>& reset,
           const std::function<bool(const nlmsghdr*)>& each, std::string& message);
  int get_link(wire::Batch& batch, Link& out, std::string& message);

  std::unique_ptr<Transport> transport;
  std::uint32_t seq;
  std::vector<char> buf = std::vector<char>(kReceiveSize);
};

int Rtnl::Impl::talk(wire::Batch& batch, std::vector<Pending>& out, const Each& each) {
  out.clear();
  if (int err = batch.error()) return err;
  if (!batch.size()) return EINVAL;
  int len = static_cast<int>(batch.size());
  for (auto* m = reinterpret_cast<nlmsghdr*>(batch.data()); wire::message_ok(m, len);
       m = mnl_nlmsg_next(m, &len)) {
    Pending p;
    p.seq = m->nlmsg_seq = ++seq;
    if (wire::is_get(m->nlmsg_type))
      p.ends = (m->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP ? Ends::dump : Ends::answer;
    out.push_back(p);
  }
  if (int err = transport->send(batch.data(), batch.size())) return err;
  const std::uint32_t port = transport->port_id();
  std::size_t left = out.size();
  while (left) {
    ssize_t n = transport->receive(buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno ? errno : EIO;
    }
    if (static_cast<std::size_t>(n) > buf.size()) return EMSGSIZE;
    int rest = static_cast<int>(n);
    for (auto* m = reinterpret_cast<const nlmsghdr*>(buf.data()); wire::message_ok(m, rest);
         m = mnl_nlmsg_next(m, &rest)) {
      // Answers to an earlier request cut short, or to someone else, are
      // not ours.
      std::uint32_t i = m->nlmsg_seq - out.front().seq;
      if (m->nlmsg_pid != port || i >= out.size() || out[i].done) continue;
      Pending& p = out[i];
      if (m->nlmsg_flags & NLM_F_DUMP_INTR) p.interrupted = true;
      if (m->nlmsg_type == NLMSG_ERROR || m->nlmsg_type == NLMSG_DONE) {
        int err = 0;
        std::string message;
        if (!wire::parse_end(m, err, message)) err = EBADMSG;
        // A part found malformed earlier has the first say.
        if (!p.err) {
          p.err = err;
          p.message = std::move(message);
        }
        p.done = true;
      } else if (m->nlmsg_type < NLMSG_MIN_TYPE) {
        continue;  // NLMSG_NOOP, NLMSG_OVERRUN
      } else {
        if (each && !each(i, m) && !p.err) p.err = EBADMSG;
        p.done = p.ends == Ends::answer;
      }
      if (p.done) --left;
    }
  }
  return 0;
}

int Rtnl::Impl::run(wire::Batch& batch, std::string& message, const Each& each) {
  std::vector<Pending> answers;
  message.clear();
  if (int err = talk(batch, answers, each)) return err;
  message = answers[0].message;
  return answers[0].err;
}

int Rtnl::Impl::dump(const std::function<void(wire::Batch&)>& build,
                     const std::function<void()>& reset,
                     const std::function<bool(const nlmsghdr*)>& each, std::string& message) {
  message.clear();
  for (int attempt = 0; attempt < kDumpTries; ++attempt) {
    reset();
    wire::Batch b;
    build(b);
    std::vector<Pending> answers;
    int err = talk(b, answers, [&](std::size_t, const nlmsghdr* m) { return each(m); });
    if (!err) {
      message = answers[0].message;
      err = answers[0].err;
      if (!err && !answers[0].interrupted) return 0;
    }
    // A dump cut short by a change is worth asking again; any other
    // failure is final.
    if (err) {
      reset();
      return err;
    }
  }
  reset();
  return EINTR;
}

int Rtnl::Impl::get_link(wire::Batch& b, Link& out, std::string& message) {
  bool found = false;
  int err = run(b, message, [&](std::size_t, const nlmsghdr* m) {
    if (m->nlmsg_type != RTM_NEWLINK) return true;
    found = parse_link(m, out);
    return found;
  });
  // Answered, but by something other than a link.
  if (!err && !found) return EBADMSG;
  return err;
}

Rtnl::Rtnl(std::unique_ptr<Transport> transport)
    : impl_(std::make_unique<Impl>(transport ? std::move(transport) : kernel_transport())) {}

Rtnl::~Rtnl() = default;

int Rtnl::get_link(const std::string& name, Link& out) {
  wire::Batch b;
  b.link(RTM_GETLINK, 0, 0);
  b.str(IFLA_IFNAME, name);
  return impl_->get_link(b, out, message_);
}

int Rtnl::get_link(int ifindex, Link& out) {
  wire::Batch b;
  b.link(RTM_GETLINK, 0, ifindex);
  return impl_->get_link(b, out, message_);
}

int Rtnl::links(std::vector<Link>& out, const std::string& kind) {
  auto build = [&](wire::Batch& b) {
    b.link(RTM_GETLINK, NLM_F_DUMP, 0);
    if (kind.empty()) return;
    nlattr* info = b.nest(IFLA_LINKINFO);
    b.str(IFLA_INFO_KIND, kind);
    b.end(info);
  };
  return impl_->dump(
      build, [&] { out.clear(); },
      [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWLINK) return true;
        Link l;
        if (!parse_link(m, l)) return false;
        // A kernel that does not know the kind sends every device.
        if (kind.empty() || l.kind == kind) out.push_back(std::move(l));
        return true;
      },
      message_);
}

int Rtnl::create_macvlan(const std::string& name, int parent, std::uint32_t group,
                         const MacBytes& mac, Link& out) {
  wire::Batch b;
  b.link(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL, 0);
  b.str(IFLA_IFNAME, name);
  b.u32(IFLA_LINK, static_cast<std::uint32_t>(parent));
  b.u32(IFLA_GROUP, group);
  // No address: the kernel chooses one (there is no machine id to derive it from).
  if (mac != MacBytes{}) b.bytes(IFLA_ADDRESS, mac.data(), mac.size());
  nlattr* info = b.nest(IFLA_LINKINFO);
  b.str(IFLA_INFO_KIND, "macvlan");
  nlattr* data = b.nest(IFLA_INFO_DATA);
  // Private: bridge mode would loop frames between siblings back through
  // the port's ingress, where they would be delivered by the wrong rule.
  b.u32(IFLA_MACVLAN_MODE, MACVLAN_MODE_PRIVATE);
  b.end(data);
  b.end(info);
  if (int err = impl_->run(b, message_)) return err;
  int err = get_link(name, out);
  if (err) {
    // Made but not found again: take it back by name, or it is left over.
    std::string message = message_;
    wire::Batch del;
    del.link(RTM_DELLINK, 0, 0);
    del.str(IFLA_IFNAME, name);
    std::string ignored;
    impl_->run(del, ignored);
    message_ = message;
  }
  return err;
}

int Rtnl::delete_link(int ifindex) {
  wire::Batch b;
  b.link(RTM_DELLINK, 0, ifindex);
  return impl_->run(b, message_);
}

int Rtnl::delete_group(std::uint32_t group) {
  wire::Batch b;
  b.link(RTM_DELLINK, 0, 0);
  b.u32(IFLA_GROUP, group);
  return impl_->run(b, message_);
}

int Rtnl::set_group(int ifindex, std::uint32_t group) {
  wire::Batch b;
  b.link(RTM_SETLINK, 0, ifindex);
  b.u32(IFLA_GROUP, group);
  return impl_->run(b, message_);
}

int Rtnl::set_flag(int ifindex, unsigned flag, bool on) {
  wire::Batch b;
  ifinfomsg* ifi = b.link(RTM_SETLINK, 0, ifindex);
  ifi->ifi_change = flag;
  ifi->ifi_flags = on ? flag : 0;
  return impl_->run(b, message_);
}

int Rtnl::set_promisc(int ifindex, bool on) { return set_flag(ifindex, IFF_PROMISC, on); }

int Rtnl::set_up(int ifindex, bool on) { return set_flag(ifindex, IFF_UP, on); }

int Rtnl::qdiscs(int ifindex, std::vector<Qdisc>& out) {
  return impl_->dump([&](wire::Batch& b) { b.tc(RTM_GETQDISC, NLM_F_DUMP, ifindex, 0, 0, 0); },
                     [&] { out.clear(); },
                     [&](const nlmsghdr* m) {
                       if (m->nlmsg_type != RTM_NEWQDISC) return true;
                       Qdisc q;
                       if (!parse_qdisc(m, q)) return false;
                       // Kernels dump the qdiscs of every device, whatever was asked.
                       if (!ifindex || q.ifindex == ifindex) out.push_back(std::move(q));
                       return true;
                     },
                     message_);
}

int Rtnl::filters(int ifindex, std::uint32_t parent, std::vector<Filter>& out) {
  return impl_->dump(
      [&](wire::Batch& b) { b.tc(RTM_GETTFILTER, NLM_F_DUMP, ifindex, parent, 0, 0); },
      [&] { out.clear(); },
      [&](const nlmsghdr* m) {
        if (m->nlmsg_type != RTM_NEWTFILTER) return true;
        Filter f;
        if (!parse_filter(m, f)) return false;
        if (f.ifindex == ifindex) out.push_back(std::move(f));
        return true;
      },
      message_);
}

int Rtnl::add_clsact(int ifindex) {
  wire::Batch b;
  put_clsact(b, RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, ifindex);
  return impl_->run(b, message_);
}

int Rtnl::delete_clsact(int ifindex) {
  wire::Batch b;
  put_clsact(b, RTM_DELQDISC, 0, ifindex);
  return impl_->run(b, message_);
}

int Rtnl::add_bpf_filter(int ifindex, std::uint32_t parent, std::uint32_t priority,
                         std::uint32_t handle, int prog_fd, const std::string& name, bool replace) {
  wire::Batch b;
  put_bpf_filter(b, ifindex, parent, priority, handle, prog_fd, name, replace);
  return impl_->run(b, message_);
}

int Rtnl::delete_filter(int ifindex, std::uint32_t parent, std::uint32_t priority,
                        std::uint32_t handle) {
  wire::Batch b;
  // Protocol 0: the filter at that slot, whatever it matches.
  b.tc(RTM_DELTFILTER, 0, ifindex, parent, handle, TC_H_MAKE(priority << 16, 0));
  return impl_->run(b, message_);
}

int Rtnl::attach_ingress(int ifindex, int prog_fd, const std::string& name, std::uint32_t priority,
                         std::uint32_t handle, bool& created, int& qdisc_err) {
  created = false;
  qdisc_err = 0;
  wire::Batch b;
  put_clsact(b, RTM_NEWQDISC, NLM_F_CREATE | NLM_F_EXCL, ifindex);
  put_bpf_filter(b, ifindex, kIngress, priority, handle, prog_fd, name, false);
  std::vector<Pending> answers;
  message_.clear();
  if (int err = impl_->talk(b, answers, {})) return err;
  const Pending& qdisc = answers[0];
  const Pending& filter = answers[1];
  created = qdisc.err == 0;
  qdisc_err = qdisc.err == EEXIST ? 0 : qdisc.err;
  // Without the qdisc, the filter's failure says nothing new.
  const Pending& said = filter.err && qdisc_err ? qdisc : filter;
  message_ = said.message;
  return said.err;
}

}  // namespace brantel_sim::live
