#!/usr/bin/env python3
"""enable lo with no simulator: no brantel module answers the real kernel, so
the tool must report the kernel's refusal exactly as any other refusal."""
import errno
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from transcript import listing  # noqa: E402

tool = sys.argv[1]
env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "BRANTEL_SIM"))}
env["LC_ALL"] = "C"
r = subprocess.run([tool, "enable", "lo"], capture_output=True, text=True, env=env, timeout=20)
out = r.stdout.splitlines()
number = int(out[0].removeprefix("errno: ")) if out and out[0].startswith("errno: ") else -1
want_out = [f"errno: {number}"] + listing(tool)
want_err = f"ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): {os.strerror(number)}\n"
problems = []
if number <= 0 or number == errno.EEXIST:
    problems.append(f"no errno line with a real error number: {r.stdout!r}")
if out != want_out:
    problems.append(f"stdout: {r.stdout!r}")
if r.stderr != want_err:
    problems.append(f"stderr: {r.stderr!r}, expected {want_err!r}")
if r.returncode != 1:
    problems.append(f"exit status {r.returncode}, expected 1")
for p in problems:
    print("FAIL", p)
print(f"kernel said: {os.strerror(number) if number > 0 else '?'}")
print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
sys.exit(1 if problems else 0)
