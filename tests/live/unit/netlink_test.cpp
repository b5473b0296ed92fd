// The netlink layer against a stand-in transport that records each request
// and plays back canned answers: how it reads malformed, stray, interrupted
// and failed answers, and what it asks the kernel.
#include "netlink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace brantel_sim::live {
namespace {

constexpr std::uint32_t kPort = 4242;
constexpr std::uint32_t kIngress = TC_H_MAKE(TC_H_CLSACT, TC_H_MIN_INGRESS);

// One answer message.  Its sequence number counts from the first one of the
// request it answers: the stand-in adds that when it plays it back.
class Msg {
 public:
  explicit Msg(std::uint16_t type, std::uint16_t flags = 0, std::uint32_t seq = 0,
               std::uint32_t pid = kPort)
      : buf_(4096) {
    nlmsghdr* n = mnl_nlmsg_put_header(buf_.data());
    n->nlmsg_type = type;
    n->nlmsg_flags = flags;
    n->nlmsg_seq = seq;
    n->nlmsg_pid = pid;
  }
  nlmsghdr* nlh() { return reinterpret_cast<nlmsghdr*>(buf_.data()); }
  template <typename T>
  Msg& header(const T& h) {
    std::memcpy(mnl_nlmsg_put_extra_header(nlh(), sizeof h), &h, sizeof h);
    return *this;
  }
  Msg& attr(std::uint16_t type, const void* data, std::size_t len) {
    mnl_attr_put(nlh(), type, len, data);
    return *this;
  }
  Msg& u32(std::uint16_t type, std::uint32_t v) { return attr(type, &v, sizeof v); }
  Msg& str(std::uint16_t type, const std::string& s) { return attr(type, s.c_str(), s.size() + 1); }
  Msg& nest(std::uint16_t type, const std::function<void(Msg&)>& inside) {
    nlattr* n = mnl_attr_nest_start(nlh(), type);
    inside(*this);
    mnl_attr_nest_end(nlh(), n);
    return *this;
  }
  // Takes bytes off the end, cutting into the last attribute.
  Msg& cut(std::uint32_t n) {
    nlh()->nlmsg_len -= n;
    return *this;
  }
  // A length to claim, once in the datagram, instead of the real one.
  Msg& claim(std::uint32_t len) {
    claim_ = len;
    return *this;
  }
  void append_to(std::vector<char>& out) const {
    auto* n = reinterpret_cast<const nlmsghdr*>(buf_.data());
    std::size_t at = out.size();
    out.insert(out.end(), buf_.begin(), buf_.begin() + n->nlmsg_len);
    out.resize(MNL_ALIGN(out.size()));
    if (claim_) reinterpret_cast<nlmsghdr*>(out.data() + at)->nlmsg_len = claim_;
  }

 private:
  std::vector<char> buf_;
  std::uint32_t claim_ = 0;
};

using Datagram = std::vector<Msg>;

Msg link(std::uint32_t seq, const std::string& name, const std::string& kind = "macvlan") {
  ifinfomsg ifi{};
  ifi.ifi_index = 7;
  ifi.ifi_flags = IFF_UP;
  const unsigned char mac[6] = {2, 0, 0, 0, 0, 9};
  Msg m(RTM_NEWLINK, NLM_F_MULTI, seq);
  m.header(ifi).str(IFLA_IFNAME, name).u32(IFLA_LINK, 3).u32(IFLA_GROUP, 0x6200);
  m.attr(IFLA_ADDRESS, mac, sizeof mac);
  return m.nest(IFLA_LINKINFO, [&](Msg& i) {
    i.str(IFLA_INFO_KIND, kind).nest(IFLA_INFO_DATA, [](Msg& d) {
      d.u32(IFLA_MACVLAN_MODE, MACVLAN_MODE_PRIVATE);
    });
  });
}

// The fixed part of a link answer, for attributes of a test's own.
Msg bare_link(std::uint32_t seq = 0) {
  ifinfomsg ifi{};
  ifi.ifi_index = 7;
  return Msg(RTM_NEWLINK, 0, seq).header(ifi);
}

Msg bpf_filter(std::uint32_t seq, const std::function<void(Msg&)>& options) {
  tcmsg t{};
  t.tcm_ifindex = 3;
  t.tcm_parent = kIngress;
  t.tcm_handle = 0x6272;
  t.tcm_info = TC_H_MAKE(25202u << 16, htons(ETH_P_ALL));
  return Msg(RTM_NEWTFILTER, NLM_F_MULTI, seq)
      .header(t)
      .str(TCA_KIND, "bpf")
      .nest(TCA_OPTIONS, options);
}

Msg error(std::uint32_t seq, int err, const char* text = nullptr) {
  nlmsgerr e{};
  e.error = -err;
  Msg m(NLMSG_ERROR, NLM_F_CAPPED | (text ? NLM_F_ACK_TLVS : 0), seq);
  m.header(e);
  if (text) m.str(NLMSGERR_ATTR_MSG, text);
  return m;
}

Msg done(std::uint32_t seq = 0, std::uint16_t flags = 0, int err = 0) {
  return Msg(NLMSG_DONE, NLM_F_MULTI | flags, seq).header(-err);
}

// The same message, addressed to another port.
Msg from(std::uint32_t pid, Msg m) {
  m.nlh()->nlmsg_pid = pid;
  return m;
}

class FakeTransport : public Transport {
 public:
  int send(const void* data, std::size_t len) override {
    auto* p = static_cast<const char*>(data);
    sent.emplace_back(p, p + len);
    base_ = reinterpret_cast<const nlmsghdr*>(p)->nlmsg_seq;
    return 0;
  }
  ssize_t receive(void* buf, std::size_t len) override {
    if (answers.empty()) {
      errno = EAGAIN;  // what the kernel socket's timeout gives
      return -1;
    }
    std::vector<char> d;
    for (const Msg& m : answers.front()) m.append_to(d);
    answers.pop_front();
    int left = static_cast<int>(d.size());
    for (auto* m = reinterpret_cast<nlmsghdr*>(d.data()); mnl_nlmsg_ok(m, left);
         m = mnl_nlmsg_next(m, &left))
      m->nlmsg_seq += base_;
    if (claim) return claim;
    std::memcpy(buf, d.data(), std::min(len, d.size()));
    return static_cast<ssize_t>(d.size());
  }
  std::uint32_t port_id() const override { return kPort; }

  // The i-th message of the n-th request sent.
  const nlmsghdr* request(std::size_t n, std::size_t i = 0) const {
    auto* m = reinterpret_cast<const nlmsghdr*>(sent.at(n).data());
    int left = static_cast<int>(sent[n].size());
    for (; i; --i) m = mnl_nlmsg_next(m, &left);
    return mnl_nlmsg_ok(m, left) ? m : nullptr;
  }

  std::vector<std::vector<char>> sent;
  std::deque<Datagram> answers;
  ssize_t claim = 0;  // a datagram length to report instead of the real one

 private:
  std::uint32_t base_ = 0;
};

struct Fixture {
  Fixture() {
    auto f = std::make_unique<FakeTransport>();
    fake = f.get();
    rtnl = std::make_unique<Rtnl>(std::move(f));
  }
  FakeTransport* fake;
  std::unique_ptr<Rtnl> rtnl;
};

// Calls that return -1 where their output is not as the answers say.
int get_eth1(Rtnl& r) {
  Link l;
  int err = r.get_link("eth1", l);
  return err ? err : l.name == "eth1" && l.ifindex == 7 ? 0 : -1;
}

int count_links(Rtnl& r, std::size_t expected, const std::string& kind = {}) {
  std::vector<Link> out;
  int err = r.links(out, kind);
  return err ? err : out.size() == expected ? 0 : -1;
}

int one_filter(Rtnl& r, Filter& f) {
  std::vector<Filter> out;
  int err = r.filters(3, kIngress, out);
  if (!err && out.size() == 1) f = out[0];
  return err || out.size() == 1 ? err : -1;
}

int attach(Rtnl& r, bool created, int qdisc_err) {
  bool c = !created;
  int q = -1;
  int err = r.attach_ingress(3, 9, "brantel_rx", 25202, 0x6272, c, q);
  return c == created && q == qdisc_err ? err : -1;
}

struct Case {
  const char* name;
  std::vector<Datagram> answers;
  std::function<int(Rtnl&)> call;
  int expected;
  std::string message = {};
  ssize_t claim = 0;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const unsigned char kShortMac[5] = {2, 0, 0, 0, 1};

const Case kCases[] = {
    {"link", {{link(0, "eth1")}}, get_eth1, 0},
    // IFLA_LINK is an ifindex of this namespace only without a netns id.
    {"lower_device_here",
     {{link(0, "eth1")}},
     [](Rtnl& r) {
       Link l;
       int err = r.get_link("eth1", l);
       return err ? err : l.parent == 3 && !l.parent_elsewhere ? 0 : -1;
     },
     0},
    {"lower_device_in_another_namespace",
     {{link(0, "eth1").u32(IFLA_LINK_NETNSID, 0)}},
     [](Rtnl& r) {
       Link l;
       int err = r.get_link("eth1", l);
       return err ? err : l.parent == 3 && l.parent_elsewhere ? 0 : -1;
     },
     0},
    {"name_without_nul", {{bare_link().attr(IFLA_IFNAME, "eth1", 4)}}, get_eth1, EBADMSG},
    {"truncated_attribute", {{link(0, "eth1").cut(4)}}, get_eth1, EBADMSG},
    {"u32_of_two_bytes",
     {{bare_link().str(IFLA_IFNAME, "eth1").attr(IFLA_GROUP, "\1\2", 2)}},
     get_eth1,
     EBADMSG},
    {"nest_truncated_inside",
     {{bare_link()
           .str(IFLA_IFNAME, "eth1")
           .nest(IFLA_LINKINFO,
                 [](Msg& m) {
                   m.str(IFLA_INFO_KIND, "macvlan");
                   // The kind's length runs past the end of the nest.
                   reinterpret_cast<nlattr*>(reinterpret_cast<char*>(m.nlh()) + m.nlh()->nlmsg_len -
                                             12)
                       ->nla_len = 40;
                 })}},
     get_eth1,
     EBADMSG},
    {"five_byte_address",
     {{bare_link().str(IFLA_IFNAME, "eth1").attr(IFLA_ADDRESS, kShortMac, 5)}},
     [](Rtnl& r) {
       Link l;
       int err = r.get_link("eth1", l);
       return err ? err : l.mac == MacBytes{} ? 0 : -1;
     },
     0},
    {"stale_sequence_ignored",
     {{link(5, "other"), link(~0u, "other")}, {link(0, "eth1")}},
     get_eth1,
     0},
    {"other_port_ignored",
     {{from(kPort + 1, link(0, "other")), from(0, error(0, EPERM))}, {link(0, "eth1")}},
     get_eth1,
     0},
    {"length_past_2gib_ignored", {{link(0, "eth1").claim(0x80000010)}}, get_eth1, ETIMEDOUT},
    {"error_with_message",
     {{error(0, EPERM, "Operation refused here")}},
     get_eth1,
     EPERM,
     "Operation refused here"},
    {"error_not_an_errno",
     {{Msg(NLMSG_ERROR, NLM_F_CAPPED).header(nlmsgerr{INT_MIN, {}})}},
     get_eth1,
     EBADMSG},
    {"no_answer", {}, get_eth1, ETIMEDOUT},
    {"datagram_cut_short", {{link(0, "eth1")}}, get_eth1, EMSGSIZE, {}, 1 << 20},
    {"dump_of_one_kind",
     {{link(0, "a"), link(0, "b", "veth")}, {done()}},
     [](Rtnl& r) { return count_links(r, 1, "macvlan"); },
     0},
    {"dump_ends_in_error",
     {{link(0, "a")}, {error(0, ENOBUFS, "dump failed")}},
     [](Rtnl& r) { return count_links(r, 0); },
     ENOBUFS,
     "dump failed"},
    {"dump_done_with_error",
     {{link(0, "a"), done(0, 0, EMSGSIZE)}},
     [](Rtnl& r) { return count_links(r, 0); },
     EMSGSIZE},
    {"dump_with_malformed_part",
     {{link(0, "a").cut(4), link(0, "b")}, {done()}},
     [](Rtnl& r) { return count_links(r, 0); },
     EBADMSG},
    {"dump_interrupted_then_whole",
     {{link(0, "a", "macvlan")}, {done(0, NLM_F_DUMP_INTR)}, {link(0, "a"), done()}},
     [](Rtnl& r) { return count_links(r, 1); },
     0},
    {"dump_always_interrupted",
     {{done(0, NLM_F_DUMP_INTR)},
      {done(0, NLM_F_DUMP_INTR)},
      {done(0, NLM_F_DUMP_INTR)},
      {done(0, NLM_F_DUMP_INTR)},
      {done(0, NLM_F_DUMP_INTR)}},
     [](Rtnl& r) { return count_links(r, 0); },
     EINTR},
    {"bpf_filter",
     {{bpf_filter(0,
                  [](Msg& o) {
                    o.u32(TCA_BPF_ID, 42).str(TCA_BPF_NAME, "brantel_rx");
                    o.u32(TCA_BPF_FLAGS, TCA_BPF_FLAG_ACT_DIRECT);
                  }),
       done()}},
     [](Rtnl& r) {
       Filter f;
       int err = one_filter(r, f);
       return err ? err
              : f.kind == "bpf" && f.prog_id == 42 && f.prog_name == "brantel_rx" &&
                      f.direct_action && f.priority == 25202 && f.handle == 0x6272 &&
                      f.protocol == ETH_P_ALL
                  ? 0
                  : -1;
     },
     0},
    {"bpf_name_without_nul",
     {{bpf_filter(0, [](Msg& o) { o.attr(TCA_BPF_NAME, "brantel", 7); }), done()}},
     [](Rtnl& r) {
       Filter f;
       return one_filter(r, f);
     },
     EBADMSG},
    {"attach_qdisc_refused",
     {{error(0, EPERM, "no qdisc"), error(1, EINVAL, "no parent")}},
     [](Rtnl& r) { return attach(r, false, EPERM); },
     EPERM,
     "no qdisc"},
    {"attach_filter_refused",
     {{error(0, 0)}, {error(1, EEXIST, "filter exists")}},
     [](Rtnl& r) { return attach(r, true, 0); },
     EEXIST,
     "filter exists"},
    {"attach_qdisc_already_there",
     {{error(1, 0), error(0, EEXIST, "exists")}},
     [](Rtnl& r) { return attach(r, false, 0); },
     0},
};

class Answers : public testing::TestWithParam<Case> {};

TEST_P(Answers, Read) {
  const Case& c = GetParam();
  Fixture f;
  f.fake->answers.assign(c.answers.begin(), c.answers.end());
  f.fake->claim = c.claim;
  EXPECT_EQ(c.call(*f.rtnl), c.expected);
  EXPECT_EQ(f.rtnl->last_message(), c.message);
  EXPECT_TRUE(f.fake->answers.empty()) << "answers left unread";
}

INSTANTIATE_TEST_SUITE_P(Netlink, Answers, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& i) { return i.param.name; });

// Acknowledgements only where no answer comes, and the flags each kind needs.
TEST(Requests, Flags) {
  // Where the calls put what they read; only the requests matter here.
  Link l;
  std::vector<Link> links;
  std::vector<Qdisc> qdiscs;
  std::vector<Filter> filters;
  struct Row {
    std::function<int(Rtnl&)> call;
    std::uint16_t type;
    std::uint16_t flags;
  } rows[] = {
      {[&](Rtnl& r) { return r.get_link("eth1", l); }, RTM_GETLINK, 0},
      {[&](Rtnl& r) { return r.get_link(3, l); }, RTM_GETLINK, 0},
      {[&](Rtnl& r) { return r.links(links); }, RTM_GETLINK, NLM_F_DUMP},
      {[&](Rtnl& r) { return r.create_macvlan("eth1#1", 3, 9, MacBytes{2}, l); }, RTM_NEWLINK,
       NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL},
      {[](Rtnl& r) { return r.delete_link(7); }, RTM_DELLINK, NLM_F_ACK},
      {[](Rtnl& r) { return r.delete_group(9); }, RTM_DELLINK, NLM_F_ACK},
      {[](Rtnl& r) { return r.set_promisc(3, true); }, RTM_SETLINK, NLM_F_ACK},
      {[&](Rtnl& r) { return r.qdiscs(3, qdiscs); }, RTM_GETQDISC, NLM_F_DUMP},
      {[&](Rtnl& r) { return r.filters(3, kIngress, filters); }, RTM_GETTFILTER, NLM_F_DUMP},
      {[](Rtnl& r) { return r.add_clsact(3); }, RTM_NEWQDISC,
       NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL},
      {[](Rtnl& r) { return r.delete_clsact(3); }, RTM_DELQDISC, NLM_F_ACK},
      {[](Rtnl& r) { return r.add_bpf_filter(3, kIngress, 1, 2, 9, "f", false); }, RTM_NEWTFILTER,
       NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL},
      {[](Rtnl& r) { return r.add_bpf_filter(3, kIngress, 1, 2, 9, "f", true); }, RTM_NEWTFILTER,
       NLM_F_ACK | NLM_F_CREATE | NLM_F_REPLACE},
      {[](Rtnl& r) { return r.delete_filter(3, kIngress, 1, 2); }, RTM_DELTFILTER, NLM_F_ACK},
  };
  for (const Row& row : rows) {
    Fixture f;
    row.call(*f.rtnl);
    ASSERT_FALSE(f.fake->sent.empty());
    const nlmsghdr* m = f.fake->request(0);
    SCOPED_TRACE(row.type);
    EXPECT_EQ(m->nlmsg_type, row.type);
    EXPECT_EQ(m->nlmsg_flags, NLM_F_REQUEST | row.flags);
  }
}

const nlattr* find(const void* start, std::size_t len, std::uint16_t type) {
  auto* a = static_cast<const nlattr*>(start);
  int left = static_cast<int>(len);
  for (; mnl_attr_ok(a, left); a = mnl_attr_next(a)) {
    if (mnl_attr_get_type(a) == type) return a;
    left -= MNL_ALIGN(a->nla_len);
  }
  return nullptr;
}

const nlattr* find(const nlmsghdr* m, std::size_t header, std::uint16_t type) {
  return find(static_cast<const char*>(mnl_nlmsg_get_payload(m)) + MNL_ALIGN(header),
              mnl_nlmsg_get_payload_len(m) - MNL_ALIGN(header), type);
}

const nlattr* find(const nlattr* nest, std::uint16_t type) {
  return nest ? find(mnl_attr_get_payload(nest), mnl_attr_get_payload_len(nest), type) : nullptr;
}

TEST(Requests, DumpOfOneKindAsksTheKernelToFilter) {
  Fixture f;
  std::vector<Link> out;
  f.rtnl->links(out, "macvlan");
  const nlmsghdr* m = f.fake->request(0);
  const nlattr* kind = find(find(m, sizeof(ifinfomsg), IFLA_LINKINFO), IFLA_INFO_KIND);
  ASSERT_TRUE(kind);
  EXPECT_STREQ(mnl_attr_get_str(kind), "macvlan");
  const nlattr* mask = find(m, sizeof(ifinfomsg), IFLA_EXT_MASK);
  ASSERT_TRUE(mask);
  EXPECT_EQ(mnl_attr_get_u32(mask), std::uint32_t{RTEXT_FILTER_SKIP_STATS});
}

TEST(Requests, AttachIngressSendsBothInOneBatch) {
  Fixture f;
  f.fake->answers = {{error(0, 0), error(1, 0)}};
  bool created = false;
  int qdisc_err = -1;
  EXPECT_EQ(f.rtnl->attach_ingress(3, 9, "brantel_rx", 25202, 0x6272, created, qdisc_err), 0);
  EXPECT_TRUE(created);
  ASSERT_EQ(f.fake->sent.size(), 1u);
  const nlmsghdr* q = f.fake->request(0, 0);
  const nlmsghdr* flt = f.fake->request(0, 1);
  ASSERT_TRUE(q && flt);
  EXPECT_EQ(q->nlmsg_type, RTM_NEWQDISC);
  EXPECT_EQ(flt->nlmsg_type, RTM_NEWTFILTER);
  EXPECT_EQ(flt->nlmsg_seq, q->nlmsg_seq + 1);
  EXPECT_EQ(flt->nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL);
  tcmsg t;
  std::memcpy(&t, mnl_nlmsg_get_payload(flt), sizeof t);
  EXPECT_EQ(t.tcm_info, TC_H_MAKE(25202u << 16, htons(ETH_P_ALL)));
  EXPECT_EQ(t.tcm_parent, kIngress);
  EXPECT_EQ(t.tcm_handle, 0x6272u);
  const nlattr* opts = find(flt, sizeof(tcmsg), TCA_OPTIONS);
  ASSERT_TRUE(find(opts, TCA_BPF_FD) && find(opts, TCA_BPF_NAME) && find(opts, TCA_BPF_FLAGS));
  EXPECT_EQ(mnl_attr_get_u32(find(opts, TCA_BPF_FD)), 9u);
  EXPECT_EQ(mnl_attr_get_u32(find(opts, TCA_BPF_FLAGS)), std::uint32_t{TCA_BPF_FLAG_ACT_DIRECT});
}

TEST(Requests, MacvlanNotReadBackIsDeletedByName) {
  Fixture f;
  f.fake->answers = {{error(0, 0)}, {error(0, ENODEV)}, {error(0, 0)}};
  Link out;
  EXPECT_EQ(f.rtnl->create_macvlan("eth1#1", 3, 9, MacBytes{2, 0, 0, 0, 0, 1}, out), ENODEV);
  ASSERT_EQ(f.fake->sent.size(), 3u);
  const nlmsghdr* made = f.fake->request(0);
  const nlattr* data = find(find(made, sizeof(ifinfomsg), IFLA_LINKINFO), IFLA_INFO_DATA);
  EXPECT_EQ(mnl_attr_get_u32(find(data, IFLA_MACVLAN_MODE)), std::uint32_t{MACVLAN_MODE_PRIVATE});
  EXPECT_EQ(mnl_attr_get_payload_len(find(made, sizeof(ifinfomsg), IFLA_ADDRESS)), 6u);
  const nlmsghdr* del = f.fake->request(2);
  EXPECT_EQ(del->nlmsg_type, RTM_DELLINK);
  const nlattr* name = find(del, sizeof(ifinfomsg), IFLA_IFNAME);
  ASSERT_TRUE(name);
  EXPECT_STREQ(mnl_attr_get_str(name), "eth1#1");
}

TEST(Requests, NameWithNulInsideIsRefusedUnsent) {
  Fixture f;
  Link out;
  EXPECT_EQ(f.rtnl->get_link(std::string("eth1\0x", 6), out), EINVAL);
  EXPECT_TRUE(f.fake->sent.empty());
}

}  // namespace
}  // namespace brantel_sim::live
