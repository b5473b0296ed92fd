#include "owned.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "model.h"

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace brantel_sim::live {
namespace {

// This network namespace's name for the folder: its cookie, never given
// twice in a boot; its inode where the kernel has no cookies.
std::string netns_key() {
  int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::uint64_t cookie = 0;
  socklen_t len = sizeof cookie;
  bool ok = s >= 0 && getsockopt(s, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) == 0;
  if (s >= 0) ::close(s);
  if (ok) return "netns-" + std::to_string(cookie);
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) == 0) return "netns-ino-" + std::to_string(st.st_ino);
  return "netns";
}

// A folder of root's alone, made when `make`; never through a link.
int open_folder(int at, const std::string& name, bool make) {
  if (make && ::mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  int fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 022)) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// The folder of this namespace's records, or -1.
int records_folder(const char* root, bool make) {
  int top = open_folder(AT_FDCWD, root, make);
  if (top < 0) return -1;
  int fd = open_folder(top, netns_key(), make);
  int err = errno;
  ::close(top);
  errno = err;
  return fd;
}

// "NAME MAC BITS" of the record of `ifindex`, bounded, never waiting.
bool read_record(int dir, int ifindex, std::string& name, std::string& mac, std::uint32_t& bits) {
  int fd = ::openat(dir, std::to_string(ifindex).c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  char buf[256];
  ssize_t n = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  std::istringstream in(std::string(buf, static_cast<std::size_t>(n)));
  return static_cast<bool>(in >> name >> mac >> bits);
}

// Each record of the folder, in no order: its number, name, address, bits.
template <typename F>
void each_record(int dir, F f) {
  int copy = ::dup(dir);
  DIR* d = copy < 0 ? nullptr : fdopendir(copy);
  if (!d) {
    if (copy >= 0) ::close(copy);
    return;
  }
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long i = std::strtol(e->d_name, &end, 10);
    if (i <= 0 || i > INT_MAX || *end) continue;
    std::string name, mac;
    std::uint32_t bits = 0;
    if (read_record(dir, static_cast<int>(i), name, mac, bits))
      f(static_cast<int>(i), name, mac, bits);
  }
  closedir(d);
}

// The numbers of the records of `dev` kept under another number: a port
// that comes back from another namespace may be given a new one.  Its
// name and address both tell it.
std::vector<int> renumbered(int dir, const Link& dev) {
  std::vector<int> out;
  std::string mac = format_mac(dev.mac);
  each_record(dir, [&](int i, const std::string& n, const std::string& m, std::uint32_t) {
    if (i != dev.ifindex && n == dev.name && m == mac) out.push_back(i);
  });
  return out;
}

}  // namespace

std::uint32_t recorded(const Link& dev, const char* root) {
  int dir = records_folder(root, false);
  if (dir < 0) return 0;
  std::string name, mac;
  std::uint32_t bits = 0;
  bool found = read_record(dir, dev.ifindex, name, mac, bits);
  // The same device: a new one given the number would differ in both.
  if (found && (name == dev.name || mac == format_mac(dev.mac))) {
    ::close(dir);
    return bits;
  }
  bits = 0;
  for (int i : renumbered(dir, dev)) {
    std::uint32_t b = 0;
    if (read_record(dir, i, name, mac, b)) bits |= b;
  }
  ::close(dir);
  return bits;
}

int record(const Link& dev, std::uint32_t bits, const char* root) {
  int dir = records_folder(root, bits != 0);
  if (dir < 0) return bits ? errno : 0;
  std::string file = std::to_string(dev.ifindex);
  int err = 0;
  if (!bits) {
    if (::unlinkat(dir, file.c_str(), 0) != 0 && errno != ENOENT) err = errno;
  } else {
    std::string tmp = file + ".tmp";
    std::string text = dev.name + " " + format_mac(dev.mac) + " " + std::to_string(bits) + "\n";
    ::unlinkat(dir, tmp.c_str(), 0);
    int fd = ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      err = errno;
    } else {
      bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                fsync(fd) == 0;
      if (!ok) err = errno ? errno : EIO;
      ::close(fd);
      if (!err && ::renameat(dir, tmp.c_str(), dir, file.c_str()) != 0) err = errno;
      if (err) ::unlinkat(dir, tmp.c_str(), 0);
    }
  }
  // The device's records under an earlier number say no more than this.
  if (!err)
    for (int i : renumbered(dir, dev)) ::unlinkat(dir, std::to_string(i).c_str(), 0);
  if (!err) fsync(dir);
  ::close(dir);
  return err;
}

std::map<int, std::string> records(const char* root) {
  std::map<int, std::string> out;
  int dir = records_folder(root, false);
  if (dir < 0) return out;
  each_record(dir, [&](int i, const std::string& name, const std::string&, std::uint32_t) {
    out[i] = name;
  });
  ::close(dir);
  return out;
}

}  // namespace brantel_sim::live
