// Trace lines, checked through a simulator writing its trace to a file.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_test_util.h"

namespace {

using sim_test::Client;
using sim_test::TempDir;

TEST(Trace, LinesForEveryKindOfRequest) {
  TempDir dir;
  brantel_sim::Options o;
  o.trace_path = dir / "trace";
  o.faults = "BRANTEL_DISABLE@1=EPERM,GET_NUM_MACS=num=-3,GET_VLAN_NAME=nonul";
  brantel_sim::Simulator sim(o);
  Client c(sim);
  unsigned char mac[6] = {0, 0x11, 0x22, 0x33, 0x44, 0xab};
  char unterminated[16];
  std::memcpy(unterminated, "0123456789abcdef", 16);

  c.enable("eth1");
  c.add("eth1", 16);
  c.del("eth1#3");
  c.disable("eth1");
  c.bind("eth1#16", mac);
  c.unbind("eth1#16", nullptr);
  c.setflags("eth1", 1);
  c.query(GET_NUM_PORTS);
  c.query(GET_PORT_NAME, 0);
  c.query(GET_NUM_VLANS, 0);
  c.query(GET_VLAN_NAME, 0, 1);
  c.query(GET_NUM_MACS, 0, 1);
  c.query(GET_MAC_NAME, 0, 1, 0);
  c.send(GET_PORT_FLAGS, "eth1", 0, nullptr, 0);
  c.send(GET_PORT_FLAGS, nullptr, 0, nullptr, 0);
  c.enable("a\"b\\c d\t\x80");
  c.enable(unterminated);
  c.enable(nullptr);
  c.query(42);

  EXPECT_EQ(sim_test::read_file(o.trace_path),
            "BRANTEL_ENABLE ifname=\"eth1\" -> ok\n"
            "BRANTEL_ADD ifname=\"eth1\" ifidx=16 -> ok\n"
            "BRANTEL_DEL ifname=\"eth1#3\" -> ENODEV\n"
            "BRANTEL_DISABLE ifname=\"eth1\" -> EPERM (injected)\n"
            "BRANTEL_BIND ifname=\"eth1#16\" macaddr=00:11:22:33:44:ab -> ok\n"
            "BRANTEL_UNBIND ifname=\"eth1#16\" macaddr=NULL -> EFAULT\n"
            "SET_PORT_FLAGS ifname=\"eth1\" ifidx=1 -> ok\n"
            "GET_NUM_PORTS -> num=1\n"
            "GET_PORT_NAME portidx=0 -> name=\"eth1\"\n"
            "GET_NUM_VLANS portidx=0 -> num=2\n"
            "GET_VLAN_NAME portidx=0 ifidx=1 -> name=\"eth1#16*********...\"\n"
            "GET_NUM_MACS portidx=0 ifidx=1 -> num=-3\n"
            "GET_MAC_NAME portidx=0 ifidx=1 macaddridx=0 -> name=00:11:22:33:44:ab\n"
            "GET_PORT_FLAGS portidx=0 ifname=\"eth1\" -> num=1\n"
            "GET_PORT_FLAGS portidx=0 ifname=NULL -> num=1\n"
            "BRANTEL_ENABLE ifname=\"a\\\"b\\\\c d\\x09\\x80\" -> EINVAL\n"
            "BRANTEL_ENABLE ifname=\"0123456789abcdef...\" -> EINVAL\n"
            "BRANTEL_ENABLE ifname=NULL -> EFAULT\n"
            "code=42 -> EINVAL\n");
}

TEST(Trace, UnopenableTraceFailsRequests) {
  TempDir dir;
  std::vector<std::string> messages;
  brantel_sim::Options o;
  o.trace_path = dir / "missing/trace";
  o.report = [&](const std::string& m) { messages.push_back(m); };
  brantel_sim::Simulator sim(o);
  Client c(sim);
  EXPECT_EQ(c.query(GET_NUM_PORTS), EIO);
  EXPECT_EQ(c.query(GET_NUM_PORTS), EIO);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("trace: "), std::string::npos);
}

}  // namespace
