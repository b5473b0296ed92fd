// Route netlink messages: the builders of requests and the parsers of
// answers.  Every attribute read is first checked against a table of the
// types it may have, so a malformed answer is refused rather than read past
// its end or taken for what it is not.
#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_link.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "netlink_wire.h"

namespace brantel_sim::live {
namespace {

// mnl_nlmsg_get_payload_len, without wrapping round under a short header.
std::size_t payload_len(const nlmsghdr* nlh) {
  return nlh->nlmsg_len < MNL_NLMSG_HDRLEN ? 0 : mnl_nlmsg_get_payload_len(nlh);
}

template <std::size_t N>
using Policy = std::array<mnl_attr_data_type, N>;

// The attributes of one message or nest, by type; null where absent.
// Types past the policy's end are not ours to read and are skipped.
template <std::size_t N>
struct Attrs {
  explicit Attrs(const Policy<N>& p) : policy(p) {}
  const Policy<N>& policy;
  std::array<const nlattr*, N> at{};
  const char* start = nullptr;
  std::size_t used = 0;  // bytes up to the end of the last attribute seen
};

template <std::size_t N>
int keep(const nlattr* a, void* data) {
  auto& s = *static_cast<Attrs<N>*>(data);
  s.used =
      static_cast<std::size_t>(reinterpret_cast<const char*>(a) - s.start) + MNL_ALIGN(a->nla_len);
  std::uint16_t type = mnl_attr_get_type(a);
  if (type >= N) return MNL_CB_OK;
  if (mnl_attr_validate(a, s.policy[type]) < 0) return MNL_CB_ERROR;
  s.at[type] = a;
  return MNL_CB_OK;
}

// The walk stops quietly at an attribute that runs past the end; counting
// what it covered tells that truncation from a clean end.  The length is
// the payload's own, not rounded up, so nothing past it is read.
template <std::size_t N>
bool parse_attrs(const void* start, std::size_t len, Attrs<N>& s) {
  s.start = static_cast<const char*>(start);
  if (mnl_attr_parse_payload(start, len, keep<N>, &s) != MNL_CB_OK) return false;
  return s.used >= len;
}

template <std::size_t N>
bool parse_nested(const nlattr* nest, Attrs<N>& s) {
  return parse_attrs(mnl_attr_get_payload(nest), mnl_attr_get_payload_len(nest), s);
}

// The attributes after a message's fixed header of `header` bytes.
template <std::size_t N>
bool parse_message(const nlmsghdr* nlh, std::size_t header, Attrs<N>& s) {
  std::size_t len = payload_len(nlh);
  if (len < MNL_ALIGN(header)) return false;
  return parse_attrs(static_cast<const char*>(mnl_nlmsg_get_payload(nlh)) + MNL_ALIGN(header),
                     len - MNL_ALIGN(header), s);
}

std::string text(const nlattr* a) { return a ? mnl_attr_get_str(a) : std::string(); }
std::uint32_t u32(const nlattr* a) { return a ? mnl_attr_get_u32(a) : 0; }

// A validation table: the type of each attribute read, MNL_TYPE_UNSPEC
// (unchecked) for the rest.
template <std::size_t N>
constexpr Policy<N> policy(std::initializer_list<std::pair<int, mnl_attr_data_type>> types) {
  Policy<N> p{};
  for (const auto& [type, kind] : types) p[static_cast<std::size_t>(type)] = kind;
  return p;
}

// IFLA_ADDRESS stays unchecked: other lengths are other kinds of device.
constexpr auto kLinkPolicy = policy<IFLA_MAX + 1>({{IFLA_IFNAME, MNL_TYPE_NUL_STRING},
                                                   {IFLA_LINK, MNL_TYPE_U32},
                                                   {IFLA_GROUP, MNL_TYPE_U32},
                                                   {IFLA_LINK_NETNSID, MNL_TYPE_U32},
                                                   {IFLA_LINKINFO, MNL_TYPE_NESTED}});
constexpr auto kLinkInfoPolicy = policy<IFLA_INFO_MAX + 1>(
    {{IFLA_INFO_KIND, MNL_TYPE_NUL_STRING}, {IFLA_INFO_DATA, MNL_TYPE_NESTED}});
constexpr auto kMacvlanPolicy = policy<IFLA_MACVLAN_MAX + 1>({{IFLA_MACVLAN_MODE, MNL_TYPE_U32}});
// TCA_OPTIONS is a nest for most kinds but a bare struct for some qdiscs,
// so it is checked only where it is read.
constexpr auto kTcPolicy = policy<TCA_MAX + 1>({{TCA_KIND, MNL_TYPE_NUL_STRING}});
constexpr auto kBpfPolicy = policy<TCA_BPF_MAX + 1>({{TCA_BPF_ID, MNL_TYPE_U32},
                                                     {TCA_BPF_NAME, MNL_TYPE_NUL_STRING},
                                                     {TCA_BPF_FLAGS, MNL_TYPE_U32}});
constexpr auto kErrorPolicy =
    policy<NLMSGERR_ATTR_MAX + 1>({{NLMSGERR_ATTR_MSG, MNL_TYPE_NUL_STRING}});

bool parse_tc_header(const nlmsghdr* nlh, tcmsg& t, Attrs<TCA_MAX + 1>& a) {
  if (payload_len(nlh) < sizeof t) return false;
  std::memcpy(&t, mnl_nlmsg_get_payload(nlh), sizeof t);
  return parse_message(nlh, sizeof t, a);
}

}  // namespace

bool parse_link(const nlmsghdr* nlh, Link& out) {
  ifinfomsg ifi;
  Attrs a(kLinkPolicy);
  if (nlh->nlmsg_type != RTM_NEWLINK || payload_len(nlh) < sizeof ifi) return false;
  std::memcpy(&ifi, mnl_nlmsg_get_payload(nlh), sizeof ifi);
  if (!parse_message(nlh, sizeof ifi, a)) return false;

  Link l;
  l.ifindex = ifi.ifi_index;
  l.flags = ifi.ifi_flags;
  l.type = ifi.ifi_type;
  l.name = text(a.at[IFLA_IFNAME]);
  l.parent = static_cast<int>(u32(a.at[IFLA_LINK]));
  l.parent_elsewhere = a.at[IFLA_LINK_NETNSID] != nullptr;
  l.group = u32(a.at[IFLA_GROUP]);
  if (const nlattr* mac = a.at[IFLA_ADDRESS]; mac && mnl_attr_get_payload_len(mac) == l.mac.size())
    std::memcpy(l.mac.data(), mnl_attr_get_payload(mac), l.mac.size());
  if (const nlattr* info = a.at[IFLA_LINKINFO]) {
    Attrs i(kLinkInfoPolicy);
    if (!parse_nested(info, i)) return false;
    l.kind = text(i.at[IFLA_INFO_KIND]);
    // The data's layout depends on the kind; only a macvlan's is read.
    if (l.kind == "macvlan" && i.at[IFLA_INFO_DATA]) {
      Attrs d(kMacvlanPolicy);
      if (!parse_nested(i.at[IFLA_INFO_DATA], d)) return false;
      l.macvlan_mode = u32(d.at[IFLA_MACVLAN_MODE]);
    }
  }
  out = std::move(l);
  return true;
}

bool parse_qdisc(const nlmsghdr* nlh, Qdisc& out) {
  tcmsg t;
  Attrs a(kTcPolicy);
  if (nlh->nlmsg_type != RTM_NEWQDISC || !parse_tc_header(nlh, t, a)) return false;
  out.ifindex = t.tcm_ifindex;
  out.handle = t.tcm_handle;
  out.parent = t.tcm_parent;
  out.kind = text(a.at[TCA_KIND]);
  return true;
}

bool parse_filter(const nlmsghdr* nlh, Filter& out) {
  tcmsg t;
  Attrs a(kTcPolicy);
  if (nlh->nlmsg_type != RTM_NEWTFILTER || !parse_tc_header(nlh, t, a)) return false;
  Filter f;
  f.ifindex = t.tcm_ifindex;
  f.parent = t.tcm_parent;
  f.priority = TC_H_MAJ(t.tcm_info) >> 16;
  f.handle = t.tcm_handle;
  f.protocol = ntohs(static_cast<std::uint16_t>(TC_H_MIN(t.tcm_info)));
  f.kind = text(a.at[TCA_KIND]);
  if (f.kind == "bpf" && a.at[TCA_OPTIONS]) {
    Attrs o(kBpfPolicy);
    if (mnl_attr_validate(a.at[TCA_OPTIONS], MNL_TYPE_NESTED) < 0 ||
        !parse_nested(a.at[TCA_OPTIONS], o))
      return false;
    f.prog_id = u32(o.at[TCA_BPF_ID]);
    f.prog_name = text(o.at[TCA_BPF_NAME]);
    f.direct_action = u32(o.at[TCA_BPF_FLAGS]) & TCA_BPF_FLAG_ACT_DIRECT;
  }
  out = std::move(f);
  return true;
}

namespace wire {

bool parse_end(const nlmsghdr* nlh, int& err, std::string& msg) {
  std::size_t len = payload_len(nlh);
  const char* payload = static_cast<const char*>(mnl_nlmsg_get_payload(nlh));
  int code = 0;
  std::size_t tlvs = len;  // where the extended ack starts; len: none
  if (nlh->nlmsg_type == NLMSG_ERROR) {
    nlmsgerr e;
    if (len < sizeof e) return false;
    std::memcpy(&e, payload, sizeof e);
    code = e.error;
    // Unless capped, the request comes back whole before the attributes.
    if (nlh->nlmsg_flags & NLM_F_CAPPED)
      tlvs = sizeof e;
    else if (e.msg.nlmsg_len >= sizeof(nlmsghdr))
      tlvs = sizeof e + MNL_ALIGN(std::size_t{e.msg.nlmsg_len} - sizeof(nlmsghdr));
  } else if (nlh->nlmsg_type == NLMSG_DONE) {
    // Kernels since 4.x say how the dump ended; older ones send nothing.
    if (len >= sizeof code) {
      std::memcpy(&code, payload, sizeof code);
      tlvs = MNL_ALIGN(sizeof code);
    }
  } else {
    return false;
  }
  if (code > 0 || code < -4095) return false;  // no errno value
  err = -code;
  msg.clear();
  if (err && (nlh->nlmsg_flags & NLM_F_ACK_TLVS) && tlvs < len) {
    Attrs a(kErrorPolicy);
    // A garbled explanation costs only the explanation.
    if (parse_attrs(payload + tlvs, len - tlvs, a)) msg = text(a.at[NLMSGERR_ATTR_MSG]);
  }
  return true;
}

nlmsghdr* Batch::start(std::uint16_t type, std::uint16_t flags, std::size_t header) {
  if (cur_) offset_ += MNL_ALIGN(cur_->nlmsg_len);
  if (offset_ + MNL_NLMSG_HDRLEN + MNL_ALIGN(header) > buf_.size()) {
    // Later attributes go to a scratch message that is never sent.
    error_ = EMSGSIZE;
    offset_ = 0;
  }
  cur_ = mnl_nlmsg_put_header(buf_.data() + offset_);
  cur_->nlmsg_type = type;
  cur_->nlmsg_flags = NLM_F_REQUEST | flags | (is_get(type) ? 0 : NLM_F_ACK);
  mnl_nlmsg_put_extra_header(cur_, header);
  return cur_;
}

std::size_t Batch::room() const { return buf_.size() - offset_; }

std::size_t Batch::size() const { return cur_ ? offset_ + cur_->nlmsg_len : 0; }

ifinfomsg* Batch::link(std::uint16_t type, std::uint16_t flags, int ifindex) {
  nlmsghdr* nlh = start(type, flags, sizeof(ifinfomsg));
  auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_get_payload(nlh));
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_index = ifindex;
  // Counters are not needed and make each answer several times longer.
  if (type == RTM_GETLINK) u32(IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
  return ifi;
}

tcmsg* Batch::tc(std::uint16_t type, std::uint16_t flags, int ifindex, std::uint32_t parent,
                 std::uint32_t handle, std::uint32_t info) {
  nlmsghdr* nlh = start(type, flags, sizeof(tcmsg));
  auto* t = static_cast<tcmsg*>(mnl_nlmsg_get_payload(nlh));
  t->tcm_family = AF_UNSPEC;
  t->tcm_ifindex = ifindex;
  t->tcm_parent = parent;
  t->tcm_handle = handle;
  t->tcm_info = info;
  return t;
}

void Batch::u32(std::uint16_t type, std::uint32_t value) {
  if (!mnl_attr_put_u32_check(cur_, room(), type, value)) error_ = EMSGSIZE;
}

void Batch::str(std::uint16_t type, const std::string& value) {
  if (value.find('\0') != std::string::npos) error_ = EINVAL;
  if (!mnl_attr_put_strz_check(cur_, room(), type, value.c_str())) error_ = EMSGSIZE;
}

void Batch::bytes(std::uint16_t type, const void* data, std::size_t len) {
  if (!mnl_attr_put_check(cur_, room(), type, len, data)) error_ = EMSGSIZE;
}

nlattr* Batch::nest(std::uint16_t type) {
  nlattr* n = mnl_attr_nest_start_check(cur_, room(), type);
  if (!n) error_ = EMSGSIZE;
  return n;
}

void Batch::end(nlattr* nest) {
  if (nest) mnl_attr_nest_end(cur_, nest);
}

}  // namespace wire
}  // namespace brantel_sim::live
