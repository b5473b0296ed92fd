#!/usr/bin/env python3
"""Benchmarks of brantel_config: start-up, `info` at scale, `unload` at scale.

Prints the machine and three tables (Markdown, ready for
doc/performance.md).  Figures that depend on timing are reported, not
enforced; the countable ones are checked, and the script exits 1 when one
of those fails:
  - start-up: callgrind instruction count of `brantel_config help info`, both
    it and the one-line C baseline built with -O2, at most 1.15 times the
    baseline's; the tool needs only the C library at run time;
  - info: at most one write call per 4 KiB of output (standard output a
    file, as in a pipeline), and the state file opened once per run;
  - unload: exactly one process started per interface, and it is ifconfig.
Exit status 77 means a needed program (valgrind, strace, /usr/bin/time, cc,
cmake) is missing.

  bench/run.py [--build DIR | --sim FILE --tool FILE] [--small] [--work DIR]

--build is a built tree (default build/ci) that provides the simulator and
the tool as shipped; the script also builds the tool with -O2 itself for the
start-up comparison.  --small runs tiny sizes in a few
seconds, to prove the script works.  The simulator and a do-nothing
stand-in for ifconfig are used throughout: the machine's interfaces are
never touched.
"""
import argparse
import math
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
from testlib import Sim, clean_env, state_text  # noqa: E402

MAX_STARTUP_RATIO = 1.15
WRITE_UNIT = 4096


class Missing(Exception):
    pass


def run(argv, **kw):
    kw.setdefault("check", True)
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    kw.setdefault("text", True)
    return subprocess.run(argv, **kw)


def need(*programs):
    for p in programs:
        if not (shutil.which(p) or os.access(p, os.X_OK)):
            raise Missing(p)


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return (f"{os.cpu_count()} CPUs ({cpu}), {mem_kib / 1048576:.0f} GiB, "
            f"Linux {platform.release()}, {platform.libc_ver()[0]} {platform.libc_ver()[1]}")


class Bench:
    def __init__(self, args, work):
        self.work = work
        self.small = args.small
        build = os.path.abspath(args.build)
        self.sim = os.path.abspath(args.sim or os.path.join(build, "bin", "brantel-sim"))
        self.tool = os.path.abspath(args.tool or os.path.join(build, "sbin", "brantel_config"))
        for path in (self.sim, self.tool):
            if not os.access(path, os.X_OK):
                sys.exit(f"bench: {path} not found: build the tree first "
                         f"(cmake --workflow --preset ci)")
        self.failures = []
        self.stubdir = os.path.join(work, "bin")
        os.makedirs(self.stubdir)
        # The stand-in ifconfig comes first in PATH.
        self.env = clean_env(self.stubdir)

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return "ok" if ok else "FAIL"

    def cc(self, source, out, *flags):
        run(["cc", "-O2", "-Wall", "-Wextra", "-I", os.path.join(ROOT, "include"),
             os.path.join(HERE, source), "-o", out, *flags])
        return out

    def prepare(self):
        w = self.work
        self.hello = self.cc("hello.c", os.path.join(w, "hello"))
        self.probe = self.cc("one_request.c", os.path.join(w, "one_request"))
        self.cc("ifconfig_stub.c", os.path.join(self.stubdir, "ifconfig"))
        self.shim = self.cc("spawn_shim.c", os.path.join(w, "spawn_shim.so"),
                            "-shared", "-fPIC", "-ldl")
        # The tool with -O2, through the project's own build so that every
        # other flag is the shipped one.
        o2 = os.path.join(w, "o2")
        run(["cmake", "-S", ROOT, "-B", o2, "-G", "Ninja", "-DBUILD_TESTING=OFF",
             "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG",
             "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG"])
        run(["cmake", "--build", o2, "--target", "brantel_config"])
        self.tool_o2 = os.path.join(o2, "sbin", "brantel_config")

    # -- start-up ---------------------------------------------------------

    def instructions(self, argv):
        out = os.path.join(self.work, "callgrind.out")
        run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv],
            stdout=subprocess.DEVNULL, env=self.env)
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
        raise RuntimeError("no total in callgrind output")

    def startup(self):
        base = self.instructions([self.hello])
        rows = [("one-line C program", "cc -O2", base, 1.0, "")]
        o2 = self.instructions([self.tool_o2, "help", "info"])
        rows.append(("`brantel_config help info`", "-O2", o2, o2 / base,
                     self.check(o2 / base <= MAX_STARTUP_RATIO,
                                f"start-up ratio {o2 / base:.3f} > {MAX_STARTUP_RATIO}")))
        shipped = self.instructions([self.tool, "help", "info"])
        rows.append(("`brantel_config help info`", "as given (--build or --tool)", shipped,
                     shipped / base, ""))

        libs = []
        for line in run(["ldd", self.tool]).stdout.splitlines():
            name = line.split()[0]
            if not name.startswith(("linux-vdso", "linux-gate", "/lib", "ld-linux")):
                libs.append(name)
        libs_ok = self.check(libs == ["libc.so.6"], f"run-time libraries {libs}")

        print("## Start-up (instructions executed, valgrind --tool=callgrind)\n")
        print("| program | built with | instructions | ratio to C | check (≤ 1.15) |")
        print("|---|---|---:|---:|---|")
        for name, how, n, ratio, ok in rows:
            print(f"| {name} | {how} | {n:,} | {ratio:.3f} | {ok} |")
        print(f"\nRun-time libraries (ldd, less the loader and vDSO): "
              f"{', '.join(libs)} — {libs_ok}\n")

    # -- info at scale ----------------------------------------------------

    def state_file(self, name, ports, vlans_per_port, macs):
        """A module of `ports` ports with `vlans_per_port` interfaces each
        and `macs` addresses spread over all interfaces, installed through
        `brantel-sim load` so that the simulator has checked it."""
        ifs = [(p, v) for p in range(ports) for v in range(vlans_per_port)]
        per_if = [[] for _ in ifs]
        for n in range(macs):
            per_if[n % len(ifs)].append(n)
        lines = []
        for p in range(ports):
            lines.append(f"port eth{p} 0x0")
            for v in range(vlans_per_port):
                lines.append(f"vlan eth{p}#{v}")
                for n in per_if[p * vlans_per_port + v]:
                    lines.append(f"mac 02:{n >> 24 & 255:02x}:{n >> 16 & 255:02x}:"
                                 f"{n >> 8 & 255:02x}:{n & 255:02x}:00")
        state = os.path.join(self.work, name)
        Sim(self.sim, state, env=self.env).load(state_text(lines))
        return state

    def best_times(self, variants, repeats, before=None):
        """The best wall time of each (argv, env) variant.  The variants take
        turns, so that a burst of load elsewhere hits them alike."""
        best = [math.inf] * len(variants)
        for _ in range(repeats):
            for i, (argv, env) in enumerate(variants):
                if before:
                    before()
                t = time.perf_counter()
                run(argv, stdout=subprocess.DEVNULL, env=env)
                best[i] = min(best[i], time.perf_counter() - t)
        return best

    def peak_kib(self, argv):
        r = run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL, env=self.env)
        return int(r.stderr.strip().splitlines()[-1])

    def info(self, sizes, repeats):
        rows = []
        for n in sizes:
            state = self.state_file(f"info-{n}", 4, 8, n)
            sim = Sim(self.sim, state, env=self.env)
            info, probe = sim.argv([self.tool, "info"]), sim.argv([self.probe])
            out = os.path.join(self.work, "info.out")
            with open(out, "w") as f:
                run(info, stdout=f, env=self.env)
            with open(out, "rb") as f:
                text = f.read()
            lines = text.count(b"\n")

            trace = os.path.join(self.work, "info.strace")
            with open(out, "w") as f:
                run(["strace", "-qq", "-o", trace, "-e", "trace=write,openat", *info],
                    stdout=f, env=self.env)
            writes = opens = 0
            with open(trace) as f:
                for line in f:
                    if line.startswith("write(1,"):
                        writes += 1
                    elif line.startswith("openat(") and f'"{state}"' in line:
                        opens += 1
            allowed = max(1, math.ceil(len(text) / WRITE_UNIT))

            t_info, t_probe = self.best_times([(info, self.env), (probe, self.env)], repeats)
            kib_info, kib_probe = self.peak_kib(info), self.peak_kib(probe)
            rows.append(dict(
                n=n, lines=lines, bytes=len(text), ms=t_info * 1e3,
                us_line=t_info / lines * 1e6, net_us_line=(t_info - t_probe) / lines * 1e6,
                writes=writes, allowed=allowed, opens=opens,
                kib=kib_info, own_kib=kib_info - kib_probe,
                ok=self.check(writes <= allowed and opens == 1,
                              f"info {n}: {writes} writes (≤ {allowed}), {opens} state opens")))

        print("## `info` at scale\n")
        print("| addresses | lines | output bytes | best of "
              f"{repeats} (ms) | µs/line | µs/line past the state load | write calls "
              "(≤ 1 per 4 KiB) | state file opens | peak RSS (KiB) | RSS above a one-request run (KiB) "
              "| check |")
        print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|")
        for r in rows:
            print(f"| {r['n']:,} | {r['lines']:,} | {r['bytes']:,} | {r['ms']:.1f} | "
                  f"{r['us_line']:.3f} | {r['net_us_line']:.3f} | {r['writes']} (≤ {r['allowed']}) | "
                  f"{r['opens']} | {r['kib']:,} | {r['own_kib']:,} | {r['ok']} |")
        big = [r for r in rows if r["lines"] >= 5000]
        if len(big) >= 2:
            spread = max(r["net_us_line"] for r in big) / min(r["net_us_line"] for r in big)
            print(f"\nTime per line past the state load, largest over smallest from 5,000 lines up: "
                  f"{spread:.2f} (1.00 is perfectly linear).")
        own = [r["own_kib"] for r in rows]
        print(f"Peak memory above a one-request run, across sizes: {min(own):,} to {max(own):,} KiB.\n")

    # -- unload at scale --------------------------------------------------

    def processes(self, argv, env):
        """Processes the command started, and what each one ran."""
        trace = os.path.join(self.work, "unload.strace")
        run(["strace", "-f", "-qq", "-o", trace,
             "-e", "trace=execve,execveat,fork,vfork,clone,clone3", *argv],
            stdout=subprocess.DEVNULL, env=env)
        first, started, pending = None, {}, {}
        with open(trace) as f:
            for line in f:
                m = re.match(r"(\d+)\s+(.*)", line)
                if not m:
                    continue
                pid, rest = int(m.group(1)), m.group(2)
                if first is None:
                    first = pid
                if pid != first:
                    started.setdefault(pid, [])
                exe = re.match(r'execve\("([^"]*)"', rest)
                if exe:
                    pending[pid] = exe.group(1)
                if (exe or "execve resumed" in rest) and re.search(r"= 0$", rest.strip()):
                    if pid != first:
                        started[pid].append(os.path.basename(pending[pid]))
        return started

    def unload(self, interfaces, repeats):
        ports = max(1, interfaces // 50)
        per_port = interfaces // ports
        source = self.state_file("unload-src", ports, per_port, 0)
        state = os.path.join(self.work, "unload")

        def fresh():
            shutil.copyfile(source, state)

        argv = Sim(self.sim, state).argv([self.tool, "unload"])
        direct = dict(self.env, LD_PRELOAD=self.shim, BENCH_SPAWN="direct")
        shell = dict(self.env, LD_PRELOAD=self.shim, BENCH_SPAWN="shell")
        none = dict(self.env, LD_PRELOAD=self.shim, BENCH_SPAWN="none")

        fresh()
        started = self.processes(argv, direct)
        ran = sorted({tuple(v) for v in started.values()})
        ok = self.check(len(started) == interfaces and ran == [("ifconfig",)],
                        f"unload {interfaces}: {len(started)} processes, running {ran}")
        fresh()
        via_sh = self.processes(argv, shell)

        t_direct, t_shell, t_none = self.best_times(
            [(argv, direct), (argv, shell), (argv, none)], repeats, before=fresh)
        saved = (t_shell - t_direct) / interfaces * 1e3

        print("## `unload` at scale\n")
        print(f"| interfaces | started as | processes | best of {repeats} (ms) "
              "| per interface (ms) | check |")
        print("|---:|---|---:|---:|---:|---|")
        print(f"| {interfaces} | ifconfig started directly (the tool) | {len(started)} | "
              f"{t_direct * 1e3:.0f} | {t_direct / interfaces * 1e3:.2f} | {ok} |")
        print(f"| {interfaces} | `sh -c 'ifconfig \"$1\" down'` | {len(via_sh)} | "
              f"{t_shell * 1e3:.0f} | {t_shell / interfaces * 1e3:.2f} | |")
        print(f"| {interfaces} | not started (the teardown alone) | 0 | "
              f"{t_none * 1e3:.0f} | {t_none / interfaces * 1e3:.2f} | |")
        print(f"\nStarting ifconfig without a shell saves {saved:.2f} ms per interface "
              f"({(1 - t_direct / t_shell) * 100:.0f} % of the teardown through a shell); "
              f"starting it at all costs {(t_direct - t_none) / interfaces * 1e3:.2f} ms.\n")

    def report(self):
        print(f"# brantel_config benchmarks{' (--small)' if self.small else ''}\n")
        print(f"Machine: {machine()}")
        print(f"Command: {' '.join(shlex.quote(a) for a in sys.argv)}\n")
        self.prepare()
        self.startup()
        if self.small:
            self.info([200, 2000], repeats=3)
            self.unload(20, repeats=3)
        else:
            self.info([1000, 10000, 100000], repeats=5)
            self.unload(500, repeats=5)
        if self.failures:
            print("Checks failed:\n  " + "\n  ".join(self.failures))
            return 1
        print("All checks passed.")
        return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "ci"),
                    help="built tree with the simulator and the tool (default build/ci)")
    ap.add_argument("--sim", help="the brantel-sim launcher (default: in --build)")
    ap.add_argument("--tool", help="the brantel_config to measure (default: in --build)")
    ap.add_argument("--small", action="store_true", help="tiny sizes, to prove the script works")
    ap.add_argument("--work", help="keep the work files in this (new) folder")
    args = ap.parse_args()
    try:
        need("valgrind", "strace", "/usr/bin/time", "cc", "cmake", "ldd")
        if args.work:
            os.makedirs(args.work)
            return Bench(args, args.work).report()
        with tempfile.TemporaryDirectory(prefix="brantel-bench-") as work:
            return Bench(args, work).report()
    except Missing as e:
        print(f"SKIP: {e} not found (apt-get install valgrind strace time)")
        return 77
    except subprocess.CalledProcessError as e:
        print(f"bench: {' '.join(e.cmd)}: status {e.returncode}\n{e.stdout or ''}{e.stderr or ''}",
              file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
