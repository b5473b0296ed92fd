// The brantel-sim launcher and the preload library, run as subprocesses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
    for (const char* v :
         {"BRANTEL_SIM_STATE", "BRANTEL_SIM_FAULTS", "BRANTEL_SIM_TRACE", "BRANTEL_SIM_LIBRARY",
          "BRANTEL_SIM_LIVE", "BRANTEL_SIM_LAUNCHED", "LD_PRELOAD"})
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
const std::string kLive = BRANTEL_LIVE_LAUNCHER;
const std::string kFull = BRANTEL_SIM_FULL_LAUNCHER;
const std::string kTool = BRANTEL_TOOL;
const std::string kClient = BRANTEL_SIM_CLIENT;
const std::string kFakeLive = "BRANTEL_SIM_LIVE_LIBRARY=" BRANTEL_FAKE_LIVE;
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
           {"show", "a", "b"},
           {"show", "-p"},
           {"load"},
           {"--fault", "*=EIO", "show"},
           {"sync"},
           {"check"},
           {"--live", "check", "a", "b"},
           {"--live", "sync", "eth0", "bad/port"},
           {"show", "--bogus"},
           {"show", "--json", "a", "b"},
           {"reset", "--json"},
           {"--state=", kTool, "info"},
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

  for (const char* help : {"--help", "-h"}) EXPECT_EQ(run(dir, {kLauncher, help}).status, 0);
  EXPECT_EQ(run(dir, {kLauncher, "--version"}).out.rfind("brantel-sim ", 0), 0u);
  // "--" makes "show" a command; there is none of that name.
  r = sim({"--", "show"});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(r.err, "brantel-sim: show: No such file or directory\n");
  // brantel-live's which is no word of brantel-sim's: the program runs.
  r = sim({"which", "sh"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("/sh\n"), std::string::npos) << r.out;
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

  // The dynamic loader splits LD_PRELOAD at a colon and would run the
  // command on the real kernel: a library so named is refused, and the
  // front in such a folder leaves its library to the launcher's own.
  namespace fs = std::filesystem;
  const std::string colon = dir / "x:y", lib = fs::path(kFull).parent_path() / "libbrantel-sim.so";
  fs::create_directories(colon + "/bin");
  fs::create_directories(colon + "/lib/brantel-sim");
  fs::copy_file(kLauncher, colon + "/bin/brantel-sim");
  fs::create_symlink(lib, colon + "/lib/brantel-sim/libbrantel-sim.so");
  fs::create_symlink(kFull, colon + "/lib/brantel-sim/brantel-sim-launcher");
  r = run(dir, {kLauncher, "/bin/true"}, "",
          {"BRANTEL_SIM_LIBRARY=" + colon + "/lib/brantel-sim/libbrantel-sim.so"});
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find(": the dynamic loader cannot preload a path holding a blank or colon\n"),
            std::string::npos)
      << r.err;
  write_file(state, kHeader + "port eth0 0\n");
  r = run(dir, {colon + "/bin/brantel-sim", "--state", state, kTool, "info"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-eth0\n-eth0 flag: 0x0\n");
  // Without its launcher the front can only say so.
  fs::remove(colon + "/lib/brantel-sim/brantel-sim-launcher");
  r = run(dir, {colon + "/bin/brantel-sim", "--state", state, kTool, "info"});
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("/brantel-sim-launcher: No such file or directory\n"), std::string::npos)
      << r.err;
}

// The front starts plain commands itself and hands all else to the
// launcher: either way, the same output, status and state, byte for byte.
TEST_F(Launcher, FrontAndLauncherAgree) {
  std::string sub = dir / "sub";
  std::filesystem::create_directory(sub);
  // The library by its real path: the two find it from their own folders.
  const std::string env =
      "lib=${LD_PRELOAD%%:*}; printf '%s|%s%s|%s|%s|%s\\n' \"$BRANTEL_SIM_STATE\" "
      "\"$(readlink -f \"$lib\")\" \"${LD_PRELOAD#\"$lib\"}\" \"$ASAN_OPTIONS\" "
      "\"${BRANTEL_SIM_LIVE-unset}\" \"${BRANTEL_SIM_LAUNCHED-unset}\"";
  // (A blank in LD_PRELOAD is kept and ignored, where a missing library
  // would make the dynamic loader complain in each program it starts.)
  const std::vector<std::string> stray = {"LD_PRELOAD= ", "ASAN_OPTIONS=detect_leaks=0",
                                          "BRANTEL_SIM_LIVE=1",
                                          "BRANTEL_SIM_LAUNCHED=brantel-live"};
  struct Row {
    std::vector<std::string> args, env = {};
    mode_t mode = 0600;
  };
  for (const Row& row : {
           Row{{"--state", state, kTool, "help"}},
           Row{{"--state=" + state, kTool, "info"}},
           Row{{"--state", state, kTool, "info"}, {"BRANTEL_SIM_STATE=" + dir / "other"}},
           Row{{"--state", state, kTool, "add", "eth0", "1"}},
           Row{{"--state", state, kTool, "add", "eth0", "1"},
               {"BRANTEL_SIM_FAULTS=BRANTEL_ADD=EIO"}},
           Row{{"--state", state, kTool}},
           Row{{"--state", "rel/state", "/bin/sh", "-c", env}},
           Row{{"--state", state, "/bin/sh", "-c", env}, stray},
           Row{{"--live", "--state", state, "/bin/sh", "-c", env}, stray},
           Row{{"--live", "--state", state, kTool, "info"}, {kFakeLive}},
           Row{{"--live", "--state", state, kTool, "add", "eth0", "1"}, {kFakeLive}, 0664},
           Row{{"--live", "--state", state, kTool, "help"}, {kFakeLive}, 0664},
           Row{{"--state", state, "--", "show"}},
           Row{{"--state", state, "no-such-command"}},
           Row{{"--state", state, dir / "no-such-file"}},
           Row{{"--state", state, "show"}},
           Row{{"--state="}},
           Row{{"--live"}},
           Row{{"-", kTool}},
       }) {
    Result got[2];
    std::string after[2];
    for (int i = 0; i < 2; ++i) {
      write_file(state, kHeader + "port eth0 0\n");
      ASSERT_EQ(chmod(state.c_str(), row.mode), 0);
      std::vector<std::string> argv = row.args;
      argv.insert(argv.begin(), i ? kFull : kLauncher);
      got[i] = run(dir, argv, "", row.env, sub);
      after[i] = read_file(state);
    }
    std::string what = row.args.empty() ? "(none)" : row.args.back();
    EXPECT_EQ(got[0].status, got[1].status) << what;
    EXPECT_EQ(got[0].out, got[1].out) << what;
    EXPECT_EQ(got[0].err, got[1].err) << what;
    EXPECT_EQ(after[0], after[1]) << what;
  }
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

// brantel-live is the launcher under live mode's own name.
TEST_F(Launcher, BrantelLiveNamesItself) {
  Result r = run(dir, {kLive, "--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* usage :
       {"  show [-j] [-p] [--unbound] [PORT|IFACE]\n", "  monitor\n", "  check [-j] [-p] [PORT]\n",
        "  sync [--if-known] [PORT]...\n", "  which [-j] [-p] MAC\n", "  reset\n",
        "  load FILE|-\n", "] brantel_config SUBCOMMAND [ARG]...\n",
        "  bind PORT#N MAC | unbind PORT#N MAC | info | unload"})
    EXPECT_NE(r.out.find(usage), std::string::npos) << usage;
  EXPECT_EQ(run(dir, {kLive, "--version"}).out.rfind("brantel-live ", 0), 0u);
  // Live mode is implied: the tool's requests run with it, and its
  // messages name brantel-live.
  r = run(dir, {kLive, "--state", state, "/usr/bin/env"});
  EXPECT_NE(r.out.find("\nBRANTEL_SIM_LIVE=brantel-live\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nBRANTEL_SIM_STATE=" + state + "\n"), std::string::npos) << r.out;
  // Without --state, BRANTEL_SIM_STATE names the file; the front hands a
  // relative one to the launcher.
  write_file(state, kHeader + "port eth7 0\n");
  for (const std::string& given : {state, std::string("state")}) {
    const std::vector<std::string> env = {"BRANTEL_SIM_STATE=" + given, kFakeLive};
    r = run(dir, {kLive, "info"}, "", env, dir / ".");
    EXPECT_EQ(r.out, "-eth7\n-eth7 flag: 0x0\n") << given << r.err;
    r = run(dir, {kLive, "show"}, "", env, dir / ".");
    EXPECT_NE(r.out.find("\nport eth7 0x0\n"), std::string::npos) << given << r.err;
  }
}

// brantel-live's words: the tool's subcommands run as its own, its own
// commands, and what it says to a word, an option or a port it does not
// know.  The front and the launcher (which the front hands odd cases to)
// answer each alike.
TEST_F(Launcher, BrantelLiveWords) {
  std::string launcher = dir / "brantel-live";
  ASSERT_EQ(symlink(kFull.c_str(), launcher.c_str()), 0);
  const std::string start = state_text("port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\n");
  const std::string try_help = "Try 'brantel-live --help' for more information.\n";
  write_file(state, start);
  const std::string usage = run(dir, {kLive, "--state", state, "help"}, "", {kFakeLive}).out;
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out, err, after = "";  // after: the state file's records, when changed
  };
  for (const Row& r : {
           Row{{"enable", "eth1"},
               0,
               "",
               "",
               "port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\nport eth1 0x0\nvlan eth1#0\n"},
           Row{{"info"}, 0, "-eth0\n-eth0 flag: 0x1\n |-eth0#0\n | |-00:11:22:33:44:55\n", ""},
           Row{{"brantel_config", "info"},
               0,
               "-eth0\n-eth0 flag: 0x1\n |-eth0#0\n | |-00:11:22:33:44:55\n",
               ""},
           Row{{"help", "del"},
               0,
               "del <ifname>\n - deletes a mac base vlan called \"ifname\"\n",
               ""},
           // Unknown words, options and ports.
           Row{{"shwo"}, 2, "", "brantel-live: \"shwo\" is unknown, try \"brantel-live --help\"\n"},
           Row{{"enable-all", "eth1"},
               2,
               "",
               "brantel-live: \"enable-all\" is unknown, try \"brantel-live --help\"\n"},
           Row{{"--", "shwo"}, 127, "", "brantel-live: shwo: No such file or directory\n"},
           Row{{"--dry-run", "sync"}, 2, "", "brantel-live: unknown option --dry-run\n" + try_help},
           Row{{"sync", "--dry-run"},
               2,
               "",
               "brantel-live: sync: unknown option \"--dry-run\"\n" + try_help},
           Row{{"show", "eth0", "-x"},
               2,
               "",
               "brantel-live: show: unknown option \"-x\"\n" + try_help},
           Row{{"check", "--pretty"},
               2,
               "",
               "brantel-live: check: -p/--pretty goes with -j/--json\n" + try_help},
           Row{{"which"},
               2,
               "",
               "brantel-live: usage: brantel-live which [-j] [-p] MAC\n" + try_help},
           Row{{"which", "00:11:22"},
               2,
               "",
               "brantel-live: which: \"00:11:22\" is not an address (aa:bb:cc:dd:ee:ff)\n" +
                   try_help},
           Row{{"sync", "eth9"},
               1,
               "",
               "brantel-live: sync: eth9: not in " + state +
                   ", nor anything of live mode's on the kernel\n"},
           Row{{"check", "eth9"},
               2,
               "",
               "brantel-live: check: eth9: not in " + state +
                   ", nor anything of live mode's on the kernel\n"},
           Row{{"show", "eth9"},
               1,
               "",
               "brantel-live: show: eth9: no such port or interface in " + state + "\n"},
           Row{{"show", "--json", "eth0#9"},
               1,
               "",
               "brantel-live: show: eth0#9: no such port or interface in " + state + "\n"},
           // The unit that udev starts for each new device passes over
           // one that is none of ours.
           Row{{"sync", "--if-known", "eth9"}, 0, "", ""},
           Row{{"sync", "--if-known", "eth9", "eth0"}, 0, "", "fake: sync 1 ports, only eth0\n"},
           // A name is said as the state file escapes it: no byte of it reaches
           // the terminal as a control.
           Row{{"show", "e\x1b[2J"},
               1,
               "",
               "brantel-live: show: e\\x1b[2J: no such port or interface in " + state + "\n"},
           Row{{"check", "e\nx"},
               2,
               "",
               "brantel-live: check: e\\x0ax: not in " + state +
                   ", nor anything of live mode's on the kernel\n"},
           Row{{"e\x1b[2J"},
               2,
               "",
               "brantel-live: \"e\\x1b[2J\" is unknown, try \"brantel-live --help\"\n"},
           Row{{"--\x1b"}, 2, "", "brantel-live: unknown option --\\x1b\n" + try_help},
           Row{{"sync", "e\x1b"},
               1,
               "",
               "brantel-live: sync: e\\x1b: not in " + state +
                   ", nor anything of live mode's on the kernel\n"},
           Row{{"show", "--", "-x"},
               1,
               "",
               "brantel-live: show: -x: no such port or interface in " + state + "\n"},
           // The line it adds before the tool's own, on what to do.
           Row{{"enable", "abcdefghijklmn"},
               1,
               "errno: 22\n" + usage,
               "brantel-live: abcdefghijklmn: too long for a port: abcdefghijklmn#N must fit a "
               "device name's 15 characters, so a port's name has at most 13\n"
               "ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): Invalid argument\n"},
           Row{{"add", "eth0", "-1"},
               1,
               usage,
               "brantel-live: eth0: interface numbers are 0 to 65535\n"
               "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): Invalid argument\n"},
           Row{{"add", "eth0", "65535"},
               0,
               "",
               "",
               "port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\nvlan eth0#65535\n"},
           Row{{"add", "eth0", "0"},
               1,
               usage,
               "brantel-live: eth0#0 exists already\n"
               "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): File exists\n"},
           Row{{"disable", "eth9"},
               255,
               usage,
               "brantel-live: eth9 is not enabled (brantel-live info lists the ports)\n"
               "disable-port: No such device\n"},
           Row{{"del", "eth0#3"},
               255,
               "failed to delete interface: eth0#3\n" + usage,
               "brantel-live: eth0#3: no such interface on eth0 (brantel-live info lists them)\n"
               "ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): No such device\n"},
           Row{{"bind", "eth0#3", "02:00:00:00:00:09"},
               1,
               usage,
               "brantel-live: eth0#3: no such interface: run brantel-live add eth0 3 first\n"
               "ioctl (BRANTEL_BIND): No such device\n"},
           Row{{"del", "eth9#1"},
               255,
               "failed to delete interface: eth9#1\n" + usage,
               "brantel-live: eth9#1: no such interface; eth9 is not enabled\n"
               "ioctl (SIOCGIFBRANTEL, BRANTEL_DEL): No such device\n"},
           Row{{"bind", "eth0#0", "00:11:22:33:44:55"},
               1,
               usage,
               "brantel-live: 00:11:22:33:44:55 is bound to eth0#0 already\n"
               "ioctl (BRANTEL_BIND): File exists\n"},
           Row{{"unbind", "eth0#0", "02:00:00:00:00:09"},
               1,
               usage,
               "brantel-live: 02:00:00:00:00:09 is not bound to eth0#0\n"
               "ioctl (BRANTEL_UNBIND): No such file or directory\n"},
       }) {
    for (const std::string& prog : {kLive, launcher}) {
      write_file(state, start);
      std::vector<std::string> args = r.args;
      args.insert(args.begin(), {prog, "--state", state});
      Result out = run(dir, args, "", {kFakeLive});
      std::string what = prog + " " + testing::PrintToString(r.args);
      EXPECT_EQ(out.status, r.status) << what;
      EXPECT_EQ(out.out, r.out) << what;
      EXPECT_EQ(out.err, r.err) << what;
      EXPECT_EQ(read_file(state), r.after.empty() ? start : state_text(r.after)) << what;
    }
  }  // A corrupt state file is named with its line and the way out of it,
  // and left as it was.
  const std::string corrupt = kHeader + "port eth0 zz\n";
  const std::string way_out =
      "; brantel-live reset empties it, brantel-live load FILE installs another\n";
  const std::string line = "brantel-live: " + state + ": line 2: bad flag word \"zz\"";
  for (const Row& r : {
           Row{{"show"}, 1, "", line + way_out},
           Row{{"check"}, 2, "", line + way_out},
           Row{{"sync", "eth0"}, 1, "", line + way_out},
           Row{{"which", "00:11:22:33:44:55"}, 2, "", line + way_out},
           Row{{"info"},
               1,
               "",
               line + " (file left untouched)" + way_out +
                   "ioctl (GET_NUM_PORTS): Input/output error\n"},
       }) {
    write_file(state, corrupt);
    std::vector<std::string> args = r.args;
    args.insert(args.begin(), {kLive, "--state", state});
    Result out = run(dir, args, "", {kFakeLive});
    std::string what = testing::PrintToString(r.args);
    EXPECT_EQ(out.status, r.status) << what;
    if (r.args[0] != "info") {  // info: the tool's usage
      EXPECT_EQ(out.out, r.out) << what;
    }
    EXPECT_EQ(out.err, r.err) << what;
    EXPECT_EQ(read_file(state), corrupt) << what;
  }
}

TEST_F(Launcher, ShowJsonWithoutTheKernel) {
  write_file(state, kHeader + "port eth0 0x80000001\nvlan eth0#0\nmac 00:11:22:33:44:55\n");
  Result r = sim({"show", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"schema\":1,\"ports\":[{\"ifname\":\"eth0\",\"name\":\"eth0\","
            "\"flags\":2147483649,\"ifindex\":null,\"up\":null,"
            "\"realised\":false,\"dropped\":null,\"trouble\":null,\"interfaces\":["
            "{\"ifname\":\"eth0#0\",\"name\":\"eth0#0\",\"ifindex\":null,\"address\":null,"
            "\"mac\":null,\"up\":null,\"bound\":[\"00:11:22:33:44:55\"],\"stats64\":null,"
            "\"rx_frames\":null,\"rx_bytes\":null}]}]}\n");
  r = sim({"show", "--unbound"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "brantel-sim: show --unbound reads the kernel: it needs --live\n");
  for (const char* shown : {"show", "show --json"}) {
    r = run(dir,
            {"/bin/sh", "-c", std::string("exec \"$0\" --state \"$1\" ") + shown + " > /dev/full",
             kLauncher, state});
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, "brantel-sim: cannot write the output: No space left on device\n") << shown;
  }
}

// Never writable by others, whatever the umask; root's readable by all.
TEST_F(Launcher, StateFileModes) {
  for (mode_t mask : {mode_t{0}, mode_t{077}}) {
    std::string sub = dir / ("m" + std::to_string(mask)), path = sub + "/a/state";
    mode_t old = umask(mask);
    Result r = run(dir, {kLauncher, "--state", path, kTool, "enable", "eth0"});
    umask(old);
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat f {
    }, d{};
    ASSERT_EQ(stat(path.c_str(), &f), 0);
    ASSERT_EQ(stat((sub + "/a").c_str(), &d), 0);
    EXPECT_EQ(f.st_mode & 022, 0u) << std::oct << f.st_mode;
    EXPECT_EQ(d.st_mode & 022, 0u) << std::oct << d.st_mode;
    if (geteuid() == 0) {
      EXPECT_EQ(f.st_mode & 0777, 0644u) << std::oct << f.st_mode;
      EXPECT_EQ(d.st_mode & 0777, 0755u) << std::oct << d.st_mode;
    }
  }
  // A file others may write loses that on its next write.
  write_file(state, kHeader);
  ASSERT_EQ(chmod(state.c_str(), 0666), 0);
  ASSERT_EQ(sim({kTool, "enable", "eth1"}).status, 0);
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << std::oct << st.st_mode;
}

// Live mode makes real only what no one but the file's owner and root can
// have written.
TEST_F(Launcher, LiveRefusesStateOthersMayWrite) {
  write_file(state, kHeader + "port eth0 0\n");
  const std::string before = read_file(state);
  struct Row {
    mode_t file, folder;
    const char* why;
  };
  for (const Row& r :
       {Row{0664, 0755, "others may write it"}, Row{0646, 0755, "others may write it"},
        Row{0644, 0775, "others may replace the state file"},
        Row{0644, 0757, "others may replace the state file"}}) {
    ASSERT_EQ(chmod(state.c_str(), r.file), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), r.folder), 0);
    for (std::vector<std::string> args :
         {std::vector<std::string>{kTool, "add", "eth0", "1"}, {"sync"}, {"load", state}}) {
      args.insert(args.begin(), {kLive, "--state", state});
      Result out = run(dir, args);
      EXPECT_EQ(out.status, 1) << args[3];
      EXPECT_EQ(out.err.rfind("brantel-live: ", 0), 0u) << out.err;
      EXPECT_NE(out.err.find(r.why), std::string::npos) << out.err;
      EXPECT_EQ(read_file(state), before);
    }
    // Reading is no change.
    Result out = run(dir, {kLive, "--state", state, kTool, "info"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "-eth0\n-eth0 flag: 0x0\n");
  }
  ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
}

bool can(const char* program) { return access(program, X_OK) == 0; }

// A shell command run as root in a mount namespace of its own, where
// /var/lib is an empty tmpfs: live mode's files there are the test's.  And
// in a PID namespace of its own, whose first process the shell is: the
// machine's may not be visible (a container), and the namespaces of the
// test are then told apart from the shell's.
Result in_private_var_lib(const TempDir& dir, const std::string& script) {
  return run(dir, {"/usr/bin/unshare", "-m", "-p", "-f", "--mount-proc", "--propagation", "private",
                   "/bin/sh", "-c",
                   "mount -t tmpfs tmpfs /var/lib && mkdir -p /var/lib/brantel-sim && " + script});
}

std::string quote(const std::string& s) { return "'" + s + "'"; }

TEST_F(Launcher, RootSimulatedChangeNotesLiveMode) {
  if (geteuid() != 0 || !can("/usr/bin/unshare")) GTEST_SKIP() << "needs root and unshare";
  const std::string note =
      "brantel-sim: note: this changes the simulated module only; live mode holds "
      "/var/lib/brantel-sim/state: use brantel-live\n";
  struct Row {
    std::string live_state;  // empty: no file
    std::string command;
    bool noted;
  };
  const std::string held = kHeader + "port eth9 0\n";
  for (const Row& r :
       {Row{held, quote(kTool) + " enable eth0", true}, Row{held, quote(kTool) + " info", false},
        Row{held, quote(kTool) + " help add", false}, Row{held, "reset", true},
        Row{held, "show", false}, Row{kHeader, quote(kTool) + " enable eth0", false},
        Row{"", quote(kTool) + " enable eth0", false}, Row{held, "/bin/true", false}}) {
    std::string make = r.live_state.empty()
                           ? std::string("true")
                           : "printf '%s' " + quote(r.live_state) + " > /var/lib/brantel-sim/state";
    // The launcher as well, where a stray word of the front's must not
    // make the note twice.
    for (const std::string& prog : {kLauncher, kFull}) {
      Result out =
          in_private_var_lib(dir, make + " && BRANTEL_SIM_LAUNCHED=brantel-sim exec " +
                                      quote(prog) + " --state " + quote(state) + " " + r.command);
      EXPECT_EQ(out.status, 0) << prog << " " << r.command << ": " << out.err;
      EXPECT_EQ(out.err, r.noted ? note : "") << prog << " " << r.command;
    }
  }
}

// An ordinary user reads root's live state and is refused any change.
TEST_F(Launcher, ReadingWithoutRoot) {
  if (geteuid() != 0 || !can("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string folder = dir / "live", path = folder + "/state";
  ASSERT_EQ(sim({"--state", path, kTool, "enable", "eth0"}).status, 0);
  const std::string before = read_file(path);
  std::vector<std::string> nobody{"/usr/bin/setpriv",
                                  "--reuid=65534",
                                  "--regid=65534",
                                  "--clear-groups",
                                  kLive,
                                  "--state",
                                  path};
  auto as_nobody = [&](std::vector<std::string> args) {
    args.insert(args.begin(), nobody.begin(), nobody.end());
    return run(dir, args);
  };
  Result r = as_nobody({"show"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(
      r.out.rfind(std::string(brantel_sim::kStateHeader) + "\nport eth0 0x0\nvlan eth0#0\n", 0), 0u)
      << r.out;
  r = as_nobody({"show", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"schema\":1,\"ports\":[{\"ifname\":\"eth0\",\"name\":\"eth0\",", 0), 0u)
      << r.out;
  r = as_nobody({kTool, "info"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-eth0\n-eth0 flag: 0x0\n |-eth0#0\n");
  // A change says which capabilities are missing, beside the tool's line.
  const std::string lacks =
      "brantel-live: changing live mode needs CAP_NET_ADMIN and CAP_SYS_ADMIN; this process "
      "lacks CAP_NET_ADMIN and CAP_SYS_ADMIN: run it as root\n";
  r = as_nobody({"add", "eth0", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err.rfind(lacks + "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): Operation not permitted\n", 0), 0u)
      << r.err;
  r = as_nobody({"sync"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, lacks);
  EXPECT_EQ(read_file(path), before);
}

// Each network namespace keeps to a state file of its own.
TEST_F(Launcher, LiveStatePerNetworkNamespace) {
  if (geteuid() != 0 || !can("/usr/bin/unshare") || !can("/usr/sbin/ip"))
    GTEST_SKIP() << "needs root, unshare and ip";
  // Not exec: the shell stays the first process, in the namespace of old.
  Result r;
  for (auto [word, status] : {std::pair{"show", 1}, {"check", 2}}) {
    r = in_private_var_lib(dir, "unshare -n " + quote(kLive) + " " + word);
    EXPECT_EQ(r.status, status) << word;
    EXPECT_EQ(r.err.rfind("brantel-live: this network namespace is not the system's", 0), 0u)
        << r.err;
  }
  std::string ns = "brsimtest" + std::to_string(getpid());
  ASSERT_EQ(run(dir, {"/usr/sbin/ip", "netns", "add", ns}).status, 0);
  r = in_private_var_lib(dir, "mkdir -p /var/lib/brantel-sim/netns/" + ns + " && printf '%s' " +
                                  quote(kHeader + "port eth7 0\n") +
                                  " > /var/lib/brantel-sim/netns/" + ns +
                                  "/state && ip netns exec " + ns + " " + quote(kLive) + " show");
  run(dir, {"/usr/sbin/ip", "netns", "del", ns});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nport eth7 0x0\n"), std::string::npos) << r.out;
}

// The live commands on what the live library answers.
TEST_F(Launcher, LiveCommandsReportTheKernel) {
  write_file(state, kHeader + "port eth0 1\nvlan eth0#0\nmac 00:11:22:33:44:55\n");
  auto live = [&](std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), {kLive, "--state", state});
    std::vector<std::string> all = env;
    all.push_back(kFakeLive);
    return run(dir, args, "", all);
  };
  struct Row {
    std::vector<std::string> args, env;
    int status;
    std::string out, err;
  };
  for (const Row& r : {
           // Each port named is passed on; one that could not be restored
           // is named, and is no failure.
           Row{{"sync", "eth0", "gone1"},
               {},
               0,
               "",
               "fake: sync 1 ports, only eth0 gone1\nbrantel-live: sync: gone1: no such network "
               "device\n"},
           Row{{"sync"}, {}, 0, "", "fake: sync 1 ports, only\n"},
           Row{{"sync", "gone2"},
               {"FAKE_LIVE_ERR=5"},
               1,
               "",
               "fake: sync 1 ports, only gone2\nbrantel-live: sync: gone2: no such network device\n"
               "brantel-live: sync: the kernel refused: Input/output error\n"},
           Row{{"check"}, {}, 0, "", ""},
           Row{{"check"},
               {"FAKE_LIVE_DIFF=eth0#0: missing on the kernel"},
               1,
               "eth0#0: missing on the kernel\n",
               ""},
           Row{{"check"},
               {"FAKE_LIVE_ERR=1"},
               2,
               "",
               "brantel-live: check: cannot read the kernel: Operation not permitted\n"},
           Row{{"show", "--json"},
               {},
               0,
               "{\"schema\":1,\"ports\":[{\"ifname\":\"eth0\",\"name\":\"eth0\",\"flags\":1,"
               "\"ifindex\":1,\"up\":true,\"realised\":true,\"dropped\":1,\"trouble\":null,"
               "\"interfaces\":[{\"ifname\":\"eth0#0\",\"name\":\"eth0#0\",\"ifindex\":2,"
               "\"address\":\"02:00:00:00:00:02\",\"mac\":\"02:00:00:00:00:02\",\"up\":false,"
               "\"bound\":[\"00:11:22:33:44:55\"],\"stats64\":{\"rx\":{\"packets\":5,"
               "\"bytes\":300}},\"rx_frames\":5,\"rx_bytes\":300}]}]}\n",
               ""},
           // What the kernel cannot tell, the state file still can.
           Row{{"show", "--json"},
               {"FAKE_LIVE_ERR=1"},
               0,
               "{\"schema\":1,\"ports\":[{\"ifname\":\"eth0\",\"name\":\"eth0\",\"flags\":1,"
               "\"ifindex\":null,\"up\":null,\"realised\":false,\"dropped\":null,"
               "\"trouble\":\"cannot read the kernel: Operation not permitted\","
               "\"interfaces\":[{\"ifname\":\"eth0#0\",\"name\":\"eth0#0\",\"ifindex\":null,"
               "\"address\":null,\"mac\":null,\"up\":null,\"bound\":[\"00:11:22:33:44:55\"],"
               "\"stats64\":null,\"rx_frames\":null,\"rx_bytes\":null}]}]}\n",
               ""},
           Row{{"show"},
               {},
               0,
               state_text(
                   "port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\n"
                   "# frames each port's classifier delivered since it was enabled:\n"
                   "# eth0: 5 frames to its interfaces, 1 dropped (ifindex 1), up\n"
                   "#   eth0#0: 5 frames, 300 bytes, ifindex 2, address 02:00:00:00:00:02, down\n"),
               ""},
           Row{{"check", "-j"},
               {"FAKE_LIVE_DIFF=eth0#0: missing on the kernel"},
               1,
               "{\"schema\":1,\"clean\":false,\"differences\":[\"eth0#0: missing on the "
               "kernel\"]}\n",
               ""},
           Row{{"check", "--json", "--pretty", "eth0"},
               {},
               0,
               "{\n  \"schema\": 1,\n  \"clean\": true,\n  \"differences\": []\n}\n",
               ""},
           // Where an address goes, and whether the kernel agrees.
           Row{{"which", "00:11:22:33:44:55"},
               {},
               0,
               "00:11:22:33:44:55: eth0#0 on eth0 (frames to it); the kernel agrees\n",
               ""},
           Row{{"which", "00:11:22:33:44:55"},
               {"FAKE_LIVE_DIFF=00:11:22:33:44:55: bound to eth0#0, not on the kernel"},
               1,
               "00:11:22:33:44:55: eth0#0 on eth0 (frames to it); the kernel differs: "
               "00:11:22:33:44:55: bound to eth0#0, not on the kernel\n",
               ""},
           // What the kernel differs in on its interface or its port concerns it too.
           Row{{"which", "00:11:22:33:44:55"},
               {"FAKE_LIVE_DIFF=eth0#0: missing on the kernel"},
               1,
               "00:11:22:33:44:55: eth0#0 on eth0 (frames to it); the kernel differs: "
               "eth0#0: missing on the kernel\n",
               ""},
           Row{{"which", "00:11:22:33:44:55"},
               {"FAKE_LIVE_DIFF=eth0: no classifier on the kernel"},
               1,
               "00:11:22:33:44:55: eth0#0 on eth0 (frames to it); the kernel differs: "
               "eth0: no classifier on the kernel\n",
               ""},
           Row{{"which", "-j", "00:11:22:33:44:55"},
               {},
               0,
               "{\"schema\":1,\"address\":\"00:11:22:33:44:55\",\"bindings\":[{\"ifname\":"
               "\"eth0#0\",\"port\":\"eth0\",\"by\":\"destination\",\"kernel_agrees\":true,"
               "\"differences\":[]}]}\n",
               ""},
           Row{{"which", "02:00:00:00:00:09"},
               {},
               1,
               "02:00:00:00:00:09: bound to no interface; on each port its frames go to PORT#0\n",
               ""},
           Row{{"show"},
               {"FAKE_LIVE_ERR=1"},
               0,
               state_text("port eth0 0x1\nvlan eth0#0\nmac 00:11:22:33:44:55\n"
                          "# frames each port's classifier delivered since it was enabled:\n"
                          "# eth0: not on the kernel (cannot read the kernel: Operation not "
                          "permitted); brantel-live check tells more\n"),
               ""},
           // The devices behind a port, and a port whose table cannot be read.
           Row{{"show", "--unbound"},
               {"FAKE_LIVE_UNBOUND=1"},
               0,
               "eth0: 02:00:00:00:00:99 (destination): 1 frame, 60 bytes, last seen 2 s ago\n",
               ""},
           Row{{"show", "--unbound", "-j"},
               {"FAKE_LIVE_UNBOUND=1"},
               0,
               "{\"schema\":1,\"unbound\":[{\"port\":\"eth0\",\"by\":\"destination\","
               "\"address\":\"02:00:00:00:00:99\",\"frames\":1,\"bytes\":60,"
               "\"last_seen_ms_ago\":2500}],\"unreadable\":[]}\n",
               ""},
           Row{{"show", "--unbound", "-j"},
               {},
               1,
               "{\"schema\":1,\"unbound\":[],\"unreadable\":[\"eth0\"]}\n",
               "brantel-live: show: eth0: no table of unbound addresses (brantel-live sync eth0 "
               "makes one)\n"},
       }) {
    Result out = live(r.args, r.env);
    std::string what = testing::PrintToString(r.args) + testing::PrintToString(r.env);
    EXPECT_EQ(out.status, r.status) << what << out.err;
    EXPECT_EQ(out.out, r.out) << what;
    EXPECT_EQ(out.err, r.err) << what;
  }
  // What show prints loads back, and the state is as it was (sync never
  // writes the file, so it may still be of version 1 until then).
  Result shown = live({"show"});
  EXPECT_EQ(run(dir, {kLive, "--state", state, "load", "-"}, shown.out, {kFakeLive}).status, 0);
  EXPECT_EQ(live({"show"}).out, shown.out);
}

}  // namespace
