// Fault rules: parsing, @N counting, and their effect on requests.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "codes.h"
#include "sim_test_util.h"

namespace {

using brantel_sim::FaultRule;
using brantel_sim::FaultSet;
using sim_test::Client;

TEST(FaultRules, Parse) {
  FaultRule r;
  std::string why;
  ASSERT_TRUE(brantel_sim::parse_fault_rule("BRANTEL_DEL=EPERM", r, why)) << why;
  EXPECT_EQ(r.target, FaultRule::Target::code);
  EXPECT_EQ(r.code, BRANTEL_DEL);
  EXPECT_EQ(r.err, EPERM);
  EXPECT_EQ(r.nth, 0u);

  ASSERT_TRUE(brantel_sim::parse_fault_rule("*@5=5", r, why)) << why;
  EXPECT_EQ(r.target, FaultRule::Target::any);
  EXPECT_EQ(r.nth, 5u);
  EXPECT_EQ(r.err, EIO);

  ASSERT_TRUE(brantel_sim::parse_fault_rule("GET_NUM_PORTS=num=-1", r, why)) << why;
  EXPECT_EQ(r.action, FaultRule::Action::num);
  EXPECT_EQ(r.num, -1);

  ASSERT_TRUE(brantel_sim::parse_fault_rule("GET_MAC_NAME@2=nonul", r, why)) << why;
  EXPECT_EQ(r.action, FaultRule::Action::nonul);
  ASSERT_TRUE(brantel_sim::parse_fault_rule("socket=EWOULDBLOCK", r, why)) << why;
  EXPECT_EQ(r.err, EAGAIN);

  FaultSet set;
  std::string error;
  ASSERT_TRUE(set.parse(" BRANTEL_ADD=EEXIST , ,*=nonul,", error)) << error;
  EXPECT_EQ(set.rules().size(), 2u);
}

TEST(FaultRules, Malformed) {
  const char* bad[] = {
      "BRANTEL_DEL",      // no action
      "=EIO",             // no target
      "brantel_del=EIO",  // names are exact
      "FOO=EIO",
      "*@0=EIO",
      "*@=EIO",
      "*@-1=EIO",
      "*@1x=EIO",
      "*=",
      "*=EBOGUS",
      "*=0",
      "*=4096",
      "*=-5",
      "*=num=",
      "*=num=1x",
      "*=num=2147483648",
      "BRANTEL_ADD=num=1",    // no reply to change
      "GET_NUM_PORTS=nonul",  // no name in the reply
      "socket=num=1",
      "socket=nonul",
  };
  for (const char* text : bad) {
    FaultSet set;
    std::string error;
    EXPECT_FALSE(set.parse(std::string("BRANTEL_ADD=EIO,") + text, error)) << text;
    EXPECT_EQ(error.rfind(std::string("bad fault rule \"") + text + "\": ", 0), 0u) << error;
    EXPECT_TRUE(set.empty());
  }
}

TEST(FaultRules, CountEachRuleSeparately) {
  FaultSet set;
  std::string error;
  ASSERT_TRUE(
      set.parse("*@3=EIO,GET_NUM_PORTS@2=EPERM,GET_NUM_PORTS=num=7,socket@2=EMFILE", error));
  // Every rule counts the requests matching its target, even those that
  // another rule fails.
  auto d1 = set.on_request(GET_NUM_PORTS);
  EXPECT_EQ(d1.err, 0);
  EXPECT_EQ(d1.num, 7);
  EXPECT_EQ(set.on_request(GET_NUM_PORTS).err, EPERM);
  EXPECT_EQ(set.on_request(BRANTEL_ADD).err, EIO);  // third request of any kind
  EXPECT_EQ(set.on_request(GET_NUM_PORTS).err, 0);
  EXPECT_EQ(set.on_socket(), 0);
  EXPECT_EQ(set.on_socket(), EMFILE);
  EXPECT_EQ(set.on_socket(), 0);
}

TEST(FaultRules, FirstFailingRuleWins) {
  FaultSet set;
  std::string error;
  ASSERT_TRUE(set.parse("*=EPERM,BRANTEL_ADD=ENOSPC", error));
  EXPECT_EQ(set.on_request(BRANTEL_ADD).err, EPERM);
}

class FaultedSim : public ::testing::Test {
 protected:
  void start(const std::string& rules) {
    brantel_sim::Options o;
    o.faults = rules;
    o.report = [this](const std::string& m) { messages.push_back(m); };
    sim = std::make_unique<brantel_sim::Simulator>(o);
    c = std::make_unique<Client>(*sim);
  }
  std::vector<std::string> messages;
  std::unique_ptr<brantel_sim::Simulator> sim;
  std::unique_ptr<Client> c;
};

TEST_F(FaultedSim, InjectedErrorLeavesStateAsItWas) {
  start("BRANTEL_DISABLE@1=EPERM,BRANTEL_DEL=EBUSY");
  ASSERT_EQ(c->enable("eth0"), 0);
  EXPECT_EQ(c->disable("eth0"), EPERM);
  EXPECT_EQ(c->del("eth0#0"), EBUSY);
  EXPECT_EQ(c->dump(), "eth0 0x0: eth0#0{}");
  EXPECT_EQ(c->disable("eth0"), 0);  // only the first was refused
  EXPECT_EQ(c->dump(), "");
}

TEST_F(FaultedSim, NumReplacesSuccessfulRepliesOnly) {
  start("GET_NUM_PORTS=num=-1,GET_NUM_VLANS@1=num=5");
  EXPECT_EQ(c->query(GET_NUM_PORTS), 0);
  EXPECT_EQ(c->rep.num, -1);
  EXPECT_EQ(c->query(GET_NUM_VLANS, 0), EINVAL);  // no port 0: nothing replaced
  ASSERT_EQ(c->enable("eth0"), 0);
  EXPECT_EQ(c->query(GET_NUM_VLANS, 0), 0);
  EXPECT_EQ(c->rep.num, 1);  // @1 was used by the failed request
}

TEST_F(FaultedSim, NonulFillsTheWholeName) {
  start("*=nonul");
  ASSERT_EQ(c->enable("eth0"), 0);
  unsigned char mac[6] = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(c->bind("eth0#0", mac), 0);
  ASSERT_EQ(c->query(GET_PORT_NAME, 0), 0);
  EXPECT_EQ(std::string(c->rep.name, 16), "eth0************");
  ASSERT_EQ(c->query(GET_VLAN_NAME, 0, 0), 0);
  EXPECT_EQ(std::string(c->rep.name, 16), "eth0#0**********");
  ASSERT_EQ(c->query(GET_MAC_NAME, 0, 0, 0), 0);
  EXPECT_EQ(std::string(c->rep.name, 16), std::string("\1\2\3\4\5\6**********"));
}

TEST_F(FaultedSim, BadRuleFailsEveryRequestWithEinval) {
  start("BRANTEL_ADD=EIO,*@0=EIO");
  EXPECT_EQ(c->enable("eth0"), EINVAL);
  EXPECT_EQ(c->query(GET_NUM_PORTS), EINVAL);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "brantel-sim: bad fault rule \"*@0=EIO\": @N needs a whole number of 1 or more");
}

TEST(ErrnoNames, BothWays) {
  EXPECT_EQ(brantel_sim::errno_name(EEXIST), "EEXIST");
  EXPECT_EQ(brantel_sim::errno_name(4000), "4000");
  EXPECT_EQ(brantel_sim::errno_by_name("ENODEV"), ENODEV);
  EXPECT_EQ(brantel_sim::errno_by_name("ENOTSUP"), ENOTSUP);
  EXPECT_EQ(brantel_sim::errno_by_name("EXXX"), 0);
}

}  // namespace
