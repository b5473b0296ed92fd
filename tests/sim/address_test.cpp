// Stable interface addresses: the hash, the address rule, the machine id.
#include "address.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "sim_test_util.h"

namespace {

using brantel_sim::live::MacBytes;
using brantel_sim::live::read_machine_id;
using brantel_sim::live::siphash24;
using brantel_sim::live::stable_mac;
using sim_test::TempDir;
using sim_test::write_file;

// The reference vectors of SipHash-2-4 (key 00..0f, message 00..len-1),
// the 15-byte one as the paper's appendix works it through.
TEST(Address, SipHashReferenceVectors) {
  std::array<unsigned char, 16> key{};
  unsigned char msg[64];
  for (int i = 0; i < 16; ++i) key[i] = static_cast<unsigned char>(i);
  for (int i = 0; i < 64; ++i) msg[i] = static_cast<unsigned char>(i);
  struct Row {
    std::size_t len;
    std::uint64_t want;
  };
  for (Row r :
       {Row{0, 0x726fdb47dd0e0e31ULL}, Row{1, 0x74f839c593dc67fdULL}, Row{7, 0xab0200f58b01d137ULL},
        Row{8, 0x93f5f5799a932462ULL}, Row{15, 0xa129ca6149be45e5ULL}})
    EXPECT_EQ(siphash24(key, msg, r.len), r.want) << "length " << r.len;
}

const std::string kId = "0123456789abcdef0123456789abcdef";

TEST(Address, UnicastLocalStableAndDistinct) {
  std::set<MacBytes> seen;
  for (const char* name : {"eth1#0", "eth1#1", "eth1#2", "eth2#1", "e-th#3", "eth1#10"}) {
    for (unsigned attempt : {0u, 1u, 2u}) {
      MacBytes m = stable_mac(kId, name, attempt);
      EXPECT_EQ(m[0] & 0x03, 0x02) << name;  // locally administered unicast
      EXPECT_EQ(m, stable_mac(kId, name, attempt));
      EXPECT_TRUE(seen.insert(m).second) << name << " attempt " << attempt;
    }
  }
  // Another machine, other addresses; case of the id does not matter.
  std::string other = kId;
  other[0] = 'f';
  EXPECT_NE(stable_mac(other, "eth1#1", 0), stable_mac(kId, "eth1#1", 0));
  EXPECT_EQ(stable_mac("0123456789ABCDEF0123456789ABCDEF", "eth1#1", 0),
            stable_mac(kId, "eth1#1", 0));
}

TEST(Address, MachineId) {
  TempDir dir;
  std::string a = dir / "a", b = dir / "b", error;
  struct Row {
    const char* primary;  // null: no such file
    const char* fallback;
    std::string want;
  };
  const std::string upper = "0123456789ABCDEF0123456789ABCDEF\n";
  for (const Row& r : {
           Row{"0123456789abcdef0123456789abcdef\n", nullptr, kId},
           Row{upper.c_str(), nullptr, kId},
           Row{"0123456789abcdef0123456789abcdef", nullptr, kId},  // no newline
           Row{nullptr, "0123456789abcdef0123456789abcdef\n", kId},
           Row{"uninitialized\n", "0123456789abcdef0123456789abcdef\n", kId},
           Row{"00000000000000000000000000000000\n", nullptr, ""},
           Row{"0123456789abcdef0123456789abcdeg\n", nullptr, ""},
           Row{"0123456789abcdef0123456789abcdef0\n", nullptr, ""},
           Row{"0123456789abcdef0123456789abcdef\n\n", nullptr, ""},
           Row{nullptr, nullptr, ""},
       }) {
    std::remove(a.c_str());
    std::remove(b.c_str());
    if (r.primary) write_file(a, r.primary);
    if (r.fallback) write_file(b, r.fallback);
    error.clear();
    EXPECT_EQ(read_machine_id(error, a.c_str(), b.c_str()), r.want)
        << (r.primary ? r.primary : "(none)");
    EXPECT_EQ(error.empty(), !r.want.empty()) << error;
  }
  // A FIFO in its place neither hangs the read nor counts as an id.
  std::remove(a.c_str());
  ASSERT_EQ(mkfifo(a.c_str(), 0600), 0);
  EXPECT_EQ(read_machine_id(error, a.c_str(), b.c_str()), "");
  EXPECT_NE(error.find("not a machine id"), std::string::npos) << error;
}

}  // namespace
