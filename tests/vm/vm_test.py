#!/usr/bin/env python3
"""Live mode on a booted Debian 12: the project's packages installed in a
qemu machine with systemd as PID 1 and udev, driven step by step through a
runner in the guest, NICs hot-plugged over QMP.  Every scenario ends with
brantel-live check clean and frames across a wire: a second NIC on each
port's qemu hub, in a namespace of the guest.  No host network.

Usage: vm_test.py SRC WORK DEBS [SCENARIO...]
WORK holds the run's files; DEBS, install.package's packages, are used
when they are newer than the source, else the packages are built.  The
image is cached in $BRANTEL_VM_CACHE (/var/cache/brantel-vm), keyed on
its package list."""
import base64
import ctypes
import glob
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ["brantel-config", "brantel-sim", "brantel-live", "brantel-config-dev",
         "brantel-config-dbgsym", "brantel-sim-dbgsym", "brantel-live-dbgsym"]
# A guard against a hang of the whole run, far above what it takes even
# under software emulation on a busy machine: not a measure.
DEADLINE = time.monotonic() + float(os.environ.get("BRANTEL_VM_LIMIT", 2400))
# The NICs: name in the guest -> (PCI slot, hub, MAC).  ens6 and ens7 are
# the wires' other ends.
NICS = {"ens4": (4, 0, "52:54:00:00:00:04"), "ens5": (5, 1, "52:54:00:00:00:05"),
        "ens6": (6, 0, "52:54:00:00:01:04"), "ens7": (7, 1, "52:54:00:00:01:05")}


def skip(why):
    print(f"SKIP: {why}")
    sys.exit(77)


def say(text):
    print(f"vm: {text}", flush=True)


class Failed(Exception):
    pass


def mirror():
    """Debian's archive as apt here reaches it."""
    if os.environ.get("BRANTEL_VM_MIRROR"):
        return os.environ["BRANTEL_VM_MIRROR"]
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        for block in open(path).read().split("\n\n"):
            fields = dict(l.split(":", 1) for l in block.splitlines()
                          if ":" in l and not l.startswith("#"))
            if "bookworm" in fields.get("Suites", "").split() and \
                    "deb" in fields.get("Types", "").split():
                return fields["URIs"].split()[0]
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list")):
        if os.path.exists(path):
            for line in open(path):
                word = [w for w in line.split() if not w.startswith("[")]
                if word[:1] == ["deb"] and len(word) > 2 and word[2] == "bookworm":
                    return word[1]
    return "http://deb.debian.org/debian"


def newest_source(src):
    """The newest file that goes into the packages."""
    files = subprocess.run(["git", "-C", src, "ls-files", "-z", "--", ".", ":!tests", ":!.ci"], capture_output=True,
                           check=True).stdout.split(b"\0")
    return max(os.stat(os.path.join(src, f.decode())).st_mtime
               for f in files if f and os.path.exists(os.path.join(src, f.decode())))


def packages(src, work, debs):
    """The build's packages: install.package's when newer than the source."""
    def found(folder):
        got = [glob.glob(os.path.join(folder, f"{n}_*.deb")) for n in NAMES]
        return [g[0] for g in got] if all(len(g) == 1 for g in got) else None
    out = os.path.join(work, "build")
    newest = newest_source(src)
    for folder in (debs, out):
        have = found(folder)
        if have and min(os.stat(d).st_mtime for d in have) > newest:
            return have
    shutil.rmtree(out, ignore_errors=True)
    tree = os.path.join(out, "src")
    os.makedirs(tree)
    say("building the packages")
    subprocess.run(["bash", "-c", f'source "{HERE}/../install/common.sh" && '
                    f'copy_source "{src}" "{tree}"'], check=True)
    env = dict(os.environ, DEB_BUILD_OPTIONS="nocheck parallel=2", DEB_BUILD_PROFILES="nocheck")
    r = subprocess.run(["dpkg-buildpackage", "-us", "-uc", "-b"], cwd=tree, env=env,
                       capture_output=True, text=True)
    if r.returncode:
        raise Failed(f"dpkg-buildpackage: {r.stdout[-3000:]}{r.stderr[-3000:]}")
    have = found(out)
    if not have:
        raise Failed(f"dpkg-buildpackage made {os.listdir(out)}")
    return have


def die_with_parent():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def accelerator(image, work):
    """KVM where a guest really runs under it, else software emulation.
    Where /dev/kvm opens but no guest runs (as in some nested virtual
    machines), qemu says nothing: a kernel booted with no root file system,
    which panics and ends qemu, tells within a limit far above KVM's few
    seconds."""
    forced = os.environ.get("BRANTEL_VM_ACCEL")
    if forced:
        return forced
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg"
    log = os.path.join(work, "kvm-smoke.log")
    proc = subprocess.Popen(
        ["qemu-system-x86_64", "-accel", "kvm", "-machine", "pc", "-m", "256", "-nodefaults",
         "-no-user-config", "-display", "none", "-no-reboot", "-kernel",
         os.path.join(image, "vmlinuz"), "-append", "console=ttyS0 panic=-1",
         "-serial", f"file:{log}"], preexec_fn=die_with_parent, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return "kvm" if "Kernel panic" in open(log, errors="replace").read() else "tcg"


class Machine:
    """One qemu machine: the cached image under a copy-on-write overlay,
    the packages and the steps' helpers on a second disk, a virtio port
    for the step runner, QMP for hot-plug."""

    def __init__(self, image, work, share, accel):
        self.image, self.work, self.share, self.accel = image, work, share, accel
        self.proc = None
        self.overlay = os.path.join(work, "root.qcow2")
        if os.path.exists(self.overlay):
            os.unlink(self.overlay)
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                        os.path.join(image, "root.img"), self.overlay], check=True)
        self.buffer = b""

    def start(self, nics=tuple(NICS)):
        for name in ("qmp.sock", "steps.sock"):
            if os.path.exists(os.path.join(self.work, name)):
                os.unlink(os.path.join(self.work, name))
        args = ["qemu-system-x86_64", "-accel", self.accel, "-machine", "pc",
                "-m", "1024", "-smp", "2", "-nodefaults", "-no-user-config", "-display", "none",
                "-kernel", os.path.join(self.image, "vmlinuz"),
                "-initrd", os.path.join(self.image, "initrd.img"),
                "-append", "root=/dev/vda rw console=ttyS0 panic=-1 systemd.show_status=0",
                "-drive", f"if=none,id=root,format=qcow2,file={self.overlay}",
                "-device", "virtio-blk-pci,drive=root,addr=2",
                "-drive", f"if=none,id=share,format=raw,readonly=on,file={self.share}",
                "-device", "virtio-blk-pci,drive=share,addr=3",
                "-device", "virtio-serial-pci,id=vs,addr=8",
                "-chardev", f"socket,id=steps,path={self.work}/steps.sock,server=on,wait=off",
                "-device", "virtserialport,bus=vs.0,chardev=steps,name=brantel.steps",
                "-qmp", f"unix:{self.work}/qmp.sock,server=on,wait=off",
                "-serial", f"file:{self.work}/console.log"]
        for name in nics:
            args += self.nic_args(name)
        self.proc = subprocess.Popen(args, preexec_fn=die_with_parent, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.work, "qemu.log"), "a"),
                                     stderr=subprocess.STDOUT)
        self.qmp = self.connect("qmp.sock")
        self.qmp_file = self.qmp.makefile("rw")
        self.qmp_file.readline()
        self.command("qmp_capabilities")
        self.steps = self.connect("steps.sock")
        self.buffer = b""
        self.ready()

    def nic_args(self, name):
        slot, hub, mac = NICS[name]
        return ["-netdev", f"hubport,id=n{slot},hubid={hub}",
                "-device", f"virtio-net-pci,netdev=n{slot},id={name},addr={slot},mac={mac}"]

    def connect(self, name):
        path = os.path.join(self.work, name)
        while True:
            self.alive()
            try:
                s = socket.socket(socket.AF_UNIX)
                s.connect(path)
                return s
            except OSError:
                s.close()
                time.sleep(0.1)

    def alive(self):
        if self.proc.poll() is not None:
            raise Failed(f"qemu exited {self.proc.returncode}: {self.tail()}")
        if time.monotonic() > DEADLINE:
            raise Failed(f"the whole run's limit passed: {self.tail()}")

    def tail(self):
        text = ""
        for name in ("qemu.log", "console.log"):
            path = os.path.join(self.work, name)
            if os.path.exists(path):
                text += f"\n--- {name}:\n" + open(path, errors="replace").read()[-3000:]
        return text

    def command(self, name, **arguments):
        self.qmp_file.write(json.dumps({"execute": name, "arguments": arguments}) + "\n")
        self.qmp_file.flush()
        while True:
            line = self.qmp_file.readline()
            if not line:
                raise Failed(f"QMP closed: {self.tail()}")
            answer = json.loads(line)
            if "return" in answer:
                return answer["return"]
            if "error" in answer:
                raise Failed(f"QMP {name}: {answer['error']}")

    def line(self):
        """The runner's next line; polls so that a dead qemu or the run's
        limit ends the wait."""
        while b"\n" not in self.buffer:
            self.alive()
            if not select.select([self.steps], [], [], 2)[0]:
                continue
            data = self.steps.recv(65536)
            if not data:
                raise Failed(f"the step runner's port closed: {self.tail()}")
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode().strip()

    def ready(self):
        while self.line() != "ready":
            pass

    def send(self, script):
        text = 'source /mnt/share/guest.sh\n' + script
        self.steps.sendall(base64.b64encode(text.encode()) + b"\n")

    def run(self, script):
        self.send(script)
        while True:
            line = self.line()
            if line == "ready":
                raise Failed(f"the guest restarted during: {script}")
            rc, _, out = line.partition(" ")
            return int(rc), base64.b64decode(out).decode(errors="replace")

    def step(self, what, script):
        started = time.monotonic()
        rc, out = self.run(script)
        if rc:
            raise Failed(f"{what}: exit {rc}:\n{out}")
        say(f"  {what}: {time.monotonic() - started:.0f} s")
        return out

    def reboot(self):
        self.send("systemctl reboot")
        self.ready()

    def stop(self):
        """Power off; qemu ends."""
        self.send("systemctl poweroff")
        while self.proc.poll() is None:
            self.alive()
            time.sleep(0.2)
        self.close_sockets()

    def close_sockets(self):
        for s in ("steps", "qmp"):
            if hasattr(self, s):
                getattr(self, s).close()

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.close_sockets()

    def plug(self, name):
        slot, hub, mac = NICS[name]
        self.command("netdev_add", type="hubport", id=f"p{slot}", hubid=hub)
        self.command("device_add", driver="virtio-net-pci", netdev=f"p{slot}", id=name,
                     addr=str(slot), mac=mac)

    def unplug(self, name):
        slot = NICS[name][0]
        self.command("device_del", id=name)
        # Gone once the guest has let it go.
        while any(d.get("qdev_id") == name for bus in self.command("query-pci")
                  for d in bus["devices"]):
            self.alive()
            time.sleep(0.2)
        self.command("netdev_del", id=f"p{slot}")


# --- the scenarios: each a list of (what, guest script) or a function -------

CONFIGURE = """
settled
apt-get install -y -q /mnt/share/debs/*.deb >/tmp/apt.log 2>&1 || die "$(tail -20 /tmp/apt.log)"
network_files
wire
live enable ens4
live add ens4 1
live bind ens4#1 $WIRE4
live enable ens5
live add ens5 1
live setflags ens5 1
live bind ens5#1 "$(mac_of ens5#1)"
systemctl enable brantel-live.service
verify
"""


def configure_and_reboot(m):
    m.step("install and configure two ports", CONFIGURE)
    m.reboot()
    m.step("after a reboot, with no hand step", "settled; journal_clean; wire; verify")


def rename(m):
    m.step("rename ens4 lan0", """
settled
ip link set ens4 down
ip link set ens4 name lan0
ip link set lan0 up
settled
state=$(ip -d link show ens4#1) || die "ens4#1 is gone"
echo "$state" | grep -q '@lan0' || die "ens4#1 is not on lan0: $state"
[ -n "$(tc filter show dev lan0 ingress)" ] || die "lan0 lost its classifier"
brantel-live sync lan0 || die "sync lan0"
ip link show ens4#1 >/dev/null || die "sync lan0 took ens4#1 away"
out=$(brantel-live check) || echo "$out" | grep -q lan0 || die "check does not name lan0: $out"
ping4 || die "no frames across lan0's wire"
""")
    # udev gives the device its old name as an alternative one, which
    # holds the name: an administrator takes it back first.
    m.step("rename it back", """
ip link set lan0 down
ip link property del dev lan0 altname ens4 2>/dev/null || true
ip link set lan0 name ens4
ip link set ens4 up
verify
""")


def altname(m):
    m.step("the port by its alternative name", """
settled
ip link show ens4 | grep -q 'altname enp0s4' || die "ens4's names: $(ip link show ens4)"
live disable ens4
live enable enp0s4
live add enp0s4 1
live bind enp0s4#1 $WIRE4
brantel-live check || die "check, by the alternative name"
brantel-live sync ens4 || die "sync ens4"
ip link show enp0s4#1 >/dev/null || die "sync ens4 took enp0s4#1 away"
verify
""")
    # The next boot (the hot-plug scenario's) shows that neither the boot
    # unit nor udev's sync by the primary name takes the port away.


def absent_then_hotplug(m):
    m.stop()
    m.start(nics=("ens4", "ens6", "ens7"))
    m.step("a boot without ens5", """
settled
journal_clean
journalctl -b -o cat -u brantel-live.service | grep -q 'ens5: no such network device; restored when it appears' ||
    die "the boot unit does not say ens5 is missing: $(journalctl -b -o cat -u brantel-live.service)"
wire
""")
    for round in ("plugged", "replugged"):
        m.plug("ens5")
        m.step(f"ens5 {round}", "verify")
        if round == "plugged":
            m.unplug("ens5")
            m.step("ens5 unplugged", """
settled
until_ok sh -c '! ip link show ens5'
out=$(brantel-live check) && die "check is clean without ens5"
echo "$out" | grep -q 'ens5' || die "check: $out"
""")


def remove_and_purge(m):
    m.step("apt remove brantel-live", """
settled
apt-get remove -y -q brantel-live >/tmp/apt.log 2>&1 || die "$(cat /tmp/apt.log)"
nothing_of_ours
[ -s /var/lib/brantel-sim/state ] || die "remove lost the state"
active=$(systemctl list-units --no-legend --state=active 'brantel-live*')
[ -z "$active" ] || die "units left active: $active"
apt-get install -y -q /mnt/share/debs/brantel-live_*.deb >/tmp/apt.log 2>&1 || die "$(cat /tmp/apt.log)"
brantel-live sync || die "sync after the reinstall"
verify
""")
    m.step("apt purge", """
apt-get purge -y -q brantel-live brantel-sim brantel-config >/tmp/apt.log 2>&1 || die "$(cat /tmp/apt.log)"
nothing_of_ours
[ ! -e /var/lib/brantel-sim ] || die "purge left /var/lib/brantel-sim"
units=$(systemctl list-units --all --no-legend 'brantel-live*' | grep -v ' inactive ' || true)
[ -z "$units" ] || die "units left: $units"
""")


SCENARIOS = {
    "reboot": configure_and_reboot,  # and networkd, ordering, the sandbox
    "rename": rename,
    "altname": altname,
    "hotplug": absent_then_hotplug,
    "purge": remove_and_purge,
}


def share_disk(work, debs):
    folder = os.path.join(work, "share")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "debs"))
    for d in debs:
        shutil.copy(d, os.path.join(folder, "debs"))
    shutil.copy(os.path.join(HERE, "guest.sh"), folder)
    disk = os.path.join(work, "share.img")
    if os.path.exists(disk):
        os.unlink(disk)
    subprocess.run(["truncate", "-s", "256M", disk], check=True)
    subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "share", "-d", folder, disk], check=True)
    return disk


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    src, work, debs = sys.argv[1:4]
    chosen = sys.argv[4:] or list(SCENARIOS)
    if os.geteuid() != 0:
        skip("not root: debootstrap and the image need root")
    for tool, package in [("qemu-system-x86_64", "qemu-system-x86"), ("qemu-img", "qemu-utils"),
                          ("debootstrap", "debootstrap"), ("mkfs.ext4", "e2fsprogs"),
                          ("dpkg-buildpackage", "dpkg-dev"), ("git", "git")]:
        if not shutil.which(tool):
            skip(f"{tool} is not installed (apt-get install {package})")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    machine = None
    try:
        cache = os.environ.get("BRANTEL_VM_CACHE", "/var/cache/brantel-vm")
        r = subprocess.run(["sh", os.path.join(HERE, "image.sh"), cache, mirror()],
                           capture_output=True, text=True)
        if r.returncode:
            raise Failed(f"the image: {r.stderr}")
        image = r.stdout.strip().splitlines()[-1]
        say(f"image {image} ready after {time.monotonic() - started:.0f} s")
        debs = packages(src, work, debs)
        disk = share_disk(work, debs)
        say(f"packages ready after {time.monotonic() - started:.0f} s")
        accel = accelerator(image, work)
        say(f"accelerator: {accel}")
        machine = Machine(image, work, disk, accel)
        machine.start()
        say(f"booted after {time.monotonic() - started:.0f} s")
        # The first scenario configures the machine the others use.
        for name in ["reboot"] + [c for c in chosen if c != "reboot"]:
            SCENARIOS[name](machine)
            say(f"{name}: ok after {time.monotonic() - started:.0f} s")
    except Failed as e:
        print(f"FAIL {e}")
        return 1
    finally:
        if machine:
            machine.kill()
    say(f"all scenarios passed in {time.monotonic() - started:.0f} s ({machine.accel})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
