#!/usr/bin/env python3
"""unload with the real ifconfig on real interfaces, in a private network
namespace: interfaces named like the simulated ones must be down afterwards.

Usage: real_ifconfig.py BRANTEL_SIM TOOL_DIR.  Exits 77 (skipped) where a
private network namespace cannot be made (not root, no unshare)."""
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
IFF_UP = 0x1
NAMES = ["eth1#0", "eth1#7"]  # one veth pair: both ends are vlans of eth1


def inside(sim, tool_dir):
    path = os.pathsep.join([tool_dir, os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
    if not shutil.which("ifconfig", path=path):
        print("FAIL: no ifconfig on PATH (Debian package net-tools)")
        return 1
    subprocess.run(["ip", "link", "add", NAMES[0], "type", "veth", "peer", "name", NAMES[1]],
                   check=True)
    for n in NAMES:
        subprocess.run(["ip", "link", "set", n, "up"], check=True)
    before = {n: flags(n) & IFF_UP for n in NAMES}
    with tempfile.TemporaryDirectory() as tmp:
        state = os.path.join(tmp, "state")
        with open(state, "w") as f:
            f.write("brantel-sim state 1\nport eth1 0x0\n" + "".join(f"vlan {n}\n" for n in NAMES))
        r = subprocess.run([sim, "--state", state, "--", "brantel_config", "unload"],
                           env=dict(os.environ, PATH=path, LC_ALL="C"),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
    want = ("Found: 1 ports\nFound: 2 vlans for port: 0\n"
            "Configuring down interface: eth1#0 with ifconfig...Deleted interface: eth1#0\n"
            "Found: 1 vlans for port: 0\n"
            "Configuring down interface: eth1#7 with ifconfig...Deleted interface: eth1#7\n"
            "Found: 0 vlans for port: 0\nDisabled port: eth1\nFound: 0 ports\n")
    problems = []
    if not all(before.values()):
        problems.append(f"interfaces not up before unload: {before}")
    if r.stdout != want or r.returncode != 0:
        problems.append(f"unload said (status {r.returncode}):\n{r.stdout}")
    for n in NAMES:
        if flags(n) & IFF_UP:
            problems.append(f"{n} is still up")
    for p in problems:
        print("FAIL:", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


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
