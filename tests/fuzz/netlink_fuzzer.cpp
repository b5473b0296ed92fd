// Fuzz target: arbitrary kernel answers to live mode's netlink requests.
//
// Input: one byte, then datagrams.
//   byte 0   bits 0-2: the call (below); bit 3: links() of one
//            kind; bit 4: answers are addressed relative to the request
//   then     per datagram: a length (2 bytes, little-endian) and as many
//            bytes, fewer at the end of the input
// With bit 4 set, each message's sequence number counts from the request's
// first and a port id of 0 becomes ours, so that answers reach the parsers;
// without it they are as given, and nearly all are ignored.  Past the last
// datagram the transport times out, so every run ends.
//
// Every message is also given to each parser on its own, in a buffer of its
// exact length, so that a read past its end is caught.
#include <libmnl/libmnl.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "netlink.h"
#include "netlink_wire.h"
#include "observe.h"

namespace {

using namespace brantel_sim::live;

constexpr std::uint32_t kPort = 0x7ead;

class FuzzTransport : public Transport {
 public:
  FuzzTransport(std::deque<std::vector<char>> answers, bool relative)
      : answers_(std::move(answers)), relative_(relative) {}

  int send(const void* data, std::size_t len) override {
    if (len < sizeof(nlmsghdr)) std::abort();
    base_ = static_cast<const nlmsghdr*>(data)->nlmsg_seq;
    return 0;
  }

  ssize_t receive(void* buf, std::size_t len) override {
    if (answers_.empty()) {
      errno = EAGAIN;
      return -1;
    }
    std::vector<char> d = std::move(answers_.front());
    answers_.pop_front();
    if (relative_) {
      int left = static_cast<int>(d.size());
      for (auto* m = reinterpret_cast<nlmsghdr*>(d.data()); wire::message_ok(m, left);
           m = mnl_nlmsg_next(m, &left)) {
        m->nlmsg_seq += base_;
        if (!m->nlmsg_pid) m->nlmsg_pid = kPort;
      }
    }
    if (!d.empty()) std::memcpy(buf, d.data(), d.size() < len ? d.size() : len);
    return static_cast<ssize_t>(d.size());
  }

  std::uint32_t port_id() const override { return kPort; }

 private:
  std::deque<std::vector<char>> answers_;
  bool relative_;
  std::uint32_t base_ = 0;
};

// Each parser on a copy of the message of its exact length, under each
// type it reads.
void parse_alone(const nlmsghdr* m) {
  static const std::uint16_t kTypes[] = {RTM_NEWLINK, RTM_NEWQDISC, RTM_NEWTFILTER, NLMSG_ERROR,
                                         NLMSG_DONE};
  for (std::uint16_t type : kTypes) {
    auto* copy = static_cast<nlmsghdr*>(std::malloc(m->nlmsg_len));
    if (!copy) std::abort();
    std::memcpy(copy, m, m->nlmsg_len);
    copy->nlmsg_type = type;
    Link l;
    Qdisc q;
    Filter f;
    int err = 0;
    std::string msg;
    parse_link(copy, l);
    parse_qdisc(copy, q);
    parse_filter(copy, f);
    if (wire::parse_end(copy, err, msg) && (err < 0 || err > 4095)) std::abort();
    std::free(copy);
  }
}

void check(int err) {
  // 0 or an errno value, nothing else.
  if (err < 0 || err > 4095) {
    std::fprintf(stderr, "netlink fuzz: result %d\n", err);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::uint8_t how = data[0];
  std::deque<std::vector<char>> answers;
  for (std::size_t at = 1; at < size;) {
    std::size_t len = data[at];
    if (at + 1 < size) len |= std::size_t{data[at + 1]} << 8;
    at += 2;
    if (at > size) break;
    if (len > size - at) len = size - at;
    answers.emplace_back(data + at, data + at + len);
    at += len;
  }

  for (const std::vector<char>& d : answers) {
    // An aligned copy, as a receive buffer is.
    std::vector<char> a(d);
    int left = static_cast<int>(a.size());
    for (auto* m = reinterpret_cast<const nlmsghdr*>(a.data()); wire::message_ok(m, left);
         m = mnl_nlmsg_next(m, &left))
      parse_alone(m);
  }

  Rtnl rtnl(std::make_unique<FuzzTransport>(std::move(answers), how & 0x10));
  Link link;
  std::vector<Link> links;
  std::vector<Qdisc> qdiscs;
  std::vector<Filter> filters;
  bool created = false;
  int qdisc_err = 0;
  switch (how & 7) {
    case 0: check(rtnl.get_link("eth1", link)); break;
    case 1: check(rtnl.get_link(3, link)); break;
    case 2: check(rtnl.links(links, how & 8 ? "macvlan" : "")); break;
    case 3: check(rtnl.qdiscs(3, qdiscs)); break;
    case 4: check(rtnl.filters(3, TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS), filters)); break;
    case 5:
      check(rtnl.attach_ingress(3, 9, "brantel_rx", 25202, 0x6272, created, qdisc_err));
      check(qdisc_err);
      break;
    case 6: check(rtnl.create_macvlan("eth1#1", 3, 9, MacBytes{2, 0, 0, 0, 0, 1}, link)); break;
    default: {
      // The whole view of a port, as sync and check read it.
      PortView view;
      Classifier cls;
      Failure why;
      Kernel kernel(rtnl);
      check(observe(kernel, "eth1", Scope{}, ObserveOptions{}, view, cls, why));
      break;
    }
  }
  return 0;
}
