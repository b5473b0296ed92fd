"""Check daemon.o's symbol table: it must export daemon and daemon_rcsid and
need nothing but the kernel's process calls, so it links into any program.

usage: check_symbols.py NM OBJECT
"""
import subprocess
import sys

EXPORTS = {"daemon": "T", "daemon_rcsid": "D"}
CALLS = {"fork", "_exit", "setsid", "chdir", "open", "dup2", "close"}


def symbols(nm, obj, *flags):
    out = subprocess.run([nm, *flags, obj], check=True, capture_output=True,
                         text=True).stdout
    # Lines are "[address] TYPE name"; the address is missing for undefined.
    return {line.split()[-1]: line.split()[-2] for line in out.splitlines()
            if line.strip()}


def main():
    nm, obj = sys.argv[1:3]
    problems = []
    defined = symbols(nm, obj, "-g", "--defined-only")
    if defined != EXPORTS:
        problems.append(f"exports {defined}, expected {EXPORTS}")
    undefined = set(symbols(nm, obj, "-u"))
    # A large-file build may route open through open64; either is the call.
    if "open64" in undefined and "open" not in undefined:
        undefined = (undefined - {"open64"}) | {"open"}
    if undefined != CALLS:
        problems.append(f"unexpected undefined: {sorted(undefined - CALLS)}, "
                        f"missing: {sorted(CALLS - undefined)}")
    for p in problems:
        print(f"{obj}: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
