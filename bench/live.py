#!/usr/bin/env python3
"""Benchmarks of live mode, in private network namespaces (root only; exit
77 elsewhere).  Prints Markdown tables for doc/performance.md; the checks
below make it exit 1 when one fails:
  - delivery: FRAMES frames from MACS bound and UNBOUND unbound addresses,
    over IFACES interfaces: none delivered to a wrong device, none lost;
  - classifier: run time per frame from the kernel's BPF statistics, at most
    200 ns;
  - bind: `brantel_config bind` under live mode, median of RUNS, at most
    2 ms more than under the simulated mode;
  - disable: a port with IFACES interfaces torn down in under 0.1 s.

  bench/live.py [--build DIR | --sim FILE] [--small]
"""
import argparse
import ctypes
import os
import platform
import random
import select
import socket
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "live"))
from live_test import ETH_TEST, PORT, Net, mac_bytes, sh  # noqa: E402

BPF_SYSCALL = {"x86_64": 321, "aarch64": 280}
libc = ctypes.CDLL(None, use_errno=True)


def run_time_stats():
    """Turns the kernel's BPF run-time statistics on while the returned
    descriptor is open (BPF_ENABLE_STATS), leaving the sysctl alone."""
    attr = ctypes.create_string_buffer(8)  # type = BPF_STATS_RUN_TIME (0)
    fd = libc.syscall(BPF_SYSCALL[platform.machine()], 32, attr, 8)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "BPF_ENABLE_STATS")
    return fd


def state(ifaces, macs):
    lines = ["brantel-sim state 2", f"port {PORT} 0x0"]
    for i in range(ifaces):
        lines.append(f"vlan {PORT}#{i}")
        lines += [f"mac {m}" for m in macs[i::ifaces]]
    return "\n".join(lines + ["end", ""])


def mac(n):
    return "02:%02x:%02x:%02x:00:01" % (n >> 16 & 255, n >> 8 & 255, n & 255)


def delivery(net, frames, ifaces, bound, unbound):
    macs = [mac(n) for n in range(bound + unbound)]
    r = net.sim_run("load", "-", input=state(ifaces, macs[:bound]))
    if r.returncode:
        raise RuntimeError(r.stderr)
    want = {m: f"{PORT}#{i % ifaces}" for i, m in enumerate(macs[:bound])}
    want.update({m: f"{PORT}#0" for m in macs[bound:]})
    socks = {}
    for i in range(ifaces):
        name = f"{PORT}#{i}"
        net.ip("link", "set", name, "up")
        socks[name] = net.socket(net.host, name)
        socks[name].setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
    wire = net.socket(net.wire, "wire0")
    prog = [f["options"]["prog"]["id"] for f in net.tc_filters(PORT, "ingress")
            if "prog" in f.get("options", {})][0]
    before = net.prog_stats(prog)
    stats = run_time_stats()
    got, wrong, sent = 0, 0, 0
    rng = random.Random(7)
    order = [rng.choice(macs) for _ in range(frames)]
    by_fd = {s.fileno(): (n, s) for n, s in socks.items()}
    poll = select.poll()
    for fd in by_fd:
        poll.register(fd, select.POLLIN)

    def drain(timeout_ms):
        nonlocal got, wrong
        for fd, _ in poll.poll(timeout_ms):
            name, s = by_fd[fd]
            while True:
                try:
                    data = s.recv(64, socket.MSG_DONTWAIT)
                except BlockingIOError:
                    break
                got += 1
                src = ":".join("%02x" % b for b in data[6:12])
                wrong += want.get(src) != name

    start = time.perf_counter()
    for n, src in enumerate(order):
        wire.send(b"\xff" * 6 + mac_bytes(src) + struct.pack("!H", ETH_TEST) + b"%08d" % n)
        sent += 1
        if sent % 256 == 0:  # in bursts no queue on the way can overflow
            while got < sent - 64:
                drain(100)
                if time.perf_counter() - start > 120:
                    break
    deadline = time.time() + 2
    while got < sent and time.time() < deadline:
        drain(100)
    drain(200)
    elapsed = time.perf_counter() - start
    after = net.prog_stats(prog)
    os.close(stats)
    runs = after[1] - before[1]
    ns = (after[0] - before[0]) / runs if runs else float("nan")
    return {"sent": sent, "got": got, "wrong": wrong, "lost": sent - got + wrong, "ns": ns,
            "runs": runs, "seconds": elapsed}


def bind_cost(net, runs):
    """Median of `bind` then `unbind` (untimed) of one address, under live
    and simulated mode in turn, from inside the port's namespace."""
    sim_state = net.state + ".sim"
    modes = {"simulated": [net.sim, "--state", sim_state],
             "live": [net.sim, "--live", "--state", net.state]}
    for argv in modes.values():
        for step in (["enable", PORT], ["add", PORT, "1"]):
            subprocess.run(argv + ["brantel_config"] + step, capture_output=True)
    times = {k: [] for k in modes}
    for n in range(runs):
        for name, argv in modes.items():
            t = time.perf_counter()
            r = subprocess.run(argv + ["brantel_config", "bind", f"{PORT}#1", mac(n)],
                               capture_output=True)
            times[name].append((time.perf_counter() - t) * 1000)
            r2 = subprocess.run(argv + ["brantel_config", "unbind", f"{PORT}#1", mac(n)],
                                capture_output=True)
            if r.returncode or r2.returncode:
                raise RuntimeError(f"{name}: {r.stderr!r} {r2.stderr!r}")
    for suffix in ("", ".lock"):
        if os.path.exists(sim_state + suffix):
            os.unlink(sim_state + suffix)
    return {k: statistics.median(v) for k, v in times.items()}


def teardown(net, ifaces, runs):
    times = []
    for _ in range(runs):
        net.sim_run("load", "-", input=state(ifaces, []))
        t = time.perf_counter()
        r = subprocess.run([net.sim, "--live", "--state", net.state, "brantel_config", "disable",
                            PORT], capture_output=True)
        times.append((time.perf_counter() - t) * 1000)
        if r.returncode:
            raise RuntimeError(r.stderr)
    return times


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build/ci")
    ap.add_argument("--sim")
    ap.add_argument("--small", action="store_true")
    args = ap.parse_args()
    sim = os.path.abspath(args.sim or os.path.join(args.build, "bin", "brantel-sim"))
    if os.geteuid() != 0 or platform.machine() not in BPF_SYSCALL:
        print("SKIP: live mode benchmarks need root (and x86_64 or aarch64)")
        return 77
    frames, ifaces, bound, unbound, runs = (
        (2000, 8, 100, 10, 10) if args.small else (100000, 64, 1000, 100, 200))
    net = Net(sim)
    own = os.open("/proc/self/ns/net", os.O_RDONLY)
    try:
        d = delivery(net, frames, ifaces, bound, unbound)
        net.reset()
        there = os.open(f"/run/netns/{net.host}", os.O_RDONLY)
        libc.setns(there, 0x40000000)  # time commands without `ip netns exec`
        os.close(there)
        b = bind_cost(net, runs)
        net.reset()
        t = teardown(net, ifaces, 5)
    finally:
        libc.setns(own, 0x40000000)
        os.close(own)
        net.close()
    kernel = platform.release()
    checks = {
        "delivery": d["wrong"] == 0 and d["lost"] == 0,
        "classifier": d["ns"] <= 200,
        "bind": b["live"] - b["simulated"] <= 2.0,
        "disable": min(t) < 100,
    }
    ok = lambda k: "ok" if checks[k] else "FAIL"  # noqa: E731
    print(f"Machine: {os.cpu_count()} CPUs, Linux {kernel}, Python {platform.python_version()}\n")
    print("| figure | measured | check |\n|---|---:|---|")
    print(f"| frames sent / received | {d['sent']:,} / {d['got']:,} | |")
    print(f"| delivered to a wrong device | {d['wrong']:,} | {ok('delivery')} (0) |")
    print(f"| lost | {d['lost'] - d['wrong']:,} | {ok('delivery')} (0) |")
    print(f"| classifier runs counted by the kernel | {d['runs']:,} | |")
    print(f"| classifier time per frame (ns) | {d['ns']:.0f} | {ok('classifier')} (<= 200) |")
    print(f"| `bind`, simulated, median of {runs} (ms) | {b['simulated']:.2f} | |")
    print(f"| `bind`, live, median of {runs} (ms) | {b['live']:.2f} | |")
    print(f"| `bind`, live minus simulated (ms) | {b['live'] - b['simulated']:.2f} | {ok('bind')} (<= 2) |")
    print(f"| `disable` of {ifaces} interfaces, best of 5 (ms) | {min(t):.1f} | {ok('disable')} (< 100) |")
    print(f"| `disable` of {ifaces} interfaces, median of 5 (ms) | {statistics.median(t):.1f} | |")
    print(f"\n({frames:,} frames from {bound:,} bound and {unbound:,} unbound addresses over "
          f"{ifaces} interfaces, in {d['seconds']:.1f} s)")
    failed = [k for k, v in checks.items() if not v]
    print("\nAll checks passed." if not failed else f"\nFailed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
