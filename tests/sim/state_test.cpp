// The state file: format, corruption handling, locking between runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "sim_test_util.h"

namespace {

using brantel_sim::Model;
using brantel_sim::parse_state;
using brantel_sim::serialize_state;
using sim_test::Client;
using sim_test::TempDir;

brantel_sim::Options on_file(const std::string& path,
                             std::vector<std::string>* messages = nullptr) {
  brantel_sim::Options o;
  o.state_path = path;
  if (messages) o.report = [messages](const std::string& m) { messages->push_back(m); };
  return o;
}

TEST(StateFormat, RoundTripKeepsEverythingAndEscapesNames) {
  Model m;
  std::string odd = std::string("a\\\"\x7f\xff", 5);
  m.ports().push_back(
      {odd, static_cast<std::int32_t>(0x80000001), {{odd + "#0", {{1, 2, 3, 4, 5, 0xab}}}}});
  m.ports().push_back({"eth1", 0, {}});
  std::string text = serialize_state(m);
  EXPECT_EQ(text, sim_test::state_text("port a\\x5c\"\\x7f\\xff 0x80000001\n"
                                       "vlan a\\x5c\"\\x7f\\xff#0\n"
                                       "mac 01:02:03:04:05:ab\n"
                                       "port eth1 0x0\n"));
  Model back;
  std::string error;
  ASSERT_TRUE(parse_state(text, back, error)) << error;
  EXPECT_EQ(serialize_state(back), text);
  EXPECT_EQ(back.ports()[0].name, odd);
  EXPECT_EQ(back.ports()[0].flags, static_cast<std::int32_t>(0x80000001));
}

TEST(StateFormat, InputIsReadLeniently) {
  Model m;
  std::string error;
  ASSERT_TRUE(
      parse_state("brantel-sim state 1\n"
                  "\n"
                  "# hand-written\n"
                  "port  eth0\t017\n"
                  "vlan eth0\\\\#0\n"
                  "mac AA:BB:CC:DD:EE:0F\n"
                  "port e\\x41 0xffffffff\n"
                  "port p -2",  // no final newline
                  m, error))
      << error;
  // A file of version 1 has no end line.
  EXPECT_EQ(serialize_state(m), sim_test::state_text("port eth0 0xf\n"
                                                     "vlan eth0\\x5c#0\n"
                                                     "mac aa:bb:cc:dd:ee:0f\n"
                                                     "port eA 0xffffffff\n"
                                                     "port p 0xfffffffe\n"));
}

TEST(StateFormat, EveryKindOfCorruptionIsRefused) {
  const std::string h = "brantel-sim state 1\n";
  const std::pair<std::string, std::string> cases[] = {
      {"", "line 1: missing header"},
      {"port eth0 0\n", "line 1: missing header"},
      {"brantel-sim state 3\n", "line 1: missing header"},
      // Version 2 ends with its end line: a file cut at a line end shows.
      {"brantel-sim state 2\nport eth0 0\n", "line 2: no end line"},
      {"brantel-sim state 2\nend\nport eth0 0\n", "line 3: text after the end line"},
      {h + "end\n", "line 2: unknown record \"end\""},
      {h + "port a\\x20b 0\n", "line 2: bad port name \"a\\x20b\": contains white space"},
      {h + "port a:b 0\n", "line 2: bad port name"},
      {h + "port a 0\nvlan a\\x0a#1\n", "line 3: bad interface name"},
      {h + "foo bar\n", "line 2: unknown record \"foo\""},
      {h + "vlan eth0#0\n", "line 2: vlan before any port"},
      {h + "port eth0 0\nmac 00:11:22:33:44:55\n", "line 3: mac before any vlan"},
      {h + "port eth0 0\nvlan eth0#0\nmac 00:11:22:33:44\n", "line 4: bad address"},
      {h + "port eth0 0\nvlan eth0#0\nmac 00-11-22-33-44-55\n", "line 4: bad address"},
      {h + "port eth0 0\nvlan eth0#0\nmac 0g:11:22:33:44:55\n", "line 4: bad address"},
      {h + "port eth0 0\nport eth0 1\n", "line 3: duplicate port \"eth0\""},
      {h + "port a 0\nvlan x\nport b 0\nvlan x\n", "line 5: duplicate interface \"x\""},
      {h + "port a 0\nvlan a#0\nmac 00:11:22:33:44:55\nvlan a#1\nmac 00:11:22:33:44:55\n",
       "line 6: duplicate address 00:11:22:33:44:55"},
      {h + "port a\\q 0\n", "line 2: bad escape"},
      {h + "port a\\x4 0\n", "line 2: bad escape"},
      {h + "port a\\ 0\n", "line 2: bad escape"},
      {h + "port a/b 0\n", "line 2: bad port name"},
      {h + "port .. 0\n", "line 2: bad port name"},
      {h + "port a\\x00b 0\n", "line 2: bad port name"},
      {h + "port 0123456789abcdef 0\n", "line 2: bad port name"},
      {h + "port a 0\nvlan 0123456789abcdef\n", "line 3: bad interface name"},
      {h + "port a 0x\n", "line 2: bad flag word"},
      {h + "port a 0x100000000\n", "line 2: bad flag word"},
      {h + "port a\n", "line 2: a port record"},
      {h + "port a 0\nvlan a#0 extra\n", "line 3: a vlan record"},
  };
  for (const auto& [text, want] : cases) {
    Model m;
    std::string error;
    EXPECT_FALSE(parse_state(text, m, error)) << text;
    EXPECT_EQ(error.rfind(want, 0), 0u) << "for:\n" << text << "got: " << error;
  }
}

TEST(StateStore, CorruptFileFailsEveryRequestAndIsLeftAlone) {
  TempDir dir;
  std::string path = dir / "state";
  const std::string text = sim_test::state_text("port eth0 0\nfoo\n");
  sim_test::write_file(path, text);

  std::vector<std::string> messages;
  brantel_sim::Simulator sim(on_file(path, &messages));
  Client c(sim);
  EXPECT_EQ(c.query(GET_NUM_PORTS), EIO);
  EXPECT_EQ(c.enable("eth1"), EIO);
  EXPECT_EQ(c.query(GET_NUM_PORTS), EIO);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "brantel-sim: " + path + ": line 3: unknown record \"foo\" (file left untouched)");
  EXPECT_EQ(sim_test::read_file(path), text);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  // A change as the first request finds the corruption under the lock.
  messages.clear();
  brantel_sim::Simulator sim2(on_file(path, &messages));
  Client c2(sim2);
  EXPECT_EQ(c2.enable("eth1"), EIO);
  EXPECT_EQ(c2.query(GET_NUM_PORTS), EIO);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(sim_test::read_file(path), text);
}

TEST(StateStore, MissingFileIsEmptyAndFirstChangeMakesFolders) {
  TempDir dir;
  std::string path = dir / "a/b/state";
  brantel_sim::Simulator sim(on_file(path));
  Client c(sim);
  EXPECT_EQ(c.dump(), "");
  EXPECT_FALSE(std::filesystem::exists(path));
  ASSERT_EQ(c.enable("eth0"), 0);
  const std::string text = sim_test::state_text("port eth0 0x0\nvlan eth0#0\n");
  EXPECT_EQ(sim_test::read_file(path), text);
  // A refused change does not rewrite the file: the same file, the same bytes.
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  EXPECT_EQ(c.enable("eth0"), EEXIST);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(sim_test::read_file(path), text);
}

TEST(StateStore, QueriesUseOneSnapshotAndChangesSeeOtherRuns) {
  TempDir dir;
  std::string path = dir / "state";
  brantel_sim::Simulator run1(on_file(path)), run2(on_file(path));
  Client c1(run1), c2(run2);
  ASSERT_EQ(c1.enable("eth0"), 0);
  EXPECT_EQ(c2.dump(), "eth0 0x0: eth0#0{}");  // run2 takes its snapshot
  ASSERT_EQ(c1.enable("eth1"), 0);
  // A report walks one consistent snapshot, not a file changing under it.
  EXPECT_EQ(c2.dump(), "eth0 0x0: eth0#0{}");
  // A change re-reads the file first, so run1's change is not lost.
  ASSERT_EQ(c2.add("eth0", 5), 0);
  EXPECT_EQ(c2.dump(), "eth0 0x0: eth0#0{} eth0#5{}; eth1 0x0: eth1#0{}");
}

TEST(StateStore, ParallelWritersLoseNothing) {
  TempDir dir;
  std::string path = dir / "state";
  constexpr int kWriters = 4, kMacs = 20;
  std::vector<pid_t> pids;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      brantel_sim::Simulator sim(on_file(path));
      Client c(sim);
      std::string port = "p" + std::to_string(w), vlan = port + "#0";
      int bad = c.enable(port.c_str()) != 0;
      for (int i = 0; i < kMacs; ++i) {
        unsigned char mac[6] = {
            2, 0, 0, 0, static_cast<unsigned char>(w), static_cast<unsigned char>(i)};
        bad += c.bind(vlan.c_str(), mac) != 0;
      }
      _exit(bad ? 1 : 0);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Model m;
  std::string error;
  ASSERT_TRUE(brantel_sim::StateStore(path).read(m, error)) << error;
  EXPECT_EQ(m.ports().size(), static_cast<std::size_t>(kWriters));
  EXPECT_EQ(m.mac_count(), static_cast<std::size_t>(kWriters * kMacs));
}

TEST(StateStore, LargeStateIsServedFast) {
  // Reports over many addresses must not re-read or re-scan per request.
  TempDir dir;
  std::string path = dir / "state";
  Model m;
  m.ports().push_back({"eth0", 0, {{"eth0#0", {}}}});
  auto& macs = m.ports()[0].vlans[0].macs;
  for (unsigned i = 0; i < 100000; ++i)
    macs.push_back({2, 0, 0, static_cast<unsigned char>(i >> 16),
                    static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i)});
  sim_test::write_file(path, serialize_state(m));

  brantel_sim::Simulator sim(on_file(path));
  Client c(sim);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(c.query(GET_NUM_MACS, 0, 0), 0);
  ASSERT_EQ(c.rep.num, 100000);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(c.query(GET_MAC_NAME, 0, 0, i), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
