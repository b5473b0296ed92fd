#include "address.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brantel_sim::live {
namespace {

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The id in `text` (32 hex digits, then at most a newline), lower-cased;
// empty if it is not one.  All zeros is no id: systemd writes it nowhere.
std::string parse_id(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.size() != 32) return {};
  std::string id;
  bool zero = true;
  for (char c : text) {
    int v = hex_value(c);
    if (v < 0) return {};
    zero = zero && v == 0;
    id += "0123456789abcdef"[v];
  }
  return zero ? std::string() : id;
}

// The id file at `path`, bounded and never waiting: a FIFO or a device put
// there cannot hang the run or feed it without end.
std::string read_id_file(const char* path, std::string& why) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = std::string(path) + ": " + std::strerror(errno);
    return {};
  }
  struct stat st {};
  char buf[64];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    do n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
  }
  ::close(fd);
  std::string id = n > 0 ? parse_id(std::string_view(buf, static_cast<std::size_t>(n))) : "";
  if (id.empty()) why = std::string(path) + ": not a machine id";
  return id;
}

}  // namespace

std::uint64_t siphash24(const std::array<unsigned char, 16>& key, const void* data,
                        std::size_t size) {
  std::uint64_t k0 = load_le(key.data(), 8), k1 = load_le(key.data() + 8, 8);
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  std::size_t whole = size - size % 8;
  for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le(p + i, 8));
  s.compress(load_le(p + whole, size % 8) | (std::uint64_t{size & 0xff} << 56));
  s.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

MacBytes stable_mac(std::string_view machine_id, std::string_view ifname, unsigned attempt) {
  std::array<unsigned char, 16> key{};
  for (std::size_t i = 0; i < key.size() && 2 * i + 1 < machine_id.size(); ++i) {
    int hi = hex_value(machine_id[2 * i]), lo = hex_value(machine_id[2 * i + 1]);
    key[i] = static_cast<unsigned char>((hi < 0 ? 0 : hi) << 4 | (lo < 0 ? 0 : lo));
  }
  // The tag keeps these hashes apart from any other use of the same key.
  std::string input("brantel-live mac", 16);
  input += '\0';
  input += ifname;
  input += '\0';
  for (int i = 0; i < 4; ++i) input += static_cast<char>((attempt >> (8 * i)) & 0xff);
  std::uint64_t h = siphash24(key, input.data(), input.size());
  MacBytes mac{};
  for (std::size_t i = 0; i < mac.size(); ++i) mac[i] = static_cast<unsigned char>(h >> (8 * i));
  mac[0] = static_cast<unsigned char>((mac[0] & ~0x01) | 0x02);
  return mac;
}

std::string read_machine_id(std::string& error, const char* primary, const char* fallback) {
  std::string first, second;
  if (std::string id = read_id_file(primary, first); !id.empty()) return id;
  if (std::string id = read_id_file(fallback, second); !id.empty()) return id;
  error = "no machine id for stable addresses: " + first + "; " + second;
  return {};
}

}  // namespace brantel_sim::live
