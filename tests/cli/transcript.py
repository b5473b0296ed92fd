#!/usr/bin/env python3
"""Run transcript cases: the real brantel_config under the module simulator.

A transcript file holds many short cases:

    === enable refused with another error
    state:
      port eth1 0x1
    fault: BRANTEL_ENABLE=EPERM
    $ brantel_config enable eth2
    ! ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): Operation not permitted
    > errno: 1
    > @listing
    ? 1
    trace:
      BRANTEL_ENABLE ifname="eth2" -> EPERM (injected)
    after:
      port eth1 0x1

Each case starts from its `state:` (an empty module without one).  Per command:
`fault:` and `env: NAME=VALUE` lines before `$` apply to that command only;
`>` lines are standard output, `!` lines standard error, in the order the
tool writes them; a line ending in `\\c` has no line end; `> @listing` is the
usage listing; `? N` is the exit status (0 when absent); `trace:` lists the
requests the command sent; `ifconfig:` the ifconfig calls it made, one
`[argument]` per argument.  `after:` is the module's state at the end.

Every case runs twice from its starting state: once with the two streams on
separate pipes, compared one by one, and once with both on one pipe, which
must hold them in the order written (the `2>&1 | less` case).

With --wrap, each command that starts brantel_config runs it under a
wrapper instead, e.g. valgrind; the wrapper's own complaints then show as
differences in the output or the exit status.  A wrapped case runs once,
on separate pipes: the order on one pipe does not change under a wrapper,
and wrappers are slow.  --skip leaves out the cases whose title holds a
text, for what a wrapper cannot reproduce.
"""
import argparse
import difflib
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

HEADER = "brantel-sim state 1"
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


def listing(prog="brantel_config"):
    lines = ["", f"{prog} subcommands:", ""]
    lines += [f"{prog} {name}:\t{short}" for name, short in COMMANDS]
    return lines


class Command:
    def __init__(self, line, argv):
        self.line = line
        self.argv = argv
        self.faults = []
        self.env = {}
        self.out = []  # (stream, text) chunks, line ends included
        self.status = 0
        self.trace = None
        self.ifconfig = None


class Case:
    def __init__(self, path, line, title):
        self.where = f"{path}:{line}"
        self.title = title
        self.state = None
        self.commands = []
        self.after = None


def parse(path):
    cases = []
    case = None
    pending = Command(0, [])
    block = None  # the list an indented block appends to
    with open(path, encoding="utf-8") as f:
        for no, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.startswith("  ") and block is not None:
                block.append(line[2:])
                continue
            block = None
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("=== "):
                case = Case(path, no, line[4:])
                cases.append(case)
                pending = Command(0, [])
                continue
            if case is None:
                raise SystemExit(f"{path}:{no}: text before the first case")
            cmd = case.commands[-1] if case.commands else None
            key, _, rest = line.partition(" ")
            if line in ("state:", "after:"):
                block = []
                setattr(case, line[:-1], block)
            elif line in ("trace:", "ifconfig:") and cmd:
                block = []
                setattr(cmd, line[:-1], block)
            elif key == "fault:":
                pending.faults.append(rest)
            elif key == "env:":
                name, _, value = rest.partition("=")
                pending.env[name] = value
            elif key == "$":
                pending.line, pending.argv = no, shlex.split(rest)
                case.commands.append(pending)
                pending = Command(0, [])
            elif key in (">", "!") or line in (">", "!"):
                if cmd is None:
                    raise SystemExit(f"{path}:{no}: output before a command")
                stream = "out" if key == ">" else "err"
                if rest == "@listing":
                    cmd.out += [(stream, l + "\n") for l in listing()]
                elif rest.endswith("\\c"):
                    cmd.out.append((stream, rest[:-2]))
                else:
                    cmd.out.append((stream, rest + "\n"))
            elif key == "?" and cmd:
                cmd.status = int(rest)
            else:
                raise SystemExit(f"{path}:{no}: cannot read: {line}")
    return cases


class Runner:
    def __init__(self, args):
        self.sim = args.sim
        self.tool_dir = args.tool_dir
        here = os.path.dirname(os.path.abspath(__file__))
        self.path = os.pathsep.join(
            [os.path.join(here, "bin"), args.tool_dir, os.environ.get("PATH", "")])
        self.failures = []
        self.wrap = shlex.split(args.wrap)
        if self.wrap:
            # Found now: a case may run with a PATH of its own.
            self.wrap[0] = shutil.which(self.wrap[0]) or self.wrap[0]

    def show_state(self, state_file):
        r = subprocess.run([self.sim, "--state", state_file, "show"],
                           capture_output=True, text=True)
        if r.returncode != 0:
            return [f"(show failed: {r.stderr.strip()})"]
        return [l for l in r.stdout.splitlines() if l != HEADER]

    def run_case(self, case, merged):
        with tempfile.TemporaryDirectory(prefix="brantel-t.") as tmp:
            state = os.path.join(tmp, "state")
            if case.state is not None:
                with open(state, "w", encoding="utf-8") as f:
                    f.write("\n".join([HEADER] + case.state) + "\n")
            trace = os.path.join(tmp, "trace")
            iflog = os.path.join(tmp, "ifconfig.log")
            for cmd in case.commands:
                for f in (trace, iflog):
                    open(f, "w").close()
                argv = [self.sim, "--state", state, "--trace", trace]
                for rule in cmd.faults:
                    argv += ["--fault", rule]
                env = dict(os.environ, PATH=self.path, LC_ALL="C",
                           BRANTEL_TEST_IFCONFIG_LOG=iflog)
                env.update({k: v.replace("@tool", self.tool_dir)
                            for k, v in cmd.env.items()})
                where = f"{case.where} ({case.title}), line {cmd.line}"
                command = cmd.argv
                if self.wrap and command[:1] == ["brantel_config"]:
                    command = self.wrap + command
                r = subprocess.run(argv + ["--"] + command, env=env, cwd=tmp,
                                   stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT if merged else subprocess.PIPE,
                                   timeout=20)
                if merged:
                    self.compare(where, "stdout and stderr on one pipe",
                                 "".join(t for _, t in cmd.out), r.stdout)
                else:
                    for stream, got in (("out", r.stdout), ("err", r.stderr)):
                        want = "".join(t for s, t in cmd.out if s == stream)
                        self.compare(where, "std" + stream, want, got)
                    if cmd.trace is not None:
                        self.compare_lines(where, "trace", cmd.trace, read_lines(trace))
                    if cmd.ifconfig is not None:
                        self.compare_lines(where, "ifconfig calls", cmd.ifconfig,
                                           read_lines(iflog))
                if r.returncode != cmd.status:
                    self.fail(where, f"exit status {r.returncode}, expected {cmd.status}")
            if case.after is not None and not merged:
                self.compare_lines(case.where + f" ({case.title})", "state after",
                                   case.after, self.show_state(state))

    def compare(self, where, what, want, got):
        got = got.decode("utf-8", "backslashreplace")
        if want != got:
            diff = difflib.unified_diff(want.splitlines(True), got.splitlines(True),
                                        "expected", "actual")
            self.fail(where, f"{what} differs:\n" + "".join(diff))

    def compare_lines(self, where, what, want, got):
        self.compare(where, what, "".join(l + "\n" for l in want),
                     "".join(l + "\n" for l in got).encode())

    def fail(self, where, message):
        self.failures.append(f"FAIL {where}: {message}")


def read_lines(path):
    with open(path, encoding="utf-8", errors="backslashreplace") as f:
        return f.read().splitlines()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sim", required=True, help="the brantel-sim launcher")
    ap.add_argument("--tool-dir", required=True, help="folder of brantel_config")
    ap.add_argument("--wrap", default="",
                    help="command to run brantel_config under, e.g. 'valgrind -q'")
    ap.add_argument("--skip", action="append", default=[], metavar="TEXT",
                    help="leave out the cases whose title holds TEXT")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    runner = Runner(args)
    passed = failed = 0
    for path in args.files:
        for case in parse(path):
            if any(t in case.title for t in args.skip):
                continue
            before = len(runner.failures)
            runner.run_case(case, merged=False)
            if not runner.wrap:
                runner.run_case(case, merged=True)
            if len(runner.failures) == before:
                passed += 1
            else:
                failed += 1
    for f in runner.failures:
        print(f.rstrip("\n"), file=sys.stderr)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
