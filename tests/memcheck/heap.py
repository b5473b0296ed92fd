#!/usr/bin/env python3
"""The tool's own code takes nothing from the heap.

1. It imports no routine whose job is to allocate (malloc and kin, strdup,
   asprintf, fopen, ...), so none of its code paths can.
2. Run under valgrind with no simulator, with its output on pipes as in a
   script, the listing, help, the usage lines, a bad address and a refusal
   from the real kernel (perror included) allocate nothing at all.
3. On a terminal, the C library allocates on its own: a line buffer for
   standard output, and perror a private stream on a read-write standard
   error.  Those runs must free all of it; their counts are printed.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import Failures, Terminal, clean_env  # noqa: E402

ALLOCATORS = {
    "malloc", "calloc", "realloc", "reallocarray", "free", "aligned_alloc",
    "posix_memalign", "memalign", "valloc", "pvalloc", "strdup", "strndup",
    "wcsdup", "asprintf", "vasprintf", "open_memstream", "open_wmemstream",
    "fmemopen", "fopen", "fopen64", "fdopen", "freopen", "popen", "getline",
    "getdelim", "realpath", "scandir", "glob", "regcomp", "getaddrinfo",
}

RUNS = [
    [],                      # the listing
    ["help", "info"],
    ["help", "nosuch"],
    ["enable"],              # a usage line
    ["bind", "x", "00:11"],  # a socket, then a bad address
    ["enable", "lo"],        # the kernel refuses: perror and the errno line
    ["info"],                # refused at once: perror, then the listing
]

USAGE = re.compile(r"in use at exit: ([\d,]+) bytes in ([\d,]+) blocks|"
                   r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees")


def heap_usage(valgrind, tool, args, stdio, env):
    """(allocs, blocks in use at exit) of one run under memcheck."""
    with tempfile.TemporaryDirectory(prefix="brantel-heap.") as tmp:
        log = os.path.join(tmp, "valgrind.log")
        subprocess.run([valgrind, f"--log-file={log}", tool] + args, env=env,
                       stdin=subprocess.DEVNULL, timeout=60, **stdio)
        with open(log, encoding="utf-8") as f:
            text = f.read()
    allocs = in_use = None
    for m in USAGE.finditer(text):
        if m.group(2) is not None:
            in_use = int(m.group(2).replace(",", ""))
        else:
            allocs = int(m.group(3).replace(",", ""))
    if allocs is None:
        raise SystemExit(f"no heap summary from valgrind:\n{text}")
    return allocs, in_use or 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--valgrind", default="valgrind")
    ap.add_argument("--nm", default="nm")
    ap.add_argument("tool")
    args = ap.parse_args()
    problems = Failures()

    nm = subprocess.run([args.nm, "-D", "--undefined-only", args.tool],
                        capture_output=True, text=True, check=True)
    imported = {line.split()[-1].split("@")[0] for line in nm.stdout.splitlines() if line.strip()}
    for name in sorted(imported & ALLOCATORS):
        problems.fail("heap", f"the tool imports {name}")
    for name in sorted(n for n in imported if n.startswith("_Z")):
        problems.fail("heap", f"the tool imports C++ runtime symbol {name}")

    env = clean_env()
    pipes = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
    for run in RUNS:
        allocs, _ = heap_usage(args.valgrind, args.tool, run, pipes, env)
        print(f"pipes: brantel_config {' '.join(run)}: {allocs} allocations")
        if allocs:
            problems.fail("heap", f"{run}: {allocs} allocations with output on pipes")

    for run in RUNS:
        try:
            tty = Terminal()
        except OSError as e:
            print(f"no terminal to test with ({e}); terminal runs left out")
            break
        allocs, in_use = heap_usage(args.valgrind, args.tool, run,
                                    {"stdout": tty.slave, "stderr": tty.slave}, env)
        tty.output()
        print(f"terminal: brantel_config {' '.join(run)}: {allocs} allocations "
              f"by the C library, {in_use} blocks left at exit")
        if in_use:
            problems.fail("heap", f"{run}: {in_use} blocks in use at exit on a terminal")

    return problems.report(f"{len(problems)} problems")


if __name__ == "__main__":
    sys.exit(main())
