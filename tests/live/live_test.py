#!/usr/bin/env python3
"""Live mode on real frames.  Each scenario builds two private network
namespaces joined by a veth pair: the port end in one, where the tool runs,
and the peer end in the other, which injects and receives frames.  Root
only: elsewhere every scenario says SKIP (exit 77).

usage: live_test.py --sim BRANTEL_SIM SCENARIO...   (delivery refusal repair unload)
"""
import argparse
import ctypes
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import clean_env  # noqa: E402

ETH_TEST = 0x88B5  # IEEE local experimental: no stack answers it
A, B, D = "02:aa:00:00:00:01", "02:bb:00:00:00:02", "02:dd:00:00:00:04"
U, X = "02:55:00:00:00:03", "02:77:00:00:00:05"
BCAST, MCAST = "ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01"
PORT = "eth1"

# flags, sender, source, destination, where it must arrive (each exactly
# once, and nowhere else).  A is bound to #1 and B to #2; #0 takes the rest.
FRAMES = [
    (0, "wire", A, X, {"#1"}),
    (0, "wire", B, X, {"#2"}),
    (0, "wire", U, X, {"#0"}),
    (0, "wire", A, BCAST, {"#1"}),
    (0, "wire", U, BCAST, {"#0"}),
    (0, "wire", U, MCAST, {"#0"}),
    (0, "#1", A, X, {"wire"}),
    (0, "#2", B, BCAST, {"wire"}),
    (1, "wire", U, A, {"#1"}),
    (1, "wire", U, B, {"#2"}),
    (1, "wire", A, U, {"#0"}),
    (1, "wire", A, BCAST, {"#0"}),
    (1, "wire", B, MCAST, {"#0"}),
    (1, "#1", A, X, {"wire"}),
]
SETUP = [["enable", PORT], ["add", PORT, "1"], ["add", PORT, "2"],
         ["bind", PORT + "#1", A], ["bind", PORT + "#2", B]]

libc = ctypes.CDLL(None, use_errno=True)
failures = []


def fail(what):
    failures.append(what)
    print("FAIL", what)


def sh(*args, check=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=60, env=clean_env(), **kw)
    if check and r.returncode:
        raise RuntimeError(f"{' '.join(args)}: {r.stderr.strip()}")
    return r


def traced(inject):
    """A prefix that runs a command under strace with one injection.
    LeakSanitizer cannot work in a process that strace traces."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    return ("env", f"ASAN_OPTIONS={asan}{':' if asan else ''}detect_leaks=0",
            "strace", "-f", "-qq", "-o", "/dev/null", "-e", inject)


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", ""))


class Net:
    """The two namespaces, the port, and the state file of the tool."""

    def __init__(self, sim):
        tag = f"brl{os.getpid()}"
        self.sim, self.host, self.wire = sim, tag + "h", tag + "w"
        self.state = tempfile.mktemp(prefix="brantel-live-")
        sh("ip", "netns", "add", self.host)
        sh("ip", "netns", "add", self.wire)
        sh("ip", "-n", self.host, "link", "add", PORT, "type", "veth", "peer", "name", "wire0",
           "netns", self.wire)
        self.ip("link", "set", PORT, "up")
        self.ip("link", "set", "wire0", "up", ns=self.wire)

    def close(self):
        for ns in (self.host, self.wire):
            sh("ip", "netns", "del", ns, check=False)
        for suffix in ("", ".lock", ".tmp"):
            if os.path.exists(self.state + suffix):
                os.unlink(self.state + suffix)

    def ip(self, *args, ns=None):
        return sh("ip", "-n", ns or self.host, *args).stdout

    def sim_run(self, *args, prefix=(), **kw):
        return sh("ip", "netns", "exec", self.host, *prefix, self.sim, "--live", "--state",
                  self.state, *args, check=False, **kw)

    def tool(self, *args, prefix=()):
        return self.sim_run("brantel_config", *args, prefix=prefix)

    def setup(self, steps):
        for step in steps:
            r = self.tool(*step)
            if r.returncode:
                raise RuntimeError(f"{step}: {r.stdout}{r.stderr}")

    def reset(self):
        r = self.sim_run("reset")
        if r.returncode:
            raise RuntimeError(f"reset: {r.stderr}")

    def state_text(self):
        return open(self.state).read() if os.path.exists(self.state) else ""

    def snapshot(self):
        """The namespace's devices, qdiscs and filters, without the numbers
        that differ between two equal set-ups (ifindex, address, ids)."""
        out = []
        for d in json.loads(self.ip("-j", "-d", "link", "show")):
            name = d["ifname"]
            kind = d.get("linkinfo", {}).get("info_kind")
            out.append((name, kind, d.get("link"), d.get("group"), "PROMISC" in d["flags"]))
            for q in json.loads(sh("tc", "-n", self.host, "-j", "qdisc", "show", "dev", name).stdout):
                out.append((name, "qdisc", q["kind"], q.get("parent")))
            for point in ("ingress", "egress"):
                for f in self.tc_filters(name, point):
                    opts = f.get("options", {})
                    out.append((name, point, f.get("kind"), f.get("pref"), opts.get("handle"),
                                opts.get("prog", {}).get("name")))
        return sorted(out, key=repr)

    def tc_filters(self, dev, point):
        return json.loads(sh("tc", "-n", self.host, "-j", "filter", "show", "dev", dev, point,
                             check=False).stdout or "[]")

    def prog_stats(self, prog):
        """A program's (run time in ns, runs) since the statistics were on."""
        p = json.loads(sh("bpftool", "-j", "prog", "show", "id", str(prog)).stdout)
        return p.get("run_time_ns", 0), p.get("run_cnt", 0)

    def socket(self, ns, ifname):
        """A packet socket on `ifname` in `ns`, for the test's ethertype."""
        own = os.open("/proc/self/ns/net", os.O_RDONLY)
        there = os.open(f"/run/netns/{ns}", os.O_RDONLY)
        try:
            if libc.setns(there, 0x40000000):
                raise OSError(ctypes.get_errno(), "setns")
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_TEST))
            s.bind((ifname, ETH_TEST))
            return s
        finally:
            libc.setns(own, 0x40000000)
            os.close(own)
            os.close(there)

    def endpoints(self):
        names = {f"#{i}": (self.host, f"{PORT}#{i}") for i in range(3)}
        names["wire"] = (self.wire, "wire0")
        for ns, ifname in names.values():
            if ifname != "wire0":
                self.ip("link", "set", ifname, "up")
        return {k: self.socket(*v) for k, v in names.items()}

    def deliver(self, rows, socks):
        """Sends each row's frame and checks who got it."""
        for n, (_, sender, src, dst, want) in enumerate(rows):
            tag = b"brantel-live %d" % n
            socks[sender].send(mac_bytes(dst) + mac_bytes(src) + struct.pack("!H", ETH_TEST) + tag)
            got, deadline = [], time.time() + 1.0
            while time.time() < deadline and len(got) <= len(want):
                ready, _, _ = select.select(list(socks.values()), [], [], 0.2)
                if not ready and len(got) == len(want):
                    break
                for name, s in socks.items():
                    if s in ready and s.recv(2048).endswith(tag) and name != sender:
                        got.append(name)
            if sorted(got) != sorted(want):
                fail(f"frame {src} -> {dst} from {sender}: reached {sorted(got)}, not {sorted(want)}")


def ping(net, address):
    """One ICMP echo from the peer namespace; True on a reply."""
    code = ("import socket,sys\n"
            "s=socket.socket(socket.AF_INET,socket.SOCK_RAW,socket.IPPROTO_ICMP);s.settimeout(2)\n"
            "p=bytearray(b'\\x08\\0\\0\\0\\x12\\x34\\0\\x01live');c=sum(int.from_bytes(p[i:i+2],'big')"
            " for i in range(0,len(p),2));c=(c>>16)+(c&0xffff);p[2:4]=(~c&0xffff).to_bytes(2,'big')\n"
            "s.sendto(p,(sys.argv[1],0))\n"
            "while True:\n d=s.recv(2048)\n if d[20]==0: break\n")
    return sh("ip", "netns", "exec", net.wire, sys.executable, "-c", code, address,
              check=False).returncode == 0


def delivery(net):
    net.setup(SETUP)
    socks = net.endpoints()
    for flags in (0, 1):
        net.setup([["setflags", PORT, str(flags)]])
        net.deliver([r for r in FRAMES if r[0] == flags], socks)
    # The counters, as comments that leave the output a state file.
    shown = net.sim_run("show").stdout
    bound = sum(1 for r in FRAMES if r[1] == "wire" and r[4] - {"#0"})
    counts = [int(w) for l in shown.splitlines() if l.startswith(f"# {PORT}: ")
              for w in l.split() if w.isdigit()]
    if not counts or counts[0] < bound or net.sim_run("load", "-", input=shown).returncode:
        fail(f"show: {shown!r}")
    # Ping end to end, with PORT#0 down so that only PORT#1 can answer.
    net.ip("link", "set", PORT + "#0", "down")
    net.ip("addr", "add", "10.77.0.1/24", "dev", PORT + "#1")
    net.ip("addr", "add", "10.77.0.2/24", "dev", "wire0", ns=net.wire)
    net.setup([["setflags", PORT, "0"]])
    net.ip("link", "set", "wire0", "address", A, ns=net.wire)
    if not ping(net, "10.77.0.1"):
        fail("no ping reply by source address")
    # By destination: the peer sends to D, which is bound to PORT#1.
    net.setup([["setflags", PORT, "1"], ["bind", PORT + "#1", D]])
    net.ip("neigh", "replace", "10.77.0.1", "lladdr", D, "dev", "wire0", "nud", "permanent",
           ns=net.wire)
    if not ping(net, "10.77.0.1"):
        fail("no ping reply by destination address")


def injected_runs(net, steps, command, inject):
    """Runs `command` on the module `steps` make, with the Nth call named in
    `inject` made to misbehave, for N = 1, 2, ... until a run succeeds.
    Yields (N, the run, the kernel and state before it) for each run that
    did not."""
    n = 0
    while True:
        n += 1
        net.reset()
        net.setup(steps)
        before = (net.snapshot(), net.state_text())
        r = net.tool(*command, prefix=traced(inject.format(n=n)))
        if r.returncode == 0:
            return
        if n > 200:
            fail(f"{command}: never succeeds under {inject}: {r.stderr!r}")
            return
        yield n, r, before


def sweep(net, steps, command, inject, expect_after=None):
    """Each refused run must leave state and kernel as they were; the run
    that succeeds must end as a clean one does."""
    for n, _, before in injected_runs(net, steps, command, inject):
        now = (net.snapshot(), net.state_text())
        if now != before:
            fail(f"{command} refused by {inject.format(n=n)}: left {set(now[0]) ^ set(before[0])}")
        elif net.sim_run("check").returncode:  # bindings and the default interface too
            fail(f"{command} refused by {inject.format(n=n)}: {net.sim_run('check').stdout!r}")
    if expect_after is not None and (net.snapshot(), net.state_text()) != expect_after:
        fail(f"{command} under {inject}: succeeded, but not as a clean run")


def refusal(net):
    # Refusals of the kernel itself; FOREIGN is a device that is not ours.
    for steps, foreign, command, error in [
        ([], None, ["enable", "nosuch0"], "No such device"),
        ([], PORT + "#0", ["enable", PORT], "Name not unique on network"),
        (SETUP[:1], PORT + "#5", ["add", PORT, "5"], "File exists"),
        (SETUP[:1], None, ["enable", PORT + "#0"], "No such device"),
    ]:
        net.reset()
        net.setup(steps)
        if foreign:
            net.ip("link", "add", foreign, "type", "veth", "peer", "name", "spare0")
        before, text = net.snapshot(), net.state_text()
        r = net.tool(*command)
        if r.returncode == 0 or error not in r.stderr:
            fail(f"{command}: {r.stderr.strip()!r}, expected {error}")
        if (net.snapshot(), net.state_text()) != (before, text):
            fail(f"{command}: the refusal changed something")
        if foreign:
            net.ip("link", "del", foreign)
    # Every step of every change refused in turn.
    for steps, command in [
        ([], ["enable", PORT]),
        (SETUP[:1], ["add", PORT, "1"]),
        (SETUP[:2], ["bind", PORT + "#1", A]),
        (SETUP[:2], ["setflags", PORT, "1"]),
        (SETUP, ["unbind", PORT + "#1", A]),
        (SETUP + [["setflags", PORT, "1"]], ["del", PORT + "#1"]),
        (SETUP + [["setflags", PORT, "1"]], ["del", PORT + "#0"]),
        (SETUP + [["setflags", PORT, "1"]], ["disable", PORT]),
    ]:
        net.reset()
        net.setup(steps + [command])
        clean = (net.snapshot(), net.state_text())
        for call in ("sendto", "bpf"):
            sweep(net, steps, command, "inject=" + call + ":error=EPERM:when={n}", clean)
    # No capability, and a kernel without BPF.
    net.reset()
    before, text = net.snapshot(), net.state_text()
    r = net.tool("enable", PORT, prefix=("setpriv", "--inh-caps=-net_admin",
                                         "--bounding-set=-net_admin"))
    if "Operation not permitted" not in r.stderr or (net.snapshot(), net.state_text()) != (before, text):
        fail(f"without CAP_NET_ADMIN: {r.stderr!r}")
    r = net.tool("enable", PORT, prefix=traced("inject=bpf:error=ENOSYS"))
    said = [l for l in r.stderr.splitlines() if l.startswith("brantel-sim:")]
    if r.returncode != 1 or len(said) != 1 or "CONFIG_BPF_SYSCALL" not in said[0]:
        fail(f"without BPF: {r.stderr!r}")
    if net.snapshot() != before or net.state_text() != text:
        fail("without BPF: something was left")


def repair(net):
    # A run killed at any step: sync puts the kernel back to the state file.
    for steps, command in [([], ["enable", PORT]), (SETUP[:1], ["add", PORT, "1"]),
                           (SETUP + [["setflags", PORT, "1"]], ["disable", PORT])]:
        for call in ("sendto", "bpf"):
            inject = f"inject={call}:error=EINTR:signal=KILL:when={{n}}"
            for n, _, before in injected_runs(net, steps, command, inject):
                r = net.sim_run("sync")
                now = (net.snapshot(), net.state_text())
                if r.returncode or now != before or net.sim_run("check").returncode:
                    fail(f"{command} killed at {call} {n}: sync left {set(now[0]) ^ set(before[0])}")
    # A device deleted by hand.
    net.reset()
    net.setup(SETUP)
    net.ip("link", "del", PORT + "#1")
    r = net.sim_run("check")
    if r.returncode != 1 or PORT + "#1: missing" not in r.stdout:
        fail(f"check after a deletion by hand: {r.returncode} {r.stdout!r}")
    if net.sim_run("sync").returncode or net.sim_run("check").returncode:
        fail("sync did not repair a deletion by hand")
    net.deliver([r for r in FRAMES if r[0] == 0 and r[1] == "wire"], net.endpoints())


def unload(net):
    # Once on a bare port, once on a promiscuous one with a qdisc and a
    # filter of someone else's.
    for theirs in (False, True):
        net.reset()
        if theirs:
            net.ip("link", "set", PORT, "promisc", "on")
            sh("tc", "-n", net.host, "qdisc", "add", "dev", PORT, "clsact")
            sh("tc", "-n", net.host, "filter", "add", "dev", PORT, "egress", "pref", "7",
               "bpf", "bytecode", "1,6 0 0 0")
        before = net.snapshot()
        net.setup(SETUP + [["setflags", PORT, "1"]])
        progs = {f["options"]["prog"]["id"] for dev in (PORT, PORT + "#1")
                 for f in net.tc_filters(dev, "ingress") if "prog" in f.get("options", {})}
        maps = {m for p in progs for m in json.loads(
            sh("bpftool", "-j", "prog", "show", "id", str(p)).stdout).get("map_ids", [])}
        r = net.tool("unload", prefix=("env", "PATH=/usr/sbin:/sbin:/usr/bin:/bin"))
        if r.returncode or net.snapshot() != before:
            fail(f"unload (theirs={theirs}): {r.stderr!r}, left {set(net.snapshot()) ^ set(before)}")
        deadline = time.time() + 5  # programs and maps are freed after a grace period
        left = progs | maps
        while left and time.time() < deadline:
            time.sleep(0.1)
            left = {("prog", i) for i in progs if sh("bpftool", "prog", "show", "id", str(i),
                                                     check=False).returncode == 0}
            left |= {("map", i) for i in maps if sh("bpftool", "map", "show", "id", str(i),
                                                    check=False).returncode == 0}
        if left or not progs or not maps:
            fail(f"unload left BPF objects {left} (of {progs}, {maps})")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("scenarios", nargs="+")
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("SKIP: live mode needs root")
        return 77
    path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
    missing = [t for t in ("ip", "tc", "strace", "setpriv", "bpftool") if not shutil.which(t, path=path)]
    if missing:
        print(f"SKIP: missing {' '.join(missing)}")
        return 77
    if sh("ip", "netns", "add", f"brlprobe{os.getpid()}", check=False).returncode:
        print("SKIP: cannot create a network namespace")
        return 77
    sh("ip", "netns", "del", f"brlprobe{os.getpid()}")
    for name in args.scenarios:
        net = Net(os.path.abspath(args.sim))
        try:
            globals()[name](net)
        finally:
            net.close()
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
