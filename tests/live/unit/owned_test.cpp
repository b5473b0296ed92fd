// The records of what live mode turned on, kept per port under a folder of
// root's: which device a record is taken for, and which folders are trusted.
#include "owned.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace brantel_sim::live {
namespace {

Link dev(const std::string& name, std::uint8_t last, int ifindex = 7) {
  Link l;
  l.name = name;
  l.ifindex = ifindex;
  l.mac = {2, 0, 0, 0, 0, last};
  return l;
}

TEST(Records, WhichDeviceAndWhichFolder) {
  struct Row {
    const char* name;
    std::function<void(const std::string& root)> before;  // after eth1's record of 5
    Link asked;
    std::uint32_t bits;  // what recorded() gives for `asked`
    bool listed;         // whether records() lists ifindex 7
  } rows[] = {
      {"the_same_device", nullptr, dev("eth1", 1), 5, true},
      {"renamed_keeps_its_record", nullptr, dev("lan0", 1), 5, true},
      {"readdressed_keeps_its_record", nullptr, dev("eth1", 9), 5, true},
      {"another_device_given_its_number", nullptr, dev("eth2", 2), 0, true},
      {"removed", [](const std::string& r) { ASSERT_EQ(record(dev("eth1", 1), 0, r.c_str()), 0); },
       dev("eth1", 1), 0, false},
      {"a_folder_others_may_write",
       [](const std::string& r) { ASSERT_EQ(::chmod(r.c_str(), 0777), 0); }, dev("eth1", 1), 0,
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    char tmpl[] = "/tmp/brantel-owned-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    std::string root = std::string(tmpl) + "/run";
    ASSERT_EQ(record(dev("eth1", 1), 5, root.c_str()), 0);
    if (row.before) row.before(root);
    EXPECT_EQ(recorded(row.asked, root.c_str()), row.bits);
    EXPECT_EQ(records(root.c_str()).count(7), row.listed ? 1u : 0u);
    std::filesystem::remove_all(tmpl);
  }
  // A record that cannot be kept is a failure, never skipped in silence.
  EXPECT_EQ(record(dev("eth1", 1), 5, "/proc/version/run"), ENOTDIR);
}

}  // namespace
}  // namespace brantel_sim::live
