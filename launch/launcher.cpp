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
#include "launch.h"
#include "live.h"
#include "live_paths.h"
#include "live_show.h"

namespace {

using namespace brantel_sim;

constexpr const char* kUsage =
    "Usage: brantel-sim [OPTIONS] [--] COMMAND [ARG]...\n"
    "       brantel-sim [--state FILE] show [--json]\n"
    "       brantel-sim [--state FILE] reset\n"
    "       brantel-sim [--state FILE] load FILE|-\n"
    "       brantel-sim --live [--state FILE] sync [PORT]...|check\n"
    "       brantel-sim --help | --version\n"
    "\n"
    "Run COMMAND with the brantel kernel module simulated, or look after the\n"
    "simulated module's state.  With --live, each change is also made real\n"
    "on the running kernel (brantel-live does the same).\n"
    "\n"
    "  show [--json]  print the state, in the state file format (--json: as\n"
    "                 one JSON document)\n"
    "  reset          empty the module\n"
    "  load FILE|-    check a state file (or standard input) and install it\n"
    "  sync [PORT]... make the kernel match the state file, for the ports\n"
    "                 named or all (live mode)\n"
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

constexpr const char* kLiveUsage =
    "Usage: brantel-live [OPTIONS] [--] brantel_config SUBCOMMAND [ARG]...\n"
    "       brantel-live [--state FILE] show [--json]\n"
    "       brantel-live [--state FILE] check\n"
    "       brantel-live [--state FILE] sync [PORT]...\n"
    "       brantel-live [--state FILE] reset\n"
    "       brantel-live [--state FILE] load FILE|-\n"
    "       brantel-live --help | --version\n"
    "\n"
    "Configure MAC-based VLANs on the running kernel: the changes brantel_config\n"
    "makes become network devices and frame delivery, with the kernel's own\n"
    "features, and are kept in a state file.\n"
    "\n"
    "Commands:\n"
    "  brantel_config ...  run the tool; each change it makes is made real\n"
    "  show           print the state file, with what the kernel has of each\n"
    "                 port and interface and the frames delivered, as comments\n"
    "  show --json    the same as one JSON document\n"
    "  check          list each difference between the state file and the\n"
    "                 kernel; exit 1 if there is any, 2 on trouble\n"
    "  sync [PORT]... make the kernel match the state file, for the ports\n"
    "                 named (each port of the file and of the kernel if none)\n"
    "  reset          take every device and filter of ours away, empty the state\n"
    "  load FILE|-    check a state file (or standard input), make it real and\n"
    "                 install it\n"
    "\n"
    "Options:\n"
    "  --state FILE   state file (default: $BRANTEL_SIM_STATE, else\n"
    "                 /var/lib/brantel-sim/state; in a network namespace that\n"
    "                 ip netns names NAME, /var/lib/brantel-sim/netns/NAME/state)\n"
    "  --fault RULE   inject a fault, TARGET[@N]=ACTION; repeatable\n"
    "  --trace FILE   append one line per request to FILE\n"
    "  --             what follows is the command, even if named like a command\n"
    "  --help         show this help\n"
    "  --version      show the version\n";

// "brantel-sim" or "brantel-live", as invoked: the name messages begin with.
std::string g_prog = "brantel-sim";

int usage_error(const std::string& message) {
  std::cerr << g_prog << ": " << message << "\nTry '" << g_prog
            << " --help' for more information.\n";
  return 2;
}

int fail(const std::string& message) {
  std::cerr << g_prog << ": " << message << "\n";
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
  std::string error;
  if (live) {
    path = getenv_str("BRANTEL_SIM_STATE");
    if (path.empty()) path = live_default_state(error);
  } else {
    path = state_path_from_env(error);
  }
  if (path.empty()) {
    fail(error);
    return false;
  }
  return true;
}

StateStore store(const std::string& path) {
  return StateStore(path, [](const std::string& m) { std::cerr << g_prog << ": " << m << "\n"; });
}

bool write_out(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
    return true;
  fail(std::string("cannot write the state: ") + std::strerror(errno));
  return false;
}

int show(const std::string& path, Live* live, bool json) {
  Model m;
  std::string error;
  if (!store(path).read(m, error)) return fail(error);
  std::vector<LivePort> ports;
  if (live) {
    if (int err = live->describe(m, ports)) {
      // The state is still worth showing, with why the kernel's part is not.
      ports = unrealised_ports(m);
      for (LivePort& p : ports)
        p.trouble = std::string("cannot read the kernel: ") + std::strerror(err);
    }
  } else if (json) {
    ports = unrealised_ports(m);
  }
  if (json) return write_out(render_json(ports)) ? 0 : 1;
  std::string text = serialize_state(m);
  // As comments before the end line, the output still loads as a state file.
  std::string end = std::string(kStateTrailer) + "\n";
  std::size_t at =
      text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0
          ? text.size() - end.size()
          : text.size();
  text.insert(at, render_comments(ports));
  return write_out(text) ? 0 : 1;
}

// One line per port that sync could not restore: the others are restored,
// and a port that does not exist yet is no failure.
void report_unrestored(const std::vector<std::string>& unrestored) {
  for (const std::string& line : unrestored) std::cerr << g_prog << ": sync: " << line << "\n";
}

// Installs `m`; in live mode the kernel is first made to match it, under
// the state lock, whatever the old file held (reset also mends a corrupt one).
int install(const std::string& path, const Model& m, Live* live) {
  std::string error;
  if (live && !only_owner_writes(path, error)) return fail(error);
  std::vector<std::string> unrestored;
  auto realise = [&](std::string& why) {
    int err = live ? live->sync(m, {}, unrestored, true) : 0;
    if (err)
      why = std::string("the kernel refused: ") + std::strerror(err) + " (file left as it was)";
    return err == 0;
  };
  // A file that cannot record the new state leaves the kernel as it was.
  auto undo = [&] {
    if (live) live->undo_sync();
  };
  bool ok = store(path).replace(m, error, realise, undo);
  report_unrestored(unrestored);
  if (!ok) return fail(error);
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

int sync(const std::string& path, Live& live, const std::vector<std::string>& only) {
  std::string error;
  if (!only_owner_writes(path, error)) return fail(error);
  std::vector<std::string> unrestored;
  StateStore s = store(path);
  // sync changes the kernel, never the file.  Under the lock no request
  // changes it, but a file put in its place (mv) may; the kernel then
  // follows the new one.
  int r = s.locked(
      [&](std::string& why) {
        for (int round = 0; round < 3; ++round) {
          Model m;
          StateStore::Stamp read;
          if (!s.read(m, why, &read)) return -1;
          unrestored.clear();
          int err = live.sync(m, only, unrestored);
          if (s.stamp() == read) return err;
        }
        why = path + ": replaced again and again while sync ran; run sync once it is still";
        return -1;
      },
      error);
  report_unrestored(unrestored);
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
    setenv("BRANTEL_SIM_LIVE", "1", 1);
  } else {
    unsetenv("BRANTEL_SIM_LIVE");
  }
  absolutize_env("BRANTEL_SIM_STATE");
  absolutize_env("BRANTEL_SIM_TRACE");

  Layout where = layout();
  std::string lib = getenv_str("BRANTEL_SIM_LIBRARY");
  if (lib.empty()) {
    if (where.libdir.empty()) {
      std::cerr << g_prog << ": cannot find my own folder; set BRANTEL_SIM_LIBRARY\n";
      return 127;
    }
    lib = beside_me("libbrantel-sim.so");
  }
  lib = absolute(lib);
  // Without the library the command would reach the real kernel.
  if (access(lib.c_str(), R_OK) != 0) {
    std::cerr << g_prog << ": " << lib << ": " << std::strerror(errno)
              << " (the preload library; set BRANTEL_SIM_LIBRARY)\n";
    return 127;
  }
  if (lib.find_first_of(" :") != std::string::npos) {
    std::cerr << g_prog << ": " << lib
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
      std::cerr << g_prog << ": " << beside << ": " << std::strerror(errno) << "\n";
      return 127;
    }
  }
  execvp(name.c_str(), command);
  std::cerr << g_prog << ": " << name << ": " << std::strerror(errno) << "\n";
  return 127;
}

}  // namespace

static int launch(int argc, char** argv) {
  bool live_command = argc > 0 && base_name(argv[0]) == "brantel-live";
  if (live_command) g_prog = "brantel-live";
  std::string state, trace;
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
      std::cout << (live_command ? kLiveUsage : kUsage);
      return 0;
    }
    if (a == "--version") {
      std::cout << g_prog << " " BRANTEL_SIM_VERSION "\n";
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
    std::vector<std::string> args(argv + i + 1, argv + argc);
    bool json = word == "show" && args.size() == 1 && args[0] == "--json";
    if (word == "sync") {
      for (const std::string& port : args)
        if (const char* why = name_problem(port))
          return usage_error("sync: bad port name \"" + escape_state_name(port) + "\": " + why);
    } else if (word == "load" ? args.size() != 1 : !args.empty() && !json) {
      return usage_error(word == "load"   ? std::string("load takes one file (or -)")
                         : word == "show" ? std::string("show takes only --json")
                                          : std::string(word) + " takes no arguments");
    }
    std::string path;
    if (!state_path(state, live, path)) return word == "check" ? 2 : 1;
    if (!live && geteuid() == 0 && word != "show") note_simulated_only();
    std::unique_ptr<Live> kernel;
    if (live && !(kernel = open_live())) return word == "check" ? 2 : 1;
    if (word == "show") return show(path, kernel.get(), json);
    if (word == "reset") return reset(path, kernel.get());
    if (word == "load") return load(path, argv[i + 1], kernel.get());
    if (word == "sync") return sync(path, *kernel, args);
    return check(path, *kernel);
  }
  std::string path = state;
  if (live && path.empty() && !state_path(state, live, path)) return 1;
  if (!live && !reads_only(argv + i) && base_name(argv[i]) == "brantel_config")
    note_simulated_only();
  return run(argv + i, absolute(path), faults, absolute(trace), live);
}

int main(int argc, char** argv) {
  try {
    return launch(argc, argv);
  } catch (const std::bad_alloc&) {
    return fail("out of memory");
  }
}
