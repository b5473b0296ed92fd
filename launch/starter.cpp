// brantel-sim and brantel-live as the user runs them: a small front that
// starts a command under the simulator itself and hands everything else
// (the state commands, --help, --fault, --trace, any odd case or error) to
// the launcher in the library folder, with the same arguments.
//
// Why a front: starting a program of the C library this system builds on
// costs most of a simple command's time on a virtual machine (it probes the
// processor's caches with CPUID, which the hypervisor traps), and a command
// run under the simulator starts two, this one and the command.  Built
// against musl where the build has it, the front starts in a tenth of that.
// It uses the C library alone, and only the calls both have.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLibrary[] = "libbrantel-sim.so";
constexpr char kLauncher[] = "brantel-sim-launcher";
// More than a sane environment holds; past it the launcher does the work.
constexpr int kMaxEnv = 4096;

struct Text {
  char s[4096];
  bool ok = true;
};

// Appends to `t`; a text that would not fit marks it not ok.
void add(Text& t, const char* piece) {
  size_t have = strlen(t.s), more = strlen(piece);
  if (!t.ok || have + more >= sizeof t.s) {
    t.ok = false;
    return;
  }
  memcpy(t.s + have, piece, more + 1);
}

Text text(const char* a, const char* b = "", const char* c = "", const char* d = "") {
  Text t;
  t.s[0] = 0;
  add(t, a);
  add(t, b);
  add(t, c);
  add(t, d);
  return t;
}

void say(const char* prog, const char* a, const char* b = "", const char* c = "") {
  Text t = text(prog, ": ", a, b);
  add(t, c);
  add(t, "\n");
  if (t.ok) (void)!write(STDERR_FILENO, t.s, strlen(t.s));
}

const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

bool is(const char* a, const char* b) { return strcmp(a, b) == 0; }

bool readable(const Text& path) { return path.ok && access(path.s, R_OK) == 0; }

bool is_executable_file(const Text& path) {
  struct stat st;
  return path.ok && stat(path.s, &st) == 0 && S_ISREG(st.st_mode) && access(path.s, X_OK) == 0;
}

const char* env(char** envp, const char* name) {
  size_t n = strlen(name);
  for (char** e = envp; *e; ++e)
    if (strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
  return nullptr;
}

bool set(const char* value) { return value && *value; }

// The tool with no subcommand, help and info only read the module.
bool reads_only(char** command) {
  if (!is(base_name(command[0]), "brantel_config")) return false;
  return !command[1] || is(command[1], "help") || is(command[1], "info");
}

struct Layout {
  Text libdir, sbindir;
};

// The folders of the library and of the tool, relative to mine, which hold
// in the build tree and under any prefix.  bin and sbin hold the same
// program, so where the library is tells which of the two I am.
bool layout(Layout& l) {
  Text exe;
  ssize_t n = readlink("/proc/self/exe", exe.s, sizeof exe.s);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof exe.s) return false;
  exe.s[n] = 0;
  char* slash = strrchr(exe.s, '/');
  if (!slash) return false;  // not a path: nowhere to look
  *slash = 0;
  l = {text(exe.s, "/" BRANTEL_SIM_REL_LIBDIR), text(exe.s, "/" BRANTEL_SIM_REL_SBINDIR)};
  Layout from_sbin{text(exe.s, "/" BRANTEL_SIM_REL_LIBDIR_FROM_SBIN), text(exe.s)};
  if (!readable(text(l.libdir.s, "/", kLibrary)) &&
      readable(text(from_sbin.libdir.s, "/", kLibrary)))
    l = from_sbin;
  return l.libdir.ok && l.sbindir.ok;
}

// Everything the front does not do itself, the launcher does.
[[noreturn]] void hand_over(const char* prog, const Layout& l, char** argv, char** envp) {
  Text launcher = text(l.libdir.s, "/", kLauncher);
  if (launcher.ok) execve(launcher.s, argv, envp);
  say(prog, launcher.s, ": ", strerror(errno));
  _exit(127);
}

struct Request {
  char** command = nullptr;
  const char* state = nullptr;
  bool live = false;
};

// brantel-live runs the tool's subcommands as its own words.
constexpr const char* kToolWords[] = {"help", "enable", "disable", "add",      "del",
                                      "bind", "unbind", "unload",  "setflags", "info"};

bool tool_word(const char* word) {
  for (const char* w : kToolWords)
    if (is(word, w)) return true;
  return false;
}

// The launcher's grammar, as far as a plain run goes; false for all else.
bool parse(int argc, char** argv, bool live_command, Request& r) {
  r.live = live_command;
  bool forced = false;
  int i = 1;
  for (; i < argc; ++i) {
    const char* a = argv[i];
    if (is(a, "--")) {
      forced = true;
      ++i;
      break;
    }
    if (is(a, "--live")) {
      r.live = true;
    } else if (is(a, "--state")) {
      if (i + 1 >= argc || !*argv[i + 1]) return false;
      r.state = argv[++i];
    } else if (strncmp(a, "--state=", 8) == 0) {
      if (!a[8]) return false;
      r.state = a + 8;
    } else if (a[0] == '-') {
      return false;
    } else {
      break;
    }
  }
  if (i >= argc) return false;
  const char* word = argv[i];
  r.command = argv + i;
  if (forced) return true;
  if (!live_command)
    return !(is(word, "show") || is(word, "reset") || is(word, "load") || is(word, "sync") ||
             is(word, "check"));
  // brantel-live: the tool by name or by path, or one of its words; the
  // launcher has the other words and answers a word that is none.
  if (is(word, "brantel_config") || strchr(word, '/')) return true;
  if (!tool_word(word)) return false;
  // "brantel_config WORD ARG...": the words from here on, one in front.
  char** command = static_cast<char**>(malloc(sizeof(char*) * static_cast<size_t>(argc - i + 2)));
  if (!command) return false;
  static char tool[] = "brantel_config";
  command[0] = tool;
  for (int k = i; k <= argc; ++k) command[k - i + 1] = argv[k];
  r.command = command;
  return true;
}

}  // namespace

int main(int argc, char** argv, char** envp) {
  const char* name = argc > 0 ? base_name(argv[0]) : "brantel-sim";
  bool live_command = is(name, "brantel-live");
  const char* prog = live_command ? "brantel-live" : "brantel-sim";
  Layout where;
  if (!layout(where)) {
    say(prog, "cannot find my own folder (/proc/self/exe)");
    return 127;
  }
  Request r;
  if (argc < 1 || !parse(argc, argv, live_command, r)) hand_over(prog, where, argv, envp);

  // Cases the launcher checks or reports on, and that are rare enough.
  const char* given_state = env(envp, "BRANTEL_SIM_STATE");
  const char* trace = env(envp, "BRANTEL_SIM_TRACE");
  if (set(env(envp, "BRANTEL_SIM_FAULTS")) || set(env(envp, "BRANTEL_SIM_LIBRARY")) ||
      (set(trace) && trace[0] != '/') || (!r.state && set(given_state) && given_state[0] != '/'))
    hand_over(prog, where, argv, envp);
  // Root's simulated change notes a configuration of live mode's.
  bool note = !r.live && geteuid() == 0 && is(base_name(r.command[0]), "brantel_config") &&
              !reads_only(r.command);

  Text lib = text(where.libdir.s, "/", kLibrary);
  if (!readable(lib) || strpbrk(lib.s, " :")) hand_over(prog, where, argv, envp);
  const char* preload = env(envp, "LD_PRELOAD");
  const char* asan = env(envp, "ASAN_OPTIONS");
  Text state{};
  if (r.state) {
    if (r.state[0] == '/') {
      state = text("BRANTEL_SIM_STATE=", r.state);
    } else {
      Text cwd;
      if (!getcwd(cwd.s, sizeof cwd.s)) hand_over(prog, where, argv, envp);
      state = text("BRANTEL_SIM_STATE=", cwd.s, "/", r.state);
    }
  }
  Text ld = set(preload) ? text("LD_PRELOAD=", lib.s, ":", preload) : text("LD_PRELOAD=", lib.s);
  // A sanitizer build of the command would refuse our library ahead of its runtime.
  Text asan_options = set(asan) ? text("ASAN_OPTIONS=", asan, ":verify_asan_link_order=0")
                                : text("ASAN_OPTIONS=verify_asan_link_order=0");
  // Live mode's last checks and root's note need the C++ runtime: the
  // preload library does them in the command, before it runs, on this word.
  Text launched = text("BRANTEL_SIM_LAUNCHED=", prog);
  if (!state.ok || !ld.ok || !asan_options.ok) hand_over(prog, where, argv, envp);

  char* child_env[kMaxEnv + 8];
  int n = 0;
  static const char* const kReplaced[] = {
      "LD_PRELOAD=", "ASAN_OPTIONS=", "BRANTEL_SIM_LIVE=", "BRANTEL_SIM_LAUNCHED="};
  for (char** e = envp; *e; ++e) {
    bool replaced = r.state && strncmp(*e, "BRANTEL_SIM_STATE=", 18) == 0;
    for (const char* prefix : kReplaced)
      replaced = replaced || strncmp(*e, prefix, strlen(prefix)) == 0;
    if (replaced) continue;
    if (n == kMaxEnv) hand_over(prog, where, argv, envp);
    child_env[n++] = *e;
  }
  child_env[n++] = ld.s;
  child_env[n++] = asan_options.s;
  if (r.state) child_env[n++] = state.s;
  if (r.live) {
    // Live mode's messages name the command that was run.
    static char live_on[] = "BRANTEL_SIM_LIVE=1";
    static char live_named[] = "BRANTEL_SIM_LIVE=brantel-live";
    child_env[n++] = live_command ? live_named : live_on;
  }
  if (r.live || note) child_env[n++] = launched.s;
  child_env[n] = nullptr;

  // Prefer the tool installed (or built) beside me; any other command,
  // and a start that fails, the launcher looks for and reports on.
  const char* command = r.command[0];
  if (!strchr(command, '/')) {
    Text beside = text(where.sbindir.s, "/", command);
    if (is_executable_file(beside)) execve(beside.s, r.command, child_env);
  } else {
    execve(command, r.command, child_env);
  }
  hand_over(prog, where, argv, envp);
}
