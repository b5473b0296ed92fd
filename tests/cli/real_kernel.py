#!/usr/bin/env python3
"""enable lo with no simulator: no brantel module answers the real kernel, so
the tool must report the kernel's refusal exactly as any other refusal."""
import errno
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failures, clean_env, listing  # noqa: E402

tool = sys.argv[1]
r = subprocess.run([tool, "enable", "lo"], capture_output=True, text=True, env=clean_env(),
                   timeout=20)
out = r.stdout.splitlines()
number = int(out[0].removeprefix("errno: ")) if out and out[0].startswith("errno: ") else -1
fails = Failures()
if number <= 0 or number == errno.EEXIST:
    fails.fail("enable lo", f"no errno line with a real error number: {r.stdout!r}")
fails.compare_lines("enable lo", "stdout", [f"errno: {number}"] + listing(tool), out)
fails.compare("enable lo", "stderr",
              f"ioctl (SIOCGIFBRANTEL, BRANTEL_ENABLE): {os.strerror(number)}\n", r.stderr)
if r.returncode != 1:
    fails.fail("enable lo", f"exit status {r.returncode}, expected 1")
print(f"kernel said: {os.strerror(number) if number > 0 else '?'}")
sys.exit(fails.report(f"{0 if fails else 1} passed, {1 if fails else 0} failed"))
