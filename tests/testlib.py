"""What every test runner and the benchmark share: brantel_config started
under the simulator's launcher in an environment that owes nothing to the
caller's, state files, the trace, the usage listing and differences."""
import difflib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import termios

# What show prints around the records, and what the states written here hold.
HEADER = "brantel-sim state 2"
TRAILER = "end"

# The rows of the tool's command table, as its usage listing shows them.
COMMANDS = [
    ("help", "help on other commands"),
    ("enable", "enables mac based vlans over an ethernet device"),
    ("disable", "disables mac based vlans over an ethernet device"),
    ("add", "creates new mac based vlan"),
    ("del", "destroys a mac based vlan"),
    ("bind", "binds macaddr to vlan"),
    ("unbind", "unbinds macaddr from vlan"),
    ("unload", "Unconfigure all of the brantel devices"),
    ("setflags", "Set port flags on a port"),
    ("info", "print state of mac based vlans"),
]

# The stand-in ifconfig: records each call, one [argument] per argument, in
# $BRANTEL_TEST_IFCONFIG_LOG, and changes nothing.
STAND_IN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cli", "bin")

# Searched after a runner's own folders: the system's, never the caller's.
SYSTEM_PATH = ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"]


def listing(prog="brantel_config"):
    """The usage listing, one string a line."""
    lines = ["", f"{prog} subcommands:", ""]
    return lines + [f"{prog} {name}:\t{short}" for name, short in COMMANDS]


def clean_env(*path, **extra):
    """An environment for a run: PATH is the given folders, then the
    system's; the C locale; from the caller only TMPDIR and the sanitizers'
    options.  So no BRANTEL_SIM_* setting, LD_PRELOAD, locale, home folder
    or setting of the stand-in ifconfig can leak into a test."""
    env = {k: v for k, v in os.environ.items() if k == "TMPDIR" or k.endswith("SAN_OPTIONS")}
    env["PATH"] = os.pathsep.join([os.path.abspath(p) for p in path] + SYSTEM_PATH)
    env["LC_ALL"] = "C"
    env.update(extra)
    return env


def state_text(records):
    """A state file holding the given record lines: the one writer of the
    header for every test and benchmark (shell tests run this file:
    `python3 testlib.py state RECORD...`)."""
    return "".join(line + "\n" for line in [HEADER, *records, TRAILER])


# Set in the copy of a test that runs in namespaces of its own.
ISOLATED = "BRANTEL_TEST_ISOLATED"
# Run by sh as the first process of a new PID and mount namespace (with a
# /proc of its own, so that process ids read there, by the tests and by
# strace, are that namespace's): private /run (so ip netns keeps its names
# there) and /var/lib (so no state of the host's is touched), the machine id
# kept; then the test itself.
ISOLATE = r"""
set -e
mount -t tmpfs -o mode=0755 brantel-test /run
mkdir -m 0755 /run/netns
mkdir -m 1777 /run/tmp
if [ -d /var/lib/dbus ]; then
  mkdir /run/dbus-host && mount --bind /var/lib/dbus /run/dbus-host
fi
mount -t tmpfs -o mode=0755 brantel-test /var/lib
if [ -d /run/dbus-host ]; then
  mkdir /var/lib/dbus && mount --move /run/dbus-host /var/lib/dbus && rmdir /run/dbus-host
fi
exec "$@"
"""
# What tests that ran before isolation could leave: ip netns names made of
# a prefix and the process id.
LEFTOVER = re.compile(r"br[lb](\d+)[a-z]*")


def isolate():
    """Runs the calling script again, with the same arguments, as the first
    process of a PID namespace that dies with it (unshare --kill-child),
    with its own /proc and private mounts of /run and /var/lib.  Every network namespace it
    names with ip netns, every folder under /run/tmp and every state file
    under /var/lib goes when it ends, however it ends: SIGKILL, a timeout.
    Returns inside the copy, after removing the names earlier test runs
    left on the host; True there, False where no such namespace can be
    made (the caller then runs as it is)."""
    if os.environ.get(ISOLATED):
        tempfile.tempdir = "/run/tmp"
        return True
    clean_leftovers()
    unshare = shutil.which("unshare", path=os.pathsep.join(SYSTEM_PATH))
    # --mount-proc: a /proc of the new PID namespace, so that process ids
    # read there (by the tests, strace and LeakSanitizer) are its own.
    probe = [unshare, "--mount", "--pid", "--fork", "--mount-proc", "--kill-child",
             "--propagation", "private", "true"] if unshare else None
    if not probe or subprocess.run(probe, capture_output=True).returncode:
        return False
    sys.stdout.flush()
    os.environ[ISOLATED] = "1"
    os.execv(unshare, [*probe[:-1], "sh", "-c", ISOLATE, "isolate", sys.executable,
                       os.path.abspath(sys.argv[0]), *sys.argv[1:]])


def clean_leftovers():
    """Removes the network namespace names that a killed run of an earlier
    version of these tests left on the host (their process is gone)."""
    try:
        names = os.listdir("/run/netns")
    except OSError:
        return
    for name in names:
        m = LEFTOVER.fullmatch(name)
        if m and not os.path.exists(f"/proc/{m[1]}"):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def read_lines(path):
    with open(path, encoding="utf-8", errors="backslashreplace") as f:
        return f.read().splitlines()


class Sim:
    """The launcher bound to one state file and, if given, one trace file."""

    def __init__(self, launcher, state, trace=None, env=None):
        self.launcher = os.path.abspath(launcher)
        self.state = state
        self.trace = trace
        self.env = env if env is not None else clean_env()

    @classmethod
    def in_folder(cls, launcher, folder, *path):
        """State, trace and the stand-in's log in folder; the stand-in first
        on PATH, then the given folders."""
        sim = cls(launcher, os.path.join(folder, "state"), os.path.join(folder, "trace"))
        sim.ifconfig_log = os.path.join(folder, "ifconfig.log")
        sim.env = clean_env(STAND_IN, *path, BRANTEL_TEST_IFCONFIG_LOG=sim.ifconfig_log)
        return sim

    def argv(self, command, faults=()):
        argv = [self.launcher, "--state", self.state]
        if self.trace:
            argv += ["--trace", self.trace]
        for rule in faults:
            argv += ["--fault", rule]
        return argv + ["--", *command]

    def run(self, command, faults=(), env=None, timeout=30, **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        return subprocess.run(self.argv(command, faults), env=env or self.env,
                              timeout=timeout, **kw)

    def ok(self, command, **kw):
        """Standard output of a run that must succeed; Failure otherwise."""
        r = self.run(command, text=True, **kw)
        if r.returncode != 0:
            raise Failure(f"{' '.join(command)}: status {r.returncode}: {r.stderr.strip()}")
        return r.stdout

    def write(self, records):
        with open(self.state, "w", encoding="utf-8") as f:
            f.write(state_text(records))

    def show(self):
        """The state's records, less the header; Failure where the file does
        not parse."""
        r = self._launch(["show"])
        lines = r.stdout.splitlines()
        if lines[:1] != [HEADER] or lines[-1:] != [TRAILER]:
            raise Failure(f"show printed no header or end line:\n{r.stdout[:200]}")
        return lines[1:-1]

    def load(self, text):
        self._launch(["load", "-"], input=text)

    def _launch(self, args, **kw):
        r = subprocess.run([self.launcher, "--state", self.state, *args], env=self.env,
                           capture_output=True, text=True, timeout=30, **kw)
        if r.returncode != 0:
            raise Failure(f"brantel-sim {args[0]}: status {r.returncode}: {r.stderr.strip()}")
        return r

    def read_trace(self):
        return read_lines(self.trace)

    def ifconfig_calls(self):
        return read_lines(self.ifconfig_log)

    def clear_logs(self):
        for path in (self.trace, self.ifconfig_log):
            open(path, "w").close()


class Failure(Exception):
    """A run or a state file that is not as it must be."""


class Terminal:
    """A pseudo-terminal that gives back what was written to it byte for
    byte.  It is read once every writer has ended, so what they write must
    fit in its buffer (a few KiB)."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        attrs = termios.tcgetattr(self.slave)
        attrs[1] &= ~termios.OPOST  # no carriage return before each line end
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        self.path = os.ttyname(self.slave)

    def output(self):
        os.close(self.slave)
        chunks = []
        try:
            while chunk := os.read(self.master, 4096):
                chunks.append(chunk)
        except OSError:  # EIO: no writer is left
            pass
        os.close(self.master)
        return b"".join(chunks).decode("utf-8", "backslashreplace")


TRACE_LINE = re.compile(r"(\S+)(.*) -> (.*)")
TRACE_FIELD = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*"|\S+)')


def parse_trace(line):
    """(request, {field: text}, result) of a trace line; quoted names are
    given back as the bytes they stand for, decoded as Latin-1."""
    code, fields, result = TRACE_LINE.fullmatch(line).groups()
    return code, {k: unquote(v) for k, v in TRACE_FIELD.findall(fields)}, result


def unquote(text):
    if not text.startswith('"'):
        return text
    return re.sub(r"\\x([0-9a-f]{2})|\\(.)",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2), text[1:-1])


class Failures(list):
    """The failures a runner found, each with where it was seen."""

    def fail(self, where, message):
        self.append(f"FAIL {where}: {message}")

    def compare(self, where, what, want, got):
        """Fails with a unified difference when got (text or bytes) is not want."""
        if isinstance(got, bytes):
            got = got.decode("utf-8", "backslashreplace")
        if want != got:
            diff = difflib.unified_diff(want.splitlines(True), got.splitlines(True),
                                        "expected", "actual")
            self.fail(where, f"{what} differs:\n" + "".join(diff))

    def compare_lines(self, where, what, want, got):
        self.compare(where, what, "".join(l + "\n" for l in want),
                     "".join(l + "\n" for l in got))

    def report(self, summary):
        """Prints the failures and the summary; the exit status."""
        for f in self:
            print(f.rstrip("\n"), file=sys.stderr)
        print(summary)
        return 1 if self else 0


LIVE_PORT_LINE = re.compile(r"# (\S+): (\d+) frames to a bound interface, (\d+) to (\S+), "
                            r"(\d+) dropped")


def live_counters(show_text, json_text=None):
    """The frame counters of `brantel-sim --live show`, by port:
    {port: {"bound", "unbound", "dropped", "interfaces", "bytes"}},
    "interfaces" being {name: frames} and "bytes" {name: bytes} where the
    output counts each interface (the JSON document of `show --json`,
    preferred when given), else None.  A port
    whose counters cannot be read maps to None."""
    if json_text is not None:
        out = {}
        for p in json.loads(json_text)["ports"]:
            if not p.get("realised", True) or p.get("interfaces") is None:
                out[p["name"]] = None
                continue
            frames = {i["name"]: int(i.get("rx_frames", 0)) for i in p["interfaces"]}
            default = p["name"] + "#0"
            out[p["name"]] = {
                "bound": sum(n for name, n in frames.items() if name != default),
                "unbound": frames.get(default, 0),
                "dropped": int(p.get("dropped", 0)), "interfaces": frames,
                "bytes": {i["name"]: int(i.get("rx_bytes", 0)) for i in p["interfaces"]}}
        return out
    out = {}
    for line in show_text.splitlines():
        if not line.startswith("# ") or ":" not in line:
            continue
        m = LIVE_PORT_LINE.fullmatch(line)
        name = line[2:].split(":", 1)[0]
        if " " in name:  # a heading, not a port
            continue
        out[name] = m and {"bound": int(m[2]), "unbound": int(m[3]), "dropped": int(m[5]),
                           "interfaces": None}
    return out


if __name__ == "__main__":
    if sys.argv[1:2] != ["state"]:
        sys.exit("usage: testlib.py state [RECORD...]: prints a state file holding them")
    sys.stdout.write(state_text(sys.argv[2:]))
