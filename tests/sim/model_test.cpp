// The module's rules, driven through Simulator::serve as the tool sends them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_test_util.h"

namespace {

using sim_test::Client;

constexpr unsigned char kMacA[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr unsigned char kMacB[6] = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
constexpr unsigned char kMacC[6] = {0x02, 0, 0, 0, 0, 0x01};

class ModelTest : public ::testing::Test {
 protected:
  brantel_sim::Simulator sim;  // in memory
  Client c{sim};
};

TEST_F(ModelTest, EnableMakesDefaultInterfaceAndRefusesTwice) {
  EXPECT_EQ(c.dump(), "");
  ASSERT_EQ(c.enable("eth0"), 0);
  EXPECT_EQ(c.enable("eth0"), EEXIST);
  ASSERT_EQ(c.enable("eth1"), 0);
  EXPECT_EQ(c.dump(), "eth0 0x0: eth0#0{}; eth1 0x0: eth1#0{}");
}

TEST_F(ModelTest, NameRules) {
  EXPECT_EQ(c.enable(nullptr), EFAULT);
  EXPECT_EQ(c.enable(""), EINVAL);
  EXPECT_EQ(c.enable("a/b"), EINVAL);
  EXPECT_EQ(c.enable("."), EINVAL);
  EXPECT_EQ(c.enable(".."), EINVAL);
  // 16 bytes without a NUL: too long, and only 16 bytes are looked at.
  char unterminated[16];
  std::memset(unterminated, 'x', sizeof unterminated);
  EXPECT_EQ(c.enable(unterminated), EINVAL);
  // "ifname#0" must fit in 15 bytes, so a port name has 13 at most.
  EXPECT_EQ(c.enable("abcdefghijklmn"), EINVAL);
  EXPECT_EQ(c.enable("abcdefghijklm"), 0);
  // The kernel's rules: no ':' or white space; shell metacharacters and a
  // leading '-' are fine.
  for (const char* bad : {"a b", "a\tb", "a\nb", "a\rb", "a:b"})
    EXPECT_EQ(c.enable(bad), EINVAL) << bad;
  EXPECT_EQ(c.enable("-a;$(x)"), 0);
  EXPECT_EQ(c.dump(), "abcdefghijklm 0x0: abcdefghijklm#0{}; -a;$(x) 0x0: -a;$(x)#0{}");
}

TEST_F(ModelTest, AddRules) {
  EXPECT_EQ(c.add("eth0", 1), ENODEV);
  ASSERT_EQ(c.enable("eth0"), 0);
  EXPECT_EQ(c.add("eth0", -1), EINVAL);
  EXPECT_EQ(c.add("eth0", 0), EEXIST);
  EXPECT_EQ(c.add("eth0", 16), 0);
  EXPECT_EQ(c.add("eth0", 16), EEXIST);
  EXPECT_EQ(c.add("eth0", 3), 0);
  EXPECT_EQ(c.dump(), "eth0 0x0: eth0#0{} eth0#16{} eth0#3{}");

  ASSERT_EQ(c.enable("abcdefghijkl"), 0);
  EXPECT_EQ(c.add("abcdefghijkl", 99), 0);        // 15 bytes
  EXPECT_EQ(c.add("abcdefghijkl", 100), EINVAL);  // 16 bytes
  EXPECT_EQ(c.add("abcdefghijkl", 2147483647), EINVAL);
}

TEST_F(ModelTest, RemovalRenumbersWhatFollows) {
  for (const char* p : {"a", "b", "c"}) ASSERT_EQ(c.enable(p), 0);
  ASSERT_EQ(c.add("a", 1), 0);
  ASSERT_EQ(c.add("a", 2), 0);
  ASSERT_EQ(c.bind("a#2", kMacA), 0);
  ASSERT_EQ(c.bind("a#2", kMacB), 0);
  ASSERT_EQ(c.bind("a#2", kMacC), 0);

  EXPECT_EQ(c.disable("b"), 0);
  EXPECT_EQ(c.disable("b"), ENODEV);
  EXPECT_EQ(c.del("a#0"), 0);
  EXPECT_EQ(c.del("a#0"), ENODEV);
  EXPECT_EQ(c.unbind("a#2", kMacB), 0);
  EXPECT_EQ(c.dump(), "a 0x0: a#1{} a#2{00:11:22:33:44:55 02:00:00:00:00:01}; c 0x0: c#0{}");

  // A port may lose every interface and still be a port.
  EXPECT_EQ(c.del("c#0"), 0);
  EXPECT_EQ(c.dump(), "a 0x0: a#1{} a#2{00:11:22:33:44:55 02:00:00:00:00:01}; c 0x0:");
  // Disabling takes the interfaces and their addresses along: "a#2" is gone.
  EXPECT_EQ(c.disable("a"), 0);
  EXPECT_EQ(c.bind("a#2", kMacA), ENODEV);
  EXPECT_EQ(c.enable("a"), 0);
  EXPECT_EQ(c.dump(), "c 0x0:; a 0x0: a#0{}");
}

TEST_F(ModelTest, BindRules) {
  ASSERT_EQ(c.enable("p"), 0);
  ASSERT_EQ(c.add("p", 1), 0);
  ASSERT_EQ(c.enable("q"), 0);

  EXPECT_EQ(c.bind("p#9", kMacA), ENODEV);
  EXPECT_EQ(c.bind("p#0", nullptr), EFAULT);
  EXPECT_EQ(c.bind("p#0", kMacA), 0);
  // One address maps to one interface per port ...
  EXPECT_EQ(c.bind("p#0", kMacA), EEXIST);
  EXPECT_EQ(c.bind("p#1", kMacA), EEXIST);
  // ... but other ports are free to use it.
  EXPECT_EQ(c.bind("q#0", kMacA), 0);

  EXPECT_EQ(c.unbind("p#9", kMacA), ENODEV);
  EXPECT_EQ(c.unbind("p#0", nullptr), EFAULT);
  EXPECT_EQ(c.unbind("p#1", kMacA), ENOENT);  // bound, but to a sibling
  EXPECT_EQ(c.unbind("p#0", kMacA), 0);
  EXPECT_EQ(c.unbind("p#0", kMacA), ENOENT);
  EXPECT_EQ(c.dump(), "p 0x0: p#0{} p#1{}; q 0x0: q#0{00:11:22:33:44:55}");
}

TEST_F(ModelTest, FlagWord) {
  EXPECT_EQ(c.setflags("eth0", 1), ENODEV);
  ASSERT_EQ(c.enable("eth0"), 0);
  EXPECT_EQ(c.setflags("eth0", -1), 0);
  // GET_PORT_FLAGS ignores its ifname, even NULL.
  EXPECT_EQ(c.send(GET_PORT_FLAGS, nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(c.rep.num, -1);
  EXPECT_EQ(c.send(GET_PORT_FLAGS, "other", 0, nullptr, 1), EINVAL);
}

TEST_F(ModelTest, QueryRangesAndReplies) {
  ASSERT_EQ(c.enable("eth0"), 0);
  ASSERT_EQ(c.bind("eth0#0", kMacB), 0);

  for (int bad : {-1, 1}) {
    EXPECT_EQ(c.query(GET_PORT_NAME, bad), EINVAL);
    EXPECT_EQ(c.query(GET_NUM_VLANS, bad), EINVAL);
    EXPECT_EQ(c.query(GET_PORT_FLAGS, bad), EINVAL);
    EXPECT_EQ(c.query(GET_VLAN_NAME, 0, bad), EINVAL);
    EXPECT_EQ(c.query(GET_NUM_MACS, 0, bad), EINVAL);
    EXPECT_EQ(c.query(GET_MAC_NAME, 0, 0, bad), EINVAL);
  }
  EXPECT_EQ(c.query(99), EINVAL);
  EXPECT_EQ(c.query(0), EINVAL);

  // Names come NUL-padded; an address fills bytes 0..5 and zeroes the rest.
  std::memset(&c.rep, 0x5a, sizeof c.rep);
  ASSERT_EQ(c.query(GET_PORT_NAME, 0), 0);
  EXPECT_EQ(std::memcmp(c.rep.name, "eth0\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
  ASSERT_EQ(c.query(GET_MAC_NAME, 0, 0, 0), 0);
  EXPECT_EQ(std::memcmp(c.rep.name, "\xaa\xbb\xcc\xdd\xee\xff\0\0\0\0\0\0\0\0\0\0", 16), 0);

  // A failed request leaves the reply alone.
  std::memset(&c.rep, 0x5a, sizeof c.rep);
  brantel_ioctl_reply before = c.rep;
  EXPECT_EQ(c.query(GET_VLAN_NAME, 0, 7), EINVAL);
  EXPECT_EQ(std::memcmp(&c.rep, &before, sizeof before), 0);

  brantel_ioctl r{};
  r.cmd = GET_NUM_PORTS;
  EXPECT_EQ(sim.serve(&r), EFAULT);  // no reply record
  EXPECT_EQ(sim.serve(nullptr), EFAULT);
}

TEST_F(ModelTest, UnlistedFieldsAreNotRead) {
  // Pointers the code does not list hold garbage, as in the tool's reused
  // records; reading them would crash.
  auto* garbage = reinterpret_cast<char*>(0x10);
  brantel_ioctl r{};
  r.cmd = BRANTEL_ENABLE;
  r.ifname = const_cast<char*>("eth0");
  r.macaddr = reinterpret_cast<unsigned char*>(garbage);
  r.reply = reinterpret_cast<brantel_ioctl_reply*>(garbage);
  EXPECT_EQ(sim.serve(&r), 0);
  brantel_ioctl_reply rep{};
  r.cmd = GET_NUM_PORTS;
  r.ifname = garbage;
  r.reply = &rep;
  EXPECT_EQ(sim.serve(&r), 0);
  EXPECT_EQ(rep.num, 1);
}

TEST(CheckedMemory, BadPointersGiveEfault) {
  brantel_sim::Options o;
  o.checked_memory = true;
  brantel_sim::Simulator sim(o);
  auto* garbage = reinterpret_cast<char*>(0x10);
  brantel_ioctl r{};
  r.cmd = BRANTEL_ENABLE;
  r.ifname = garbage;
  EXPECT_EQ(sim.serve(&r), EFAULT);
  EXPECT_EQ(sim.serve(reinterpret_cast<brantel_ioctl*>(garbage)), EFAULT);
  r.ifname = const_cast<char*>("eth0");
  ASSERT_EQ(sim.serve(&r), 0);
  r.cmd = GET_NUM_PORTS;
  r.reply = reinterpret_cast<brantel_ioctl_reply*>(garbage);
  EXPECT_EQ(sim.serve(&r), EFAULT);
  r.cmd = BRANTEL_BIND;
  r.ifname = const_cast<char*>("eth0#0");
  r.macaddr = reinterpret_cast<unsigned char*>(garbage);
  EXPECT_EQ(sim.serve(&r), EFAULT);
}

TEST(CheckedMemory, NameEndingAtAnUnmappedPageIsRead) {
  // Reading 16 bytes in one go would fault past the page end although the
  // name ends before it.
  long page = sysconf(_SC_PAGESIZE);
  auto* mem = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(mem, MAP_FAILED);
  ASSERT_EQ(munmap(mem + page, page), 0);
  char* name = mem + page - 5;
  std::memcpy(name, "eth1", 5);

  brantel_sim::Options o;
  o.checked_memory = true;
  brantel_sim::Simulator sim(o);
  brantel_ioctl r{};
  r.cmd = BRANTEL_ENABLE;
  r.ifname = name;
  EXPECT_EQ(sim.serve(&r), 0);
  // Without the NUL the read runs into the hole.
  name[4] = '1';
  EXPECT_EQ(sim.serve(&r), EFAULT);
  munmap(mem, page);
}

}  // namespace
