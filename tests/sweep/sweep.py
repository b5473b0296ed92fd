#!/usr/bin/env python3
"""Fault sweep: make the k-th request of `info`, or of `unload`, fail with EIO
for every k, and hold each run to what the fault-free run implies.

The fault-free run must print what FAULT_FREE shows, where it also marks
each request and each ifconfig call at the point the run makes it; that
order is seen on a terminal that receives the output, the trace and the
stand-in ifconfig's log alike.  The run whose k-th request fails must then
print the fault-free output up to that request, the failure's own text,
and go on as the command does after that request fails: stop with 1 and
the listing, end the teardown with 0, or leave the port's interface loop
for its disable.  Its trace, its ifconfig calls, the order of its streams
on one pipe and the module it leaves (the fault-free changes it got to,
made again with del and disable) are held to the same derivation.  A run
that hangs is killed, and fails the sweep; how long a run takes is not
held to anything, so that the sweep passes on a busy machine.
"""
import argparse
import collections
import errno
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failures, Sim, Terminal, listing, parse_trace  # noqa: E402

# Seconds after which a run is taken for hung: far past any run's time,
# however busy the machine.
HANG_LIMIT = 60
EIO = os.strerror(errno.EIO)

# Several ports; interfaces with two addresses, with none; a port without
# interfaces; and names with a shell metacharacter, which must reach
# ifconfig whole.
STATE = [
    "port eth1 0x1", "vlan eth1#0", "mac 00:11:22:33:44:55", "mac 0a:0b:0c:0d:0e:0f",
    "vlan eth1#7",
    "port eth2 0x0",
    "port lan$x 0x10", "vlan lan$x#2", "mac ff:ee:dd:cc:bb:aa",
]

# The fault-free runs: what each prints, with <CODE> where it sends a
# request and <ifconfig ARGUMENTS> where it starts ifconfig, and the module
# it leaves.
FAULT_FREE = {
    "info": ("""<GET_NUM_PORTS><GET_PORT_NAME>-eth1
<GET_PORT_FLAGS>-eth1 flag: 0x1
<GET_NUM_VLANS><GET_VLAN_NAME> |-eth1#0
<GET_NUM_MACS><GET_MAC_NAME> | |-00:11:22:33:44:55
<GET_MAC_NAME> | |-0a:0b:0c:0d:0e:0f
<GET_VLAN_NAME> |-eth1#7
<GET_NUM_MACS><GET_PORT_NAME>-eth2
<GET_PORT_FLAGS>-eth2 flag: 0x0
<GET_NUM_VLANS><GET_PORT_NAME>-lan$x
<GET_PORT_FLAGS>-lan$x flag: 0x10
<GET_NUM_VLANS><GET_VLAN_NAME> |-lan$x#2
<GET_NUM_MACS><GET_MAC_NAME> | |-ff:ee:dd:cc:bb:aa
""", STATE),
    "unload": ("""<GET_NUM_PORTS>Found: 3 ports
<GET_PORT_NAME><GET_NUM_VLANS>Found: 2 vlans for port: 0
<GET_VLAN_NAME>Configuring down interface: eth1#0 with ifconfig...\
<ifconfig [eth1#0] [down]><BRANTEL_DEL>Deleted interface: eth1#0
<GET_NUM_VLANS>Found: 1 vlans for port: 0
<GET_VLAN_NAME>Configuring down interface: eth1#7 with ifconfig...\
<ifconfig [eth1#7] [down]><BRANTEL_DEL>Deleted interface: eth1#7
<GET_NUM_VLANS>Found: 0 vlans for port: 0
<BRANTEL_DISABLE>Disabled port: eth1
<GET_NUM_PORTS>Found: 2 ports
<GET_PORT_NAME><GET_NUM_VLANS>Found: 0 vlans for port: 0
<BRANTEL_DISABLE>Disabled port: eth2
<GET_NUM_PORTS>Found: 1 ports
<GET_PORT_NAME><GET_NUM_VLANS>Found: 1 vlans for port: 0
<GET_VLAN_NAME>Configuring down interface: lan$x#2 with ifconfig...\
<ifconfig [lan$x#2] [down]><BRANTEL_DEL>Deleted interface: lan$x#2
<GET_NUM_VLANS>Found: 0 vlans for port: 0
<BRANTEL_DISABLE>Disabled port: lan$x
<GET_NUM_PORTS>Found: 0 ports
""", []),
}
# Per command and request: the perror context of its refusal, and what the
# command does next.
STOP, END, TO_DISABLE = "stop", "end", "to the port's disable"
RULES = {
    "info": {code: (f"ioctl ({code})", STOP) for code in (
        "GET_NUM_PORTS", "GET_PORT_NAME", "GET_PORT_FLAGS", "GET_NUM_VLANS",
        "GET_VLAN_NAME", "GET_NUM_MACS", "GET_MAC_NAME")},
    "unload": {
        "GET_NUM_PORTS": ("ioctl (SIOCGIFBRANTEL, GET_NUM_PORTS)", END),
        "GET_PORT_NAME": ("ioctl (GET_PORT_NAME)", STOP),
        "GET_NUM_VLANS": ("ioctl (GET_NUM_VLANS)", TO_DISABLE),
        "GET_VLAN_NAME": ("ioctl (GET_VLAN_NAME)", STOP),
        "BRANTEL_DEL": ("ioctl (SIOCGIFBRANTEL, BRANTEL_DEL)", STOP),
        "BRANTEL_DISABLE": ("disable-port", STOP),
    },
}
# Printed on standard output just before a refusal's perror line.
BEFORE_PERROR = {"BRANTEL_DEL": "failed to delete interface: {ifname}\n"}
# The subcommand that makes the same change as a request.
CHANGES = {"BRANTEL_DEL": "del", "BRANTEL_DISABLE": "disable"}


# What one run printed (stdout, stderr, both on one pipe) and did.
Run = collections.namedtuple("Run", "out err merged status trace ifconfig after")


class Sweep:
    def __init__(self, args):
        self.launcher = args.sim
        self.tool_dir = args.tool_dir
        self.failures = Failures()
        self.runs = 0
        self.slowest = 0.0
        self.states = {}

    def sim(self, tmp):
        return Sim.in_folder(self.launcher, tmp, self.tool_dir)

    def run(self, command, fault):
        """The run on separate pipes, then again with both streams on one."""
        with tempfile.TemporaryDirectory(prefix="brantel-sweep.") as tmp:
            sim = self.sim(tmp)
            outputs = []
            for merged in (False, True):
                sim.write(STATE)
                sim.clear_logs()
                start = time.monotonic()
                try:
                    r = sim.run(["brantel_config", command], [fault] if fault else [], cwd=tmp,
                                timeout=HANG_LIMIT,
                                stderr=subprocess.STDOUT if merged else subprocess.PIPE)
                except subprocess.TimeoutExpired:
                    self.failures.fail(f"{command} {fault}", f"hung: killed after {HANG_LIMIT} s")
                    r = subprocess.CompletedProcess([], -9, b"", b"")
                elapsed = time.monotonic() - start
                self.runs += 1
                self.slowest = max(self.slowest, elapsed)
                outputs.append(r)
            separate, merged = outputs
            return Run(separate.stdout.decode(), separate.stderr.decode(), merged.stdout.decode(),
                       separate.returncode, sim.read_trace(), sim.ifconfig_calls(), sim.show())

    def annotated(self, command, clean):
        """The fault-free run on a terminal that receives its output, trace
        and ifconfig log alike (standard output is then line-buffered), with
        <CODE> for each trace line and <ifconfig ...> for each ifconfig call."""
        tty = Terminal()
        with tempfile.TemporaryDirectory(prefix="brantel-sweep.") as tmp:
            sim = self.sim(tmp)
            sim.trace = sim.env["BRANTEL_TEST_IFCONFIG_LOG"] = tty.path
            sim.write(STATE)
            sim.run(["brantel_config", command], stdout=tty.slave, stderr=subprocess.DEVNULL,
                    cwd=tmp, timeout=HANG_LIMIT)
        stream = tty.output()
        trace = [(line + "\n", f"<{parse_trace(line)[0]}>") for line in clean.trace]
        calls = [(line + "\n", f"<ifconfig {line}>") for line in clean.ifconfig]
        pos, text = 0, []
        while pos < len(stream):
            for pending in (trace, calls):
                if pending and stream.startswith(pending[0][0], pos):
                    pos += len(pending[0][0])
                    text.append(pending.pop(0)[1])
                    break
            else:
                text.append(stream[pos])
                pos += 1
        return "".join(text)

    def after(self, changes):
        """The module after the given (subcommand, name) changes, each made
        by the tool on the starting state."""
        key = tuple(changes)
        if key not in self.states:
            with tempfile.TemporaryDirectory(prefix="brantel-sweep.") as tmp:
                sim = self.sim(tmp)
                sim.write(STATE)
                for change in changes:
                    sim.ok(["brantel_config", *change])
                self.states[key] = sim.show()
        return self.states[key]

    def expect(self, command, clean, marks, k):
        """What the run whose k-th request fails must print and do."""
        code, fields, _ = parse_trace(clean.trace[k - 1])
        context, then = RULES[command][code]
        out, calls = marks[k - 1]
        printed = clean.out[:out] + BEFORE_PERROR.get(code, "").format(**fields)
        err = f"{context}: {EIO}\n"
        trace = clean.trace[:k - 1] + [clean.trace[k - 1].rpartition(" -> ")[0]
                                       + " -> EIO (injected)"]
        ifconfig, rest = clean.ifconfig[:calls], ""
        if then == TO_DISABLE:
            d = next(j for j in range(k, len(clean.trace))
                     if clean.trace[j].startswith("BRANTEL_DISABLE "))
            out, calls = marks[d]
            rest = clean.out[out:]
            trace, ifconfig = trace + clean.trace[d:], ifconfig + clean.ifconfig[calls:]
        status = 1 if then == STOP else 0
        if status:
            rest += "".join(line + "\n" for line in listing())
        changes = [(CHANGES[c], f["ifname"]) for c, f, result in map(parse_trace, trace)
                   if c in CHANGES and result == "ok"]
        return Run(printed + rest, err, printed + err + rest, status, trace, ifconfig,
                   self.after(changes))

    def check(self, where, want, got):
        f = self.failures
        f.compare(where, "stdout", want.out, got.out)
        f.compare(where, "stderr", want.err, got.err)
        f.compare(where, "stdout and stderr on one pipe", want.merged, got.merged)
        f.compare_lines(where, "trace", want.trace, got.trace)
        f.compare_lines(where, "ifconfig calls", want.ifconfig, got.ifconfig)
        f.compare_lines(where, "module after", want.after, got.after)
        if got.status != want.status:
            f.fail(where, f"exit status {got.status}, expected {want.status}")

    def sweep(self, command):
        annotated, after = FAULT_FREE[command]
        # For each request: the output and the ifconfig calls before it.
        marks, out, calls = [], "", []
        for text, code, call in re.findall(r"([^<]*)(?:<([A-Z_]+)>|<ifconfig ([^>]*)>)?",
                                           annotated):
            out += text
            if code:
                marks.append((len(out), len(calls)))
            elif call:
                calls.append(call)
        clean = self.run(command, None)
        before = len(self.failures)
        self.check(f"{command}, no fault", Run(out, "", out, 0, clean.trace, calls, after), clean)
        self.failures.compare(f"{command}, no fault", "order of output and requests on a terminal",
                              annotated, self.annotated(command, clean))
        if len(self.failures) > before:
            return
        for k in range(1, len(clean.trace) + 1):
            self.check(f"{command}, request {k} fails", self.expect(command, clean, marks, k),
                       self.run(command, f"*@{k}=EIO"))
        print(f"{command}: {len(clean.trace)} requests, each failed in turn")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sim", required=True, help="the brantel-sim launcher")
    ap.add_argument("--tool-dir", required=True, help="folder of brantel_config")
    args = ap.parse_args()
    s = Sweep(args)
    for command in ("info", "unload"):
        try:
            s.sweep(command)
        except subprocess.TimeoutExpired as e:
            s.failures.fail(command, f"a run did not end: {e}")
    return s.failures.report(f"{s.runs} runs, slowest {s.slowest:.3f} s, "
                             f"{len(s.failures)} failures")


if __name__ == "__main__":
    sys.exit(main())
