// What show prints of the kernel, and where live mode keeps its state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "live_paths.h"
#include "live_show.h"
#include "sim_test_util.h"

namespace {

using namespace brantel_sim;
using sim_test::TempDir;
using sim_test::write_file;

TEST(Show, JsonStrings) {
  struct Row {
    std::string in, want;
  };
  for (const Row& r : {
           Row{"eth1#0", "\"eth1#0\""},
           Row{"a\"b\\c", "\"a\\\"b\\\\c\""},
           Row{std::string("t\x01\x1f\x7f", 4), "\"t\\u0001\\u001f\\u007f\""},
           // Bytes of 0x80 and up are bytes, not characters: UTF-8 or not.
           Row{"\xc3\xa9\xff", "\"\\u00c3\\u00a9\\u00ff\""},
       })
    EXPECT_EQ(json_string(r.in), r.want);
}

LivePort sample() {
  LivePort p;
  p.name = "eth1";
  p.flags = -1;  // written unsigned, as in the state file
  p.ifindex = 4;
  p.realised = true;
  p.counted = true;
  p.dropped = 2;
  LiveInterface a, b;
  a.name = "eth1#0";
  a.ifindex = 7;
  a.mac = {0x02, 0xaa, 0, 0, 0, 1};
  a.up = true;
  a.rx_frames = 10;
  a.rx_bytes = 640;
  b.name = "eth1#3";  // not on the kernel
  b.bound = {Mac{0, 0x11, 0x22, 0x33, 0x44, 0x55}};
  p.interfaces = {a, b};
  return p;
}

TEST(Show, JsonDocument) {
  LivePort gone;
  gone.name = "e\"2";
  gone.trouble = "no such device";
  // ip -j's names, and the names of before beside them for one release.
  EXPECT_EQ(render_json({sample(), gone}),
            "{\"schema\":1,\"ports\":[{\"ifname\":\"eth1\",\"name\":\"eth1\","
            "\"flags\":4294967295,\"ifindex\":4,\"up\":false,"
            "\"realised\":true,\"dropped\":2,\"trouble\":null,\"interfaces\":["
            "{\"ifname\":\"eth1#0\",\"name\":\"eth1#0\",\"ifindex\":7,"
            "\"address\":\"02:aa:00:00:00:01\",\"mac\":\"02:aa:00:00:00:01\",\"up\":true,"
            "\"bound\":[],\"stats64\":{\"rx\":{\"packets\":10,\"bytes\":640}},"
            "\"rx_frames\":10,\"rx_bytes\":640},"
            "{\"ifname\":\"eth1#3\",\"name\":\"eth1#3\",\"ifindex\":null,\"address\":null,"
            "\"mac\":null,\"up\":null,\"bound\":[\"00:11:22:33:44:55\"],\"stats64\":null,"
            "\"rx_frames\":null,\"rx_bytes\":null}]},"
            "{\"ifname\":\"e\\\"2\",\"name\":\"e\\\"2\",\"flags\":0,\"ifindex\":null,"
            "\"up\":null,\"realised\":false,"
            "\"dropped\":null,\"trouble\":\"no such device\",\"interfaces\":[]}]}\n");
  EXPECT_EQ(render_json({}), "{\"schema\":1,\"ports\":[]}\n");
  // Laid out over lines; what strings hold is left alone.
  EXPECT_EQ(
      pretty_json("{\"a\":[],\"b\":[1,{\"c\":\"x,{\\\"]\"}]}\n"),
      "{\n  \"a\": [],\n  \"b\": [\n    1,\n    {\n      \"c\": \"x,{\\\"]\"\n    }\n  ]\n}\n");
}

// Comments only, so that the output of show loads as a state file; names
// escaped as the file escapes them.
TEST(Show, CommentsLoad) {
  LivePort odd = sample();
  odd.name = "e\nx";
  odd.counted = false;
  LivePort gone;
  gone.name = "eth2";
  gone.trouble = "a\x7f\nb";
  std::string text = render_comments({sample(), odd, gone});
  EXPECT_EQ(text,
            "# frames each port's classifier delivered since it was enabled:\n"
            "# eth1: 10 frames to its interfaces, 2 dropped (ifindex 4), down\n"
            "#   eth1#0: 10 frames, 640 bytes, ifindex 7, address 02:aa:00:00:00:01, up\n"
            "#   eth1#3: missing on the kernel\n"
            "# e\\x0ax: counters not readable\n"
            "#   eth1#0: ifindex 7, address 02:aa:00:00:00:01, up\n"
            "#   eth1#3: missing on the kernel\n"
            "# eth2: not on the kernel (a\\x7f\\x0ab); brantel-live check tells more\n");
  Model m;
  std::string error;
  EXPECT_TRUE(parse_state(std::string(kStateHeader) + "\n" + text + "end\n", m, error)) << error;
  EXPECT_TRUE(m.ports().empty());
  EXPECT_EQ(render_comments({}), "");
}

TEST(Show, NetnsStatePath) {
  TempDir dir;
  std::string self = dir / "self", init = dir / "init", named = dir / "netns";
  write_file(self, "");
  write_file(init, "");
  ASSERT_EQ(mkdir(named.c_str(), 0755), 0);
  std::string core = dir / "core", only = core + "/only";
  ASSERT_EQ(mkdir(core.c_str(), 0755), 0);
  NetnsRoots roots{self.c_str(), init.c_str(), named.c_str(), "/base", core.c_str(), only.c_str()};
  std::string error;
  // Not the system's, and no name: refused, whatever the sysctls say.
  std::string missing = dir / "missing";
  EXPECT_EQ(live_default_state(error, roots), "");
  EXPECT_NE(error.find("--state"), std::string::npos) << error;
  NetnsRoots no_sysctls = roots;
  no_sysctls.net_core = missing.c_str();
  EXPECT_EQ(live_default_state(error, no_sysctls), "");
  write_file(named + "/other", "");
  ASSERT_EQ(link(self.c_str(), (named + "/blue").c_str()), 0);
  EXPECT_EQ(live_default_state(error, roots), "/base/netns/blue/state");
  // A name counts even where the first process's namespace cannot be seen.
  roots.init = missing.c_str();
  EXPECT_EQ(live_default_state(error, roots), "/base/netns/blue/state");
  // The system's own: the one file of old.
  roots.init = self.c_str();
  EXPECT_EQ(live_default_state(error, roots), "/base/state");
  // No view of the first process and no name: the namespace's sysctls
  // tell; without /proc/sys, the system's is assumed.
  ASSERT_EQ(unlink((named + "/blue").c_str()), 0);
  roots.init = missing.c_str();
  EXPECT_EQ(live_default_state(error, roots), "");
  EXPECT_NE(error.find("--state"), std::string::npos) << error;
  write_file(only, "");
  EXPECT_EQ(live_default_state(error, roots), "/base/state");
  roots.net_core = missing.c_str();
  roots.system_only = missing.c_str();
  EXPECT_EQ(live_default_state(error, roots), "/base/state");
  // Without a namespace of its own to tell (no /proc, no namespaces): the system's.
  roots.self = missing.c_str();
  EXPECT_EQ(live_default_state(error, roots), "/base/state");
}

}  // namespace
