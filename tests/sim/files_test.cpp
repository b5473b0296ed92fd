// The simulator's files under attack: a root run in a folder other users can
// write to, and files that are not what they should be.  Each row plants
// something (as user nobody where it needs another user), makes one change as
// the run under test, and checks the outcome and that nothing was harmed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "sim_test_util.h"

namespace {

using sim_test::Client;
using sim_test::read_file;
using sim_test::TempDir;
using sim_test::write_file;

constexpr uid_t kNobody = 65534;

// Runs f in a child as user nobody; true when it succeeded.
bool as_nobody(const std::function<bool()>& f) {
  pid_t pid = fork();
  if (pid == 0) {
    bool ok =
        setresgid(kNobody, kNobody, kNobody) == 0 && setresuid(kNobody, kNobody, kNobody) == 0;
    _exit(ok && f() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Outcome {
  int err;
  std::vector<std::string> messages;
};

// One change (or, with query, one report request) by a run on `state`.
Outcome change(const std::string& state, const std::string& trace = "", bool query = false) {
  brantel_sim::Options o;
  o.state_path = state;
  o.trace_path = trace;
  Outcome out;
  o.report = [&out](const std::string& m) { out.messages.push_back(m); };
  brantel_sim::Simulator sim(o);
  Client c(sim);
  out.err = query ? c.query(GET_NUM_PORTS) : c.enable("eth0");
  return out;
}

const std::string kEnabled = sim_test::state_text("port eth0 0x0\nvlan eth0#0\n");

struct Row {
  const char* title;
  bool needs_other_user;
  std::function<void(const TempDir&)> plant;  // run as nobody when needs_other_user
  int err;                                    // what the change answers
  const char* message;                        // in the one line reported, when it fails
  bool query = false;
  std::string state_name = "state";
};

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder anyone may write to, as /tmp: sticky, so only owners (and
    // root) remove what is in it.
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    write_file(dir / "victim", "precious\n");
  }
  TempDir dir;
};

TEST_F(Files, PlantedFilesAndLinksAreRefusedOrReplaced) {
  auto link = [](const std::string& target, const std::string& at) {
    return symlink(target.c_str(), at.c_str()) == 0;
  };
  const std::vector<Row> rows = {
      {"temporary file planted as a link to a victim", true,
       [&](const TempDir& d) { link(d / "victim", d / "state.tmp"); }, 0, ""},
      {"temporary file planted as another user's file", true,
       [&](const TempDir& d) { write_file(d / "state.tmp", "x"); }, 0, ""},
      {"temporary file planted as a FIFO", true,
       [&](const TempDir& d) { mkfifo((d / "state.tmp").c_str(), 0666); }, 0, ""},
      {"lock planted as a link to a file that is not there", true,
       [&](const TempDir& d) { link(d / "created", d / "state.lock"); }, EIO, "symbolic link"},
      {"lock planted as a link to a victim", true,
       [&](const TempDir& d) { link(d / "victim", d / "state.lock"); }, EIO, "symbolic link"},
      {"lock planted as another user's file", true,
       [&](const TempDir& d) { write_file(d / "state.lock", ""); }, EIO, "owned by another user"},
      {"state planted as another user's file", true,
       [&](const TempDir& d) { write_file(d / "state", kEnabled); }, EIO, "owned by another user"},
      {"state is a link: refused, never split into two files", false,
       [&](const TempDir& d) {
         write_file(d / "real", kEnabled);
         link(d / "real", d / "state");
       },
       EIO, "symbolic link"},
      {"state is a FIFO: no hang", false,
       [&](const TempDir& d) { mkfifo((d / "state").c_str(), 0666); }, EIO, "not a regular file",
       true},
      {"state is a device that never ends", false, [](const TempDir&) {}, EIO, "not a regular file",
       true, "/dev/zero"},
      {"state is a 1 TiB sparse file", false,
       [&](const TempDir& d) {
         int fd = open((d / "state").c_str(), O_WRONLY | O_CREAT, 0644);
         (void)!ftruncate(fd, off_t{1} << 40);
         close(fd);
       },
       EIO, "larger than 256 MiB", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    if (row.needs_other_user && geteuid() != 0) continue;  // the rest still run
    TempDir d;
    ASSERT_EQ(chmod(d.path().c_str(), 01777), 0);
    write_file(d / "victim", "precious\n");
    if (row.needs_other_user)
      ASSERT_TRUE(as_nobody([&] {
        row.plant(d);
        return true;
      }));
    else
      row.plant(d);
    std::string state = row.state_name[0] == '/' ? row.state_name : d / row.state_name;
    auto start = std::chrono::steady_clock::now();
    Outcome out = change(state, "", row.query);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(out.err, row.err);
    EXPECT_EQ(read_file(d / "victim"), "precious\n");
    EXPECT_FALSE(std::filesystem::exists(d / "created"));
    if (row.err == 0) {
      struct stat st {};
      ASSERT_EQ(lstat(state.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_uid, geteuid());
      EXPECT_EQ(read_file(state), kEnabled);
      EXPECT_TRUE(out.messages.empty());
    } else {
      ASSERT_EQ(out.messages.size(), 1u);
      EXPECT_NE(out.messages[0].find(row.message), std::string::npos) << out.messages[0];
    }
  }
  // The link of the state is still the link, its file untouched.
  struct stat st {};
  TempDir d;
  write_file(d / "real", kEnabled);
  ASSERT_EQ(symlink((d / "real").c_str(), (d / "state").c_str()), 0);
  EXPECT_EQ(change(d / "state").err, EIO);
  ASSERT_EQ(lstat((d / "state").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(Files, TraceIsNeverWrittenThroughALink) {
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "trace").c_str()), 0);
  Outcome out = change(dir / "state", dir / "trace");
  EXPECT_EQ(out.err, EIO);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_NE(out.messages[0].find("symbolic link"), std::string::npos);
  EXPECT_EQ(read_file(dir / "victim"), "precious\n");
}

TEST_F(Files, OtherUsersCannotOpenTheLock) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_EQ(change(dir / "state").err, 0);
  std::string lock = dir / "state.lock";
  EXPECT_FALSE(as_nobody([&] { return open(lock.c_str(), O_RDONLY) >= 0; }));
}

TEST_F(Files, ALongWaitForTheLockIsReportedOnce) {
  ASSERT_EQ(change(dir / "state").err, 0);
  int fd = open((dir / "state.lock").c_str(), O_RDWR);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  // The holder lets go when the wait has been reported (the lock goes with
  // its last descriptor), or after a minute, so that a busy machine can
  // neither make the report early nor miss it.
  pid_t holder = fork();
  if (holder == 0) {
    sleep(60);
    _exit(0);
  }
  close(fd);
  brantel_sim::Options o;
  o.state_path = dir / "state";
  std::vector<std::string> messages;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration waited{};
  o.report = [&](const std::string& m) {
    if (messages.empty()) waited = std::chrono::steady_clock::now() - start;
    messages.push_back(m);
    kill(holder, SIGKILL);
  };
  brantel_sim::Simulator sim(o);
  EXPECT_EQ(Client(sim).add("eth0", 1), 0);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("waiting for another run"), std::string::npos) << messages[0];
  EXPECT_GE(waited, std::chrono::seconds(3));  // not before the wait is long
}

TEST_F(Files, RunningOutOfMemoryFailsTheRequest) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer cannot run under an address space limit";
#endif
  std::string state = dir / "state";
  int fd = open(state.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(ftruncate(fd, off_t{200} << 20), 0);  // under the size bound
  close(fd);
  pid_t pid = fork();
  if (pid == 0) {
    rlimit lim{off_t{150} << 20, off_t{150} << 20};
    setrlimit(RLIMIT_AS, &lim);
    Outcome out = change(state, "", true);
    bool ok = out.err == EIO && out.messages.size() == 1 &&
              out.messages[0].find("out of memory") != std::string::npos;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Every fsync the simulator makes, through the linker's --wrap.
std::vector<bool> g_synced_dirs;
extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd) {
  struct stat st {};
  g_synced_dirs.push_back(fstat(fd, &st) == 0 && S_ISDIR(st.st_mode));
  return __real_fsync(fd);
}

TEST_F(Files, AChangeIsDurableOnceReported) {
  g_synced_dirs.clear();
  ASSERT_EQ(change(dir / "state").err, 0);
  // The file's data, then the folder that now names it.
  EXPECT_EQ(g_synced_dirs, (std::vector<bool>{false, true}));
}

}  // namespace
