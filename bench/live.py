#!/usr/bin/env python3
"""Live mode measured whole, side by side with the kernel's own mechanism for
the same job and with a bare port, in private network namespaces (root only;
exit 77 elsewhere).  Prints Markdown tables for doc/performance.md.

Frames: three set-ups, each a veth pair whose port end sits in a namespace
of its own and whose other end sits in a shared sending namespace:
  A  live mode: `brantel-sim --live` with N addresses bound over the port's
     interfaces, loaded with `brantel-sim --live load -`;
  B  mainline: in source mode, macvlan devices in mode source with flag
     nodst, each with its addresses (`macaddr add`); in destination mode
     (Bd), one ordinary macvlan (mode private) per address, which is its MAC;
  C  the bare port, no classifier and no macvlan;
  M  with --baseline: A again, made by the other build, in the same
     interleaved trials (the cost of a change to the classifier).
bench-frames sends 60-byte frames spread over the N addresses from the
other end of each pair, interleaving the trials of A, B and C, and reports
the sending thread's CPU time per frame (its softirq work included) and
the frames per second, counting at a packet socket per receiving device the
frames that reached a wrong device or none.  Any such frame fails the run
(exit 1); no time is checked.

Also: the classifier's own cost with the kernel's test-run facility
(`bpftool prog run`, no run-time statistics), and command latency, timed
by bench-commands: live and simulated `bind`, `ip ... macaddr add`, the
tool's `help` alone and under the simulator, live `bind`/`unbind` with 1
and with 10,000 addresses bound, the same `help` and `bind` through the
launcher alone (without brantel-sim's front: how every command started
before there was one), and (full run) where a simulated `help` spends its
time.

Also (unless --frames-only): the kernel memory of live mode's maps per
empty port and per 10,000 addresses bound (bytes_memlock, and the growth of
VmallocUsed), and the time of sync (nothing to do), check, show --json and
load over many ports, ports x interfaces with one address each: 8 x 8,
64 x 64 and 1 x 4,096, whose 64 x 64 / 1 x 4,096 ratio tells what the
number of ports costs.  With --baseline, another build (today's, say) is
measured beside this one in those rows and in the test runs.

  bench/live.py [--build DIR] [--small | --quick] [--by source|destination]
                [--sizes N,...] [--frames-only | --scale-only] [--baseline DIR]
"""
import argparse
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "live"))
from testlib import clean_env, isolate, state_text  # noqa: E402
from livenet import classifier_maps, map_info  # noqa: E402

PORT = "eth1"
GROUP = 77  # the device group of the mainline set-up's macvlans
SIZES = {  # N, trials, frames per trial, latency rounds
    "full": ((1, 100, 1000, 10000), 15, 50000, 31),
    "quick": ((1, 100, 1000, 10000), 5, 20000, 11),
    "small": ((1, 100), 3, 2000, 3),
}
# Ports x interfaces (one address each) for the cost of the commands that
# look at every port, the rounds, and the addresses of the memory rows.
SCALE = {
    "full": (((8, 8), (64, 64), (1, 4096)), 5, 10000),
    "quick": (((8, 8), (64, 64), (1, 4096)), 3, 10000),
    "small": (((2, 2), (4, 4), (1, 16)), 1, 1000),
}
EMPTY_PORTS = 8


def sh(*args, check=True, timeout=300, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=clean_env(),
                       **kw)
    if check and r.returncode:
        raise RuntimeError(f"{' '.join(args)}: {r.stderr.strip()}")
    return r


def mac(n, tag=0x10):
    return "02:%02x:%02x:%02x:%02x:01" % (tag, n >> 16 & 255, n >> 8 & 255, n & 255)


def spread(items, parts):
    """items dealt out over `parts` lists, round robin."""
    return [items[i::parts] for i in range(parts)]


def ifaces_for(n):
    """Interfaces the N addresses are bound over in A and B (source mode)."""
    return min(n, 16)


class Namespaces:
    """Network namespaces named after this process, all removed by close()."""

    def __init__(self):
        self.tag = f"brb{os.getpid()}"
        self.made = []

    def add(self, suffix):
        name = self.tag + suffix
        sh("ip", "netns", "add", name)
        self.made.append(name)
        # No IPv6: no router solicitations or DAD frames among the measured.
        for conf in ("all", "default"):
            self.sysctl(name, f"net.ipv6.conf.{conf}.disable_ipv6", "1")
        return name

    def sysctl(self, ns, key, value):
        sh("ip", "netns", "exec", ns, "sysctl", "-qw", f"{key}={value}")

    def close(self):
        for name in reversed(self.made):
            sh("ip", "netns", "del", name, check=False)
        self.made = []


def ip(ns, *args, **kw):
    return sh("ip", "-n", ns, *args, **kw).stdout


def ip_batch(ns, lines):
    if lines:
        sh("ip", "-n", ns, "-batch", "-", input="".join(l + "\n" for l in lines), timeout=900)


class Bench:
    def __init__(self, args, nets, tmp):
        self.a = args
        self.nets = nets
        self.tmp = tmp
        self.wire = nets.add("w")
        self.ns = {k: nets.add(k) for k in "abc" + ("m" if args.baseline else "")}
        for k, ns in self.ns.items():
            sh("ip", "-n", ns, "link", "add", PORT, "type", "veth", "peer", "name", "w" + k,
               "netns", self.wire)
            ip(ns, "link", "set", PORT, "up")
            ip(self.wire, "link", "set", "w" + k, "up")
        self.state = os.path.join(tmp, "live.state")

    def live(self, *args, ns=None, check=True, sim=None, **kw):
        r = sh("ip", "netns", "exec", ns or self.ns["a"], sim or self.a.sim, "--live", "--state",
               kw.pop("state", self.state), *args, check=False, **kw)
        if check and r.returncode:
            raise RuntimeError(f"brantel-sim --live {' '.join(args)}: {r.stderr.strip()}")
        return r

    # -- the three set-ups --------------------------------------------------

    def setup_live(self, by_dst, groups, ns=None, state=None, sim=None):
        """Port eth1 with interfaces #1.. holding the address groups; #0 and
        the port itself receive too, so that a frame sent astray is seen."""
        ns = ns or self.ns["a"]
        state = state or self.state
        self.live("reset", ns=ns, state=state, sim=sim)
        records = [f"port {PORT} {'0x1' if by_dst else '0x0'}", f"vlan {PORT}#0"]
        for i, g in enumerate(groups, 1):
            records.append(f"vlan {PORT}#{i}")
            records += [f"mac {m}" for m in g]
        self.live("load", "-", ns=ns, state=state, sim=sim, input=state_text(records))
        for i in range(len(groups) + 1):  # not in a batch: there '#' starts a comment
            ip(ns, "link", "set", f"{PORT}#{i}", "up")
        return [(ns, f"{PORT}#{i}", g) for i, g in enumerate([[]] + groups)] + [(ns, PORT, [])]

    def setup_mainline(self, by_dst, groups):
        ns = self.ns["b"]
        ip(ns, "link", "del", "group", str(GROUP), check=False)
        # A frame that macvlan hands on by destination also reaches the
        # port's own packet sockets (the kernel delivers to those of the
        # device it arrived on too), so by destination the port has none:
        # a frame that reaches no macvlan counts as lost.
        cmds, recv = [], [] if by_dst else [(ns, PORT, [])]
        if by_dst:
            for i, m in enumerate(a for g in groups for a in g):
                cmds.append(f"link add link {PORT} name d{i} address {m} group {GROUP} "
                            "type macvlan mode private")
                recv.append((ns, f"d{i}", [m]))
        else:
            for i, g in enumerate(groups):
                cmds.append(f"link add link {PORT} name s{i} group {GROUP} "
                            "type macvlan mode source nodst")
                cmds += [f"link set s{i} type macvlan macaddr add {m}" for m in g]
                recv.append((ns, f"s{i}", g))
        cmds += [f"link set {name} up" for _, name, _ in recv if name != PORT]
        ip_batch(ns, cmds)
        return recv

    def setup_bare(self, groups):
        return [(self.ns["c"], PORT, [a for g in groups for a in g])]

    # -- frames -------------------------------------------------------------

    def frames(self, by_dst, n, trials, frames):
        addrs = [mac(i) for i in range(n)]
        groups = spread(addrs, ifaces_for(n))
        sets = {"A": self.setup_live(by_dst, groups), "B": self.setup_mainline(by_dst, groups),
                "C": self.setup_bare(groups)}
        if self.a.baseline_sim:
            sets["M"] = self.setup_live(by_dst, groups, self.ns["m"],
                                        os.path.join(self.tmp, "m.state"), self.a.baseline_sim)
        spec = [f"trials {trials} {frames} 64"]
        for name, recv in sets.items():
            spec.append(f"setup {name} {self.wire} w{name.lower()} {'dst' if by_dst else 'src'}")
            spec += [f"recv {ns} {dev} {' '.join(g)}".rstrip() for ns, dev, g in recv]
        r = subprocess.run([self.a.frames], input="\n".join(spec) + "\n", capture_output=True,
                           text=True, timeout=1800)
        if r.returncode:
            raise RuntimeError(f"bench-frames: {r.stderr.strip()}")
        out = {k: [] for k in sets}
        for line in r.stdout.splitlines():
            _, name, _, ns, fps, sent, got, wrong, late = line.split()
            out[name].append({"ns": float(ns), "fps": float(fps), "sent": int(sent),
                              "got": int(got), "wrong": int(wrong), "late": int(late)})
        test_run = self.test_run(by_dst, addrs[0])
        if self.a.baseline_sim:
            # The same port made by the other build, its programs run beside these.
            ns, state = self.baseline_port(), os.path.join(self.tmp, "baseline.state")
            self.setup_live(by_dst, groups, ns=ns, state=state, sim=self.a.baseline_sim)
            base = self.test_run(by_dst, addrs[0], ns=ns)
            test_run.update({k + " (baseline)": v for k, v in base.items()})
            self.live("reset", ns=ns, state=state, sim=self.a.baseline_sim)
        return out, test_run

    def baseline_port(self):
        if "base" not in self.ns:
            self.ns["base"] = self.nets.add("base")
            sh("ip", "-n", self.ns["base"], "link", "add", PORT, "type", "veth", "peer", "name",
               "peer0")
            ip(self.ns["base"], "link", "set", PORT, "up")
        return self.ns["base"]

    def test_run(self, by_dst, bound, ns=None):
        """ns per run of the port's program and of an interface's, by the
        kernel's test-run facility, on a frame whose address is bound; and
        of the port's program on one whose address is bound to no
        interface, the only path that pays for the table of unbound
        addresses (the bound path is the classifier of before)."""
        peer, stranger = "02eeeeeeee01", "02eeeeeeee02"
        b = bound.replace(":", "")
        frames = {"bound": (b + peer) if by_dst else (peer + b),
                  "unbound": (stranger + peer) if by_dst else (peer + stranger)}
        paths = {}
        for kind, head in frames.items():
            paths[kind] = os.path.join(self.tmp, f"frame-{kind}")
            with open(paths[kind], "wb") as f:
                f.write(bytes.fromhex(head) + b"\x88\xb5" + bytes(46))
        out = {}
        for name, dev, kind in (("brantel_rx", PORT, "bound"),
                                ("brantel_accept", f"{PORT}#1", "bound"),
                                ("brantel_rx", PORT, "unbound")):
            key = name if kind == "bound" else f"{name} {kind}"
            filters = json.loads(sh("tc", "-n", ns or self.ns["a"], "-j", "filter", "show", "dev",
                                    dev, "ingress").stdout or "[]")
            ids = [f["options"]["prog"]["id"] for f in filters
                   if f.get("options", {}).get("prog", {}).get("name") == name]
            if not ids:
                out[key] = None  # not attached there
                continue
            runs = []
            for _ in range(3):
                r = sh("bpftool", "prog", "run", "id", str(ids[0]), "data_in", paths[kind],
                       "repeat", str(self.a.repeat))
                text = r.stdout + r.stderr
                runs.append(int(text.split("duration (average):")[1].split("ns")[0]))
            out[key] = statistics.median(runs)
        return out

    # -- many ports, and kernel memory -------------------------------------

    def many_ports(self, ports, ifaces, tag, macs=0):
        """A namespace with `ports` veth ports (peers in a namespace of their
        own) and the state text that gives each `ifaces` interfaces with one
        address each, and the first port `macs` addresses more."""
        ns, wire = self.nets.add(tag), self.nets.add(tag + "w")
        ip_batch(ns, [f"link add eth{p} type veth peer name w{p} netns {wire}"
                      for p in range(ports)] + [f"link set eth{p} up" for p in range(ports)])
        return ns, many_ports_state(ports, ifaces, macs)

    def drop(self, *names):
        for name in names:
            sh("ip", "netns", "del", name, check=False)
            self.nets.made.remove(name)

    def scale(self, builds, sizes, rounds):
        """Seconds per command, {(ports, ifaces): {build: {command: [s]}}}:
        load once, then sync (nothing to do), check and show --json in
        turn, each build in turn in every round."""
        out = {}
        for ports, ifaces in sizes:
            sets = {}
            for label, sim in builds:
                tag = f"x{ports}i{ifaces}{label[0]}"
                ns, text = self.many_ports(ports, ifaces, tag)
                state = os.path.join(self.tmp, tag + ".state")
                sets[label] = (ns, sim, state)
                t = time.perf_counter()
                self.live("load", "-", ns=ns, state=state, input=text, sim=sim)
                out.setdefault((ports, ifaces), {}).setdefault(label, {})["load"] = [
                    time.perf_counter() - t]
            for r in range(rounds):
                for label, (ns, sim, state) in (list(sets.items())[r % 2:] +
                                                list(sets.items())[:r % 2]):
                    for command in (["sync"], ["check"], ["show", "--json"]):
                        t = time.perf_counter()
                        self.live(*command, ns=ns, state=state, sim=sim)
                        out[ports, ifaces][label].setdefault(" ".join(command), []).append(
                            time.perf_counter() - t)
            for label, (ns, sim, state) in sets.items():
                self.live("reset", ns=ns, state=state, sim=sim, check=False)
                self.drop(ns, ns + "w")
            print(f"# {ports} x {ifaces}: done", file=sys.stderr)
        return out

    def memory(self, builds, addresses):
        """Kernel memory of live mode's maps (bytes_memlock, the kernel's own
        account) and the change of VmallocUsed: per empty port, then per
        `addresses` bound on one of them, {build: {row: (memlock, vmalloc)}}."""
        def port_bytes(ns, ports):
            return sum(map_info(i)["bytes_memlock"] for p in range(ports)
                       for i in classifier_maps(ns, f"eth{p}").values())

        out = {}
        for label, sim in builds:
            tag = f"m{label[0]}"
            ns, empty = self.many_ports(EMPTY_PORTS, 1, tag)
            state = os.path.join(self.tmp, tag + ".state")
            before = vmalloc_used()
            self.live("load", "-", ns=ns, state=state, input=empty, sim=sim)
            vm, lock = vmalloc_used() - before, port_bytes(ns, EMPTY_PORTS)
            row = {"empty port": (lock / EMPTY_PORTS, vm / EMPTY_PORTS)}
            # The first port with the addresses, the others as they were.
            before = vmalloc_used()
            self.live("load", "-", ns=ns, state=state, sim=sim,
                      input=many_ports_state(EMPTY_PORTS, 1, addresses))
            row[f"{addresses:,} addresses"] = (port_bytes(ns, EMPTY_PORTS) - lock,
                                               vmalloc_used() - before)
            out[label] = row
            self.live("reset", ns=ns, state=state, sim=sim, check=False)
            self.drop(ns, ns + "w")
        return out

    # -- commands -----------------------------------------------------------

    def commands(self, rounds):
        """Latency of single commands, each case in turn in every round."""
        la, nsb = self.ns["a"], self.ns["b"]
        nsl = self.nets.add("l")  # a port with 10,000 addresses bound
        sh("ip", "-n", nsl, "link", "add", PORT, "type", "veth", "peer", "name", "peer0")
        ip(nsl, "link", "set", PORT, "up")
        big = os.path.join(self.tmp, "big.state")
        self.setup_live(False, [[mac(0, 0x30)]])
        many = 10000 if self.a.mode != "small" else 1000
        self.setup_live(False, [[mac(i, 0x31) for i in range(many)]], ns=nsl, state=big)
        ip(nsb, "link", "del", "group", str(GROUP), check=False)
        ip(nsb, "link", "add", "link", PORT, "name", "s1", "group", str(GROUP), "type", "macvlan",
           "mode", "source", "nodst")
        ip(nsb, "link", "set", "s1", "type", "macvlan", "macaddr", "add", mac(0, 0x30))
        simbig = os.path.join(self.tmp, "simbig.state")
        shutil.copyfile(big, simbig)
        simstate = os.path.join(self.tmp, "sim.state")
        sim, tool, ipx, true = self.a.sim, self.a.tool, shutil.which("ip"), shutil.which("true")
        for step in (["enable", PORT], ["add", PORT, "1"], ["bind", f"{PORT}#1", mac(0, 0x30)]):
            sh(sim, "--state", simstate, "brantel_config", *step)
        live = [sim, "--live", "--state", self.state, "brantel_config"]
        livebig = [sim, "--live", "--state", big, "brantel_config"]
        simul = [sim, "--state", simstate, "brantel_config"]
        simulbig = [sim, "--state", simbig, "brantel_config"]
        iface = f"{PORT}#1"

        launcher = self.a.launcher if os.path.exists(self.a.launcher) else None

        def case(r):
            x, y = mac(r, 0x40), mac(r, 0x42)
            return [
                [("live bind", la, live + ["bind", iface, x]),
                 ("live unbind", la, live + ["unbind", iface, x])],
                [(f"live bind, {many:,} bound", nsl, livebig + ["bind", iface, x]),
                 (f"live unbind, {many:,} bound", nsl, livebig + ["unbind", iface, x])],
                [("simulated bind", la, simul + ["bind", iface, x]),
                 ("simulated unbind", la, simul + ["unbind", iface, x])],
                [(f"simulated bind, {many:,} bound", la, simulbig + ["bind", iface, x]),
                 (f"simulated unbind, {many:,} bound", la, simulbig + ["unbind", iface, x])],
                [("ip macaddr add", nsb, [ipx, "link", "set", "s1", "type", "macvlan", "macaddr",
                                          "add", x]),
                 ("ip macaddr del", nsb, [ipx, "link", "set", "s1", "type", "macvlan", "macaddr",
                                          "del", x])],
                [("brantel_config help", la, [tool, "help"])],
                [("simulated help", la, simul + ["help"])],
                [("true", la, [true])],
            ] + ([
                [("live bind, launcher alone", la, [launcher] + live[1:] + ["bind", iface, y]),
                 ("live unbind, launcher alone", la, [launcher] + live[1:] + ["unbind", iface, y])],
                [("simulated help, launcher alone", la, [launcher] + simul[1:] + ["help"])],
            ] if launcher else [])
        lines = []
        for r in range(rounds + 1):
            cases = case(r)
            k = r % len(cases)
            for c in cases[k:] + cases[:k]:
                for label, ns, argv in c:
                    # Round 0 warms the caches and is not reported.
                    lines.append("\t".join([("-" if r == 0 else "") + label.replace(" ", "~"), ns,
                                            *argv]))
        r = subprocess.run([self.a.commands], input="\n".join(lines) + "\n", capture_output=True,
                           text=True, env=clean_env(), timeout=1800)
        if r.returncode:
            raise RuntimeError(f"bench-commands: {r.stderr.strip()}")
        times, failed = {l.replace("~", " "): [] for c in case(0) for l, _, _ in c}, []
        for line in r.stdout.splitlines():
            label, ms, status = line.rsplit(" ", 2)
            label = label.replace("~", " ")
            # help without a topic exits with 255, by design
            if status != ("255" if "help" in label else "0"):
                failed.append(f"{label}: status {status}")
            if label.startswith("-"):
                continue
            times.setdefault(label, []).append(float(ms))
        self.profiled = (simul, tool, nsl, livebig + ["bind", iface, mac(0, 0x41)])
        return times, failed

    def profile(self):
        """Where a simulated `help` spends its time, and a live `bind` on a
        port with many addresses."""
        simul, tool, nsl, bind = self.profiled
        out = {}
        stats = ("total startup time", "time needed for relocation", "number of relocations:",
                 "time needed to load objects", "number of relocations from cache")
        for name, argv in (("simulated help", simul + ["help"]), ("brantel_config help", [tool, "help"])):
            r = subprocess.run(argv, env=clean_env(LD_DEBUG="statistics"), capture_output=True,
                               text=True)
            out.setdefault("ld_debug", []).append(f"{name}:")
            out["ld_debug"] += ["  " + l.split(":", 1)[1].strip() for l in r.stderr.splitlines()
                                if any(k in l for k in stats)]
        trace = os.path.join(self.tmp, "strace")
        # -w: wall time spent in each call, which shows what waits (fsync)
        for key, argv in (("strace_help", simul + ["help"]),
                          ("strace_bind", simul + ["bind", f"{PORT}#1", mac(1, 0x41)])):
            sh("strace", "-f", "-w", "-c", "-S", "time", "-o", trace, *argv, check=False)
            out[key] = open(trace).read().splitlines()[:12]
        sh("strace", "-f", "-o", trace, "-e", "trace=execve,openat", *simul, "help", check=False)
        calls = [l.split(None, 1)[1] for l in open(trace) if "(" in l]
        out["execve"] = [c.split('"')[1] for c in calls if c.startswith("execve")]
        out["opened"] = [c.split('"')[1] for c in calls if c.startswith("openat")
                         and "ENOENT" not in c and ".so" in c]
        perf = shutil.which("perf")
        data = os.path.join(self.tmp, "perf.data")
        if perf and sh(perf, "record", "-q", "-e", "cpu-clock", "-F", "10000", "-o", data, "--",
                       "sh", "-c", 'for i in $(seq 200); do "$@" help >/dev/null || :; done', "sh",
                       *simul, check=False).returncode == 0:
            for key, sort in (("perf_dso", "comm,dso"), ("perf_sym", "dso,sym")):
                rep = sh(perf, "report", "-i", data, "--stdio", "--sort", sort, "-q",
                         check=False).stdout
                out[key] = [l.strip() for l in rep.splitlines() if l.strip()][:14]
            if sh(perf, "record", "-q", "-e", "cpu-clock", "-F", "5000", "-o", data, "--", "ip",
                  "netns", "exec", nsl, *bind, check=False).returncode == 0:
                rep = sh(perf, "report", "-i", data, "--stdio", "--sort", "dso,sym", "-q",
                         check=False).stdout
                out["perf_bind"] = [l.strip() for l in rep.splitlines() if l.strip()][:6]
        return out


def many_ports_state(ports, ifaces, macs=0):
    """Ports eth0... with interfaces #0... and one address on each but #0;
    `macs` addresses more on eth0#1."""
    records = []
    for p in range(ports):
        records += [f"port eth{p} 0x0", f"vlan eth{p}#0"]
        for i in range(1, ifaces):
            records += [f"vlan eth{p}#{i}", f"mac {mac(p << 12 | i, 0x50)}"]
        if p == 0 and macs:
            records += [f"vlan eth{p}#{max(1, ifaces)}"] + [f"mac {mac(i, 0x51)}"
                                                           for i in range(macs)]
    return state_text(records)


def vmalloc_used():
    """VmallocUsed of /proc/meminfo, in bytes."""
    for line in open("/proc/meminfo"):
        if line.startswith("VmallocUsed:"):
            return int(line.split()[1]) * 1024
    return 0


def med(xs):
    return statistics.median(xs)


def iqr(xs):
    if len(xs) < 4:
        return min(xs), max(xs)
    q = statistics.quantiles(xs, n=4)
    return q[0], q[2]


def ratio_cell(num, den):
    """Median of per-round ratios, with their spread (IQR)."""
    rs = [a / b for a, b in zip(num, den)]
    lo, hi = iqr(rs)
    return f"{med(rs):.2f} ({lo:.2f}–{hi:.2f})"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/ci")
    ap.add_argument("--sim")
    ap.add_argument("--launcher", help="the launcher behind the front (default: the build's)")
    ap.add_argument("--tool")
    ap.add_argument("--frames")
    ap.add_argument("--commands")
    g = ap.add_mutually_exclusive_group()
    g.add_argument("--small", dest="mode", action="store_const", const="small")
    g.add_argument("--quick", dest="mode", action="store_const", const="quick")
    ap.add_argument("--repeat", type=int, default=1000000)
    ap.add_argument("--sizes", help="comma-separated N to measure (default: the mode's)")
    ap.add_argument("--by", choices=("source", "destination"), help="one mode only")
    ap.add_argument("--frames-only", action="store_true", help="no command latencies")
    ap.add_argument("--scale-only", action="store_true",
                    help="only kernel memory and the commands over many ports")
    ap.add_argument("--baseline", help="another build measured beside this one in those rows")
    ap.set_defaults(mode="full")
    args = ap.parse_args()
    b = os.path.abspath(args.build)
    args.sim = os.path.abspath(args.sim or os.path.join(b, "bin", "brantel-sim"))
    args.launcher = os.path.abspath(args.launcher or os.path.join(
        b, "lib", "brantel-sim", "brantel-sim-launcher"))
    args.tool = os.path.abspath(args.tool or os.path.join(b, "sbin", "brantel_config"))
    args.frames = os.path.abspath(args.frames or os.path.join(b, "tests", "bench", "bench-frames"))
    args.commands = os.path.abspath(args.commands or
                                    os.path.join(b, "tests", "bench", "bench-commands"))
    builds = [("this build", args.sim)]
    args.baseline_sim = None
    if args.baseline:
        args.baseline_sim = os.path.join(os.path.abspath(args.baseline), "bin", "brantel-sim")
        builds.append(("baseline", args.baseline_sim))
    if os.geteuid() != 0:
        print("SKIP: live mode benchmarks need root")
        return 77
    missing = [p for p in (args.sim, args.tool, args.frames, args.commands) + tuple(
        sim for _, sim in builds) if not os.path.exists(p)]
    missing += [t for t in ("ip", "tc", "bpftool", "strace") if not shutil.which(t)]
    if missing:
        print("SKIP: missing " + ", ".join(missing))
        return 77
    # Namespaces that die with this process, however it ends.
    isolate()
    sizes, trials, frames, rounds = SIZES[args.mode]
    if args.sizes:
        sizes = tuple(int(n) for n in args.sizes.split(","))
    if args.mode == "small":
        args.repeat = min(args.repeat, 10000)
    # A signal ends the run through the finally below, which removes the namespaces.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    nets = Namespaces()
    tmp = tempfile.mkdtemp(prefix="brantel-bench-")
    started = time.time()
    results, progs, scaled, memory = {}, {}, {}, {}
    scale_sizes, scale_rounds, addresses = SCALE[args.mode]
    try:
        bench = Bench(args, nets, tmp)
        if not args.frames_only:
            memory = bench.memory(builds, addresses)
            scaled = bench.scale(builds, scale_sizes, scale_rounds)
        for by_dst in [d for d in (False, True) if args.by in (None, ("source", "destination")[d])
                       and not args.scale_only]:
            for n in sizes:
                results[by_dst, n], progs[by_dst, n] = bench.frames(by_dst, n, trials, frames)
                print(f"# {'destination' if by_dst else 'source'}, N={n:,}: "
                      f"{time.time() - started:.0f} s", file=sys.stderr)
        times, failed = ({}, []) if args.frames_only or args.scale_only else bench.commands(rounds)
        profile = None
        if args.mode == "full" and not args.frames_only and not args.scale_only:
            try:
                profile = bench.profile()
            except Exception as e:  # a profiler that fails costs the figures nothing
                print(f"# profile: {e}", file=sys.stderr)
        bench.live("reset", check=False)
    finally:
        nets.close()
        shutil.rmtree(tmp, ignore_errors=True)
    if not args.scale_only:
        report(args, sizes, trials, frames, rounds, results, progs, times, profile,
               time.time() - started)
    report_scale(builds, memory, scaled, scale_rounds)
    bad = [f"{'destination' if d else 'source'} N={n} {k}: {t['wrong']} wrong, "
           f"{t['sent'] - t['got']} lost" for (d, n), r in results.items() for k, ts in r.items()
           for t in ts if t["wrong"] or t["got"] != t["sent"]]
    for line in bad + failed:
        print("FAIL", line)
    print("\nAll frames reached the right device." if not bad else "\nFrames went astray.")
    return 1 if bad or failed else 0


def report(args, sizes, trials, frames, rounds, results, progs, times, profile, seconds):
    print(f"Machine: {os.cpu_count()} CPUs, Linux {platform.release()}, "
          f"Python {platform.python_version()}; mode {args.mode}, {seconds:.0f} s.\n")
    print(f"### Frames: CPU time per frame (ns), median of {trials} interleaved trials of "
          f"{frames:,} frames (IQR)\n")
    print("| mode, N bound | live (A) | mainline (B) | bare port (C) | live / bare | "
          "mainline / bare | **live / mainline** |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for (by_dst, n), r in results.items():
        ns = {k: [t["ns"] for t in v] for k, v in r.items()}
        cell = lambda k: "%.0f (%.0f–%.0f)" % (med(ns[k]), *iqr(ns[k]))  # noqa: E731
        print(f"| {'destination' if by_dst else 'source'}, {n:,} | {cell('A')} | {cell('B')} | "
              f"{cell('C')} | {ratio_cell(ns['A'], ns['C'])} | {ratio_cell(ns['B'], ns['C'])} | "
              f"**{ratio_cell(ns['A'], ns['B'])}** |")
    print("\n### Frames: delivered per second (thousands, median), and frames astray\n")
    print("| mode, N bound | live (A) | mainline (B) | bare port (C) | sent per set-up | "
          "to a wrong device | lost | late (softirq not in the sender) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for (by_dst, n), r in results.items():
        fps = {k: med([t["fps"] for t in v]) / 1000 for k, v in r.items()}
        sent = sum(t["sent"] for t in r["A"])
        wrong = sum(t["wrong"] for v in r.values() for t in v)
        lost = sum(t["sent"] - t["got"] for v in r.values() for t in v)
        late = sum(t["late"] for v in r.values() for t in v)
        print(f"| {'destination' if by_dst else 'source'}, {n:,} | {fps['A']:.0f} | {fps['B']:.0f} | "
              f"{fps['C']:.0f} | {sent:,} | {wrong} | {lost} | {late} |")
    if args.baseline:
        print(f"\n### Frames: this build (A) beside the baseline (M), CPU time per frame (ns), "
              "median of the same trials\n")
        print("| mode, N bound | live (A) | baseline (M) | **A / M** |")
        print("|---|---:|---:|---:|")
        for (by_dst, n), r in results.items():
            ns = {k: [t["ns"] for t in v] for k, v in r.items()}
            print(f"| {'destination' if by_dst else 'source'}, {n:,} | {med(ns['A']):.0f} | "
                  f"{med(ns['M']):.0f} | **{ratio_cell(ns['A'], ns['M'])}** |")
    print(f"\n### Classifier body, `bpftool prog run` (test run, repeat {args.repeat:,}), "
          "ns per run, median of 3\n")
    base = " (baseline)" if args.baseline else None
    print("| mode, N bound | `brantel_rx` (port) | `brantel_accept` (interface) "
          "| `brantel_rx`, unbound address (table) |" +
          (" baseline `brantel_rx` | baseline `brantel_accept` "
           "| baseline `brantel_rx`, unbound address |" if base else ""))
    print("|---|---:|---:|---:|" + ("---:|---:|---:|" if base else ""))
    for (by_dst, n), p in progs.items():
        cell = lambda v: "not attached" if v is None else f"{v:.0f}"  # noqa: E731
        print(f"| {'destination' if by_dst else 'source'}, {n:,} | {cell(p['brantel_rx'])} | "
              f"{cell(p['brantel_accept'])} | {cell(p.get('brantel_rx unbound'))} |" +
              (f" {cell(p.get('brantel_rx' + base))} | {cell(p.get('brantel_accept' + base))} |"
               f" {cell(p.get('brantel_rx unbound' + base))} |" if base else ""))
    if not times:
        return
    print(f"\n### Commands: latency (ms), median of {rounds} interleaved rounds (IQR)\n")
    print("| command | median | IQR | ratio to `ip ... macaddr add` | ratio to `brantel_config help` |")
    print("|---|---:|---:|---:|---:|")
    base_ip, base_help = med(times["ip macaddr add"]), med(times["brantel_config help"])
    for label, v in times.items():
        lo, hi = iqr(v)
        print(f"| {label} | {med(v):.2f} | {lo:.2f}–{hi:.2f} | {med(v) / base_ip:.2f} | "
              f"{med(v) / base_help:.2f} |")
    if profile:
        print("\n### Where a simulated `help` spends its time\n")
        print("Programs executed: " + ", ".join(f"`{os.path.basename(p)}`" for p in profile["execve"]) + "; "
              "shared objects opened: " + ", ".join(f"`{os.path.basename(p)}`"
                                                   for p in profile["opened"]) + ".\n")
        print("`LD_DEBUG=statistics`, per program started:\n")
        print("```\n" + "\n".join(profile["ld_debug"]) + "\n```\n")
        print("`strace -f -w -c` of a simulated `help`, then of a simulated `bind`:\n\n```\n" +
              "\n".join(profile["strace_help"]) + "\n\n" + "\n".join(profile["strace_bind"]) +
              "\n```")
        if "perf_dso" in profile:
            print("\n`perf record -e cpu-clock` over 200 runs, by program and object, then by "
                  "symbol:\n")
            print("```\n" + "\n".join(profile["perf_dso"]) + "\n\n" +
                  "\n".join(profile["perf_sym"]) + "\n```")
        if "perf_bind" in profile:
            print("\nA live `bind` with 10,000 addresses bound on the port, `perf record`:\n")
            print("```\n" + "\n".join(profile["perf_bind"]) + "\n```")


def report_scale(builds, memory, scaled, rounds):
    if memory:
        print("\n### Kernel memory of live mode's maps: `bytes_memlock` (the kernel's own "
              "account), and the growth of VmallocUsed (shared machine: indicative)\n")
        print("| build | " + " | ".join(f"{row} (memlock)" for row in memory[builds[0][0]]) +
              " | " + " | ".join(f"{row} (VmallocUsed)" for row in memory[builds[0][0]]) + " |")
        print("|---|" + "---:|" * (2 * len(memory[builds[0][0]])))
        for label, rows in memory.items():
            print(f"| {label} | " + " | ".join(f"{m:,.0f}" for m, _ in rows.values()) + " | " +
                  " | ".join(f"{v:,.0f}" for _, v in rows.values()) + " |")
    if not scaled:
        return
    print(f"\n### Commands over many ports (s): ports x interfaces, one address each; median "
          f"of {rounds} interleaved rounds, load once\n")
    commands = ["sync", "check", "show --json", "load"]
    print("| size | build | " + " | ".join(commands) + " |")
    print("|---|---|" + "---:|" * len(commands))
    for (ports, ifaces), by in scaled.items():
        for label, times in by.items():
            print(f"| {ports} x {ifaces:,} | {label} | " +
                  " | ".join(f"{med(times[c]):.3f}" for c in commands) + " |")
    # The same interfaces spread over many ports, against one port.
    single = [k for k in scaled if k[0] == 1]
    spread_ = [k for k in scaled if k[0] > 1 and k[0] * k[1] == (single[0][1] if single else 0)]
    if single and spread_:
        print(f"\nThe same {single[0][1]:,} interfaces on {spread_[0][0]} ports, over one port "
              "(1.00: the number of ports costs nothing):\n")
        print("| build | " + " | ".join(commands) + " |")
        print("|---|" + "---:|" * len(commands))
        for label in scaled[single[0]]:
            print(f"| {label} | " + " | ".join(
                f"{med(scaled[spread_[0]][label][c]) / med(scaled[single[0]][label][c]):.2f}"
                for c in commands) + " |")


if __name__ == "__main__":
    sys.exit(main())
