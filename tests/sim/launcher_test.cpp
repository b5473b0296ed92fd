// The brantel-sim launcher and the preload library, run as subprocesses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sim_test_util.h"

namespace {

using sim_test::read_file;
using sim_test::TempDir;
using sim_test::write_file;

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs argv with stdin from `input`, in `cwd` when given, with `env` added
// (NAME=VALUE) to an environment cleared of the simulator's variables.
Result run(const TempDir& dir, std::vector<std::string> argv, const std::string& input = "",
           const std::vector<std::string>& env = {}, const std::string& cwd = "") {
  std::string in = dir / "stdin", out = dir / "stdout", err = dir / "stderr";
  write_file(in, input);
  pid_t pid = fork();
  if (pid == 0) {
    for (const char* v : {"BRANTEL_SIM_STATE", "BRANTEL_SIM_FAULTS", "BRANTEL_SIM_TRACE",
                          "BRANTEL_SIM_LIBRARY", "LD_PRELOAD"})
      unsetenv(v);
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    dup2(open(in.c_str(), O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(99);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(98);
  }
  Result r;
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

const std::string kLauncher = BRANTEL_SIM_LAUNCHER;
const std::string kClient = BRANTEL_SIM_CLIENT;
// Files written by hand use version 1, which still loads.
const std::string kHeader = "brantel-sim state 1\n";
using sim_test::state_text;

class Launcher : public ::testing::Test {
 protected:
  TempDir dir;
  std::string state = dir / "state";
  Result sim(std::vector<std::string> args, const std::string& input = "",
             const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), {kLauncher, "--state", state});
    return run(dir, args, input, env);
  }
};

TEST_F(Launcher, ShowResetLoad) {
  Result r = sim({"show"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, state_text(""));

  write_file(dir / "in", kHeader + "# mine\nport eth0 1\nvlan eth0#0\nmac 00:11:22:33:44:55\n");
  r = sim({"load", dir / "in"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string loaded = state_text("port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\n");
  EXPECT_EQ(sim({"show"}).out, loaded);

  // A bad file installs nothing.
  r = sim({"load", "-"}, kHeader + "port eth1 0\nbogus\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "brantel-sim: standard input: line 3: unknown record \"bogus\" (nothing installed)\n");
  EXPECT_EQ(read_file(state), loaded);
  r = sim({"load", "-"}, kHeader + "port eth1 0\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(state), state_text("port eth1 0x0\n"));

  EXPECT_EQ(sim({"reset"}).status, 0);
  EXPECT_EQ(read_file(state), state_text(""));

  // reset is also the way out of a corrupt file, which show refuses.
  write_file(state, "garbage\n");
  r = sim({"show"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brantel-sim: " + state + ": line 1: missing header \"brantel-sim state 2\"\n");
  EXPECT_EQ(sim({"reset"}).status, 0);
  EXPECT_EQ(read_file(state), state_text(""));
}

TEST_F(Launcher, UsageErrors) {
  for (std::vector<std::string> args : {
           std::vector<std::string>{"--fault", "FOO=EIO", "true"},
           {"--fault=*@0=EIO", "true"},
           {},
           {"--bogus", "show"},
           {"--trace"},
           {"show", "extra"},
           {"load"},
           {"--fault", "*=EIO", "show"},
           {"sync"},
           {"check"},
           {"--live", "check", "extra"},
           {"--live", "sync", "eth0", "bad/port"},
           {"show", "--bogus"},
           {"show", "--json", "extra"},
           {"reset", "--json"},
       }) {
    Result r = sim(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("Try 'brantel-sim --help'"), std::string::npos) << r.err;
  }
  Result r = sim({"--fault", "FOO=EIO", "/bin/true"});
  EXPECT_EQ(r.err.rfind("brantel-sim: bad fault rule \"FOO=EIO\": unknown target", 0), 0u) << r.err;
  // Rules from the environment are checked as well.
  r = sim({"/bin/true"}, "", {"BRANTEL_SIM_FAULTS=*=EBOGUS"});
  EXPECT_EQ(r.status, 2);

  EXPECT_EQ(run(dir, {kLauncher, "--help"}).status, 0);
  EXPECT_EQ(run(dir, {kLauncher, "--version"}).out.rfind("brantel-sim ", 0), 0u);
  // "--" makes "show" a command; there is none of that name.
  r = sim({"--", "show"});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, "brantel-sim: show: No such file or directory\n");
}

TEST_F(Launcher, SetsUpTheEnvironment) {
  std::string sub = dir / "sub";
  std::filesystem::create_directory(sub);
  Result r = run(dir,
                 {kLauncher, "--state", "rel/state", "--trace", "t", "--fault", "BRANTEL_ADD=EIO",
                  "--fault", "socket@1=EMFILE", "/usr/bin/env"},
                 "", {"LD_PRELOAD=/keep.so", "ASAN_OPTIONS=detect_leaks=0"}, sub);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nBRANTEL_SIM_STATE=" + sub + "/rel/state\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nBRANTEL_SIM_TRACE=" + sub + "/t\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nBRANTEL_SIM_FAULTS=BRANTEL_ADD=EIO,socket@1=EMFILE\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("/libbrantel-sim.so:/keep.so\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0\n"),
            std::string::npos);

  r = run(dir, {kLauncher, "/bin/true"}, "", {"BRANTEL_SIM_LIBRARY=" + dir / "nope.so"});
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("nope.so"), std::string::npos);
}

TEST_F(Launcher, PreloadAnswersRequests) {
  std::string trace = dir / "trace";
  Result r =
      sim({"--trace", trace, kClient, "1,n=eth0", "3,n=eth0,i=2", "5,n=eth0#2,m=00:11:22:33:44:55",
           "7", "8,p=0", "12,p=0,i=1,x=0", "4,n=nope", "devnull", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "0 num=1515870810 name=5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\n"
            "0 num=1515870810 name=5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\n"
            "0 num=1515870810 name=5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\n"
            "0 num=1 name=5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\n"
            "0 num=1515870810 name=65746830000000000000000000000000\n"
            "0 num=1515870810 name=00112233445500000000000000000000\n"
            "-1 19 untouched\n"
            // Not a socket: the real ioctl answers.
            "-1 25 untouched\n");
  EXPECT_EQ(read_file(state),
            state_text("port eth0 0x0\nvlan eth0#0\nvlan eth0#2\nmac 00:11:22:33:44:55\n"));
  EXPECT_EQ(read_file(trace),
            "BRANTEL_ENABLE ifname=\"eth0\" -> ok\n"
            "BRANTEL_ADD ifname=\"eth0\" ifidx=2 -> ok\n"
            "BRANTEL_BIND ifname=\"eth0#2\" macaddr=00:11:22:33:44:55 -> ok\n"
            "GET_NUM_PORTS -> num=1\n"
            "GET_PORT_NAME portidx=0 -> name=\"eth0\"\n"
            "GET_MAC_NAME portidx=0 ifidx=1 macaddridx=0 -> name=00:11:22:33:44:55\n"
            "BRANTEL_DEL ifname=\"nope\" -> ENODEV\n");
}

TEST_F(Launcher, PreloadFaultsAndCorruptState) {
  std::string trace = dir / "trace";
  Result r = sim({"--trace", trace, "--fault", "socket@2=EMFILE", "--fault",
                  "GET_NUM_PORTS@1=EPERM", kClient, "7", "dgram", "sock", "sock", "7"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Only sockets shaped like the control socket count, so ifconfig's are spared.
  EXPECT_EQ(r.out,
            "-1 1 untouched\ndgram ok\nsocket -1 24\nsocket ok\n"
            "0 num=0 name=5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a\n");
  EXPECT_EQ(
      read_file(trace),
      "GET_NUM_PORTS -> EPERM (injected)\nsocket -> EMFILE (injected)\nGET_NUM_PORTS -> num=0\n");

  write_file(state, kHeader + "port eth0 zz\n");
  r = sim({kClient, "7", "1,n=eth1"});
  EXPECT_EQ(r.out, "-1 5 untouched\n-1 5 untouched\n");
  EXPECT_EQ(r.err,
            "brantel-sim: " + state + ": line 2: bad flag word \"zz\" (file left untouched)\n");
  EXPECT_EQ(read_file(state), kHeader + "port eth0 zz\n");

  r = run(dir, {kLauncher, kClient, "7"}, "", {"BRANTEL_SIM_STATE=", "HOME=", "XDG_STATE_HOME="});
  EXPECT_EQ(r.out, "-1 5 untouched\n");
  EXPECT_EQ(r.err, "brantel-sim: no place for the state file: set BRANTEL_SIM_STATE or HOME\n");
}

}  // namespace
