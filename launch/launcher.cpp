// brantel-sim: runs a command with the simulator preloaded, or looks after
// the simulator's state file.  Invoked as brantel-live, it is live mode's
// own command: --live is implied.  It lives in the library folder: the
// programs the user runs are the front (starter.cpp), which starts plain
// commands itself and hands all else here with its arguments unchanged.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "brantel_sim.h"
#include "commands.h"
#include "launch.h"
#include "live.h"
#include "live_paths.h"

namespace {

using namespace brantel_sim;

Invocation g_inv;

int usage_error(const std::string& message) { return brantel_sim::usage_error(g_inv, message); }
int fail(const std::string& message) { return brantel_sim::fail(g_inv, message); }

std::string exe_dir() {
  std::vector<char> buf(4096);
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
  std::string exe(buf.data(), static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string getenv_str(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Keeps a relative path in the environment valid after the command changes
// its working folder.
void absolutize_env(const char* name) {
  std::string v = getenv_str(name);
  if (!v.empty() && v[0] != '/') setenv(name, absolute(v).c_str(), 1);
}

// The library folder, mine, and the tool's.
struct Layout {
  std::string libdir, sbindir;  // empty when my own folder is unknown
};

Layout layout() {
  std::string dir = exe_dir();
  if (dir.empty()) return {};
  return {dir, dir + "/" BRANTEL_SIM_REL_SBINDIR_FROM_LIBDIR};
}

std::string beside_me(const std::string& name) {
  Layout l = layout();
  return l.libdir.empty() ? std::string() : l.libdir + "/" + name;
}

std::unique_ptr<Live> open_live() {
  std::string lib = getenv_str("BRANTEL_SIM_LIVE_LIBRARY");
  if (lib.empty()) lib = beside_me(kLiveLibraryName);
  std::string error;
  std::unique_ptr<Live> live = load_live(lib, error);
  if (!live) fail("live mode: " + error);
  return live;
}

std::string base_name(std::string_view path) {
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

int run(char** command, const std::string& state, const std::vector<std::string>& faults,
        const std::string& trace, bool live) {
  if (!faults.empty()) {
    std::string joined;
    for (const std::string& f : faults) joined += (joined.empty() ? "" : ",") + f;
    setenv("BRANTEL_SIM_FAULTS", joined.c_str(), 1);
  }
  // Rules from the environment are checked too: a typo should stop here,
  // not make every request of the command fail.
  FaultSet rules;
  std::string error;
  if (!rules.parse(getenv_str("BRANTEL_SIM_FAULTS"), error)) return usage_error(error);
  if (live && !reads_only(command) && !only_owner_writes(state, error)) return fail(error);

  if (!state.empty()) setenv("BRANTEL_SIM_STATE", state.c_str(), 1);
  if (!trace.empty()) setenv("BRANTEL_SIM_TRACE", trace.c_str(), 1);
  // The front's word to the preload library, for a start of its own only.
  unsetenv("BRANTEL_SIM_LAUNCHED");
  // The preload library makes each change real when it sees this.
  if (live) {
    setenv("BRANTEL_SIM_LIVE", g_inv.live_command ? "brantel-live" : "1", 1);
  } else {
    unsetenv("BRANTEL_SIM_LIVE");
  }
  absolutize_env("BRANTEL_SIM_STATE");
  absolutize_env("BRANTEL_SIM_TRACE");

  Layout where = layout();
  std::string lib = getenv_str("BRANTEL_SIM_LIBRARY");
  if (lib.empty()) {
    if (where.libdir.empty()) {
      std::cerr << g_inv.prog << ": cannot find my own folder; set BRANTEL_SIM_LIBRARY\n";
      return 127;
    }
    lib = beside_me("libbrantel-sim.so");
  }
  lib = absolute(lib);
  // Without the library the command would reach the real kernel.
  if (access(lib.c_str(), R_OK) != 0) {
    std::cerr << g_inv.prog << ": " << lib << ": " << std::strerror(errno)
              << " (the preload library; set BRANTEL_SIM_LIBRARY)\n";
    return 127;
  }
  if (lib.find_first_of(" :") != std::string::npos) {
    std::cerr << g_inv.prog << ": " << lib
              << ": the dynamic loader cannot preload a path holding a blank or colon\n";
    return 127;
  }
  std::string preload = getenv_str("LD_PRELOAD");
  setenv("LD_PRELOAD", (preload.empty() ? lib : lib + ":" + preload).c_str(), 1);
  // A sanitizer build of the command would refuse to start with our library
  // loaded ahead of its runtime.
  std::string asan = getenv_str("ASAN_OPTIONS");
  setenv(
      "ASAN_OPTIONS",
      (asan.empty() ? std::string("verify_asan_link_order=0") : asan + ":verify_asan_link_order=0")
          .c_str(),
      1);

  std::string name = command[0];
  if (name.find('/') == std::string::npos && !where.sbindir.empty()) {
    // Prefer the tool installed (or built) beside this launcher.
    std::string beside = where.sbindir + "/" + name;
    if (is_executable_file(beside)) {
      execv(beside.c_str(), command);
      std::cerr << g_inv.prog << ": " << beside << ": " << std::strerror(errno) << "\n";
      return 127;
    }
  }
  execvp(name.c_str(), command);
  std::cerr << g_inv.prog << ": " << name << ": " << std::strerror(errno) << "\n";
  return 127;
}

}  // namespace

static int launch(int argc, char** argv) {
  bool live_command = argc > 0 && base_name(argv[0]) == "brantel-live";
  Invocation& inv = g_inv;
  inv.live_command = live_command;
  if (live_command) inv.prog = "brantel-live";
  inv.open_live = open_live;
  std::string trace;
  std::vector<std::string> faults;
  bool forced = false;
  bool live = live_command;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--") {
      forced = true;
      ++i;
      break;
    }
    if (a == "--help" || a == "-h") {
      std::cout << usage(inv);
      return 0;
    }
    if (a == "--version") {
      std::cout << inv.prog << " " BRANTEL_SIM_VERSION "\n";
      return 0;
    }
    if (a == "--live") {
      live = true;
      continue;
    }
    std::string* target = nullptr;
    std::string_view opt = a.substr(0, a.find('='));
    if (opt == "--state") target = &inv.state;
    if (opt == "--trace") target = &trace;
    if (opt == "--fault") target = &faults.emplace_back();
    if (!target) {
      if (!a.empty() && a[0] == '-') return usage_error("unknown option " + escape_state_name(a));
      break;
    }
    if (opt.size() < a.size()) {
      *target = std::string(a.substr(opt.size() + 1));
    } else if (i + 1 < argc) {
      *target = argv[++i];
    } else {
      return usage_error(std::string(opt) + " needs a value");
    }
    if (target->empty()) return usage_error(std::string(opt) + " needs a value");
  }
  if (i >= argc) return usage_error("no command given");
  inv.live = live;
  // Live mode's messages, here and in the live library, name the command.
  if (live) setenv("BRANTEL_SIM_LIVE", live_command ? "brantel-live" : "1", 1);

  std::string_view word = argv[i];
  if (!forced && is_own_command(inv, word)) {
    if (!faults.empty() || !trace.empty())
      return usage_error("--fault and --trace apply only when running a command");
    return run_own_command(inv, std::vector<std::string>(argv + i, argv + argc));
  }
  // brantel-live runs the tool's subcommands by their own words, and the
  // tool (or any program) named by name or path; a mistyped word is no
  // program to look for.
  std::vector<char*> command(argv + i, argv + argc + 1);
  static char tool[] = "brantel_config";
  if (!forced && live_command && is_tool_word(word)) {
    command.insert(command.begin(), tool);
  } else if (!forced && live_command && word != "brantel_config" &&
             word.find('/') == std::string_view::npos) {
    std::cerr << inv.prog << ": \"" << escape_state_name(word) << "\" is unknown, try \""
              << inv.prog << " --help\"\n";
    return 2;
  }
  std::string path = inv.state;
  if (live && path.empty()) {
    std::string error;
    const char* given = std::getenv("BRANTEL_SIM_STATE");
    path = given && *given ? given : live_default_state(error);
    if (path.empty()) return fail(error);
  }
  if (!live && !reads_only(command.data()) && base_name(command[0]) == "brantel_config")
    note_simulated_only();
  return run(command.data(), absolute(path), faults, absolute(trace), live);
}

int main(int argc, char** argv) {
  try {
    return launch(argc, argv);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}
