"""What live mode's tests and benchmark share: private network namespaces
with veth ports, the tool run live in them, packet sockets, and readings of
the kernel (devices, filters, the classifier's maps and its counters)."""
import collections
import contextlib
import ctypes
import json
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from testlib import Failures, clean_env, live_counters  # noqa: E402

ETH_TEST = 0x88B5  # IEEE local experimental: no stack answers it
PORT = "eth1"
GROUP_BASE = 0x62720000  # the device groups of live mode's interfaces
PING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ping.py")
# Seconds a frame may take to arrive on a busy machine; then how long no
# copy of any frame may arrive where it must not.
DELIVERY_TIMEOUT, QUIET = 5.0, 0.2

libc = ctypes.CDLL(None, use_errno=True)
failures = Failures()
where = ["live"]  # the scenario running, for the failures' messages


def fail(what):
    failures.fail(where[0], what)


def sh(*args, check=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, timeout=60, env=clean_env(), **kw)
    if check and r.returncode:
        raise RuntimeError(f"{' '.join(args)}: {r.stderr.strip()}")
    return r


def traced(inject, out="/dev/null"):
    """A prefix that runs a command under strace with one injection (or
    other expression), its trace written to `out`.  LeakSanitizer cannot
    work in a process that strace traces."""
    asan = os.environ.get("ASAN_OPTIONS", "")
    return ("env", f"ASAN_OPTIONS={asan}{':' if asan else ''}detect_leaks=0",
            "strace", "-f", "-qq", "-o", out, "-e", inject)


def mac_bytes(text):
    return bytes.fromhex(text.replace(":", ""))


def mac_text(raw):
    return ":".join(f"{b:02x}" for b in raw)


def said(r):
    """The simulator's own lines on standard error."""
    return [l for l in r.stderr.splitlines() if l.startswith("brantel-sim")]


def map_info(map_id):
    return json.loads(sh("bpftool", "-j", "map", "show", "id", str(map_id)).stdout)


def slot(map_id):
    """The id of the map a map of maps holds at key 0, or None."""
    for e in json.loads(sh("bpftool", "-j", "map", "dump", "id", str(map_id)).stdout):
        value = e.get("value", e.get("inner_map_id"))
        return int.from_bytes(bytes(int(b, 16) for b in value), "little") \
            if isinstance(value, list) else value
    return None


def classifier_maps(ns, dev):
    """{name: id} of the maps of live mode's program at `dev`'s ingress in
    namespace `ns`, with the map each map of maps holds."""
    out = {}
    filters = json.loads(sh("tc", "-n", ns, "-j", "filter", "show", "dev", dev, "ingress",
                            check=False).stdout or "[]")
    for f in filters:
        prog = f.get("options", {}).get("prog", {})
        if not prog.get("name", "").startswith("brantel"):
            continue
        info = json.loads(sh("bpftool", "-j", "prog", "show", "id", str(prog["id"])).stdout)
        for m in info.get("map_ids", []):
            shown = map_info(m)
            out[shown["name"]] = m
            if shown["type"] == "array_of_maps":
                inner = slot(m)
                if inner is not None:  # the address map, named or not (no names probed)
                    out[map_info(inner).get("name", "brantel_macs")] = inner
    return out


class Tally(collections.Counter):
    """Frames by interface ("dropped" for those dropped), and in `bytes`
    their bytes, as the classifier must count them: whole frames, the
    Ethernet header included."""

    def __init__(self):
        super().__init__()
        self.bytes = collections.Counter()

    def add(self, name, size):
        self[name] += 1
        self.bytes[name] += size

    def pop(self, name, *default):
        self.bytes.pop(name, None)
        return super().pop(name, *default)


@contextlib.contextmanager
def inside(ns):
    """This thread in network namespace `ns` for the block."""
    own = os.open("/proc/self/ns/net", os.O_RDONLY)
    there = os.open(f"/run/netns/{ns}", os.O_RDONLY)
    try:
        if libc.setns(there, 0x40000000):
            raise OSError(ctypes.get_errno(), "setns")
        yield
    finally:
        libc.setns(own, 0x40000000)
        os.close(own)
        os.close(there)


def descendants(pid):
    """The processes below `pid`, children first."""
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        for task in os.listdir(f"/proc/{p}/task") if os.path.exists(f"/proc/{p}/task") else []:
            try:
                kids = open(f"/proc/{p}/task/{task}/children").read().split()
            except OSError:
                continue
            out += [int(k) for k in kids]
            todo += [int(k) for k in kids]
    return out


class Net:
    """Two namespaces joined by one veth pair per port: the ports in the
    host namespace, where the tool runs, their peers (wire0, wire1, ...)
    in the wire namespace; and a folder of its own for the state file."""

    def __init__(self, sim, ports=(PORT,)):
        tag = f"brl{os.getpid()}"
        self.sim, self.host, self.wire = sim, tag + "h", tag + "w"
        self.ports = list(ports)
        self.folder = tempfile.TemporaryDirectory(prefix="brantel-live-")
        self.state = os.path.join(self.folder.name, "state")
        # Frames each interface must have had from its port's classifier
        # since the classifier was made ("dropped" for those it dropped).
        self.expected = collections.defaultdict(Tally)
        self.frames_sent = 0  # each frame's tag is its number
        self.taps = {}  # port: a socket that sees every frame arriving on it
        try:
            self.boot()
        except BaseException:
            self.close()
            raise

    def boot(self, ports=None):
        """Fresh namespaces holding `ports` (all of them unless given): a
        machine just started, with the state file kept."""
        for ns in (self.host, self.wire):
            sh("ip", "netns", "add", ns)
            # No IPv6: its router solicitations and reports would reach the
            # classifier unasked and spoil the exact counts.
            sh("ip", "netns", "exec", ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
               "net.ipv6.conf.default.disable_ipv6=1", check=False)
        self.ip("link", "set", "lo", "up")
        for port in self.ports if ports is None else ports:
            self.add_port(port)
        self.expected.clear()

    def add_port(self, port):
        peer = self.peer(port)
        sh("ip", "-n", self.host, "link", "add", port, "type", "veth", "peer", "name", peer,
           "netns", self.wire)
        self.ip("link", "set", port, "up")
        self.ip("link", "set", peer, "up", ns=self.wire)

    def peer(self, port):
        return f"wire{self.ports.index(port) if port in self.ports else len(self.ports)}"

    def reboot(self, ports=None):
        for ns in (self.host, self.wire):
            sh("ip", "netns", "del", ns, check=False)
        self.boot(ports)

    def fresh(self, ports):
        """A machine of its own for one row: fresh namespaces with `ports`,
        and no state file."""
        for ns in (self.host, self.wire):
            sh("ip", "netns", "del", ns, check=False)
        for name in os.listdir(self.folder.name):
            path = os.path.join(self.folder.name, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
        self.ports = list(ports)
        self.boot()

    def close(self):
        for ns in (self.host, self.wire):
            sh("ip", "netns", "del", ns, check=False)
        self.folder.cleanup()

    def ip(self, *args, ns=None):
        return sh("ip", "-n", ns or self.host, *args).stdout

    def tc(self, *args, check=True):
        return sh("tc", "-n", self.host, *args, check=check)

    def sim_run(self, *args, prefix=(), state=True, **kw):
        where_state = ("--state", self.state) if state else ()
        return sh("ip", "netns", "exec", self.host, *prefix, self.sim, "--live", *where_state,
                  *args, check=False, **kw)

    def live(self):
        """brantel-live, which the build puts in sbin beside bin."""
        return os.path.join(os.path.dirname(os.path.dirname(self.sim)), "sbin", "brantel-live")

    def live_run(self, *args, prefix=(), **kw):
        """brantel-live with this Net's state file, in the host namespace."""
        return sh(*prefix, "ip", "netns", "exec", self.host, self.live(), "--state", self.state,
                  *args, check=False, **kw)

    def paused(self, args, pause):
        """Starts `args` (a command of a table) stopped at its first call of
        `pause` (a system call); returns it once it is stopped there."""
        what = tuple(args[1:]) if args[:1] == ["sim"] else ("brantel_config", *args)
        command = ("ip", "netns", "exec", self.host,
                   *traced(f"inject={pause}:signal=SIGSTOP:when=1"), self.sim, "--live",
                   "--state", self.state, *what)
        p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=clean_env())
        def stopped():
            out = set()
            for c in descendants(p.pid):
                try:
                    if open(f"/proc/{c}/stat").read().rsplit(")", 1)[1].split()[0] in "Tt":
                        out.add(c)
                except OSError:
                    pass
            return out

        # A traced process stops at each of its system calls too, for a
        # moment: the stop asked for is the one that lasts.
        deadline, seen = time.time() + 30, set()
        while time.time() < deadline and p.poll() is None:
            now = stopped()
            if now & seen:
                # Kept for resume(): strace may be gone by then, and its
                # stopped child with another parent.
                p.stopped = sorted(now & seen)
                return p
            seen = now
            time.sleep(0.2 if now else 0.02)
        p.kill()
        raise RuntimeError(f"{args} never stopped at {pause}: {p.communicate()}")

    def resume(self, p):
        """Lets a command that paused() stopped go on.  The stop may still
        be on its way (strace passes the signal on after reporting it), and
        a SIGCONT before it lands is lost: send it until the command runs."""
        deadline = time.time() + 30
        while time.time() < deadline:
            stopped = []
            for pid in p.stopped:
                try:
                    if open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] in "Tt":
                        stopped.append(pid)
                except OSError:
                    pass  # it has finished
            if not stopped:
                return
            for pid in stopped:
                os.kill(pid, signal.SIGCONT)
            time.sleep(0.05)
        raise RuntimeError(f"{p.args} stays stopped")

    def tool(self, *args, prefix=()):
        return self.sim_run("brantel_config", *args, prefix=prefix)

    def run(self, command, prefix=(), **kw):
        """A command of a table: ["sim", ...] for the simulator's own
        subcommands, anything else for the tool."""
        if command[:1] == ["sim"]:
            return self.sim_run(*command[1:], prefix=prefix, **kw)
        return self.tool(*command, prefix=prefix)

    def setup(self, steps):
        """Runs each step: a command of a table, or a function of the Net
        for a change by hand."""
        for step in steps:
            if callable(step):
                step(self)
                continue
            r = self.run(step)
            if r.returncode:
                raise RuntimeError(f"{step}: {r.stdout}{r.stderr}")

    def reset(self):
        r = self.sim_run("reset")
        if r.returncode:
            raise RuntimeError(f"reset: {r.stderr}")
        self.expected.clear()

    def count(self, port, to, size):
        """One frame of `size` bytes from the wire that must reach `to` (the
        interfaces "#N"; none: dropped)."""
        for name in to or {"dropped"}:
            self.expected[port].add(port + name if name.startswith("#") else name, size)

    def where_to(self, port, src, dst, model=None, links=None):
        """Where the port's classifier must hand a frame from the wire, by
        the state file: {"#N", ...}, empty where it drops it.  By
        destination, a broadcast or multicast bound to nothing reaches
        every interface, or the interface whose own address sent it."""
        flags, vlans = (model or self.model())[port]
        links = links or self.links()
        bound = {m: v for v, macs in vlans.items() for m in macs}
        own = {links[v]["address"]: v for v in vlans if v in links}
        default = port + "#0" if port + "#0" in vlans else None
        if flags & 1 and int(dst[:2], 16) & 1 and dst not in bound:
            to = {own[src]} if src in own else set(vlans)
        elif flags & 1:
            to = {bound.get(dst) or own.get(dst) or default}
        else:
            to = {bound.get(src) or default}
        return {v[len(port):] for v in to if v in links}

    def tap(self, port=PORT):
        """From now on, every frame arriving on `port` is counted where the
        state file says it must go (see account): for traffic the kernel
        makes itself, such as ARP and neighbour discovery."""
        with inside(self.host):
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
            s.bind((port, 0x0003))
        self.taps[port] = s

    def untap(self):
        for s in self.taps.values():
            s.close()
        self.taps.clear()

    def account(self):
        """Counts what the taps saw arrive; the number of frames."""
        n = 0
        for port, s in self.taps.items():
            model, links = self.model(), self.links()
            while True:
                try:
                    frame, addr = s.recvfrom(65536, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                if addr[2] == socket.PACKET_OUTGOING:
                    continue
                n += 1
                self.count(port, self.where_to(port, mac_text(frame[6:12]), mac_text(frame[:6]),
                                               model, links), len(frame))
        return n

    def state_text(self):
        return open(self.state).read() if os.path.exists(self.state) else ""

    def model(self):
        """The state file as {port: (flags, {interface: [address, ...]})}."""
        ports, port, vlan = {}, None, None
        for line in self.state_text().splitlines():
            word = line.split()
            if word[:1] == ["port"]:
                port = word[1]
                ports[port] = (int(word[2], 0), {})
            elif word[:1] == ["vlan"]:
                vlan = word[1]
                ports[port][1][vlan] = []
            elif word[:1] == ["mac"]:
                ports[port][1][vlan].append(word[1])
        return ports

    def links(self):
        return {d["ifname"]: d for d in json.loads(self.ip("-j", "-d", "link", "show"))}

    def records(self):
        """(device, "record", bits) of each record live mode keeps under
        /run for the devices of the host namespace: what it turned on there."""
        with inside(self.host):
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
                cookie = struct.unpack("Q", s.getsockopt(socket.SOL_SOCKET, 71, 8))[0]
        folder = f"/run/brantel-live/netns-{cookie}"
        alive = {str(d["ifindex"]) for d in self.links().values()}
        out = []
        for name in os.listdir(folder) if os.path.isdir(folder) else []:
            if name in alive:  # one of a device that is gone is no one's
                word = open(os.path.join(folder, name)).read().split()
                out.append((word[0], "record", " ".join(word[2:])))
        return out

    def snapshot(self):
        """The namespace's devices (a port's up flag too), qdiscs and
        filters, and live mode's records under /run, without the numbers
        that differ between two equal set-ups (ifindex, address, ids).
        Filters are read only where a qdisc can hold them."""
        out = self.records()
        qdiscs = collections.defaultdict(list)
        for q in json.loads(self.tc("-j", "qdisc", "show").stdout or "[]"):
            qdiscs[q.get("dev")].append(q)
        for name, d in self.links().items():
            info = d.get("linkinfo", {})
            out.append((name, info.get("info_kind"), d.get("link"), d.get("group"),
                        "PROMISC" in d["flags"], info.get("info_data", {}).get("mode"),
                        "UP" in d["flags"] if "#" not in name else None))
            for q in qdiscs.get(name, []):
                out.append((name, "qdisc", q["kind"], q.get("parent")))
            if not any(q["kind"] in ("clsact", "ingress") for q in qdiscs.get(name, [])):
                continue
            for point in ("ingress", "egress"):
                for f in self.tc_filters(name, point):
                    opts = f.get("options", {})
                    out.append((name, point, f.get("kind"), f.get("pref"), opts.get("handle"),
                                opts.get("prog", {}).get("name")))
        return sorted(out, key=repr)

    def tc_filters(self, dev, point):
        return json.loads(self.tc("-j", "filter", "show", "dev", dev, point,
                                  check=False).stdout or "[]")

    def prog_stats(self, prog):
        """A program's (run time in ns, runs) since the statistics were on."""
        p = json.loads(sh("bpftool", "-j", "prog", "show", "id", str(prog)).stdout)
        return p.get("run_time_ns", 0), p.get("run_cnt", 0)

    def ours(self):
        """The names of live mode's interfaces on the kernel."""
        def group(d):  # ip prints a group as its number, or "default"
            g = str(d.get("group", "0"))
            return int(g) if g.isdigit() else 0
        return {n for n, d in self.links().items()
                if d.get("linkinfo", {}).get("info_kind") == "macvlan"
                and group(d) & 0xffff0000 == GROUP_BASE and "link_netnsid" not in d}

    def maps(self, dev):
        """{name: id} of the maps of live mode's program at `dev`'s ingress."""
        return classifier_maps(self.host, dev)

    def map_info(self, map_id):
        return map_info(map_id)

    def map_dump(self, dev, name):
        m = self.maps(dev).get(name)
        if m is None:
            return None
        return [(bytes(int(b, 16) for b in e["key"]), bytes(int(b, 16) for b in e["value"]))
                for e in json.loads(sh("bpftool", "-j", "map", "dump", "id", str(m)).stdout)]

    def bindings(self, port):
        """{address: ifindex} of the port's classifier, None without one."""
        entries = self.map_dump(port, "brantel_macs")
        return None if entries is None else {
            mac_text(k[:6]): int.from_bytes(v[:4], "little") for k, v in entries}

    def map_update(self, port, name, key, value):
        m = self.maps(port)[name]
        sh("bpftool", "map", "update", "id", str(m), "key", "hex", *(f"{b:02x}" for b in key),
           "value", "hex", *(f"{b:02x}" for b in value))

    def counters(self):
        """The classifier's counters, by port (testlib.live_counters); from
        `show --json` where the simulator has it."""
        r = self.sim_run("show", "--json")
        if r.returncode == 0:
            try:
                return live_counters("", r.stdout)
            except (ValueError, KeyError, TypeError):
                fail(f"show --json printed no document of counters: {r.stdout[:300]!r}")
        return live_counters(self.sim_run("show").stdout)

    def verify(self, what):
        """The end of every change: check finds nothing but the ports the
        state leaves without PORT#0 (which drop unbound frames), each port's
        map holds exactly the state's bindings to live devices, and the
        counters are exactly the frames sent since the classifier was made."""
        r = self.sim_run("check")
        warned = "".join(
            f"{p}: no {p}#0: frames bound to no interface are dropped; "
            f"brantel-live add {p} 0 restores it\n"
            for p, (_, vlans) in self.model().items() if p + "#0" not in vlans)
        if r.returncode != (1 if warned else 0) or r.stdout != warned or r.stderr:
            fail(f"{what}: check exits {r.returncode}: {(r.stdout + r.stderr).strip()!r}")
        links = self.links()
        alive = {d["ifindex"] for d in links.values()}
        self.account()
        counted = self.counters()
        # A frame the taps saw before the counters were read may have been
        # counted by then or not: read them again until nothing more came.
        for _ in range(20):
            if not self.account():
                break
            counted = self.counters()
        for port, (_, vlans) in self.model().items():
            if port not in links:
                continue
            bound = self.bindings(port)
            want = {m: links[v]["ifindex"] for v, macs in vlans.items() if v in links
                    for m in macs}
            if bound is None:
                fail(f"{what}: {port} has no classifier")
                continue
            dead = {m: i for m, i in bound.items() if i not in alive}
            if dead:
                fail(f"{what}: {port}'s map leads to devices that are gone: {dead}")
            if bound != want:
                fail(f"{what}: {port}'s map holds {bound}, the state {want}")
            # Each interface's own address leads to it, and nothing else is there.
            own = {mac_text(k[:6]): int.from_bytes(v[:4], "little")
                   for k, v in self.map_dump(port, "brantel_own") or []}
            mine = {links[v]["address"]: links[v]["ifindex"] for v in vlans if v in links}
            if own != mine:
                fail(f"{what}: {port}'s own addresses are {own}, its interfaces' {mine}")
            self.compare_counters(what, port, counted.get(port), vlans)

    def compare_counters(self, what, port, got, vlans):
        want = self.expected[port]
        default = port + "#0"
        if got is None:
            fail(f"{what}: {port}: no counters shown")
        elif got["interfaces"] is not None:
            names = set(vlans) | set(got["interfaces"]) | (set(want) - {"dropped"})
            per = {n: got["interfaces"].get(n, 0) for n in names}
            if per != {n: want[n] for n in names} or got["dropped"] != want["dropped"]:
                fail(f"{what}: {port} counted {per}, {got['dropped']} dropped; "
                     f"sent {dict(want)}")
            size = {n: got["bytes"].get(n, 0) for n in names}
            if size != {n: want.bytes[n] for n in names}:
                fail(f"{what}: {port} counted bytes {size}; sent {dict(want.bytes)}")
        else:
            exact = (sum(n for k, n in want.items() if k not in (default, "dropped")),
                     want[default], want["dropped"])
            if (got["bound"], got["unbound"], got["dropped"]) != exact:
                fail(f"{what}: {port} counted {got['bound']} bound, {got['unbound']} to "
                     f"{default}, {got['dropped']} dropped; sent {exact}")

    def socket(self, ns, ifname):
        """A packet socket on `ifname` in `ns`, for the test's ethertype."""
        with inside(ns):
            s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_TEST))
            s.bind((ifname, ETH_TEST))
            return s

    def endpoints(self, port=PORT):
        """Sockets on each interface of `port` ("#N"), on its peer ("wire")
        and on the port itself ("port"), which must see none of the frames
        the classifier takes."""
        links = self.links()
        names = {n[len(port):]: (self.host, n) for n in links if n.startswith(port + "#")}
        for ns, ifname in names.values():
            self.ip("link", "set", ifname, "up")
        names["wire"] = (self.wire, self.peer(port))
        names["port"] = (self.host, port)
        return {k: self.socket(*v) for k, v in names.items()}

    def deliver(self, rows, socks, port=PORT):
        """Sends each row's frame (flags, sender, source, destination, where
        it must arrive: each exactly once, nowhere else) and checks who got
        it.  A frame from the wire that must arrive nowhere is one the
        classifier drops.  All are sent first, then gathered until each has
        arrived where it must, and a short quiet spell shows no copy strays."""
        sent = {}
        for _, sender, src, dst, want in rows:
            self.frames_sent += 1
            tag = b"brantel-live %d" % self.frames_sent
            frame = mac_bytes(dst) + mac_bytes(src) + struct.pack("!H", ETH_TEST) + tag
            socks[sender].send(frame)
            if sender == "wire":
                # The port's own sockets see what the macvlan driver delivers;
                # the classifier never counts a frame to the port itself.
                self.count(port, want - {"port"}, 14 + len(tag))
            sent[tag] = (sender, src, dst, want, [])
        deadline = time.monotonic() + DELIVERY_TIMEOUT
        while True:
            waiting = any(len(got) < len(want) for _, _, _, want, got in sent.values())
            wait = deadline - time.monotonic() if waiting else QUIET
            ready = select.select(list(socks.values()), [], [], max(wait, 0))[0] if wait > 0 else []
            if not ready and (not waiting or time.monotonic() >= deadline):
                break
            for name, s in socks.items():
                while s in ready:
                    try:
                        frame = s.recv(2048, socket.MSG_DONTWAIT)
                    except BlockingIOError:
                        break
                    tag = frame[14:]
                    if tag in sent and name != sent[tag][0]:
                        sent[tag][4].append(name)
        for sender, src, dst, want, got in sent.values():
            if sorted(got) != sorted(want):
                fail(f"frame {src} -> {dst} from {sender}: reached {sorted(got)}, not {sorted(want)}")

    def ping(self, address):
        """One ICMP echo (ICMPv6 for an IPv6 address) from the peer
        namespace; True on a reply.  What it sends is counted by a tap."""
        return sh("ip", "netns", "exec", self.wire, sys.executable, PING, address,
                  check=False).returncode == 0


# Run as root in a mount namespace of its own, where /dev is a tmpfs with
# the few devices a command needs and /dev/log leads to a socket of the
# test's: what the command sends the system log, the test reads.
PRIVATE_LOG = r"""
set -e
old=$1/dev
shift
mkdir -p "$old"
mount --rbind /dev "$old"
mount -t tmpfs -o mode=0755 brantel-log /dev
for n in null zero full random urandom; do
    touch "/dev/$n"
    mount --bind "$old/$n" "/dev/$n"
done
ln -s "$LOG_SOCKET" /dev/log
exec "$@"
"""


class LogSink:
    """A datagram socket that stands for the system log: prefix() runs a
    command with its /dev/log leading here, lines() takes what it sent."""

    def __init__(self, folder):
        self.folder = tempfile.mkdtemp(dir=folder)
        self.path = os.path.join(self.folder, "log")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.setblocking(False)

    def prefix(self):
        return ("env", f"LOG_SOCKET={self.path}", "unshare", "--mount", "--propagation",
                "private", "sh", "-c", PRIVATE_LOG, "log", self.folder)

    def lines(self):
        """(ident, pid, text) of each record sent so far; the datagrams
        are all there once the command has exited."""
        out = []
        while True:
            try:
                data = self.sock.recv(65536).decode(errors="replace")
            except BlockingIOError:
                return out
            head, _, text = data.partition("]: ")
            ident, _, pid = head.rpartition(" ")[2].partition("[")
            out.append((ident, pid, text.rstrip("\n")))

    def close(self):
        self.sock.close()
