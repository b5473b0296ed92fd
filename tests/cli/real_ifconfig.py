#!/usr/bin/env python3
"""unload with the real ifconfig on real interfaces, in a private network
namespace: interfaces named like the simulated ones must be down afterwards,
one taken down by ifconfig, one whose name ifconfig would take for an option.

Usage: real_ifconfig.py BRANTEL_SIM TOOL_DIR.  Exits 77 (skipped) where a
private network namespace cannot be made (not root, no unshare)."""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failures, Sim, clean_env  # noqa: E402

SKIP = 77
IFF_UP = 0x1
PORTS = {"eth1": "eth1#0", "-a": "-a#0"}  # port: its vlan, the two ends of one veth pair
NAMES = list(PORTS.values())


def inside(sim, tool_dir):
    env = clean_env(tool_dir)
    if not shutil.which("ifconfig", path=env["PATH"]):
        print("FAIL: no ifconfig on PATH (Debian package net-tools)")
        return 1
    subprocess.run(["ip", "link", "add", "name", NAMES[0], "type", "veth", "peer", "name",
                    NAMES[1]], check=True)
    for n in NAMES:
        subprocess.run(["ip", "link", "set", "dev", n, "up"], check=True)
    before = {n: flags(n) & IFF_UP for n in NAMES}
    with tempfile.TemporaryDirectory() as tmp:
        sim = Sim(sim, os.path.join(tmp, "state"), env=env)
        sim.write([line for p, v in PORTS.items() for line in (f"port {p} 0x0", f"vlan {v}")])
        r = sim.run(["brantel_config", "unload"], stderr=subprocess.STDOUT, text=True)
    want = "".join(f"Found: {n} ports\nFound: 1 vlans for port: 0\n"
                   f"Configuring down interface: {v} with ifconfig...Deleted interface: {v}\n"
                   f"Found: 0 vlans for port: 0\nDisabled port: {p}\n"
                   for n, (p, v) in zip((2, 1), PORTS.items())) + "Found: 0 ports\n"
    fails = Failures()
    if not all(before.values()):
        fails.fail("unload", f"interfaces not up before unload: {before}")
    fails.compare("unload", "output", want, r.stdout)
    if r.returncode != 0:
        fails.fail("unload", f"exit status {r.returncode}")
    for n in NAMES:
        if flags(n) & IFF_UP:
            fails.fail("unload", f"{n} is still up")
    return fails.report(f"{0 if fails else 1} passed, {1 if fails else 0} failed")


def flags(name):
    with open(f"/sys/class/net/{name}/flags") as f:
        return int(f.read(), 16)


def main():
    sim, tool_dir = sys.argv[-2:]
    if "--inside" in sys.argv:
        return inside(sim, tool_dir)
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"):
        print("SKIP: needs root, unshare and ip to make a private network namespace")
        return SKIP
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        print(f"SKIP: cannot make a private network namespace: {probe.stderr.strip()}")
        return SKIP
    # /sys must be remounted to show the new namespace's interfaces.
    return subprocess.run(["unshare", "-n", "-m", "--propagation", "private", "sh", "-c",
                           'mount -t sysfs sysfs /sys && exec "$@"', "sh",
                           sys.executable, __file__, "--inside", sim, tool_dir]).returncode


if __name__ == "__main__":
    sys.exit(main())
