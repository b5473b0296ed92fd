#!/usr/bin/env python3
"""Fault sweep: make the k-th request of `info`, or of `unload`, fail with EIO
for every k, and hold each run to what a reference model of the tool says.

The model below is written from the algorithm descriptions, not from the
tool's code: a module holding ports, interfaces and addresses, and the two
commands walking it.  For every k it predicts standard output, standard
error, their order on one pipe, the exit status, the ifconfig calls, the
number of requests sent and the module left behind.  Each run must also end
within a second.
"""
import argparse
import copy
import difflib
import errno
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import HEADER, listing, read_lines  # noqa: E402

PROG = "brantel_config"
TIME_LIMIT = 1.0

# Several ports; interfaces with two addresses, with none; a port without
# interfaces; and names with a blank, which must reach ifconfig whole.
PORTS = [
    ("eth1", 0x1, [("eth1#0", ["00:11:22:33:44:55", "0a:0b:0c:0d:0e:0f"]),
                   ("eth1#7", [])]),
    ("eth2", 0x0, []),
    ("lan x", 0x10, [("lan x#2", ["ff:ee:dd:cc:bb:aa"])]),
]


def state_name(name):
    return "".join(f"\\x{ord(c):02x}" if ord(c) < 0x21 or ord(c) > 0x7e or c == "\\" else c
                   for c in name)


def state_lines(ports):
    lines = []
    for name, flags, vlans in ports:
        lines.append(f"port {state_name(name)} 0x{flags:x}")
        for vname, macs in vlans:
            lines.append(f"vlan {state_name(vname)}")
            lines += [f"mac {m}" for m in macs]
    return lines


class Failed(Exception):
    pass


class Module:
    """The module: indices from 0 without gaps; the k-th request fails with
    EIO and changes nothing."""

    def __init__(self, ports, fail_at):
        self.ports = [[n, f, [[v, list(m)] for v, m in vl]] for n, f, vl in copy.deepcopy(ports)]
        self.fail_at = fail_at
        self.sent = 0

    def request(self):
        self.sent += 1
        if self.sent == self.fail_at:
            raise Failed()

    def num_ports(self):
        self.request()
        return len(self.ports)

    def port_name(self, p):
        self.request()
        return self.ports[p][0]

    def port_flags(self, p):
        self.request()
        return self.ports[p][1]

    def num_vlans(self, p):
        self.request()
        return len(self.ports[p][2])

    def vlan_name(self, p, i):
        self.request()
        return self.ports[p][2][i][0]

    def num_macs(self, p, i):
        self.request()
        return len(self.ports[p][2][i][1])

    def mac(self, p, i, m):
        self.request()
        return self.ports[p][2][i][1][m]

    def delete(self, ifname):
        self.request()
        for port in self.ports:
            port[2] = [v for v in port[2] if v[0] != ifname]

    def disable(self, name):
        self.request()
        self.ports = [p for p in self.ports if p[0] != name]

    def lines(self):
        return state_lines(self.ports)


class Tool:
    """What the tool prints: (stream, text) chunks in the order written."""

    def __init__(self, module):
        self.m = module
        self.chunks = []
        self.ifconfig = []

    def out(self, text):
        self.chunks.append(("out", text))

    def perror(self, context):
        self.chunks.append(("err", f"{context}: {os.strerror(errno.EIO)}\n"))

    def info(self):
        m = self.m
        try:
            nports = m.num_ports()
        except Failed:
            return self.perror("ioctl (GET_NUM_PORTS)") or 1
        for p in range(nports):
            try:
                name = m.port_name(p)
            except Failed:
                return self.perror("ioctl (GET_PORT_NAME)") or 1
            self.out(f"-{name}\n")
            try:
                flags = m.port_flags(p)
            except Failed:
                return self.perror("ioctl (GET_PORT_FLAGS)") or 1
            self.out(f"-{name} flag: 0x{flags:x}\n")
            try:
                nifs = m.num_vlans(p)
            except Failed:
                return self.perror("ioctl (GET_NUM_VLANS)") or 1
            for i in range(nifs):
                try:
                    self.out(f" |-{m.vlan_name(p, i)}\n")
                except Failed:
                    return self.perror("ioctl (GET_VLAN_NAME)") or 1
                try:
                    nmacs = m.num_macs(p, i)
                except Failed:
                    return self.perror("ioctl (GET_NUM_MACS)") or 1
                for j in range(nmacs):
                    try:
                        self.out(f" | |-{m.mac(p, i, j)}\n")
                    except Failed:
                        return self.perror("ioctl (GET_MAC_NAME)") or 1
        return 0

    def get_num_ports(self):
        try:
            n = self.m.num_ports()
        except Failed:
            self.perror("ioctl (SIOCGIFBRANTEL, GET_NUM_PORTS)")
            return -1
        self.out(f"Found: {n} ports\n")
        return n

    def get_num_vlans(self):
        try:
            n = self.m.num_vlans(0)
        except Failed:
            self.perror("ioctl (GET_NUM_VLANS)")
            return -1
        self.out(f"Found: {n} vlans for port: 0\n")
        return n

    def unload(self):
        m = self.m
        # A refused count ends its loop like a count of 0.  A refused delete
        # or disable ends the teardown with 1: the entry would come back at
        # index 0 on every later pass.
        while self.get_num_ports() > 0:
            try:
                port = m.port_name(0)
            except Failed:
                return self.perror("ioctl (GET_PORT_NAME)") or 1
            while self.get_num_vlans() > 0:
                try:
                    ifname = m.vlan_name(0, 0)
                except Failed:
                    return self.perror("ioctl (GET_VLAN_NAME)") or 1
                self.out(f"Configuring down interface: {ifname} with ifconfig...")
                self.ifconfig.append(f"[{ifname}] [down]")
                try:
                    m.delete(ifname)
                except Failed:
                    self.out(f"failed to delete interface: {ifname}\n")
                    return self.perror("ioctl (SIOCGIFBRANTEL, BRANTEL_DEL)") or 1
                self.out(f"Deleted interface: {ifname}\n")
            try:
                m.disable(port)
            except Failed:
                return self.perror("disable-port") or 1
            self.out(f"Disabled port: {port}\n")
        return 0


def expect(command, fail_at):
    module = Module(PORTS, fail_at)
    tool = Tool(module)
    status = getattr(tool, command)()
    if status != 0:
        tool.out("".join(line + "\n" for line in listing(PROG)))
    return tool, status


class Sweep:
    def __init__(self, args):
        self.sim = os.path.abspath(args.sim)
        # The stand-in ifconfig first: it records its calls and changes nothing.
        self.env = dict(os.environ, LC_ALL="C", PATH=os.pathsep.join(
            [os.path.abspath(args.ifconfig_dir), os.path.abspath(args.tool_dir),
             os.environ.get("PATH", "")]))
        self.failures = []
        self.runs = 0
        self.slowest = 0.0

    def fail(self, where, message):
        self.failures.append(f"FAIL {where}: {message}")

    def compare(self, where, what, want, got):
        if want != got:
            diff = difflib.unified_diff(want.splitlines(True), got.splitlines(True),
                                        "expected", "actual")
            self.fail(where, f"{what} differs:\n" + "".join(diff))

    def run(self, tmp, command, fault, merged):
        state = os.path.join(tmp, "state")
        trace = os.path.join(tmp, "trace")
        iflog = os.path.join(tmp, "ifconfig.log")
        with open(state, "w", encoding="utf-8") as f:
            f.write("\n".join([HEADER] + state_lines(PORTS)) + "\n")
        for path in (trace, iflog):
            open(path, "w").close()
        argv = [self.sim, "--state", state, "--trace", trace]
        if fault:
            argv += ["--fault", fault]
        env = dict(self.env, BRANTEL_TEST_IFCONFIG_LOG=iflog)
        start = time.monotonic()
        # Killed well past the limit, so that a hung run fails the sweep
        # instead of stalling it.
        r = subprocess.run(argv + ["--", PROG, command], env=env, cwd=tmp,
                           stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT if merged else subprocess.PIPE,
                           timeout=TIME_LIMIT * 5)
        elapsed = time.monotonic() - start
        self.runs += 1
        self.slowest = max(self.slowest, elapsed)
        show = subprocess.run([self.sim, "--state", state, "show"],
                              capture_output=True, text=True, timeout=10)
        return r, elapsed, read_lines(trace), read_lines(iflog), \
            [l for l in show.stdout.splitlines() if l != HEADER]

    def check(self, command, k):
        where = f"{command}, request {k} fails" if k else f"{command}, no fault"
        tool, status = expect(command, k)
        fault = f"*@{k}=EIO" if k else None
        with tempfile.TemporaryDirectory(prefix="brantel-sweep.") as tmp:
            r, elapsed, trace, ifconfig, after = self.run(tmp, command, fault, merged=False)
            if elapsed > TIME_LIMIT:
                self.fail(where, f"took {elapsed:.2f} s")
            for stream, got in (("out", r.stdout), ("err", r.stderr)):
                want = "".join(t for s, t in tool.chunks if s == stream)
                self.compare(where, "std" + stream, want, got.decode())
            if r.returncode != (status & 0xff):
                self.fail(where, f"exit status {r.returncode}, expected {status & 0xff}")
            if len(trace) != tool.m.sent:
                self.fail(where, f"{len(trace)} requests sent, expected {tool.m.sent}")
            if ifconfig != tool.ifconfig:
                self.fail(where, f"ifconfig calls {ifconfig}, expected {tool.ifconfig}")
            if after != tool.m.lines():
                self.fail(where, f"module left as {after}, expected {tool.m.lines()}")
            separate = r

            r, elapsed, _, _, _ = self.run(tmp, command, fault, merged=True)
            self.compare(where, "stdout and stderr on one pipe",
                         "".join(t for _, t in tool.chunks), r.stdout.decode())
        return trace, separate.stdout.decode(), separate.returncode

    def sweep(self, command):
        trace, clean, status = self.check(command, 0)
        if status != 0 or not trace:
            self.fail(command, f"the fault-free run failed (status {status})")
            return
        for k in range(1, len(trace) + 1):
            _, out, status = self.check(command, k)
            # Besides the model: a run that the failure stopped shows the
            # fault-free report up to that point, then only its error text.
            printed = out.split(f"\n{PROG} subcommands:")[0]
            printed = printed.split("failed to delete interface:")[0]
            if status and not clean.startswith(printed):
                self.fail(f"{command}, request {k} fails",
                          f"stdout is not the fault-free output cut short:\n{printed!r}")
        print(f"{command}: {len(trace)} requests, each failed in turn")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sim", required=True, help="the brantel-sim launcher")
    ap.add_argument("--tool-dir", required=True, help="folder of brantel_config")
    ap.add_argument("--ifconfig-dir", required=True, help="folder of the stand-in ifconfig")
    args = ap.parse_args()
    s = Sweep(args)
    for command in ("info", "unload"):
        try:
            s.sweep(command)
        except subprocess.TimeoutExpired as e:
            s.fail(command, f"a run did not end: {e}")
    for f in s.failures:
        print(f, file=sys.stderr)
    print(f"{s.runs} runs, slowest {s.slowest:.3f} s, {len(s.failures)} failures")
    return 1 if s.failures else 0


if __name__ == "__main__":
    sys.exit(main())
