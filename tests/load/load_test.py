#!/usr/bin/env python3
"""The module simulator under load, driven through the real brantel_config.

  concurrent  8 streams run at once, each binding 200 distinct addresses with
              one brantel_config run per address; afterwards all 1,600 must
              be bound, each to the interface it was sent to.
  kill        runs of bind and unbind are killed with SIGKILL at random
              moments; after every round the state file must still parse,
              every change that a run reported done must be there, and
              nothing that no run asked for may appear.

Every run has a deadline, so a lock left held by a killed run shows up as a
failure instead of a hang.  The kill test prints its seed when it fails;
give it back with --seed to replay the same choices (the moments themselves
still depend on the machine's timing).
"""
import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failure, Sim, state_text  # noqa: E402

PORTS = ["eth0", "eth1"]
VLANS_PER_PORT = 4
RUN_DEADLINE = 30  # seconds for one brantel_config run, lock waits included


class Tool:
    """brantel_config under the simulator, on one state file."""

    def __init__(self, launcher, tool, state):
        self.sim = Sim(launcher, state)
        self.state = state
        self.tool = tool

    def run(self, *args):
        return self.sim.ok([self.tool, *args], timeout=RUN_DEADLINE)

    def start(self, *args):
        return subprocess.Popen(self.sim.argv([self.tool, *args]), env=self.sim.env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def show(self):
        """The bound addresses as {mac: interface}, checking the file parses."""
        bound, vlan = {}, None
        for line in self.sim.show():
            fields = line.split()
            if fields[0] == "vlan":
                vlan = fields[1]
            elif fields[0] == "mac":
                if fields[1] in bound:
                    raise Failure(f"{fields[1]} bound twice")
                bound[fields[1]] = vlan
        return bound


def interfaces():
    return [f"{p}#{i}" for p in PORTS for i in range(VLANS_PER_PORT)]


def set_up_interfaces(sim):
    for port in PORTS:
        sim.run("enable", port)
        for i in range(1, VLANS_PER_PORT):
            sim.run("add", port, str(i))


def mac(stream, n):
    return f"02:4c:{stream:02x}:00:{n >> 8:02x}:{n & 0xff:02x}"


def test_concurrent(sim, streams, per_stream):
    set_up_interfaces(sim)
    ifs = interfaces()
    # Each stream spreads its addresses over every interface of both ports,
    # so that all streams contend for the same records.
    plan = {s: [(ifs[n % len(ifs)], mac(s, n)) for n in range(per_stream)]
            for s in range(streams)}
    errors = []
    gate = threading.Barrier(streams)

    def stream(s):
        gate.wait()
        try:
            for ifname, addr in plan[s]:
                sim.run("bind", ifname, addr)
        except (Failure, subprocess.TimeoutExpired) as e:
            errors.append(f"stream {s}: {e}")

    started = time.monotonic()
    threads = [threading.Thread(target=stream, args=(s,)) for s in range(streams)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - started
    if errors:
        raise Failure("\n".join(errors))

    want = {addr: ifname for s in plan for ifname, addr in plan[s]}
    got = sim.show()
    missing = sorted(set(want) - set(got))
    extra = sorted(set(got) - set(want))
    moved = sorted(a for a in want if a in got and got[a] != want[a])
    if missing or extra or moved:
        raise Failure(f"{len(missing)} missing (e.g. {missing[:3]}), {len(extra)} unexpected, "
                      f"{len(moved)} on the wrong interface (e.g. {moved[:3]})")
    # The tool reads the same file back: one address line per binding.
    listed = sum(1 for line in sim.run("info").splitlines() if line.startswith(" | |-"))
    if listed != len(want):
        raise Failure(f"info lists {listed} addresses, expected {len(want)}")
    print(f"concurrent: {streams} x {per_stream} binds in {elapsed:.1f} s, all {len(want)} bound")


def test_kill(sim, seed, seconds, width):
    rng = random.Random(seed)
    ifs = interfaces()
    # Start from a populated module, so that each change rewrites a file big
    # enough for a kill to land in the middle of writing it.
    records = []
    sure_bound = {}
    for p in PORTS:
        records.append(f"port {p} 0x0")
        for i in range(VLANS_PER_PORT):
            name = f"{p}#{i}"
            records.append(f"vlan {name}")
            for n in range(100):
                addr = mac(0x80 + len(sure_bound) // 256, len(sure_bound) % 256)
                records.append(f"mac {addr}")
                sure_bound[addr] = name
    sim.sim.load(state_text(records))
    sure_unbound = set()  # addresses whose unbind was reported done
    uncertain = {}  # address: interface, for the runs of this round
    fresh = iter(range(1 << 16))

    # Kills are spread over a window that starts at a run's own length and
    # then adapts so that about half the runs are killed, whatever the load.
    durations = []
    for _ in range(10):
        addr, ifname = mac(0x40, next(fresh)), rng.choice(ifs)
        t = time.monotonic()
        sim.run("bind", ifname, addr)
        durations.append(time.monotonic() - t)
        sure_bound[addr] = ifname
    window = 1.5 * statistics.median(durations)

    rounds = killed = finished = torn = 0
    window_text = f"{window * 1000:.0f}"
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        rounds += 1
        runs = []
        for _ in range(width):
            candidates = sorted(sure_bound)
            if candidates and rng.random() < 0.3:
                addr = rng.choice(candidates)
                op, ifname = "unbind", sure_bound.pop(addr)
            else:
                addr, ifname, op = mac(0x40, next(fresh)), rng.choice(ifs), "bind"
            uncertain[addr] = ifname
            runs.append((op, ifname, addr, rng.uniform(0, window)))
        procs = [(sim.start(op, ifname, addr), op, ifname, addr, time.monotonic() + at)
                 for op, ifname, addr, at in runs]
        for p, *_, at in sorted(procs, key=lambda r: r[-1]):
            delay = at - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            p.send_signal(signal.SIGKILL)  # harmless once it has exited
        round_killed = 0
        for p, op, ifname, addr, _ in procs:
            try:
                _, err = p.communicate(timeout=RUN_DEADLINE)
            except subprocess.TimeoutExpired:
                p.kill()
                raise Failure(f"{op} {ifname} {addr} hung (a lock left held?)")
            if p.returncode == -signal.SIGKILL:
                round_killed += 1
                continue
            finished += 1
            if p.returncode != 0:
                raise Failure(f"{op} {ifname} {addr}: status {p.returncode}: {err.strip()}")
            del uncertain[addr]
            if op == "bind":
                sure_bound[addr] = ifname
            else:
                sure_unbound.add(addr)

        killed += round_killed
        if 2 * round_killed > width:
            window *= 1.15
        elif 2 * round_killed < width:
            window /= 1.15
        # A kill between writing the new file and renaming it leaves it behind.
        torn += os.path.exists(sim.state + ".tmp")
        got = sim.show()
        lost = [a for a in sure_bound if got.get(a) != sure_bound[a]]
        back = [a for a in sure_unbound if a in got]
        extra = [a for a in got if a not in sure_bound and got[a] != uncertain.get(a)]
        if lost or back or extra:
            raise Failure(f"round {rounds}: done binds missing {lost[:3]}, done unbinds "
                          f"still bound {back[:3]}, never asked for {extra[:3]}")
        # A killed run may or may not have made its change; from here on its
        # address must stay as this round left it.
        for a, ifname in uncertain.items():
            if a in got:
                sure_bound[a] = ifname
            else:
                sure_unbound.add(a)
        uncertain.clear()

    if killed < 10 or finished < 10:
        raise Failure(f"only {killed} runs killed and {finished} finished in {rounds} rounds: "
                      "the kills did not land across the runs")
    print(f"kill: {rounds} rounds, {killed} runs killed, {finished} finished, "
          f"{torn} rounds ended by a kill mid-write; state parsed after each (window {window_text} ms at first, "
          f"{window * 1000:.0f} ms at the end)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sim", required=True, help="the brantel-sim launcher")
    ap.add_argument("--tool", required=True, help="the brantel_config binary")
    ap.add_argument("--seed", type=int, help="kill: seed of the random choices")
    ap.add_argument("--seconds", type=float, default=10, help="kill: how long to go on")
    ap.add_argument("--per-stream", type=int, default=200,
                    help="concurrent: addresses each of the 8 streams binds")
    ap.add_argument("test", choices=["concurrent", "kill"])
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)

    with tempfile.TemporaryDirectory(prefix="brantel-load-") as tmp:
        sim = Tool(args.sim, os.path.abspath(args.tool), os.path.join(tmp, "state"))
        try:
            if args.test == "concurrent":
                test_concurrent(sim, streams=8, per_stream=args.per_stream)
            else:
                test_kill(sim, seed, args.seconds, width=4)
        except (Failure, subprocess.TimeoutExpired) as e:
            print(f"FAIL ({args.test}): {e}", file=sys.stderr)
            if args.test == "kill":
                print(f"seed: {seed} (rerun with --seed {seed})", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
