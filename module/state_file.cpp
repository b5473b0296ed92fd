#include "state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>
#include <vector>

namespace brantel_sim {
namespace {

bool unescape(std::string_view in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out += in[i];
      continue;
    }
    if (i + 1 < in.size() && in[i + 1] == '\\') {
      out += '\\';
      i += 1;
      continue;
    }
    if (i + 3 < in.size() && in[i + 1] == 'x') {
      int hi = hex_digit(in[i + 2]), lo = hex_digit(in[i + 3]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
        continue;
      }
    }
    return false;
  }
  return true;
}

// Accepts what strtol accepts with base 0, up to the full unsigned range, as
// the flag word is written unsigned.
bool parse_flags(std::string_view s, std::int32_t& out) {
  std::string text(s);
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno || *end != '\0' || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
    return false;
  out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  return true;
}

std::uint64_t mac_key(const Mac& m) {
  std::uint64_t k = 0;
  for (unsigned char b : m) k = k << 8 | b;
  return k;
}

std::string quoted(std::string_view raw) {
  std::string out = "\"";
  out += escape_state_name(raw);
  out += '"';
  return out;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> f;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) f.push_back(line.substr(start, i - start));
  }
  return f;
}

std::string errno_text(int err) { return std::strerror(err); }

// Creates the missing folders above `path`.  A user's are theirs alone;
// root's (live mode's, system-wide) are readable by all, whatever the umask,
// like the configuration in /etc.  Neither is ever writable by others.
bool make_parents(const std::string& path, std::string& error) {
  bool root = geteuid() == 0;
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), root ? 0755 : 0700) == 0) {
      if (root) chmod(dir.c_str(), 0755);
    } else if (errno != EEXIST) {
      error = dir + ": cannot create folder: " + errno_text(errno);
      return false;
    }
  }
  return true;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string escape_state_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x21 || c > 0x7e || c == '\\') {
      append_hex_escape(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

bool parse_state(std::string_view text, Model& out, std::string& error) {
  out.ports().clear();
  std::unordered_set<std::string> port_names, vlan_names;
  std::unordered_set<std::uint64_t> port_macs;
  std::string name;
  std::size_t lineno = 0;
  bool header = false, ended = false;
  std::size_t trailer_line = 0;
  auto fail = [&](const std::string& what) {
    error = "line " + std::to_string(lineno) + ": " + what;
    return false;
  };
  auto take_name = [&](std::string_view field, const char* kind) {
    if (!unescape(field, name))
      return fail(std::string("bad escape in ") + kind + " name " + quoted(field));
    if (const char* why = name_problem(name))
      return fail(std::string("bad ") + kind + " name " + quoted(name) + ": " + why);
    return true;
  };

  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    ++lineno;
    if (!header) {
      if (line == kStateHeaderV1) {
        ended = true;  // version 1 has no end line
      } else if (line != kStateHeader) {
        return fail("missing header \"" + std::string(kStateHeader) + "\"");
      }
      header = true;
      continue;
    }
    if (line == kStateTrailer && !ended) {
      ended = true;
      trailer_line = lineno;
      continue;
    }
    if (trailer_line) return fail("text after the end line");
    auto f = split_fields(line);
    if (f.empty() || f[0].front() == '#') continue;
    auto& ports = out.ports();
    if (f[0] == "port") {
      if (f.size() != 3) return fail("a port record is \"port NAME FLAGS\"");
      if (!take_name(f[1], "port")) return false;
      std::int32_t flags = 0;
      if (!parse_flags(f[2], flags)) return fail("bad flag word " + quoted(f[2]));
      if (!port_names.insert(name).second) return fail("duplicate port " + quoted(name));
      ports.push_back(Port{name, flags, {}});
      port_macs.clear();
    } else if (f[0] == "vlan") {
      if (f.size() != 2) return fail("a vlan record is \"vlan NAME\"");
      if (ports.empty()) return fail("vlan before any port");
      if (!take_name(f[1], "interface")) return false;
      if (!vlan_names.insert(name).second) return fail("duplicate interface " + quoted(name));
      ports.back().vlans.push_back(Vlan{name, {}});
    } else if (f[0] == "mac") {
      if (f.size() != 2) return fail("a mac record is \"mac aa:bb:cc:dd:ee:ff\"");
      if (ports.empty() || ports.back().vlans.empty()) return fail("mac before any vlan");
      Mac m;
      if (!parse_mac(f[1], m)) return fail("bad address " + quoted(f[1]));
      if (!port_macs.insert(mac_key(m)).second)
        return fail("duplicate address " + std::string(f[1]) + " on port " +
                    quoted(ports.back().name));
      ports.back().vlans.back().macs.push_back(m);
    } else {
      return fail("unknown record " + quoted(f[0]));
    }
  }
  if (!header) {
    lineno = 1;
    return fail("missing header \"" + std::string(kStateHeader) + "\"");
  }
  if (!ended) return fail("no end line: the file was cut short");
  return true;
}

std::string serialize_state(const Model& model) {
  std::string out;
  out.reserve(32 + model.mac_count() * 22);
  out += kStateHeader;
  out += '\n';
  char flags[16];
  for (const Port& p : model.ports()) {
    out += "port ";
    out += escape_state_name(p.name);
    auto [end, ec] =
        std::to_chars(flags, flags + sizeof flags, static_cast<std::uint32_t>(p.flags), 16);
    (void)ec;
    out += " 0x";
    out.append(flags, end);
    out += '\n';
    for (const Vlan& v : p.vlans) {
      out += "vlan ";
      out += escape_state_name(v.name);
      out += '\n';
      for (const Mac& m : v.macs) {
        out += "mac ";
        out += format_mac(m);
        out += '\n';
      }
    }
  }
  out += kStateTrailer;
  out += '\n';
  return out;
}

std::string state_path_from_env(std::string& error) {
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v ? v : "";
  };
  if (std::string p = env("BRANTEL_SIM_STATE"); !p.empty()) return p;
  // The XDG rules say a relative value is to be ignored.
  if (std::string x = env("XDG_STATE_HOME"); !x.empty() && x[0] == '/')
    return x + "/brantel-sim/state";
  if (std::string h = env("HOME"); !h.empty()) return h + "/.local/state/brantel-sim/state";
  error = "no place for the state file: set BRANTEL_SIM_STATE or HOME";
  return {};
}

int open_owned(const std::string& path, int flags, mode_t mode, std::string& error) {
  // Non-blocking, so a FIFO planted in place of a file cannot hang the run.
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) {
    int err = errno;
    // The kernel's own guard in sticky folders answers EACCES for a planted
    // link before O_NOFOLLOW is looked at; either way, say what is there.
    struct stat lst {};
    if (err == ELOOP || (err == EACCES && lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)))
      error = path + ": is a symbolic link; refusing to follow it (give the file's own path)";
    else
      error = path + ": cannot open: " + errno_text(err);
    errno = err;
    return -1;
  }
  struct stat st {};
  const char* why = nullptr;
  if (fstat(fd, &st) != 0)
    why = "cannot examine it";
  else if (st.st_uid != geteuid() && st.st_uid != 0)
    why = "owned by another user; refusing to use it";
  if (!why) {
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd;
  }
  error = path + ": " + why + " (uid " + std::to_string(st.st_uid) + ")";
  ::close(fd);
  errno = EPERM;
  return -1;
}

namespace {

// The first folder of `dir` (absolute) that another user could replace,
// or whose entries another user could replace, as OpenSSH's StrictModes
// asks of each: owned by root or this user, and writable by others only
// when sticky; a link, owned by root or this user.  Empty when none.
std::string replaceable_folder(const std::string& dir) {
  auto mine = [](uid_t uid) { return uid == 0 || uid == geteuid(); };
  std::string at;
  std::size_t i = 0;
  do {
    std::size_t next = dir.find('/', i + 1);
    at.assign(dir, 0, next == std::string::npos ? dir.size() : next);
    if (at.empty()) at.push_back('/');
    i = next == std::string::npos ? dir.size() : next;
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) break;  // made by us, as root's own
    if (!mine(st.st_uid)) return at;
    if (S_ISDIR(st.st_mode) && st.st_mode & 022 && !(st.st_mode & S_ISVTX)) return at;
  } while (i < dir.size());
  return {};
}

}  // namespace

bool only_owner_writes(const std::string& path, std::string& error) {
  auto mine = [](uid_t uid) { return uid == 0 || uid == geteuid(); };
  struct stat st {};
  // Each folder on the way, as written and as the links lead: one another
  // user can replace could lead the state (and its lock) anywhere.
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      error = path + ": cannot tell where it is; give the state file's full path";
      return false;
    }
    std::string abs(cwd);
    abs.push_back('/');
    abs.append(path);
    full.swap(abs);
  }
  std::string parent = full.substr(0, full.rfind('/'));
  std::string bad = replaceable_folder(parent);
  if (bad.empty() && !parent.empty()) {
    if (char* real = ::realpath(parent.c_str(), nullptr)) {
      bad = replaceable_folder(real);
      std::free(real);
    }
  }
  if (!bad.empty()) {
    error = bad + ": another user may replace it, and so others may replace the state file in " +
            parent + "; refusing to make it live";
    return false;
  }
  if (::lstat(path.c_str(), &st) == 0 && (st.st_mode & 022 || !mine(st.st_uid))) {
    error = path + ": others may write it; refusing to make it live (chmod go-w it)";
    return false;
  }
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // In a sticky folder (/tmp) only the owner may replace or remove a file.
  if (::stat(dir.c_str(), &st) == 0 &&
      (!mine(st.st_uid) || (st.st_mode & 022 && !(st.st_mode & S_ISVTX)))) {
    error = dir + ": others may replace the state file in this folder; refusing to make it live";
    return false;
  }
  return true;
}

namespace {

// A state or lock file must be a regular file: a device or FIFO would hang
// the run or feed it without end.
bool is_regular(int fd, const std::string& path, std::string& error, off_t* size = nullptr) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + ": not a regular file; refusing to use it";
    return false;
  }
  if (size) *size = st.st_size;
  return true;
}

// Makes a rename in `path`'s folder durable.
void sync_folder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  ::close(fd);
}

}  // namespace

namespace {

StateStore::Stamp stamp_of(const struct stat& st) {
  StateStore::Stamp s;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime_ns = st.st_mtim.tv_sec * 1000000000L + st.st_mtim.tv_nsec;
  s.ctime_ns = st.st_ctim.tv_sec * 1000000000L + st.st_ctim.tv_nsec;
  return s;
}

}  // namespace

StateStore::Stamp StateStore::stamp() const {
  struct stat st {};
  return ::lstat(path_.c_str(), &st) == 0 ? stamp_of(st) : Stamp{};
}

int StateStore::locked(const std::function<int(std::string&)>& f, std::string& error) const {
  int fd = lock(error);
  if (fd < 0) return -2;
  int r = f(error);
  ::close(fd);
  return r;
}

bool StateStore::read(Model& out, std::string& error, Stamp* stamp) const {
  if (stamp) *stamp = Stamp{};
  int fd = open_owned(path_, O_RDONLY, 0, error);
  if (fd < 0) {
    if (errno == ENOENT) {
      out.ports().clear();
      return true;
    }
    return false;
  }
  off_t size = 0;
  if (!is_regular(fd, path_, error, &size)) {
    ::close(fd);
    return false;
  }
  if (stamp) {
    struct stat st {};
    if (fstat(fd, &st) == 0) *stamp = stamp_of(st);
  }
  if (static_cast<std::uint64_t>(size) > kMaxStateSize) {
    error = path_ + ": larger than " + std::to_string(kMaxStateSize >> 20) +
            " MiB; refusing to load it";
    ::close(fd);
    return false;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = path_ + ": cannot read: " + errno_text(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    // The file may grow while it is read.
    if (text.size() + static_cast<std::size_t>(n) > kMaxStateSize) {
      error = path_ + ": larger than " + std::to_string(kMaxStateSize >> 20) +
              " MiB; refusing to load it";
      ::close(fd);
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::string why;
  if (!parse_state(text, out, why)) {
    error = path_ + ": " + why;
    return false;
  }
  return true;
}

int StateStore::lock(std::string& error) const {
  if (!make_parents(path_, error)) return -1;
  std::string lock_path = path_ + ".lock";
  // Readable by no one else: flock needs only a descriptor, so anyone who
  // could open the file could hold the lock for ever.
  int fd = open_owned(lock_path, O_RDWR | O_CREAT, 0600, error);
  if (fd < 0) return -1;
  if (!is_regular(fd, lock_path, error)) {
    ::close(fd);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && (st.st_mode & 077)) fchmod(fd, 0600);

  // Polled, so that a long wait can be reported once and the run stays
  // interruptible; the first try costs nothing when no one holds it.
  // The wait is read off the clock: on a busy machine each pause lasts
  // longer than asked, and a sum of pauses would report late or never.
  constexpr long kReportAfterMs = 3000;
  long pause_ms = 1;
  struct timespec start {};
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool reported = false;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error = lock_path + ": cannot lock: " + errno_text(errno);
      ::close(fd);
      return -1;
    }
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long waited_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (!reported && waited_ms >= kReportAfterMs && notice_) {
      notice_(lock_path + ": waiting for another run to release the lock");
      reported = true;
    }
    struct timespec ts {
      0, pause_ms * 1000000
    };
    nanosleep(&ts, nullptr);
    pause_ms = std::min(pause_ms * 2, 20L);
  }
  return fd;
}

bool StateStore::write_locked(const Model& model, std::string& error, const Stamp* read) const {
  // Whatever sits at the temporary name (a leftover of a killed run, or a
  // file or link someone planted) is removed, and the file is made afresh:
  // never written through a link, never owned by anyone else.  Only the
  // lock holder gets here, so no other run is writing it.
  // The file replaced must be the state itself: replacing a link by a file
  // would split one state into two.
  int cur = open_owned(path_, O_RDONLY, 0, error);
  if (cur < 0 && errno != ENOENT) return false;
  if (cur >= 0) {
    bool regular = is_regular(cur, path_, error);
    ::close(cur);
    if (!regular) return false;
  }
  std::string tmp = path_ + ".tmp";
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
    error = tmp + ": cannot remove: " + errno_text(errno);
    return false;
  }
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = tmp + ": cannot write: " + errno_text(errno);
    return false;
  }
  // Keep the permissions someone gave the file, but never let others write
  // it; root's new file is readable by all whatever the umask.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    fchmod(fd, st.st_mode & 0755);
  else if (geteuid() == 0)
    fchmod(fd, 0644);
  std::string text = serialize_state(model);
  bool ok = write_all(fd, text) && fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    error = tmp + ": cannot write: " + errno_text(err);
    ::unlink(tmp.c_str());
    return false;
  }
  // A file put in its place without the lock (mv) since it was read is
  // someone's newer word: never overwritten with what this run read.
  if (read && stamp() != *read) {
    error = path_ + ": replaced while this run held it; not written over";
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    error = path_ + ": cannot replace: " + errno_text(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  sync_folder(path_);
  return true;
}

int StateStore::update(const std::function<int(Model&)>& change, Model& current, std::string& error,
                       const std::function<void()>& undo) const {
  int fd = lock(error);
  if (fd < 0) return -2;
  Model m;
  Stamp was;
  if (!read(m, error, &was)) {
    ::close(fd);
    return -1;
  }
  int result = change(m);
  if (result == 0 && !write_locked(m, error, &was)) {
    if (undo) undo();
    ::close(fd);
    return -2;
  }
  ::close(fd);
  current = std::move(m);
  return result;
}

bool StateStore::replace(const Model& model, std::string& error,
                         const std::function<bool(std::string&)>& first,
                         const std::function<void()>& undo) const {
  int fd = lock(error);
  if (fd < 0) return false;
  bool ok = !first || first(error);
  if (ok && !write_locked(model, error)) {
    if (undo) undo();
    ok = false;
  }
  ::close(fd);
  return ok;
}

}  // namespace brantel_sim
