// The request record crosses into the kernel: its layout must be the natural
// one of its field list, whatever the compiler.
#include <gtest/gtest.h>
#include <linux/if_brantel.h>

#include <cstddef>
#include <iterator>

namespace {

constexpr size_t round_up(size_t n, size_t align) { return (n + align - 1) / align * align; }

TEST(Header, RequestRecordHasTheNaturalLayout) {
  constexpr size_t ptr = sizeof(void *), pal = alignof(void *);
  constexpr size_t ifname = round_up(8, pal);
  constexpr size_t ifidx = ifname + ptr;
  constexpr size_t macaddr = round_up(ifidx + 4, pal);
  constexpr size_t macaddridx = macaddr + ptr;
  constexpr size_t reply = round_up(macaddridx + 4, pal);
  EXPECT_EQ(offsetof(brantel_ioctl, cmd), 0u);
  EXPECT_EQ(offsetof(brantel_ioctl, portidx), 4u);
  EXPECT_EQ(offsetof(brantel_ioctl, ifname), ifname);
  EXPECT_EQ(offsetof(brantel_ioctl, ifidx), ifidx);
  EXPECT_EQ(offsetof(brantel_ioctl, macaddr), macaddr);
  EXPECT_EQ(offsetof(brantel_ioctl, macaddridx), macaddridx);
  EXPECT_EQ(offsetof(brantel_ioctl, reply), reply);
  EXPECT_EQ(sizeof(brantel_ioctl), round_up(reply + ptr, pal));
  if (ptr == 8) {  // this 64-bit build, pinned
    EXPECT_EQ(offsetof(brantel_ioctl, macaddr), 24u);
    EXPECT_EQ(offsetof(brantel_ioctl, reply), 40u);
    EXPECT_EQ(sizeof(brantel_ioctl), 48u);
  } else if (ptr == 4) {
    EXPECT_EQ(sizeof(brantel_ioctl), 28u);
  }
}

TEST(Header, ReplyRecordAndCodes) {
  EXPECT_EQ(offsetof(brantel_ioctl_reply, name), 4u);
  EXPECT_EQ(sizeof(brantel_ioctl_reply::name), 16u);
  EXPECT_EQ(sizeof(brantel_ioctl_reply), 20u);
  EXPECT_EQ(SIOCGIFBRANTEL, 0x8965);
  const int codes[] = {BRANTEL_ENABLE, BRANTEL_DISABLE, BRANTEL_ADD,   BRANTEL_DEL,
                       BRANTEL_BIND,   BRANTEL_UNBIND,  GET_NUM_PORTS, GET_PORT_NAME,
                       GET_NUM_VLANS,  GET_VLAN_NAME,   GET_NUM_MACS,  GET_MAC_NAME,
                       SET_PORT_FLAGS, GET_PORT_FLAGS};
  // Numbered 1 to BRANTEL_CMD_MAX without gaps: the simulator's request table relies on it.
  static_assert(std::size(codes) == BRANTEL_CMD_MAX);
  for (size_t i = 0; i < std::size(codes); i++) EXPECT_EQ(codes[i], static_cast<int>(i + 1));
}

}  // namespace
