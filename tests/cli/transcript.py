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
`fault:` and `env: NAME=VALUE` lines before `$` apply to that command only,
and so do `stdout:` or `stderr:` with `closed`, and `stdout:` with `full`
(/dev/full) or `gone` (a pipe whose reader has gone), which leave that
stream out of the comparison;
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
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failure, Failures, Sim, listing  # noqa: E402


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
        self.streams = {}  # stream: how it is given, for stdout: and stderr:


def gone():
    """A pipe whose reader has gone."""
    read, write = os.pipe()
    os.close(read)
    return write


# Standard streams other than a pipe, as the descriptor to give; None for
# closed.
STREAMS = {"closed": lambda: None, "full": lambda: os.open("/dev/full", os.O_WRONLY), "gone": gone}


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
            elif key in ("stdout:", "stderr:") and rest in STREAMS:
                pending.streams[key[:-1]] = rest
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
        self.failures = Failures()
        self.wrap = shlex.split(args.wrap)
        if self.wrap:
            # Found now: a case may run with a PATH of its own.
            self.wrap[0] = shutil.which(self.wrap[0]) or self.wrap[0]

    def run(self, sim, cmd, command, merged, **kw):
        fds = {name: STREAMS[how]() for name, how in cmd.streams.items()}
        closed = [1 if name == "stdout" else 2 for name, fd in fds.items() if fd is None]
        both = subprocess.STDOUT if merged and not fds else subprocess.PIPE
        try:
            return sim.run(command, cmd.faults, timeout=20,
                           stdout=fds.get("stdout") or subprocess.PIPE,
                           stderr=fds.get("stderr") or both,
                           preexec_fn=lambda: [os.close(fd) for fd in closed], **kw)
        finally:
            [os.close(fd) for fd in fds.values() if fd is not None]

    def run_case(self, case, merged):
        fails = self.failures
        with tempfile.TemporaryDirectory(prefix="brantel-t.") as tmp:
            sim = Sim.in_folder(self.sim, tmp, self.tool_dir)
            if case.state is not None:
                sim.write(case.state)
            for cmd in case.commands:
                sim.clear_logs()
                env = dict(sim.env)
                env.update({k: v.replace("@tool", self.tool_dir) for k, v in cmd.env.items()})
                where = f"{case.where} ({case.title}), line {cmd.line}"
                command = cmd.argv
                if self.wrap and command[:1] == ["brantel_config"]:
                    command = self.wrap + command
                r = self.run(sim, cmd, command, env=env, cwd=tmp, merged=merged)
                if merged and not cmd.streams:
                    fails.compare(where, "stdout and stderr on one pipe",
                                  "".join(t for _, t in cmd.out), r.stdout)
                else:
                    for stream, got in (("out", r.stdout), ("err", r.stderr)):
                        want = "".join(t for s, t in cmd.out if s == stream)
                        if "std" + stream not in cmd.streams:
                            fails.compare(where, "std" + stream, want, got)
                    if cmd.trace is not None:
                        fails.compare_lines(where, "trace", cmd.trace, sim.read_trace())
                    if cmd.ifconfig is not None:
                        fails.compare_lines(where, "ifconfig calls", cmd.ifconfig,
                                            sim.ifconfig_calls())
                if r.returncode != cmd.status:
                    fails.fail(where, f"exit status {r.returncode}, expected {cmd.status}")
            if case.after is not None and not merged:
                try:
                    after = sim.show()
                except Failure as e:
                    after = [f"(show failed: {e})"]
                fails.compare_lines(case.where + f" ({case.title})", "state after",
                                    case.after, after)


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
    status = runner.failures.report(f"{passed} passed, {failed} failed")
    return 1 if status or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
