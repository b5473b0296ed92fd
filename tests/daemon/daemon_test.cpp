// daemon() detaches the calling process, so every case runs it in a forked
// "caller" child; the detached grandchild reports what it sees through a
// pipe and the test compares that with the caller's state before the call.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

extern "C" char daemon_rcsid[];

namespace {

struct Fd {
  bool open;
  dev_t dev;
  ino_t ino;
  bool operator==(const Fd &) const = default;
};

struct State {
  pid_t pid, sid, pgrp;
  char cwd[PATH_MAX];
  Fd fd[3];
  int lowest_free;         // lowest unused descriptor
  int lowest_free_above2;  // lowest unused descriptor above the standard ones
};

struct Report {
  char skip[160];
  int rc, err;
  State before, after;
};

State snapshot(int any_open_fd) {
  State s{};
  s.pid = getpid();
  s.sid = getsid(0);
  s.pgrp = getpgrp();
  if (!getcwd(s.cwd, sizeof s.cwd)) s.cwd[0] = '\0';
  for (int i = 0; i < 3; ++i) {
    struct stat st;
    s.fd[i].open = fstat(i, &st) == 0;
    if (s.fd[i].open) {
      s.fd[i].dev = st.st_dev;
      s.fd[i].ino = st.st_ino;
    }
  }
  s.lowest_free = fcntl(any_open_fd, F_DUPFD, 0);
  close(s.lowest_free);
  s.lowest_free_above2 = fcntl(any_open_fd, F_DUPFD, 3);
  close(s.lowest_free_above2);
  return s;
}

void write_all(int fd, const void *p, size_t n) {
  auto *c = static_cast<const char *>(p);
  while (n > 0) {
    ssize_t w = write(fd, c, n);
    if (w <= 0) _exit(4);
    c += w;
    n -= static_cast<size_t>(w);
  }
}

class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/daemon_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    out_ = dir_ + "/out";
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    null_ = {true, st.st_dev, st.st_ino};
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Points descriptors 0 to 2 at the output file and moves into the
  // temporary directory, so nothing there starts out as / or /dev/null.
  void redirect_all() {
    int fd = open(out_.c_str(), O_RDWR | O_CREAT | O_APPEND, 0600);
    for (int i = 0; i < 3; ++i) dup2(fd, i);
    if (fd > 2) close(fd);
    if (chdir(dir_.c_str()) != 0) _exit(5);
  }

  // Runs setup, then daemon(nochdir, noclose), in a forked caller. setup
  // returns a non-empty reason to skip. Fills caller_status and returns
  // what the detached process observed; `after_call` runs in it first.
  Report detach(
      int nochdir, int noclose, const std::function<std::string()> &setup,
      const std::function<void()> &after_call = [] {}) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    std::fflush(nullptr);
    pid_t caller = fork();
    if (caller == 0) {
      close(p[0]);
      Report r{};
      std::string why = setup();
      if (!why.empty()) {
        std::snprintf(r.skip, sizeof r.skip, "%s", why.c_str());
        write_all(p[1], &r, sizeof r);
        _exit(0);
      }
      r.before = snapshot(p[1]);
      r.rc = daemon(nochdir, noclose);
      r.err = errno;
      r.after = snapshot(p[1]);
      after_call();
      write_all(p[1], &r, sizeof r);
      _exit(r.rc == 0 ? 0 : 3);
    }
    close(p[1]);
    EXPECT_GT(caller, 0);
    EXPECT_EQ(waitpid(caller, &caller_status, 0), caller);

    // The report comes from the detached process, which nobody waits for.
    Report r{};
    r.rc = -99;
    size_t got = 0;
    auto *buf = reinterpret_cast<char *>(&r);
    pollfd pfd{p[0], POLLIN, 0};
    while (got < sizeof r && poll(&pfd, 1, 10000) == 1) {
      ssize_t n = read(p[0], buf + got, sizeof r - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(p[0]);
    EXPECT_EQ(got, sizeof r) << "no report from the detached process";
    return r;
  }

  std::string read_out() const {
    std::ifstream in(out_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  void expect_detached(const Report &r) const {
    EXPECT_TRUE(WIFEXITED(caller_status) && WEXITSTATUS(caller_status) == 0)
        << "caller status " << caller_status;
    EXPECT_EQ(r.rc, 0) << std::strerror(r.err);
    EXPECT_NE(r.after.pid, r.before.pid) << "must carry on in a child";
    EXPECT_EQ(r.after.sid, r.after.pid) << "must lead a new session";
    EXPECT_EQ(r.after.pgrp, r.after.pid);
  }

  std::string dir_, out_;
  Fd null_{};
  int caller_status = -1;
};

TEST_F(Daemon, DefaultsDetachToRootAndDevNull) {
  Report r = detach(0, 0, [&] {
    redirect_all();
    return std::string();
  });
  expect_detached(r);
  EXPECT_STREQ(r.after.cwd, "/");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.after.fd[i], null_) << "descriptor " << i;
  // The temporary /dev/null descriptor above 2 was closed again.
  EXPECT_EQ(r.after.lowest_free, r.before.lowest_free);

  EXPECT_STRNE(r.before.cwd, "/");
  EXPECT_NE(r.before.fd[0], null_);
  EXPECT_EQ(std::strncmp(daemon_rcsid, "$Id: ", 5), 0) << daemon_rcsid;
}

TEST_F(Daemon, NonZeroFlagsKeepDirectoryAndDescriptors) {
  Report r = detach(1, 1, [&] {
    redirect_all();
    return std::string();
  });
  expect_detached(r);
  EXPECT_STREQ(r.after.cwd, r.before.cwd);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.after.fd[i], r.before.fd[i]) << "descriptor " << i;
  EXPECT_EQ(r.after.lowest_free, r.before.lowest_free);
}

// open gives back the closed descriptor itself, which must stay open
// whichever of the three it is.
TEST_F(Daemon, EachClosedStandardDescriptorGetsDevNullWhichStaysOpen) {
  for (int closed = 0; closed < 3; ++closed) {
    SCOPED_TRACE("descriptor " + std::to_string(closed) + " closed");
    Report r = detach(0, 0, [&] {
      redirect_all();
      close(closed);
      return std::string();
    });
    expect_detached(r);
    EXPECT_FALSE(r.before.fd[closed].open);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.after.fd[i], null_) << "descriptor " << i;
    // No descriptor beyond the standard ones was left behind.
    EXPECT_EQ(r.after.lowest_free, r.before.lowest_free_above2);
  }
}

TEST_F(Daemon, BufferedOutputAppearsOnce) {
  Report r = detach(
      1, 1,
      [&] {
        redirect_all();
        std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
        std::fputs("pending\n", stdout);
        return std::string();
      },
      [] { std::fflush(stdout); });
  expect_detached(r);
  EXPECT_EQ(read_out(), "pending\n");
}

TEST_F(Daemon, MissingDevNullStillSucceedsAndKeepsDescriptors) {
  Report r = detach(0, 0, [&]() -> std::string {
    auto fail = [](const char *what) {
      return std::string("needs root for a private /dev: ") + what + ": " + std::strerror(errno);
    };
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return fail("mount --make-rprivate /");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) return fail("mount tmpfs on /dev");
    redirect_all();
    return std::string();
  });
  if (r.skip[0] != '\0') GTEST_SKIP() << r.skip;
  expect_detached(r);
  EXPECT_STREQ(r.after.cwd, "/");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r.after.fd[i], r.before.fd[i]) << "descriptor " << i;
  EXPECT_EQ(r.after.lowest_free, r.before.lowest_free);
}

}  // namespace
