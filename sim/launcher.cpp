// brantel-sim: runs a command with the simulator preloaded, or looks after
// the simulator's state file.
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

#include "faults.h"
#include "live/live.h"
#include "state_file.h"

namespace {

using namespace brantel_sim;

constexpr const char* kUsage =
    "Usage: brantel-sim [OPTIONS] [--] COMMAND [ARG]...\n"
    "       brantel-sim [--state FILE] show\n"
    "       brantel-sim [--state FILE] reset\n"
    "       brantel-sim [--state FILE] load FILE|-\n"
    "       brantel-sim --live [--state FILE] sync|check\n"
    "       brantel-sim --help | --version\n"
    "\n"
    "Run COMMAND with the brantel kernel module simulated, or look after the\n"
    "simulated module's state.  With --live, each change is also made real\n"
    "on the running kernel.\n"
    "\n"
    "  show           print the state, in the state file format\n"
    "  reset          empty the module\n"
    "  load FILE|-    check a state file (or standard input) and install it\n"
    "  sync           make the kernel match the state file (live mode)\n"
    "  check          list each difference between the state file and the\n"
    "                 kernel; exit 1 if there is any (live mode)\n"
    "\n"
    "Options:\n"
    "  --live         live mode: real interfaces and frame delivery\n"
    "  --state FILE   state file (default: $BRANTEL_SIM_STATE, else\n"
    "                 $XDG_STATE_HOME/brantel-sim/state, else\n"
    "                 ~/.local/state/brantel-sim/state; with --live,\n"
    "                 $BRANTEL_SIM_STATE, else /var/lib/brantel-sim/state)\n"
    "  --fault RULE   inject a fault, TARGET[@N]=ACTION; repeatable\n"
    "                 (e.g. BRANTEL_DEL=EPERM, *@5=EIO, GET_NUM_PORTS=num=-1)\n"
    "  --trace FILE   append one line per request to FILE\n"
    "  --             what follows is the command, even if named like an action\n"
    "  --help         show this help\n"
    "  --version      show the version\n";

int usage_error(const std::string& message) {
  std::cerr << "brantel-sim: " << message << "\nTry 'brantel-sim --help' for more information.\n";
  return 2;
}

int fail(const std::string& message) {
  std::cerr << "brantel-sim: " << message << "\n";
  return 1;
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> buf(4096);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return path;
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data()) + "/" + path;
}

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

bool state_path(const std::string& given, bool live, std::string& path) {
  if (!given.empty()) {
    path = given;
    return true;
  }
  if (live) {
    std::string env = getenv_str("BRANTEL_SIM_STATE");
    path = env.empty() ? kLiveStatePath : env;
    return true;
  }
  std::string error;
  path = state_path_from_env(error);
  if (path.empty()) {
    fail(error);
    return false;
  }
  return true;
}

StateStore store(const std::string& path) {
  return StateStore(path, [](const std::string& m) { std::cerr << "brantel-sim: " << m << "\n"; });
}

int show(const std::string& path, Live* live) {
  Model m;
  std::string error;
  if (!store(path).read(m, error)) return fail(error);
  std::string text = serialize_state(m);
  std::vector<std::string> lines;
  std::vector<LivePort> ports;
  if (live && live->describe(m, ports) != 0) return fail("cannot read the frame counters");
  for (const LivePort& p : ports) {
    if (!p.realised) {
      lines.push_back("# " + p.name + ": not on the kernel (brantel-sim --live check)");
      continue;
    }
    if (!p.counted) {
      lines.push_back("# " + p.name + ": counters not readable");
      continue;
    }
    std::uint64_t bound = 0, unbound = 0;
    for (const LiveInterface& i : p.interfaces)
      (i.name == p.name + "#0" ? unbound : bound) += i.rx_frames;
    lines.push_back("# " + p.name + ": " + std::to_string(bound) + " frames to a bound interface, " +
                    std::to_string(unbound) + " to " + p.name + "#0, " + std::to_string(p.dropped) +
                    " dropped");
  }
  // As comments before the end line, the output still loads as a state file.
  std::string comments;
  if (!lines.empty())
    comments = "# frames each port's classifier delivered since it was enabled:\n";
  for (const std::string& line : lines) comments += line + "\n";
  std::string end = std::string(kStateTrailer) + "\n";
  std::size_t at =
      text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0
          ? text.size() - end.size()
          : text.size();
  text.insert(at, comments);
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
    return fail(std::string("cannot write the state: ") + std::strerror(errno));
  return 0;
}

// Installs `m`; in live mode the kernel is first made to match it, under
// the state lock, whatever the old file held (reset also mends a corrupt one).
int install(const std::string& path, const Model& m, Live* live) {
  std::string error;
  auto realise = [&](std::string& why) {
    std::vector<std::string> unrestored;
    int err = live ? live->sync(m, {}, unrestored) : 0;
    for (const std::string& line : unrestored) std::cerr << "brantel-sim: " << line << "\n";
    if (err)
      why = std::string("the kernel refused: ") + std::strerror(err) + " (file left as it was)";
    return err == 0;
  };
  if (!store(path).replace(m, error, realise)) return fail(error);
  return 0;
}

int reset(const std::string& path, Live* live) { return install(path, Model{}, live); }

int load(const std::string& path, const std::string& source, Live* live) {
  std::string text;
  if (source == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) return fail("standard input: cannot read");
  } else {
    FILE* f = std::fopen(source.c_str(), "rb");
    if (!f) return fail(source + ": " + std::strerror(errno));
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool bad = std::ferror(f);
    std::fclose(f);
    if (bad) return fail(source + ": cannot read");
  }
  Model m;
  std::string error;
  if (!parse_state(text, m, error))
    return fail((source == "-" ? std::string("standard input") : source) + ": " + error +
                " (nothing installed)");
  return install(path, m, live);
}

int sync(const std::string& path, Live& live) {
  Model unused;
  std::string error;
  std::vector<std::string> unrestored;
  int r = store(path).update([&](Model& m) { return live.sync(m, {}, unrestored); }, unused, error);
  for (const std::string& line : unrestored) std::cerr << "brantel-sim: sync: " << line << "\n";
  if (r < 0) return fail(error);
  if (r > 0) return fail(std::string("sync: the kernel refused: ") + std::strerror(r));
  return 0;
}

// Like diff: 0 when the kernel matches, 1 when it differs, 2 on trouble.
int check(const std::string& path, Live& live) {
  Model m;
  std::string error;
  if (!store(path).read(m, error)) return fail(error) + 1;
  std::vector<std::string> differences;
  if (int err = live.check(m, differences))
    return fail(std::string("check: cannot read the kernel: ") + std::strerror(err)) + 1;
  for (const std::string& d : differences) std::cout << d << "\n";
  std::cout.flush();
  return differences.empty() ? 0 : 1;
}

std::unique_ptr<Live> open_live() {
  std::string lib = getenv_str("BRANTEL_SIM_LIVE_LIBRARY");
  if (lib.empty()) {
    std::string dir = exe_dir();
    if (dir.empty()) return nullptr;
    lib = dir + "/" BRANTEL_SIM_REL_LIBDIR "/" + kLiveLibraryName;
  }
  std::string error;
  std::unique_ptr<Live> live = load_live(lib, error);
  if (!live) fail("live mode: " + error);
  return live;
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

  if (!state.empty()) setenv("BRANTEL_SIM_STATE", state.c_str(), 1);
  if (!trace.empty()) setenv("BRANTEL_SIM_TRACE", trace.c_str(), 1);
  // The preload library makes each change real when it sees this.
  if (live) {
    setenv("BRANTEL_SIM_LIVE", "1", 1);
  } else {
    unsetenv("BRANTEL_SIM_LIVE");
  }
  absolutize_env("BRANTEL_SIM_STATE");
  absolutize_env("BRANTEL_SIM_TRACE");

  std::string dir = exe_dir();
  std::string lib = getenv_str("BRANTEL_SIM_LIBRARY");
  if (lib.empty()) {
    if (dir.empty()) {
      std::cerr << "brantel-sim: cannot find my own folder; set BRANTEL_SIM_LIBRARY\n";
      return 127;
    }
    lib = dir + "/" BRANTEL_SIM_REL_LIBDIR "/libbrantel-sim.so";
  }
  lib = absolute(lib);
  // Without the library the command would reach the real kernel.
  if (access(lib.c_str(), R_OK) != 0) {
    std::cerr << "brantel-sim: " << lib << ": " << std::strerror(errno)
              << " (the preload library; set BRANTEL_SIM_LIBRARY)\n";
    return 127;
  }
  if (lib.find_first_of(" :") != std::string::npos) {
    std::cerr << "brantel-sim: " << lib
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
  if (name.find('/') == std::string::npos && !dir.empty()) {
    // Prefer the tool installed (or built) beside this launcher.
    std::string beside = dir + "/" BRANTEL_SIM_REL_SBINDIR "/" + name;
    if (is_executable_file(beside)) {
      execv(beside.c_str(), command);
      std::cerr << "brantel-sim: " << beside << ": " << std::strerror(errno) << "\n";
      return 127;
    }
  }
  execvp(name.c_str(), command);
  std::cerr << "brantel-sim: " << name << ": " << std::strerror(errno) << "\n";
  return 127;
}

}  // namespace

static int launch(int argc, char** argv) {
  std::string state, trace;
  std::vector<std::string> faults;
  bool forced = false;
  bool live = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--") {
      forced = true;
      ++i;
      break;
    }
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (a == "--version") {
      std::cout << "brantel-sim " BRANTEL_SIM_VERSION "\n";
      return 0;
    }
    if (a == "--live") {
      live = true;
      continue;
    }
    std::string* target = nullptr;
    std::string_view opt = a.substr(0, a.find('='));
    if (opt == "--state") target = &state;
    if (opt == "--trace") target = &trace;
    if (opt == "--fault") target = &faults.emplace_back();
    if (!target) {
      if (!a.empty() && a[0] == '-') return usage_error("unknown option " + std::string(a));
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

  std::string_view word = argv[i];
  bool kernel_action = word == "sync" || word == "check";
  if (!forced && (word == "show" || word == "reset" || word == "load" || kernel_action)) {
    if (!faults.empty() || !trace.empty())
      return usage_error("--fault and --trace apply only when running a command");
    if (kernel_action && !live) return usage_error(std::string(word) + " needs --live");
    int want = word == "load" ? 1 : 0;
    if (argc - i - 1 != want)
      return usage_error(word == "load" ? "load takes one file (or -)"
                                        : std::string(word) + " takes no arguments");
    std::string path;
    if (!state_path(state, live, path)) return 1;
    std::unique_ptr<Live> kernel;
    if (live && !(kernel = open_live())) return word == "check" ? 2 : 1;
    if (word == "show") return show(path, kernel.get());
    if (word == "reset") return reset(path, kernel.get());
    if (word == "load") return load(path, argv[i + 1], kernel.get());
    if (word == "sync") return sync(path, *kernel);
    return check(path, *kernel);
  }
  std::string path = state;
  if (live && path.empty()) state_path(state, live, path);
  return run(argv + i, absolute(path), faults, absolute(trace), live);
}

int main(int argc, char** argv) {
  try {
    return launch(argc, argv);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}
