#!/usr/bin/env python3
"""Live mode on real frames.  Each scenario builds private network
namespaces joined by veth pairs: the ports in one, where the tool runs, and
their peers in the other, which inject and receive frames.  Every change
that succeeds ends with the kernel read back: `check` finds nothing, the
classifier's map holds exactly the state's bindings, and its counters are
exactly the frames sent.  Root only: elsewhere every scenario says SKIP
(exit 77).

usage: live_test.py --sim BRANTEL_SIM SCENARIO...   (see SCENARIOS)
"""
import argparse
import json
import select
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# ETH_TEST, PORT, Net, mac_bytes and sh are the benchmark's too.
from livenet import (ETH_TEST, GROUP_BASE, PORT, LogSink, Net, fail,  # noqa: E402,F401
                     failures, mac_bytes, descendants, said, sh, traced, where)
from testlib import isolate, state_text  # noqa: E402

# This run's share of the scenario's rows: (K, N) runs the rows whose number,
# counted over all the scenario's tables in order, is K modulo N.
SHARE = {"part": (0, 1), "row": 0}


def rows(table):
    """The rows of `table` that are this run's share (see SHARE)."""
    part, parts = SHARE["part"]
    for row in table:
        mine = SHARE["row"] % parts == part
        SHARE["row"] += 1
        if mine:
            yield row

A, B, D = "02:aa:00:00:00:01", "02:bb:00:00:00:02", "02:dd:00:00:00:04"
U, X = "02:55:00:00:00:03", "02:77:00:00:00:05"
NEW = "02:66:00:00:00:06"
BCAST, MCAST = "ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01"
PORTS = (PORT, "eth2", "eth3")
FOREIGN = ("bpf", "bytecode", "1,6 0 0 0")  # someone else's filter: classifies nothing

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
    (1, "wire", A, BCAST, {"#0", "#1", "#2"}),
    (1, "wire", B, MCAST, {"#0", "#1", "#2"}),
    (1, "#1", A, X, {"wire"}),
]
SETUP = [["enable", PORT], ["add", PORT, "1"], ["add", PORT, "2"],
         ["bind", PORT + "#1", A], ["bind", PORT + "#2", B]]
FLAG1 = [["setflags", PORT, "1"]]
# The frames sent from the wire after a change, by flag: (source,
# destination); where each must arrive follows from the state file.
PROBES = {0: [(A, X), (B, X), (U, X), (A, BCAST), (U, MCAST)],
          1: [(U, A), (U, B), (A, U), (A, BCAST), (U, D)]}


def probe(net, port=PORT):
    """Sends the probe frames of the port's flag from its peer: each must
    reach the interface its address is bound to, else PORT#0, else none
    (dropped), and none where that interface is gone from the kernel."""
    model = net.model().get(port)
    links = net.links()
    if not model or port not in links:
        return
    flags, vlans = model
    rows = [(flags, "wire", src, dst, net.where_to(port, src, dst))
            for src, dst in PROBES[flags & 1]]
    if flags & 1:  # each interface's own address, as the kernel has it now: the
        # macvlan driver delivers it, which the port's sockets see too; a
        # broadcast from it is its own come back, for it alone; one from the
        # port's own address is like any other
        rows += [(flags, "wire", U, links[v]["address"], {v[len(port):], "port"})
                 for v in vlans if v in links]
        rows += [(flags, "wire", links[v]["address"], BCAST, {v[len(port):]})
                 for v in vlans if v in links]
        rows.append((flags, "wire", links[port]["address"], BCAST,
                     net.where_to(port, links[port]["address"], BCAST)))
    socks = net.endpoints(port)
    try:
        net.deliver(rows, socks, port)
    finally:
        for s in socks.values():
            s.close()


def delivery(net):
    net.setup(SETUP)
    socks = net.endpoints()
    for flags in (0, 1, 0):
        net.setup([["setflags", PORT, str(flags)]])
        # The interfaces' program runs by destination only: by source, the
        # frames below reach their interfaces without it.
        accepting = {n for n in net.ours() for f in net.tc_filters(n, "ingress")
                     if f.get("options", {}).get("prog", {}).get("name") == "brantel_accept"}
        if accepting != (net.ours() if flags else set()):
            fail(f"flags {flags}: brantel_accept on {sorted(accepting)}")
        net.deliver([r for r in FRAMES if r[0] == flags], socks)
        net.verify(f"frames with flags {flags}")
    # The counters, as comments that leave the output a state file.
    shown = net.sim_run("show").stdout
    if net.sim_run("load", "-", input=shown).returncode:
        fail(f"show: {shown!r}")
    net.verify("load of what show printed")
    for s in socks.values():
        s.close()
    # Ping end to end, with PORT#0 down so that only PORT#1 can answer.  A
    # tap counts what the wire sends, each frame where the state file says.
    own = net.links()[PORT + "#1"]["address"]
    net.tap()
    net.ip("link", "set", PORT + "#0", "down")
    net.ip("addr", "add", "10.77.0.1/24", "dev", PORT + "#1")
    net.ip("addr", "add", "10.77.0.2/24", "dev", "wire0", ns=net.wire)
    # flags, the peer's address, where it sends (None: where ARP or neighbour
    # discovery finds, every neighbour forgotten), the address pinged, what
    # fails without a reply.  By destination, the peer's own address is bound
    # to another interface, so that only the destination can lead the frame
    # to PORT#1.
    for flags, peer, to, address, what in [
        (0, A, own, "10.77.0.1", "no ping reply by source address"),
        (1, B, D, "10.77.0.1", "no ping reply by destination address"),
        (1, B, own, "10.77.0.1", "no ping reply by destination to the interface's own address"),
        (1, U, None, "10.77.0.1", "no ARP reply from PORT#1 by destination"),
        (1, U, None, "fd77::1", "no neighbour advertisement from PORT#1 by destination"),
        (1, U, None, "10.77.1.1", "no ARP reply from PORT#0 by destination"),
        (1, U, None, "fd77:1::1", "no neighbour advertisement from PORT#0 by destination"),
    ]:
        bind = [["bind", PORT + "#1", D]] if to == D else []
        net.setup([["setflags", PORT, str(flags)]] + bind)
        net.ip("link", "set", "wire0", "address", peer, ns=net.wire)
        if to is None:
            resolving(net)
        else:
            net.ip("neigh", "replace", "10.77.0.1", "lladdr", to, "dev", "wire0", "nud",
                   "permanent", ns=net.wire)
            net.ip("neigh", "replace", "10.77.0.2", "lladdr", peer, "dev", PORT + "#1", "nud",
                   "permanent")
        if not net.ping(address):
            fail(what)
        # What the host learnt from the request it would probe again later.
        net.ip("neigh", "flush", "nud", "all")
        net.verify(what)
        if to == D:
            net.setup([["unbind", PORT + "#1", D]])
    net.untap()


def resolving(net):
    """Both ends find each other by ARP and neighbour discovery, each
    interface answering for its own addresses only (arp_ignore, as for any
    macvlan devices): an address of PORT#1 and of PORT#0, IPv4 and IPv6."""
    for ns in (net.host, net.wire):
        net.ip("neigh", "flush", "nud", "all", ns=ns)
    if "fd77::2" in net.ip("-6", "addr", "show", "dev", "wire0", ns=net.wire):
        return
    net.ip("link", "set", PORT + "#0", "up")
    sysctl = [("net.ipv4.conf.all.arp_ignore", "1")]
    for dev in (PORT + "#0", PORT + "#1"):
        sysctl.append((f"net.ipv6.conf.{dev}.disable_ipv6", "0"))
    # The wire sends nothing unasked but its multicast reports, which the
    # tap counts too.
    wire = [("net.ipv6.conf.wire0.addr_gen_mode", "1"),
            ("net.ipv6.conf.wire0.router_solicitations", "0"),
            ("net.ipv6.conf.wire0.disable_ipv6", "0")]
    for ns, settings in ((net.host, sysctl), (net.wire, wire)):
        sh("ip", "netns", "exec", ns, "sysctl", "-qw", *(f"{k}={v}" for k, v in settings))
    for dev, addresses in [(PORT + "#1", ["fd77::1/64"]),
                           (PORT + "#0", ["10.77.1.1/24", "fd77:1::1/64"]),
                           ("wire0", ["10.77.1.2/24", "fd77::2/64", "fd77:1::2/64"])]:
        for a in addresses:
            net.ip("addr", "add", a, "dev", dev, *(["nodad"] if ":" in a else []),
                   ns=net.wire if dev == "wire0" else None)


# Each change, then the frames that show it reached the classifier: the
# first leaves A to PORT#0; with no PORT#0, frames bound to nothing are
# dropped, and passed up the port never.
CHANGES = [
    (["unbind", PORT + "#1", A], [(0, "wire", A, X, {"#0"}), (0, "wire", B, X, {"#2"})]),
    (["bind", PORT + "#2", A], [(0, "wire", A, X, {"#2"}), (0, "wire", A, BCAST, {"#2"})]),
    (["unbind", PORT + "#2", A], [(0, "wire", A, X, {"#0"})]),
    (["bind", PORT + "#1", A], [(0, "wire", A, X, {"#1"})]),
    (["setflags", PORT, "1"], [(1, "wire", U, B, {"#2"}), (1, "wire", B, U, {"#0"})]),
    (["del", PORT + "#0"], [(1, "wire", B, U, set()), (1, "wire", U, B, {"#2"}),
                            (1, "wire", U, BCAST, {"#1", "#2"})]),
    # A bound group address is the binding's alone; unbound, everyone's again.
    (["bind", PORT + "#2", MCAST], [(1, "wire", U, MCAST, {"#2"}),
                                   (1, "wire", U, BCAST, {"#1", "#2"})]),
    (["unbind", PORT + "#2", MCAST], [(1, "wire", U, MCAST, {"#1", "#2"})]),
    (["setflags", PORT, "0"], [(0, "wire", U, X, set()), (0, "wire", A, X, {"#1"})]),
    (["add", PORT, "0"], [(0, "wire", U, X, {"#0"})]),
    (["del", PORT + "#2"], [(0, "wire", B, X, {"#0"})]),
]


def changes(net):
    """Changes that succeed, each read back from the kernel."""
    net.setup(SETUP)
    for command, frames in CHANGES:
        r = net.tool(*command)
        if r.returncode:
            fail(f"{command}: {r.stderr.strip()!r}")
            continue
        if command[0] == "del":  # its counters go with the device
            net.expected[PORT].pop(command[1], None)
        socks = net.endpoints()
        net.deliver(frames, socks)
        for s in socks.values():
            s.close()
        net.verify(" ".join(command))


def injected_runs(net, steps, command, inject, hand=None, input=None):
    """Runs `command` on the module `steps` make (and `hand` changes), with
    the Nth call named in `inject` made to misbehave, for N = 1, 2, ...
    until a run succeeds with no call left to misbehave.  Yields (N, the
    run, the kernel and state before it) for each run that did not
    succeed; one that put up with the misbehaviour must leave check clean."""
    n = 0
    trace = os.path.join(net.folder.name, "injected")
    while True:
        n += 1
        net.reset()
        net.setup(steps)
        if hand:
            hand(net)
        before = (net.snapshot(), net.state_text())
        r = net.run(command, prefix=traced(inject.format(n=n), trace),
                    **({"input": input} if input else {}))
        if r.returncode == 0:
            with open(trace) as f:
                if "(INJECTED)" not in f.read():
                    return
            net.verify(f"{command}, which put up with {inject.format(n=n)}")
            continue
        if n > 200:
            fail(f"{command}: never succeeds under {inject}: {r.stderr!r}")
            return
        yield n, r, before


def sweep(net, steps, command, inject, expect_after=None, hand=None, input=None):
    """Each refused run must leave state and kernel as they were; the run
    that succeeds must end as a clean one does."""
    for n, _, before in injected_runs(net, steps, command, inject, hand, input):
        now = (net.snapshot(), net.state_text())
        if now != before:
            fail(f"{command} refused by {inject.format(n=n)}: left {set(now[0]) ^ set(before[0])}")
        elif net.sim_run("check").returncode and not hand:  # bindings and the default too
            fail(f"{command} refused by {inject.format(n=n)}: {net.sim_run('check').stdout!r}")
    if expect_after is not None and (net.snapshot(), net.state_text()) != expect_after:
        fail(f"{command} under {inject}: succeeded, but not as a clean run")
    net.verify(f"{command} under {inject}, once it succeeded")


def dead_binding(mac):
    """An address of the port's map led to an ifindex no device has."""
    return lambda net: net.map_update(PORT, "brantel_macs", mac_bytes(mac) + b"\0\0",
                                      (9999).to_bytes(4, "little"))


def dead_default(net):
    raw = dict(net.map_dump(PORT, "brantel_config"))[b"\0\0\0\0"]
    net.map_update(PORT, "brantel_config", b"\0\0\0\0",
                   raw[:4] + (9999).to_bytes(4, "little") + raw[8:])


def leads_to(net):
    """Where the port's map leads each address: the interface's name (an
    interface made again has a new ifindex), or the ifindex of none."""
    names = {d["ifindex"]: n for n, d in net.links().items()}
    return {m: names.get(i, i) for m, i in (net.bindings(PORT) or {}).items()}


def bound_by_hand(mac, iface):
    """An address the state does not have, bound on the kernel only."""
    return lambda net: net.map_update(PORT, "brantel_macs", mac_bytes(mac) + b"\0\0",
                                      net.links()[iface]["ifindex"].to_bytes(4, "little"))


def wipe(net):
    """What a reboot leaves of live mode: nothing on the kernel."""
    net.tc("qdisc", "del", "dev", PORT, "clsact", check=False)
    for name in net.ours():
        net.ip("link", "del", name)
    net.ip("link", "set", PORT, "promisc", "off")


def module_text(flags, vlans):
    records = [f"port {PORT} 0x{flags:x}"]
    for name, macs in vlans:
        records += [f"vlan {name}"] + [f"mac {m}" for m in macs]
    return state_text(records)


def fill(net):
    """The address map filled to its first size (see memory)."""
    r = net.sim_run("load", "-", input=FULL)
    if r.returncode:
        raise RuntimeError(f"load: {r.stderr.strip()}")


def promisc(net):
    """Someone else's promiscuous mode on the port."""
    net.ip("link", "set", PORT, "promisc", "on")


def port_down(net):
    """The port down, as enable finds one at boot: it brings it up."""
    net.ip("link", "set", PORT, "down")


# Refusals of the kernel itself: (set-up, a device that is not ours made
# after it: a veth of that name, or `ip link add`'s arguments, the command,
# the kernel's error it must say).
REFUSED_BY_KERNEL = [
    ([], None, ["enable", "nosuch0"], "No such device"),
    ([], PORT + "#0", ["enable", PORT], "Name not unique on network"),
    (SETUP[:1], PORT + "#5", ["add", PORT, "5"], "File exists"),
    (SETUP[:1], None, ["enable", PORT + "#0"], "No such device"),
    # Another tool's macvlan on the port, of the name ours would have.
    (SETUP[:1], [PORT + "#5", "link", PORT, "type", "macvlan", "mode", "private"],
     ["add", PORT, "5"], "File exists"),
]

# Every step of every change refused in turn: (set-up, change by hand, the
# change, the call to refuse, the state file `load -` reads).  Flag changes
# go both ways, with the promiscuous mode ours and someone else's.
FLAGGED = module_text(1, [(PORT + "#0", []), (PORT + "#1", [A])])
INJECTED = [(steps, hand, command, call, None)
            for steps, hand, command in [
                ([], None, ["enable", PORT]),
                (SETUP[:1], None, ["add", PORT, "1"]),
                (SETUP[:2], None, ["bind", PORT + "#1", A]),
                (SETUP[:2], None, ["setflags", PORT, "1"]),
                (SETUP + FLAG1, None, ["setflags", PORT, "0"]),
                (SETUP, None, ["unbind", PORT + "#1", A]),
                (SETUP + FLAG1, None, ["del", PORT + "#1"]),
                (SETUP + FLAG1, None, ["del", PORT + "#0"]),
                (SETUP + FLAG1, None, ["disable", PORT]),
            ] for call in ("sendto", "bpf")] + [
    ([], None, ["sim", "load", "-"], "sendto", FLAGGED),
    (SETUP + FLAG1, wipe, ["sim", "sync"], "sendto", None),
    ([promisc] + SETUP[:1] + FLAG1, None, ["setflags", PORT, "0"], "sendto", None),
    # The bind that needs a larger address map: made whole, or the old one serves.
    ([fill], None, ["bind", PORT + "#2", A], "bpf", None),
] + [([port_down], None, ["enable", PORT], call, None) for call in ("sendto", "bpf")]

# A change that the state file cannot record is taken back whole, the map
# included: (set-up, the change).  A bind that moves an address the kernel
# had bound elsewhere, or replaces its binding to a device that is gone,
# must leave it where it was.
UNWRITABLE = [
    ([], ["enable", PORT]),
    (SETUP[:1], ["add", PORT, "3"]),
    (SETUP[:2], ["bind", PORT + "#1", A]),
    (SETUP + [bound_by_hand(X, PORT + "#2")], ["bind", PORT + "#1", X]),
    (SETUP + FLAG1 + [bound_by_hand(X, PORT + "#2")], ["bind", PORT + "#1", X]),
    (SETUP + [dead_binding(X)], ["bind", PORT + "#1", X]),
    (SETUP, ["unbind", PORT + "#1", A]),
    (SETUP, ["setflags", PORT, "1"]),
    (SETUP + FLAG1, ["setflags", PORT, "0"]),
    (SETUP + FLAG1, ["del", PORT + "#1"]),
    (SETUP + FLAG1, ["disable", PORT]),
    (SETUP + FLAG1, ["sim", "reset"]),
    (SETUP[:1], ["sim", "load", "-"]),
    ([port_down], ["enable", PORT]),
]


def refusal(net):
    for steps, foreign, command, error in rows(REFUSED_BY_KERNEL):
        where[0] = f"refusal: {' '.join(command)} by the kernel"
        net.reset()
        net.setup(steps)
        if foreign:
            foreign = foreign if isinstance(foreign, list) else [foreign, "type", "veth", "peer",
                                                                  "name", "spare0"]
            net.ip("link", "add", *foreign)
        before, text = net.snapshot(), net.state_text()
        r = net.tool(*command)
        if r.returncode == 0 or error not in r.stderr:
            fail(f"{command}: {r.stderr.strip()!r}, expected {error}")
        if (net.snapshot(), net.state_text()) != (before, text):
            fail(f"{command}: the refusal changed something")
        if foreign:
            net.ip("link", "del", foreign[0])
        net.verify(f"{command} refused")
    for steps, hand, command, call, text in rows(INJECTED):
        where[0] = f"refusal: {' '.join(command)} refused at each {call}"
        net.reset()
        net.ip("link", "set", PORT, "promisc", "off", "up")
        net.setup(steps)
        if hand:
            hand(net)
        r = net.run(command, **({"input": text} if text else {}))
        if r.returncode:
            fail(f"{command}: {r.stderr.strip()!r}")
        clean = (net.snapshot(), net.state_text())
        sweep(net, steps, command, "inject=" + call + ":error=EPERM:when={n}", clean, hand, text)
    net.ip("link", "set", PORT, "promisc", "off")
    for steps, command in rows(UNWRITABLE):
        where[0] = f"refusal: {' '.join(command)} with the state file unwritable"
        net.reset()
        net.ip("link", "set", PORT, "up")
        net.setup(steps)
        before = (net.snapshot(), net.state_text())
        bound, clean = leads_to(net), net.sim_run("check").returncode == 0
        os.mkdir(net.state + ".tmp")  # the new state cannot be put there
        try:
            r = net.run(command, **({"input": FLAGGED} if command[1:2] == ["load"] else {}))
        finally:
            os.rmdir(net.state + ".tmp")
        now = (net.snapshot(), net.state_text())
        if r.returncode == 0 or now != before:
            fail(f"{command} with the state file unwritable: exit {r.returncode}, "
                 f"left {set(now[0]) ^ set(before[0])}")
        if leads_to(net) != bound:
            fail(f"{command} with the state file unwritable: the map leads to "
                 f"{leads_to(net)}, was {bound}")
        if clean:  # else the set-up left a difference of its own
            net.verify(f"{command} with the state file unwritable")
    for _ in rows(["no capability, no BPF"]):
        where[0] = "refusal: no capability, no BPF"
        net.reset()
        before, text = net.snapshot(), net.state_text()
        r = net.tool("enable", PORT, prefix=("setpriv", "--inh-caps=-net_admin",
                                             "--bounding-set=-net_admin"))
        if ("Operation not permitted" not in r.stderr
                or (net.snapshot(), net.state_text()) != (before, text)):
            fail(f"without CAP_NET_ADMIN: {r.stderr!r}")
        r = net.tool("enable", PORT, prefix=traced("inject=bpf:error=ENOSYS"))
        lines = said(r)
        if r.returncode != 1 or len(lines) != 1 or "CONFIG_BPF_SYSCALL" not in lines[0]:
            fail(f"without BPF: {r.stderr!r}")
        if net.snapshot() != before or net.state_text() != text:
            fail("without BPF: something was left")
        net.verify("without BPF")


# A run killed at any step of (set-up, command) at each call: sync puts the
# kernel back to the state file.
KILLED = [(steps, command, call)
          for steps, command in [([], ["enable", PORT]), (SETUP[:1], ["add", PORT, "1"]),
                                 (SETUP, ["setflags", PORT, "1"]),
                                 (SETUP + FLAG1, ["setflags", PORT, "0"]),
                                 (SETUP + FLAG1, ["disable", PORT]), ([], ["sim", "load", "-"])]
          for call in ("sendto", "bpf")]


def repair(net):
    # ... and reset then leaves the port as it was before live mode came.
    net.reset()
    bare = net.snapshot()
    for steps, command, call in rows(KILLED):
        where[0] = f"repair: {' '.join(command)} killed at each {call}"
        inject = f"inject={call}:error=EINTR:signal=KILL:when={{n}}"
        text = FLAGGED if command[1:2] == ["load"] else None
        for n, _, before in injected_runs(net, steps, command, inject, input=text):
            r = net.sim_run("sync")
            now = (net.snapshot(), net.state_text())
            if r.returncode or now != before or net.sim_run("check").returncode:
                fail(f"{command} killed at {call} {n}: sync left {set(now[0]) ^ set(before[0])}")
            r = net.sim_run("reset")
            if r.returncode or net.snapshot() != bare:
                fail(f"{command} killed at {call} {n}: reset left "
                     f"{set(net.snapshot()) ^ set(bare)}")
        net.verify(f"{command} killed at {call}, then sync")


def drop_vlan(name):
    """An interface added, then the state file edited by hand (not live) to
    leave it out: on the kernel it has no address, so that only the
    interface itself tells."""
    def change(net):
        net.setup([["add", PORT, name[len(PORT) + 1:]]])
        lines = net.state_text().splitlines()
        out, skip = [], False
        for line in lines:
            if line.startswith(("vlan ", "port ")) or line == "end":
                skip = line == f"vlan {name}"
            if not skip:
                out.append(line)
        sh(net.sim, "--state", net.state, "load", "-", input="\n".join(out) + "\n")
    return change


# Changes made by hand behind live mode's back, each a difference that
# `check` must report and `sync` repair: (flags, what, the change, what check
# must say if anything in particular, the interfaces the state no longer
# names, whether sync makes the classifier anew).
HAND = [
    (0, "interface deleted", lambda n: n.ip("link", "del", PORT + "#1"), PORT + "#1: missing",
     (), False),
    (1, "interface deleted", lambda n: n.ip("link", "del", PORT + "#2"), PORT + "#2: missing",
     (), False),
    (1, "promiscuous mode turned off", lambda n: n.ip("link", "set", PORT, "promisc", "off"),
     None, (), False),
    (0, "macvlan mode changed",
     lambda n: n.ip("link", "set", PORT + "#1", "type", "macvlan", "mode", "bridge"), None, (),
     False),
    (1, "macvlan mode changed",
     lambda n: n.ip("link", "set", PORT + "#2", "type", "macvlan", "mode", "vepa"), None, (),
     False),
    (1, "accept program removed", lambda n: n.tc("filter", "del", "dev", PORT + "#1", "ingress"),
     None, (), False),
    (0, "binding led to a device that is gone", dead_binding(A), None, (), False),
    (1, "binding led to a device that is gone", dead_binding(B), None, (), False),
    (0, "address on the kernel only, to a device that is gone", dead_binding(X), None, (), False),
    (1, "default interface is a device that is gone", dead_default, None, (), False),
    (0, "interface the state no longer names", drop_vlan(PORT + "#3"), PORT + "#3", (), False),
    (1, "interface address changed",
     lambda n: n.ip("link", "set", PORT + "#2", "address", "02:12:34:56:78:9a"),
     PORT + "#2: its address 02:12:34:56:78:9a", (), False),
    (1, "own address added by hand",
     lambda n: n.map_update(PORT, "brantel_own", mac_bytes(X) + b"\0\0",
                            n.links()[PORT + "#1"]["ifindex"].to_bytes(4, "little")),
     X + ": the own address of " + PORT + "#1 on the kernel only", (), False),
    (1, "classifier removed",
     lambda n: n.tc("filter", "del", "dev", PORT, "ingress", "pref", "25202"), None, (), True),
    (0, "address bound to another interface by hand", bound_by_hand(A, PORT + "#2"),
     f"{A}: bound to {PORT}#1, on the kernel to {PORT}#2", (), False),
    (1, "own address led to another interface by hand",
     lambda n: n.map_update(PORT, "brantel_own", mac_bytes(n.links()[PORT + "#1"]["address"]) +
                            b"\0\0", n.links()[PORT + "#2"]["ifindex"].to_bytes(4, "little")),
     PORT + "#1: its address", (), False),
]


def handmade(net):
    for flags, what, change, says, dropped, anew in rows(HAND):
        what = f"{what} (flags {flags})"
        where[0] = f"handmade: {what}"
        net.reset()
        net.setup(SETUP + ([["setflags", PORT, "1"]] if flags else []))
        clean = [e for e in net.snapshot() if e[0] not in dropped]
        change(net)
        r = net.sim_run("check")
        if r.returncode != 1 or not r.stdout.strip() or (says and says not in r.stdout):
            fail(f"check after {what}: exit {r.returncode}, {r.stdout!r}")
        r = net.sim_run("sync")
        if r.returncode:
            fail(f"sync after {what}: {r.stderr.strip()!r}")
        if net.snapshot() != clean:
            fail(f"sync after {what} left {set(net.snapshot()) ^ set(clean)}")
        if anew:
            net.expected.clear()
        net.verify(f"sync after {what}")
        probe(net)
        net.verify(f"frames after {what}")


# Changes on a port whose classifier someone removed: refused, with one
# line naming the port, never done in silence; sync then restores it all.
CLASSIFIER_GONE = [(point, command) for point in ("filter", "qdisc")
                   for command in (["unbind", PORT + "#1", A], ["del", PORT + "#2"],
                                   ["bind", PORT + "#1", X], ["setflags", PORT, "1"],
                                   ["add", PORT, "3"])]


def classifier_gone(net):
    for point, command in rows(CLASSIFIER_GONE):
        where[0] = f"classifier_gone: {point} removed, {' '.join(command)}"
        net.reset()
        net.setup(SETUP)
        if point == "filter":
            net.tc("filter", "del", "dev", PORT, "ingress", "pref", "25202")
        else:
            net.tc("qdisc", "del", "dev", PORT, "clsact")
        before = (net.snapshot(), net.state_text())
        r = net.tool(*command)
        if r.returncode == 0 or not any(PORT in l for l in said(r)):
            fail(f"{command} with the port's {point} removed: exit {r.returncode}, "
                 f"{r.stderr.strip()!r}")
        if (net.snapshot(), net.state_text()) != before:
            fail(f"{command} with the port's {point} removed changed something")
        if net.sim_run("sync").returncode:
            fail(f"sync after {command} with the port's {point} removed")
        net.expected.clear()
        net.verify(f"sync after {command} with the port's {point} removed")
        probe(net)
        net.verify(f"frames after {command} with the port's {point} removed")
    classifier_lost(net)


# By destination, what live mode turned on must be turned off when it is
# done, whatever took its classifier in between.
LOST = [("qdisc deleted", lambda n: n.tc("qdisc", "del", "dev", PORT, "clsact")),
        ("filter deleted", lambda n: n.tc("filter", "del", "dev", PORT, "ingress", "pref", "25202"))]


def classifier_lost(net):
    for what, lose in rows(LOST):
        where[0] = f"classifier_gone: {what}"
        net.fresh([PORT])
        bare = net.snapshot()
        net.setup(SETUP + FLAG1)
        lose(net)
        for step in (["sim", "sync"], ["setflags", PORT, "0"], ["disable", PORT]):
            r = net.run(step)
            if r.returncode:
                fail(f"{step}: {r.stderr.strip()!r}")
            net.expected.clear()
            net.verify(" ".join(step))
        promisc = [e for e in net.snapshot() if e[0] == PORT and e[1] not in ("qdisc", "record")
                   and e[4]]
        if net.snapshot() != bare or promisc:
            fail(f"left {set(net.snapshot()) ^ set(bare)}")


def unload(net):
    # Once on a bare port, once on a promiscuous one with a qdisc and a
    # filter of someone else's.
    for theirs in (False, True):
        net.reset()
        if theirs:
            net.ip("link", "set", PORT, "promisc", "on")
            net.tc("qdisc", "add", "dev", PORT, "clsact")
            net.tc("filter", "add", "dev", PORT, "egress", "pref", "7", *FOREIGN)
        before = net.snapshot()
        net.setup(SETUP + FLAG1)
        progs = {f["options"]["prog"]["id"] for dev in (PORT, PORT + "#1")
                 for f in net.tc_filters(dev, "ingress") if "prog" in f.get("options", {})}
        maps = {m for p in progs for m in json.loads(
            sh("bpftool", "-j", "prog", "show", "id", str(p)).stdout).get("map_ids", [])}
        r = net.tool("unload", prefix=("env", "PATH=/usr/sbin:/sbin:/usr/bin:/bin"))
        # Nothing on standard error: the ports go whole, so no note of a
        # port without PORT#0 is due (Debian's autopkgtest fails on any).
        if r.returncode or r.stderr or net.snapshot() != before:
            fail(f"unload (theirs={theirs}): {r.stderr!r}, left {set(net.snapshot()) ^ set(before)}")
        net.verify(f"unload (theirs={theirs})")
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


# --- what the kernel spends on a port -----------------------------------------

EMPTY_PORT_BYTES = 256 * 1024  # every map of an enabled port with nothing bound
FIRST_ROOM = 1024  # the address map's first size


def generated(n, tag=0x60):
    return ["02:%02x:00:%02x:%02x:01" % (tag, i >> 8 & 255, i & 255) for i in range(n)]


def state_with(flags, vlans):
    return module_text(flags, [(PORT + "#0", [])] + vlans)


# Each step, and the addresses bound after it: the address map must have
# room for them and not 8 times more, its memory must follow, the maps it
# replaced must be freed, and frames and counters go on as before (the
# counters of the frames sent before the replacement included).
FULL = state_with(0, [(PORT + "#1", generated(FIRST_ROOM - 1)), (PORT + "#2", [B])])
GROWTH = [
    ("enabled, nothing bound", ["sim", "load", "-"], state_with(0, [(PORT + "#1", [])]), 0),
    ("3,000 bound by load", ["sim", "load", "-"],
     state_with(0, [(PORT + "#1", [A] + generated(2999)), (PORT + "#2", [B])]), 3001),
    ("the interface of 3,000 deleted", ["del", PORT + "#1"], None, 1),
    ("the map filled to its first size", ["sim", "load", "-"], FULL, FIRST_ROOM),
    ("one bind past it", ["bind", PORT + "#2", A], None, FIRST_ROOM + 1),
    ("by destination", ["setflags", PORT, "1"], None, FIRST_ROOM + 1),
    ("unbound down to one", ["sim", "load", "-"], state_with(1, [(PORT + "#2", [A])]), 1),
]


def port_maps(net):
    """{name: (id, max_entries, bytes_memlock)} of the port's maps."""
    return {name: (i, net.map_info(i)["max_entries"], net.map_info(i)["bytes_memlock"])
            for name, i in net.maps(PORT).items()}


def memory(net):
    seen = set()  # address maps that must be freed once replaced
    for what, command, text, bound in GROWTH:
        r = net.run(command, **({"input": text} if text else {}))
        if r.returncode:
            fail(f"{what}: exit {r.returncode}, {r.stderr.strip()!r}")
            continue
        # The counters of an interface go with it (a del, or a load without it).
        vlans = net.model()[PORT][1]
        for name in [n for n in net.expected[PORT] if n.startswith(PORT + "#")]:
            if name not in vlans:
                net.expected[PORT].pop(name)
        maps = port_maps(net)
        if "brantel_macs" not in maps:
            fail(f"{what}: no address map among {sorted(maps)}")
            continue
        macs, room, _ = maps["brantel_macs"]
        if not bound <= room <= max(FIRST_ROOM, 8 * bound):
            fail(f"{what}: the address map has room for {room:,}, {bound:,} bound")
        if bound == 0 and sum(m[2] for m in maps.values()) > EMPTY_PORT_BYTES:
            fail(f"{what}: the port's maps take {sum(m[2] for m in maps.values()):,} bytes: "
                 f"{ {n: m[2] for n, m in maps.items()} }")
        net.verify(what)
        probe(net)
        net.verify(f"frames after {what}")
        seen.add(macs)
    # Maps are freed after a grace period.
    deadline, left = time.time() + 5, seen
    while time.time() < deadline:
        left = {i for i in seen - {port_maps(net)["brantel_macs"][0]}
                if sh("bpftool", "map", "show", "id", str(i), check=False).returncode == 0}
        if not left:
            break
        time.sleep(0.1)
    if left or len(seen) < 3:
        fail(f"address maps replaced: {sorted(seen)}; still on the kernel: {sorted(left)}")


# --- a world that changes under live mode ------------------------------------

def expect_ok(net, r, before):
    if r.returncode:
        fail(f"exit {r.returncode}: {r.stderr.strip()!r}")


def expect_refused(*words, quiet=False):
    """Refused whole, with one line of the simulator's that names `words`
    (`quiet`: none, the tool's errno says it all)."""
    def expect(net, r, before):
        lines = said(r) + ([""] if quiet else [])
        if r.returncode == 0 or len(lines) != 1 or not all(w in lines[0] for w in words):
            named = f" naming {', '.join(words)}" if words else " of the simulator's"
            fail(f"exit {r.returncode}, {r.stderr.strip()!r}: not refused with one line{named}")
        if (net.snapshot(), net.state_text()) != before:
            fail(f"exit {r.returncode}, and changed {set(net.snapshot()) ^ set(before[0])}")
    return expect


def expect_gone_or_refused(net, r, before):
    """Done for real (nothing of ours left on the renamed device), or
    refused with one line; never a teardown reported that did not happen."""
    if r.returncode == 0:
        left = net.ours() | {f"eth9 {f.get('pref')}" for f in net.tc_filters("eth9", "ingress")
                             if f.get("options", {}).get("prog", {}).get("name", "")
                             .startswith("brantel")}
        if left:
            fail(f"{r.stdout.strip()!r}, exit 0, but left {sorted(left)}")
    else:
        expect_refused()(net, r, before)
        if "Disabled port" in r.stdout:
            fail(f"refused, but printed {r.stdout.strip()!r}")


def restore(net):
    """Puts back the ports the row took away, then sync must make the kernel
    match the state file again."""
    for port in PORTS:
        if port not in net.links():
            net.add_port(port)
            net.expected.pop(port, None)
    r = net.sim_run("sync")
    if r.returncode:
        fail(f"sync once the ports are back: {r.stderr.strip()!r}")


def no_dead_entries(net):
    alive = {d["ifindex"] for d in net.links().values()}
    for port in PORTS:
        bound = net.bindings(port) if port in net.links() else None
        dead = {m: i for m, i in (bound or {}).items() if i not in alive}
        if dead:
            fail(f"{port}'s map leads to devices that are gone: {dead}")


def verified(net):
    """The kernel read back right after the command: a sync (restore's)
    would mend what it left."""
    net.verify("the command, before a sync")


def check_names(*words):
    def after(net):
        r = net.sim_run("check")
        if r.returncode != 1 or not all(w in r.stdout for w in words):
            fail(f"check: exit {r.returncode}, {r.stdout!r}, expected {words}")
    return after


def state_has_no_ports(net):
    if net.model():
        fail(f"the state still holds {net.state_text()!r}")


def found_as_before(net):
    """The kernel as it was before the row's set-up, bar what the row took."""
    now = net.snapshot()
    links = net.links()
    was = [e for e in net.found if e[0] in links]
    if now != was:
        fail(f"left {set(now) ^ set(was)}")


def regroup(name, group=None):
    """`name` put in device group `group`, or back in its port's."""
    def change(net):
        ours = GROUP_BASE | net.links()[name.split("#")[0]]["ifindex"]
        net.ip("link", "set", name, "group", str(ours if group is None else group))
    return change


def away_and_back(port):
    """`port` moved to another namespace and back, its number taken
    meanwhile: it comes back down, without its qdisc, under a new number."""
    def change(net):
        old = net.links()[port]["ifindex"]
        net.ip("link", "set", port, "netns", net.wire)
        net.ip("link", "add", "hold0", "index", str(old), "type", "veth", "peer", "name", "hold1")
        net.ip("link", "set", port, "netns", net.host, ns=net.wire)
        net.ip("link", "del", "hold0")
        if net.links()[port]["ifindex"] == old:
            fail(f"{port} came back under its old number")
    return change


def check_says(state, *words, never="which is gone"):
    """check of `state` (None: the row's own, else a candidate file made
    from it by `state`) names `words`, and never says `never`."""
    def expect(net, r, before):
        args = ("check",)
        if state:
            cand = net.state + ".candidate"
            with open(cand, "w") as f:
                f.write(state(net.state_text()))
            args = ("--state", cand, "check")
        r = net.sim_run(*args, state=not state)
        if r.returncode != 1 or not all(w in r.stdout for w in words) or never in r.stdout:
            fail(f"{' '.join(args)}: exit {r.returncode}, {r.stdout!r}, expected {words}")
    return expect


def delete(name):
    return lambda net: net.ip("link", "del", name)


def rename(old, new):
    def change(net):
        net.ip("link", "set", old, "down")
        net.ip("link", "set", old, "name", new)
        net.ip("link", "set", new, "up")
    return change


def renamed_and_replaced(net):
    """The port renamed eth9, its peer too, and a new device takes its name."""
    rename(PORT, "eth9")(net)
    net.ip("link", "set", net.peer(PORT), "name", "wire9", ns=net.wire)
    net.add_port(PORT)


def altname(port, alt):
    return lambda net: net.ip("link", "property", "add", "dev", port, "altname", alt)


def expect_unchanged(net, r, before):
    if r.returncode or (net.snapshot(), net.state_text()) != before:
        fail(f"exit {r.returncode}, {r.stderr.strip()!r}; changed "
             f"{set(net.snapshot()) ^ set(before[0])}")


def clean_check(net):
    r = net.sim_run("check")
    if r.returncode:
        fail(f"check: exit {r.returncode}, {r.stdout!r}")


def nothing_of_ours_on(dev):
    def after(net):
        links = net.links()
        left = {n for n, d in links.items() if d.get("link") == dev}
        left |= {f.get("pref") for f in net.tc_filters(dev, "ingress")}
        if left or "PROMISC" in links[dev]["flags"]:
            fail(f"{dev} keeps {sorted(left)}")
    return after


def set_up(port, up):
    return lambda net: net.ip("link", "set", port, "up" if up else "down")


def is_up(*ports, up=True):
    def after(net):
        links = net.links()
        wrong = [p for p in ports if ("UP" in links[p]["flags"]) != up]
        if wrong:
            fail(f"{wrong} {'down' if up else 'up'}")
    return after


def reboot_down(net):
    net.reboot()
    for port in PORTS:
        set_up(port, False)(net)


def then(*steps):
    return lambda net: net.setup(steps)


def reboot_without(*ports):
    return lambda net: net.reboot([p for p in PORTS if p not in ports])


def one_line_naming(port):
    def expect(net, r, before):
        lines = said(r)
        if r.returncode or len(lines) != 1 or port not in lines[0]:
            fail(f"exit {r.returncode}, {r.stderr.strip()!r}: expected 0 and one line naming "
                 f"{port}")
    return expect


def forgotten(net):
    """The state file emptied by hand (not live)."""
    sh(net.sim, "--state", net.state, "load", "-", input=state_text([]))


def lost_and_forgotten(net):
    """The port's classifier and interfaces deleted by hand, and the port
    dropped from the state file: only live mode's record tells that it
    made the port promiscuous."""
    net.tc("qdisc", "del", "dev", PORT, "clsact")
    for name in net.ours():
        net.ip("link", "del", name)
    forgotten(net)


TWO = [["enable", PORT], ["add", PORT, "1"], ["bind", PORT + "#1", A], ["enable", "eth2"],
       ["add", "eth2", "1"], ["bind", "eth2#1", B]]

# (what, set-up, change by hand, command, what its run must be, what the
# kernel must be afterwards: each a function; the row then puts the ports
# back, syncs and reads the kernel back).
GONE = [
    ("port deleted; bind on another", TWO, delete("eth2"), ["bind", PORT + "#1", U],
     expect_ok, [probe, check_names("eth2")]),
    ("port deleted; enable another", TWO, delete("eth2"), ["enable", "eth3"],
     expect_ok, [probe]),
    ("port deleted; setflags on another", TWO, delete("eth2"), ["setflags", PORT, "1"],
     expect_ok, [probe]),
    ("port deleted; unload", TWO, delete("eth2"), ["unload"],
     expect_ok, [state_has_no_ports, found_as_before]),
    ("port deleted; unbind on it", TWO, delete("eth2"), ["unbind", "eth2#1", B],
     expect_ok, []),
    ("port deleted; del on it", TWO, delete("eth2"), ["del", "eth2#1"], expect_ok, []),
    ("port deleted; disable it", TWO, delete("eth2"), ["disable", "eth2"], expect_ok,
     [verified, probe]),
    ("reboot without the second port; sync", TWO, reboot_without("eth2"), ["sim", "sync"],
     one_line_naming("eth2"), [probe, check_names("eth2")]),
    ("reboot without the first port; sync", TWO, reboot_without(PORT), ["sim", "sync"],
     one_line_naming(PORT), [check_names(PORT)]),
    ("interface deleted; unbind", SETUP, delete(PORT + "#1"), ["unbind", PORT + "#1", A],
     expect_ok, [no_dead_entries, probe]),
    ("interface deleted; del", SETUP, delete(PORT + "#1"), ["del", PORT + "#1"],
     expect_ok, [no_dead_entries, verified, probe]),
    ("default interface deleted; del", SETUP, delete(PORT + "#0"), ["del", PORT + "#0"],
     expect_ok, [no_dead_entries, verified, probe]),
    # A frame whose interface is gone is dropped, and counted so.
    ("interface deleted; frames", SETUP, delete(PORT + "#1"), ["sim", "check"],
     lambda net, r, before: r.returncode == 1 or fail(f"check: exit {r.returncode}"), [probe]),
    # A device that exists is never called gone, and an address bound
    # elsewhere on the kernel is named, for the state and for a candidate.
    # The classifier leads to it: still ours, put back by sync, taken by disable.
    ("interface out of our group; check", SETUP, regroup(PORT + "#1", 0), ["sim", "check"],
     check_says(None, PORT + "#1: in device group 0, not the port's"), [regroup(PORT + "#1")]),
    ("interface out of our group; check a candidate", SETUP, regroup(PORT + "#1", 0),
     ["sim", "check"],
     check_says(lambda t: t.replace(f"mac {A}\n", "").replace("end\n", f"vlan {PORT}#3\nmac {A}\nend\n"),
                PORT + "#1: in device group 0", f"{A}: bound to {PORT}#3, on the kernel to"),
     [regroup(PORT + "#1")]),
    ("interface out of our group; sync", SETUP + FLAG1, regroup(PORT + "#1", 0), ["sim", "sync"],
     expect_ok, [clean_check]),
    ("interface out of our group; disable", SETUP, regroup(PORT + "#1", 0), ["disable", PORT],
     expect_ok, [nothing_of_ours_on(PORT)]),
    # Its interfaces stay behind in the group of its old number; what live
    # mode turned on is taken off wherever it went meanwhile.
    ("port away and back under a new number; sync", SETUP + FLAG1, away_and_back(PORT),
     ["sim", "sync"], expect_ok, [clean_check, is_up(PORT)]),
    ("port away and back under a new number; disable", SETUP + FLAG1, away_and_back(PORT),
     ["disable", PORT], expect_ok, [nothing_of_ours_on(PORT), is_up(PORT, up=False),
                                    set_up(PORT, True)]),
    ("port away and back under a new number; unload", SETUP + FLAG1, away_and_back(PORT),
     ["unload"], expect_refused(PORT, "lost its classifier"), []),
    ("port away and back under a new number; sync, then unload", SETUP + FLAG1,
     lambda net: (away_and_back(PORT)(net), net.sim_run("sync")), ["unload"], expect_ok,
     [nothing_of_ours_on(PORT), state_has_no_ports]),
    ("port away and back under a new number; sync, then flag off", SETUP + FLAG1,
     lambda net: (away_and_back(PORT)(net), net.sim_run("sync")), ["setflags", PORT, "0"],
     expect_ok, [lambda net: "PROMISC" not in net.links()[PORT]["flags"]
                 or fail(f"{PORT} left promiscuous")]),
    ("port renamed; disable", SETUP, rename(PORT, "eth9"), ["disable", PORT],
     expect_gone_or_refused, [rename("eth9", PORT)]),
    ("port renamed; unload", SETUP + FLAG1, rename(PORT, "eth9"), ["unload"],
     expect_gone_or_refused, [rename("eth9", PORT)]),
    # A rename tears nothing down: the device serves the port under its new
    # name (udev's sync by that name included), and check says where it is.
    ("port renamed; sync by its new name", SETUP + FLAG1, rename(PORT, "eth9"),
     ["sim", "sync", "eth9"], expect_unchanged, [check_names(PORT, "eth9"), rename("eth9", PORT)]),
    ("port renamed; sync", SETUP, rename(PORT, "eth9"), ["sim", "sync"], expect_unchanged,
     [rename("eth9", PORT)]),
    # Its name taken by a new device: the port is the device of its name,
    # restored in one sync, and the old device is left as found.
    ("port renamed, a new device of its name; sync it", SETUP + FLAG1, renamed_and_replaced,
     ["sim", "sync", PORT], expect_ok, [clean_check, nothing_of_ours_on("eth9")]),
    ("port renamed, a new device of its name; sync", SETUP, renamed_and_replaced, ["sim", "sync"],
     expect_ok, [clean_check, nothing_of_ours_on("eth9")]),
    # A port carries frames once enabled or restored, whether it was up or
    # not, and is left as found when disabled.
    ("port down; enable brings it up, disable puts it down",
     [set_up(PORT, False)] + SETUP + [is_up(PORT)], lambda net: None, ["disable", PORT],
     expect_ok, [is_up(PORT, up=False), set_up(PORT, True)]),
    ("reboot with the ports down; sync", TWO, reboot_down, ["sim", "sync"], expect_ok,
     [is_up(PORT, "eth2")]),
    # One device, one port, whichever of its names the state file uses.
    ("port named by an alternative name; sync by its name",
     [altname(PORT, "lan5"), ["enable", "lan5"], ["add", "lan5", "1"], ["bind", "lan5#1", A]],
     lambda net: None, ["sim", "sync", PORT], expect_unchanged,
     [clean_check, then(["disable", "lan5"]), found_as_before, then(*SETUP)]),
    ("port given an alternative name; sync by it", SETUP, altname(PORT, "lan5"),
     ["sim", "sync", "lan5"], expect_unchanged, [clean_check]),
    # An addition to a port that is gone is refused, never reported done.
    ("port deleted; add on it", TWO, delete("eth2"), ["add", "eth2", "3"],
     expect_refused(quiet=True), []),
    # Only the record under /run tells what live mode made of such a port.
    ("classifier and interfaces deleted, the port out of the state; sync", SETUP + FLAG1,
     lost_and_forgotten, ["sim", "sync"], expect_ok, [found_as_before]),
    # ... and only its classifier tells of one without interfaces.
    ("no interface left, the port out of the state; sync", [["enable", PORT], ["del", PORT + "#0"]],
     forgotten, ["sim", "sync"], expect_ok, [found_as_before]),
]


def gone(net):
    for what, steps, change, command, expect, afterwards in rows(GONE):
        where[0] = f"gone: {what}"
        net.fresh(PORTS)
        found = net.snapshot()
        net.setup(steps)
        change(net)
        before = (net.snapshot(), net.state_text())
        r = net.run(command)
        expect(net, r, before)
        net.found = found
        for after in afterwards:
            after(net)
        restore(net)
        net.verify("once the ports are back")
        probe(net)
        net.verify("frames once the ports are back")


# --- other tools' objects, and devices live mode cannot serve ----------------

def serve_then_leave(net, what, theirs, later=False):
    """Someone else's objects on the port, made before enable (or, `later`,
    just after it): enable, change, check, sync, disable; each must work
    around them and leave them exactly as found."""
    where[0] = f"foreign: {what}"
    net.fresh([PORT])
    if not later:
        theirs(net)
    found = (net.snapshot(), net.state_text())
    r = net.tool("enable", PORT)
    if r.returncode:
        # Refusing is allowed only whole, with one line.
        expect_refused()(net, r, found)
        net.verify("refused")
        return
    if net.snapshot() == found[0] or not net.maps(PORT):
        fail("enable left no classifier of its own")
    kept = []  # theirs, which every step must leave
    if later:
        # What they add must stay, and so must our qdisc once they use it;
        # but what they put on our interfaces goes with them at disable.
        mine = net.snapshot()
        theirs(net)
        kept = [e for e in net.snapshot() if e not in mine]
        added = [e for e in kept if "#" not in e[0]]
        if any(e[0] == PORT and e[1] in ("ingress", "egress") for e in added):
            added += [e for e in mine if e[:3] == (PORT, "qdisc", "clsact")]
        found = (sorted(found[0] + added, key=repr), found[1])
    for step in SETUP[1:] + FLAG1 + [["setflags", PORT, "0"]] + FLAG1:
        if net.tool(*step).returncode:
            fail(f"{step} failed")
        if [e for e in kept if e not in net.snapshot()]:
            fail(f"{step} took {[e for e in kept if e not in net.snapshot()]}")
        if step[0] == "setflags":
            probe(net)
        net.verify(" ".join(step))
    before = net.snapshot()
    r = net.sim_run("sync")
    if r.returncode or net.snapshot() != before:
        fail(f"sync: exit {r.returncode}, changed {set(net.snapshot()) ^ set(before)}")
    net.verify("sync")
    if net.tool("disable", PORT).returncode:
        fail("disable failed")
    if net.snapshot() != found[0]:
        fail(f"disable left {set(net.snapshot()) ^ set(found[0])}")
    net.verify("disable")


def lower_elsewhere(net):
    """A macvlan in the port's device group whose lower device has the
    port's ifindex, but in another namespace (the wire's): only
    IFLA_LINK_NETNSID tells that it is not on the port."""
    port = net.links()[PORT]["ifindex"]
    wire = {d["ifindex"]: d["ifname"] for d in json.loads(net.ip("-j", "link", "show", ns=net.wire))}
    low = wire.get(port)
    if low is None or low == "lo":
        net.ip("link", "add", "low0", "index", str(port), "type", "veth", "peer", "name", "low1",
               ns=net.wire)
        low = "low0"
    net.ip("link", "add", "link", low, "name", "theirs0", "group", str(GROUP_BASE | port),
           "type", "macvlan", ns=net.wire)
    net.ip("link", "set", "theirs0", "netns", net.host, ns=net.wire)


# Someone else's objects on the port: (what, how they are made: tc's
# arguments, or a function of the Net).
FOREIGN_SHAPES = [
    ("a clsact qdisc without filters", [["qdisc", "add", "dev", PORT, "clsact"]]),
    ("a clsact qdisc with only an egress filter",
     [["qdisc", "add", "dev", PORT, "clsact"],
      ["filter", "add", "dev", PORT, "egress", "pref", "7", *FOREIGN]]),
    ("a filter at live mode's priority and handle",
     [["qdisc", "add", "dev", PORT, "clsact"],
      ["filter", "add", "dev", PORT, "ingress", "pref", "25202", "handle", "0x6272", *FOREIGN]]),
    ("a filter at live mode's priority, another handle",
     [["qdisc", "add", "dev", PORT, "clsact"],
      ["filter", "add", "dev", PORT, "ingress", "pref", "25202", "handle", "0x1", *FOREIGN]]),
    ("a filter at live mode's handle, another priority",
     [["qdisc", "add", "dev", PORT, "clsact"],
      ["filter", "add", "dev", PORT, "ingress", "pref", "25203", "handle", "0x6272", *FOREIGN]]),
    ("an ingress filter elsewhere, and an egress filter",
     [["qdisc", "add", "dev", PORT, "clsact"],
      ["filter", "add", "dev", PORT, "ingress", "pref", "7", *FOREIGN],
      ["filter", "add", "dev", PORT, "egress", "pref", "25202", "handle", "0x6272", *FOREIGN]]),
    ("promiscuous mode of someone else's", [promisc]),
    ("a macvlan of someone else's", [lambda n: n.ip("link", "add", "link", PORT, "name", "mv0",
                                                    "type", "macvlan", "mode", "private")]),
    ("a macvlan in our group whose lower device is in another namespace", [lower_elsewhere]),
]

# Someone else's objects made on the port once it is enabled: (what, how).
FOREIGN_LATER = [
    ("an egress filter in our qdisc",
     [["filter", "add", "dev", PORT, "egress", "pref", "7", *FOREIGN]]),
    ("an ingress filter in our qdisc", [["filter", "add", "dev", PORT, "ingress", "pref", "7",
                                         *FOREIGN]]),
    ("a macvlan of someone else's", [lambda n: n.ip("link", "add", "link", PORT, "name", "mv0",
                                                    "type", "macvlan", "mode", "bridge")]),
    ("a qdisc and an egress filter on PORT#0",
     [["qdisc", "add", "dev", PORT + "#0", "clsact"],
      ["filter", "add", "dev", PORT + "#0", "egress", "pref", "7", *FOREIGN]]),
]

# Devices that are not ports live mode can serve: (what, how it is made,
# the port).  Refused whole, with one line.
UNSERVED = [
    ("a macvlan", [["link", "add", "mv0", "link", PORT, "type", "macvlan"],
                   ["link", "set", "mv0", "up"]], "mv0"),
    ("an interface of live mode's own", [], PORT + "#0"),
    ("the loopback device", [], "lo"),
    ("a device that is not Ethernet", [["tuntap", "add", "dev", "tun0", "mode", "tun"]], "tun0"),
]


def foreign(net):
    for later, table in ((False, FOREIGN_SHAPES), (True, FOREIGN_LATER)):
        for what, commands in rows(table):
            serve_then_leave(net, what + (", made once enabled" if later else ""),
                             lambda n, c=commands: [x(n) if callable(x) else n.tc(*x) for x in c],
                             later)
    # Someone else's clsact qdisc made while enable runs, after it looked at
    # the port: it is theirs all the same, and stays when the port goes.
    for _ in rows(["a qdisc made during enable"]):
        where[0] = "foreign: a clsact qdisc made while enable runs"
        net.fresh([PORT])
        p = net.paused(["enable", PORT], "bpf")  # its first step, once it has looked
        net.tc("qdisc", "add", "dev", PORT, "clsact")
        found = net.snapshot()
        net.resume(p)
        if p.wait(timeout=60):
            fail(f"enable: exit {p.returncode}, {p.communicate()[1].strip()!r}")
        net.verify("enable")
        if net.tool("disable", PORT).returncode or net.snapshot() != found:
            fail(f"disable left {set(net.snapshot()) ^ set(found)}")
    for what, commands, port in rows(UNSERVED):
        where[0] = f"foreign: enable {what}"
        net.fresh([PORT])
        net.setup([SETUP[0]] if port == PORT + "#0" else [])
        made = [sh("ip", "-n", net.host, *c, check=False) for c in commands]
        if any(m.returncode for m in made):
            print(f"note: no row for {what}: {made[-1].stderr.strip()}")
            continue
        before = (net.snapshot(), net.state_text())
        r = net.tool("enable", port)
        expect_refused()(net, r, before)
        net.verify(f"enable {port} refused")


# --- privilege, the state file and namespaces --------------------------------

CAPS = ["--inh-caps=-all,+{c}", "--ambient-caps=-all,+{c}", "--bounding-set=-all,+{c}"]
ADMIN = [["enable", PORT], ["add", PORT, "1"], ["bind", PORT + "#1", A], ["setflags", PORT, "1"],
         ["sim", "check"], ["sim", "sync"], ["unbind", PORT + "#1", A], ["del", PORT + "#1"],
         ["setflags", PORT, "0"], ["disable", PORT]]


def with_caps(caps):
    return tuple(["setpriv"] + [a.format(c=caps) for a in CAPS])


def privilege(net):
    # With the capabilities the documentation names every command works; with
    # fewer, the first change is refused whole (EPERM) or they all work.
    for caps, enough in [("net_admin,+bpf,+sys_admin", True), ("net_admin,+bpf", False)]:
        where[0] = f"privilege: only {caps}"
        net.fresh([PORT])
        for n, command in enumerate(ADMIN):
            before = (net.snapshot(), net.state_text())
            r = net.run(command, prefix=with_caps(caps))
            if r.returncode == 0:
                net.verify(" ".join(command))
                continue
            if (enough or n or "Operation not permitted" not in r.stderr
                    or "this process lacks CAP_SYS_ADMIN: run it as root" not in r.stderr):
                fail(f"{command}: exit {r.returncode}, {r.stderr.strip()!r}")
            if (net.snapshot(), net.state_text()) != before:
                fail(f"{command} refused, but changed something")
            net.verify(f"{command} refused")
            break
    # The state file: no one else may write it, whatever the umask; one that
    # others may write is refused.
    where[0] = "privilege: state file"
    net.fresh([PORT])
    r = net.tool("enable", PORT, prefix=("sh", "-c", 'umask 000 && exec "$@"', "umask"))
    mode = os.stat(net.state).st_mode if os.path.exists(net.state) else None
    if r.returncode or mode is None or mode & 0o022:
        fail(f"enable under umask 000: exit {r.returncode}, mode {mode and oct(mode)}")
    net.setup(SETUP[1:])
    for bits in (0o666, 0o620, 0o602):
        wipe(net)
        os.chmod(net.state, 0o600 | bits)
        before = (net.snapshot(), net.state_text())
        r = net.sim_run("sync")
        lines = said(r)
        if r.returncode == 0 or len(lines) != 1 or (net.snapshot(), net.state_text()) != before:
            fail(f"sync of a state file of mode {oct(0o600 | bits)}: exit {r.returncode}, "
                 f"{r.stderr.strip()!r}")
        os.chmod(net.state, 0o600)
        if net.sim_run("sync").returncode:
            fail("sync once the state file is private again")
        net.expected.clear()
        net.verify(f"sync after a state file of mode {oct(0o600 | bits)}")
    # An unprivileged teardown: refused for what it is (EPERM), with the
    # status the tool gives today: the user's own copy of the state, which
    # the kernel refuses, and root's, which the user cannot even read.
    where[0] = "privilege: unprivileged unload"
    os.chmod(net.folder.name, 0o711)
    mine = os.path.join(net.folder.name, "nobody")
    os.mkdir(mine)
    shutil.copy(net.state, os.path.join(mine, "state"))
    for path in (mine, os.path.join(mine, "state")):
        os.chown(path, 65534, 65534)
    os.chmod(net.state, 0o600)
    for state, status in [(os.path.join(mine, "state"), 1), (net.state, 0)]:
        before = (net.snapshot(), open(state).read())
        r = sh("ip", "netns", "exec", net.host, "setpriv", "--reuid=65534", "--regid=65534",
               "--clear-groups", net.sim, "--live", "--state", state, "brantel_config", "unload",
               check=False)
        if (r.returncode != status or "Operation not permitted" not in r.stderr
                or "Input/output error" in r.stderr):
            fail(f"unload by an ordinary user with {state}: exit {r.returncode}, "
                 f"{r.stderr.strip()!r}")
        if (net.snapshot(), open(state).read()) != before:
            fail(f"unload by an ordinary user with {state} changed something")
        net.verify("unload by an ordinary user")
    # A state path through a folder another user can replace (a link of
    # theirs in a sticky folder, a folder of theirs further up, a link of
    # root's into their folder) is refused whole: nothing written where it
    # leads, nothing made on the kernel.
    where[0] = "privilege: a state path others can redirect"
    net.fresh([PORT])
    top = net.folder.name
    for d in ("sticky", "theirs", "theirs/sub", "target"):
        os.mkdir(os.path.join(top, d))
    os.chmod(os.path.join(top, "sticky"), 0o1777)
    os.chown(os.path.join(top, "theirs"), 65534, 65534)
    os.symlink(os.path.join(top, "target"), os.path.join(top, "sticky", "link"))
    os.lchown(os.path.join(top, "sticky", "link"), 65534, 65534)
    os.symlink(os.path.join(top, "theirs", "sub"), os.path.join(top, "rootlink"))
    for path, named in [("sticky/link/state", "sticky/link"), ("theirs/sub/state", "theirs"),
                        ("rootlink/state", "theirs")]:
        before = net.snapshot()
        r = net.sim_run("--state", os.path.join(top, path), "brantel_config", "enable", PORT,
                        state=False)
        left = [f for d in ("target", "theirs/sub") for f in os.listdir(os.path.join(top, d))]
        if (r.returncode == 0 or len(said(r) + [l for l in r.stderr.splitlines()
                                                 if l.startswith("brantel-live")]) != 1
                or os.path.join(top, named) not in r.stderr or left or net.snapshot() != before):
            fail(f"--state {path}: exit {r.returncode}, {r.stderr.strip()!r}, left {left}")
        net.verify(f"--state {path} refused")
    for link in ("sticky/link", "rootlink"):
        os.unlink(os.path.join(top, link))
    namespace_state(net)


# Run in a private mount namespace with a tmpfs over /var/lib, so that the
# machine's own /var/lib/brantel-sim is never touched, whatever the engine
# does.  The host's state file is there beforehand; it must stay as it was.
NAMESPACE_RUN = r"""
set -e
mount -t tmpfs -o mode=0755 brantel-test /var/lib
test "$(stat -f -c %T /var/lib)" = tmpfs
test "$(ip netns exec "$1" stat -f -c %T /var/lib)" = tmpfs
mkdir -m 0755 /var/lib/brantel-sim
printf '%s' "$3" > /var/lib/brantel-sim/state
touch -d @1000000000 /var/lib/brantel-sim/state
set +e
ip netns exec "$1" "$2" --live brantel_config enable eth1
echo "enable: $?"
ip netns exec "$1" "$2" --live brantel_config add eth1 1
echo "add: $?"
ip netns exec "$1" "$2" --live check
echo "check: $?"
ip netns exec "$1" "$2" --live brantel_config unload
echo "unload: $?"
ip netns exec "$1" "$2" --live check
echo "check: $?"
stat -c 'host state: %s %Y' /var/lib/brantel-sim/state
cat /var/lib/brantel-sim/state
"""


def namespace_state(net):
    where[0] = "privilege: state of a named network namespace"
    net.fresh([PORT])
    empty = state_text([])
    r = sh("unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE_RUN, "ns",
           net.host, net.sim, empty, check=False)
    status = dict(l.split(": ", 1) for l in r.stdout.splitlines() if ": " in l)
    if "enable" not in status:
        fail(f"cannot make a private /var/lib to run in: {r.stderr.strip()!r}")
        return
    host = f"host state: {len(empty)} 1000000000"
    text = r.stdout.split(host + "\n", 1)[-1] if host in r.stdout else None
    if r.returncode or text != empty:
        now = [l for l in r.stdout.splitlines() if l.startswith("host state:")]
        fail(f"the host's state file was touched: {now} (size, mtime), was {host!r}; "
             f"{r.stderr.strip()!r}")
    if status.get("enable") == "0":
        # Its own state: the kernel matched it at every step.
        for step in ("add", "unload"):
            if status.get(step) != "0":
                fail(f"{step} in the namespace: exit {status.get(step)}: {r.stderr.strip()!r}")
        if status.get("check") != "0":
            fail(f"check in the namespace: {r.stdout!r}")
    elif "--state" not in r.stderr:
        fail(f"refused without naming --state: {r.stderr.strip()!r}")
    if net.ours() or net.maps(PORT):
        fail("the namespace's run left its objects")


# A prefix that hides the machine's id from the command.
NO_MACHINE_ID = ("unshare", "--mount", "--propagation", "private", "sh", "-c",
                 "for f in /etc/machine-id /var/lib/dbus/machine-id; do "
                 "[ ! -e $f ] || mount --bind /dev/null $f || exit 1; done; exec \"$@\"", "sh")


def addresses(net):
    return {n: d["address"] for n, d in net.links().items() if "#" in n}


def as_nobody(net, *args):
    return sh("ip", "netns", "exec", net.host, "setpriv", "--reuid=65534", "--regid=65534",
              "--clear-groups", net.sim, "--live", "--state", net.state, *args, check=False)


# (what, how the interfaces are made again); each must get the address it
# had: nothing is stored, so nothing can drift.
REMADE = [
    ("a delete by hand and sync", lambda net: (net.ip("link", "del", PORT + "#1"),
                                              net.sim_run("sync"))),
    ("disable and enable", lambda net: net.setup([["disable", PORT]] + TWO[:3])),
    ("a reboot and sync", lambda net: (net.reboot(), net.sim_run("sync"))),
]


# A state file put in place (mv, no lock) while a run holds it: (the run,
# what it must end as).  sync follows the new file; a request refuses to
# write over it and takes its change back.
REPLACED = [(["sim", "sync"], 0), (["add", PORT, "3"], 1)]


def replaced(net):
    for command, status in REPLACED:
        where[0] = f"replaced: {' '.join(command)}"
        net.fresh([PORT, "eth2"])
        net.setup(TWO)
        edited = net.state_text().split("port eth2")[0] + "end\n"
        p = net.paused(command, "sendto")
        with open(net.state + ".new", "w") as f:
            f.write(edited)
        os.rename(net.state + ".new", net.state)
        net.resume(p)
        out, err = p.communicate(timeout=60)
        if p.returncode != status or net.state_text() != edited:
            fail(f"exit {p.returncode}, {err.strip()!r}; the state file is now "
                 f"{net.state_text()!r}")
        if command[0] == "add" and PORT + "#3" in net.links():
            fail("refused, but left " + PORT + "#3")
        if command[0] == "sim":
            net.verify("sync of a file replaced while it ran")
        if net.sim_run("sync").returncode:
            fail("sync after the file was replaced")
        net.verify("sync after the file was replaced")


def service(net):
    """What an administrator relies on: stable addresses, sync of one port,
    reading as an ordinary user."""
    for what, remake in rows(REMADE):
        where[0] = f"service: stable addresses after {what}"
        net.fresh([PORT, "eth2"])
        net.setup(TWO)
        before = addresses(net)
        macs = list(before.values())
        if len(set(macs)) != len(macs) or any(int(m[:2], 16) & 3 != 2 for m in macs):
            fail(f"addresses not distinct, local and unicast: {before}")
        remake(net)
        if addresses(net) != before:
            fail(f"addresses after {what}: {addresses(net)}, were {before}")
        net.verify(f"after {what}")
    # No machine id (a container, early boot): the kernel's choice of
    # addresses, as the notice says, and everything else as usual.
    where[0] = "service: no machine id"
    net.fresh([PORT])
    for n, step in enumerate(SETUP + FLAG1):
        r = net.run(step, prefix=NO_MACHINE_ID)
        if r.returncode or not (n or any("kernel's choice" in l for l in said(r))):
            fail(f"{step} without a machine id: exit {r.returncode}, {r.stderr.strip()!r}")
        # Each step: a later one over the whole port would mend an earlier.
        net.verify(f"{' '.join(step)} without a machine id")
    probe(net)
    net.verify("frames without a machine id")
    # sync PORT restores that port alone.
    net.fresh([PORT, "eth2"])
    net.setup(TWO)
    kept = net.links()[PORT + "#0"]["ifindex"]
    for name in (PORT + "#1", "eth2#1"):
        net.ip("link", "del", name)
    r = net.sim_run("sync", "eth2")
    links = net.links()
    if r.returncode or "eth2#1" not in links or PORT + "#1" in links:
        fail(f"sync eth2: exit {r.returncode}, left {sorted(n for n in links if '#' in n)}")
    if links[PORT + "#0"]["ifindex"] != kept:
        fail(f"sync eth2 touched {PORT}#0")
    net.sim_run("sync", PORT)
    net.verify("sync of each port")
    # Commands that look at every port read the devices and the qdiscs of
    # the kernel once, whatever the number of ports.
    where[0] = "service: commands over two ports"
    trace = os.path.join(net.folder.name, "trace")
    for args in (["sync"], ["check"], ["show", "--json"], ["sync", PORT, "eth2"]):
        r = net.sim_run(*args, prefix=traced("trace=sendto", trace))
        sent = open(trace).read()
        dumps = {kind: sent.count(f"nlmsg_type={kind}, nlmsg_flags=NLM_F_REQUEST|NLM_F_DUMP")
                 for kind in ("RTM_GETLINK", "RTM_GETQDISC")}
        if r.returncode or set(dumps.values()) != {1}:
            fail(f"{' '.join(args)} over two ports: exit {r.returncode}, dumps {dumps}")
    # load is whole: a port that cannot be served takes back the others.
    before = (net.snapshot(), net.state_text())
    text = net.sim_run("show").stdout.replace("end\n", "port lo 0x0\nvlan lo#0\nend\n")
    text = text.replace("port eth2 0x0\n", "port eth2 0x0\nvlan eth2#5\n")
    r = net.sim_run("load", "-", input=text)
    if r.returncode == 0 or (net.snapshot(), net.state_text()) != before:
        fail(f"load of a state naming lo: exit {r.returncode}, {r.stderr.strip()!r}")
    # An ordinary user reads what root configured.
    os.chmod(net.folder.name, 0o755)
    os.chmod(net.state, 0o644)
    root = net.tool("info").stdout
    for args, want in [(("brantel_config", "info"), root), (("show",), PORT + "#1"),
                       (("show", "--json"), '"' + PORT + '#1"')]:
        r = as_nobody(net, *args)
        if r.returncode or want not in r.stdout:
            fail(f"{' '.join(args)} as nobody: exit {r.returncode}, {r.stdout!r} {r.stderr!r}")
    if json.loads(as_nobody(net, "show", "--json").stdout)["ports"][0]["interfaces"][1][
            "ifindex"] != net.links()[PORT + "#1"]["ifindex"]:
        fail("show --json as nobody: not the kernel's ifindex")


# --- brantel-live as an administrator's command ------------------------------

def unlink_by_hand(name, seen):
    def change(net):
        seen["ifindex"] = net.links()[name]["ifindex"]
        net.ip("link", "del", name)
    return change


def up_by_hand(name):
    return lambda net: net.ip("link", "set", name, "up")


def shown(net, *args):
    """show -j's document for `args`, as {ifname: (ifindex, up)}."""
    r = net.live_run("show", "-j", *args)
    doc = json.loads(r.stdout) if r.returncode == 0 else {"ports": []}
    out = {}
    for p in doc["ports"]:
        out[p["ifname"]] = (p["ifindex"], p["up"])
        for v in p["interfaces"]:
            out[v["ifname"]] = (v["ifindex"], v["up"])
    return out


def command(net):
    """brantel-live's own words on real devices: the tool's subcommands,
    the line it adds to a refusal, one port at a time, which, and the
    record each change and repair leaves in the system log (reads leave
    none).  The kernel is read back after each change; a refusal changes
    nothing."""
    net.fresh([PORT, "eth2"])
    log = LogSink(net.folder.name)
    usage = sh(net.sim, "--state", os.path.join(log.folder, "scratch"), "brantel_config",
               check=False).stdout
    usage = "\n" + usage if not usage.startswith("\n") else usage
    p0, p1 = PORT + "#0", PORT + "#1"
    seen = {}  # the ifindex of the interface deleted by hand
    bound_gone = lambda: f"{A}: bound to {p1}, on the kernel to ifindex {seen['ifindex']}, which is gone"
    gone = lambda: [f"{PORT}: frames may still go to ifindex {seen['ifindex']}, which is gone",
                    f"{p1}: missing on the kernel", bound_gone()]
    no_default = (f"{PORT}: no {p0}: frames bound to no interface are dropped; "
                  f"brantel-live add {PORT} 0 restores it\n")
    # (command or change by hand, exit status, standard output, standard
    # error, the lines in the log)
    rows = [
        (["enable", PORT], 0, "", "", [f"{PORT}: enabled, with {p0}"]),
        (["add", "eth2", "1"], 1, usage,
         "brantel-live: eth2 is not enabled: run brantel-live enable eth2 first\n"
         "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): No such device\n", []),
        (["add", PORT, "1"], 0, "", "", [f"{PORT}: added {p1}"]),
        (["bind", p1, A], 0, "", "", [f"{PORT}: bound {A} to {p1}"]),
        (["bind", p0, A], 1, usage,
         f"brantel-live: {A} is bound to {p1} already: run brantel-live unbind {p1} {A} first\n"
         "ioctl (BRANTEL_BIND): File exists\n", []),
        (["add", PORT, "12345678901"], 1, usage,
         f"brantel-live: {PORT}#2147483647: live mode numbers interfaces 0 to 65535 "
         "(a number too large reaches it as 2147483647)\n"
         "ioctl (SIOCGIFBRANTEL, BRANTEL_ADD): Invalid argument\n", []),
        (["setflags", PORT, "0xff"], 1, usage,
         f"brantel-live: {PORT}: flag bits 0xfe mean nothing; live mode knows 0x1 "
         "(bind by destination address)\n"
         "ioctl (SIOCGIFBRANTEL, SET_PORT_FLAGS): Invalid argument\n", []),
        (["info"], 0, f"-{PORT}\n-{PORT} flag: 0x0\n |-{p0}\n |-{p1}\n | |-{A}\n", "", []),
        (["which", A], 0, f"{A}: {p1} on {PORT} (frames from it); the kernel agrees\n", "", []),
        (["check", PORT], 0, "", "", []),
        (["sync", "eth9"], 1, "",
         f"brantel-live: sync: eth9: not in {net.state}, nor anything of live mode's on the "
         "kernel\n", []),
        (unlink_by_hand(p1, seen),),
        (["which", A], 1,
         lambda: f"{A}: {p1} on {PORT} (frames from it); the kernel differs: {bound_gone()}\n",
         "", []),
        (["check", PORT], 1, lambda: "".join(l + "\n" for l in gone()), "", []),
        (["sync", "--if-known", "eth2", PORT], 0, "", "",
         lambda: [l if l.startswith(PORT) else f"{PORT}: {l}" for l in gone()]),
        (["del", p0], 0, f"Deleted interface: {p0}\n",
         f"brantel-live: note: {PORT} has no {p0} now: frames of addresses bound to no interface "
         f"are dropped until brantel-live add {PORT} 0\n", [f"{PORT}: deleted {p0}"]),
        (["check"], 1, no_default, "", []),
        (["add", PORT, "0"], 0, "", "", [f"{PORT}: added {p0}"]),
        (up_by_hand(p1),),
        (["setflags", PORT, "1"], 0, "", "", [f"{PORT}: flag word 0x0 -> 0x1"]),
        (["unbind", p0, A], 1, usage, f"brantel-live: {A} is not bound to {p0} but to {p1}\n"
         "ioctl (BRANTEL_UNBIND): No such file or directory\n", []),
        (["unbind", p1, A], 0, "", "", [f"{PORT}: unbound {A} from {p1}"]),
        (["enable", "eth2"], 0, "", "", ["eth2: enabled, with eth2#0"]),
        (["add", "eth2", "1"], 0, "", "", ["eth2: added eth2#1"]),
        (["del", "eth2#0"], 0, "Deleted interface: eth2#0\n",
         "brantel-live: note: eth2 has no eth2#0 now: frames of addresses bound to no interface "
         "are dropped until brantel-live add eth2 0\n", ["eth2: deleted eth2#0"]),
        (unlink_by_hand("eth2#1", {}),),
        # The port named alone: what another port lacks is not its.
        (["check", PORT], 0, "", "", []),
        (["disable", "eth2"], 0, "Disabled port: eth2\n", "", ["eth2: disabled"]),
    ]
    for row in rows:
        if len(row) == 1:
            row[0](net)
            continue
        args, status, out, err, records = (v() if callable(v) else v for v in row)
        if args[0] == "sync":
            records = [line + " (repaired)" for line in records]
        before = (net.snapshot(), net.state_text())
        r = net.live_run(*args, prefix=log.prefix())
        if (r.returncode, r.stdout, r.stderr) != (status, out, err):
            fail(f"brantel-live {' '.join(args)}: exit {r.returncode}, {r.stdout!r}, "
                 f"{r.stderr!r}; want {status}, {out!r}, {err!r}")
        got = log.lines()
        want = [("brantel-live", t) for t in records]
        if [(i, t) for i, _, t in got] != want:
            fail(f"brantel-live {' '.join(args)} logged {got}, want {want}")
        if status and (net.snapshot(), net.state_text()) != before:
            fail(f"brantel-live {' '.join(args)} was refused, but changed something")
        if args[0] in ("enable", "add", "bind", "del", "setflags", "sync"):
            net.verify(f"brantel-live {' '.join(args)}")
    # Up or down, as ip has it; one interface at a time.
    links = net.links()
    want = {n: (links[n]["ifindex"], "UP" in links[n]["flags"]) for n in (PORT, p0, p1)}
    if shown(net) != want:
        fail(f"show -j: {shown(net)}, ip: {want}")
    if shown(net, p1) != {PORT: want[PORT], p1: want[p1]}:
        fail(f"show -j {p1}: {shown(net, p1)}")
    r = net.live_run("show", p1)
    if r.returncode or f"#   {p1}: 0 frames, 0 bytes, ifindex {want[p1][0]}" not in r.stdout \
            or not r.stdout.rstrip().split("\n")[-2].endswith(", up"):
        fail(f"show {p1}: {r.stdout!r}")
    # In a namespace of no name, no state file is taken for granted.
    r = sh("ip", "netns", "exec", net.host, "unshare", "-n", net.live(), "info", check=False)
    if r.returncode != 1 or r.stdout or "give its state file with --state FILE" not in r.stderr:
        fail(f"info in a namespace of no name: exit {r.returncode}, {r.stderr!r}")
    # reset and load, as the log has them; what show printed loads back.
    text = net.live_run("show").stdout
    for args, given, record in [(["reset"], None, "reset: every port of live mode's taken away"),
                                (["load", "-"], text, f"load: standard input, ports: {PORT}"),
                                (["load", "-"], state_text([]), "load: standard input, ports: none")]:
        r = net.live_run(*args, input=given, prefix=log.prefix())
        got = [t for _, _, t in log.lines()]
        if r.returncode or got != [record]:
            fail(f"{' '.join(args)}: exit {r.returncode}, {r.stderr!r}, logged {got}")
        net.verify(" ".join(args))
    log.close()


# What monitor prints of each kind of change, after it added PORT#7.
MONITORED = [(["setflags", PORT, "0"], f"{PORT}: flag word 0x1 -> 0x0"),
             (["bind", PORT + "#7", NEW], f"{PORT}: bound {NEW} to {PORT}#7"),
             (["unbind", PORT + "#7", NEW], f"{PORT}: unbound {NEW} from {PORT}#7"),
             (["del", PORT + "#7"], f"{PORT}: deleted {PORT}#7"),
             (["disable", PORT], f"{PORT}: disabled"), (["enable", PORT], f"{PORT}: enabled")]


def unbound(net):
    """The devices behind a port: the addresses bound to no interface whose
    frames reach PORT#0, exact in frames and bytes and newest first, by
    source and by destination; bound frames never enter the table.  And
    monitor, which prints each change and each new such address as it
    happens."""
    net.fresh([PORT])
    net.setup(SETUP)
    socks = net.endpoints(PORT)
    log = LogSink(net.folder.name)
    mon = None
    try:
        def send(rows):
            first = net.frames_sent
            net.deliver(rows, socks)
            # Each frame is its header and its tag, "brantel-live N".
            return [14 + len(b"brantel-live %d" % (first + 1 + i)) for i in range(len(rows))]

        def table(*args):
            r = net.live_run("show", "--unbound", "-j", *args)
            if r.returncode:
                fail(f"show --unbound {' '.join(args)}: exit {r.returncode}, {r.stderr!r}")
                return []
            return [(u["port"], u["by"], u["address"], u["frames"], u["bytes"])
                    for u in json.loads(r.stdout)["unbound"]]

        sizes = send([(0, "wire", U, X, {"#0"}), (0, "wire", A, X, {"#1"}),
                      (0, "wire", U, BCAST, {"#0"}), (0, "wire", B, X, {"#2"})])
        sizes += send([(0, "wire", D, X, {"#0"})])
        want = [(PORT, "source", D, 1, sizes[4]), (PORT, "source", U, 2, sizes[0] + sizes[2])]
        if table() != want or table(PORT + "#1") != want:
            fail(f"show --unbound: {table()}, want {want}")
        r = net.live_run("show", "--unbound", PORT)
        lines = [l.split(", last seen ")[0] for l in r.stdout.splitlines()]
        if r.returncode or r.stderr or lines != [
                f"{PORT}: {D} (source): 1 frame, {sizes[4]} bytes",
                f"{PORT}: {U} (source): 2 frames, {sizes[0] + sizes[2]} bytes"]:
            fail(f"show --unbound {PORT}: exit {r.returncode}, {r.stdout!r}, {r.stderr!r}")
        net.verify("frames bound to no interface")
        # By destination the table holds destinations; a group address is
        # no device.
        net.setup(FLAG1)
        sizes = send([(1, "wire", A, X, {"#0"}), (1, "wire", U, A, {"#1"}),
                      (1, "wire", A, MCAST, {"#0", "#1", "#2"})])
        want = [(PORT, "destination", X, 1, sizes[0])] + [(PORT, "destination", a, n, b)
                                                        for _, _, a, n, b in want]
        if table() != want:
            fail(f"show --unbound by destination: {table()}, want {want}")
        net.verify("frames bound to no interface, by destination")
        # monitor: a change, then a new address, each as a line.  The change
        # comes first, so the new address surely comes after monitor began.
        mon = subprocess.Popen(["ip", "netns", "exec", net.host, net.live(), "--state",
                                net.state, "monitor"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        os.set_blocking(mon.stdout.fileno(), False)
        seen = []

        def wait_for(line):
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if select.select([mon.stdout], [], [], 0.5)[0]:
                    seen.extend(re.sub(r", last seen \d+ s ago", "", l.rstrip("\n"))
                                for l in mon.stdout.readlines())
                if line in seen:
                    return
                if line.startswith(f"{PORT}: added"):
                    net.live_run("del", PORT + "#7")
                    net.live_run("add", PORT, "7")
            fail(f"monitor: no {line!r} within 30 s; it printed {seen}")

        wait_for(f"{PORT}: added {PORT}#7")
        size = send([(1, "wire", A, NEW, {"#0"})])[0]
        wait_for(f"{PORT}: {NEW} (destination): 1 frame, {size} bytes, new")
        for change, line in MONITORED:
            net.live_run(*change)
            wait_for(line)
        net.expected.clear()  # counted afresh since enable
        old = [l for l in seen if any(l.startswith(f"{PORT}: {a} ") for a in (U, D, X))]
        if old:
            fail(f"monitor printed as new what the table held before it began: {old}")
        mon.send_signal(signal.SIGINT)
        if mon.wait(timeout=30) or mon.stderr.read():
            fail(f"monitor on SIGINT: exit {mon.returncode}")
        net.verify("monitor")
    finally:
        if mon and mon.poll() is None:
            mon.kill()
            mon.wait()
        for s in socks.values():
            s.close()
        log.close()


SCENARIOS = {
    "delivery": delivery,
    "changes": changes,
    "refusal": refusal,
    "repair": repair,
    "handmade": handmade,
    "classifier_gone": classifier_gone,
    "unload": unload,
    "memory": memory,
    "gone": gone,
    "foreign": foreign,
    "privilege": privilege,
    "service": service,
    "replaced": replaced,
    "command": command,
    "unbound": unbound,
}


def scenario(arg):
    """SCENARIO, or SCENARIO:K/N for the Kth of N shares of its rows."""
    name, _, share = arg.partition(":")
    if name not in SCENARIOS:
        raise argparse.ArgumentTypeError(f"no scenario {name!r}: {', '.join(sorted(SCENARIOS))}")
    part, parts = (int(n) for n in share.split("/")) if share else (0, 1)
    if not 0 <= part < parts:
        raise argparse.ArgumentTypeError(f"{arg}: K/N with 0 <= K < N")
    return name, (part, parts)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sim", required=True)
    ap.add_argument("scenarios", nargs="+", type=scenario,
                    help="SCENARIO or SCENARIO:K/N: " + ", ".join(SCENARIOS))
    args = ap.parse_args()
    if os.geteuid() != 0:
        print("SKIP: live mode needs root")
        return 77
    path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
    missing = [t for t in ("ip", "tc", "strace", "setpriv", "bpftool", "unshare")
               if not shutil.which(t, path=path)]
    if missing:
        print(f"SKIP: missing {' '.join(missing)}")
        return 77
    # From here on in namespaces that die with this process: whatever ends
    # it, its network namespaces and files go with it.
    if not isolate():
        print("note: no PID and mount namespace of its own: a killed run leaves its namespaces")
    if sh("ip", "netns", "add", f"brlprobe{os.getpid()}", check=False).returncode:
        print("SKIP: cannot create a network namespace")
        return 77
    sh("ip", "netns", "del", f"brlprobe{os.getpid()}")
    for name, share in args.scenarios:
        where[0] = name
        SHARE.update(part=share, row=0)
        net = Net(os.path.abspath(args.sim))
        try:
            SCENARIOS[name](net)
        except (RuntimeError, OSError, subprocess.SubprocessError) as e:
            fail(f"stopped: {e}")
        finally:
            net.close()
    return failures.report(f"{len(failures)} failed")


if __name__ == "__main__":
    sys.exit(main())
