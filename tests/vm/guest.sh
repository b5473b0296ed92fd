# What the VM test's steps share inside the guest; each step sources it.
# The machine: ens4 and ens5 are the ports, each on a qemu hub of its own;
# ens6 and ens7, the other ends of the wires (on ens4's and ens5's hubs),
# live in the network namespace "wire".  ens4#1 carries frames by source
# address (ens6's is bound to it), ens5#1 by destination (flag 0x01, its
# own address bound).
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C
WIRE4=52:54:00:00:01:04
LIMIT=${LIMIT:-600} # half seconds: a guard against a hang, not a measure

say() { printf '%s\n' "$*"; }
die() {
	say "$*"
	exit 1
}

# Polls `$@` until it succeeds; a hang fails with the command's last words.
until_ok() {
	local i out
	for ((i = 0; i < LIMIT; i++)); do
		out=$("$@" 2>&1) && return 0
		sleep 0.5
	done
	die "gave up waiting for: $* ($out)"
}

no_jobs() { [ -z "$(systemctl list-jobs --no-legend)" ]; }

# Boot done, udev done, every job of systemd done.
settled() {
	local s
	s=$(systemctl is-system-running --wait 2>&1)
	case $s in running | degraded) ;; *) die "systemd: $s" ;; esac
	udevadm settle
	until_ok no_jobs
}

live() { brantel-live brantel_config "$@" || die "brantel_config $*: failed"; }

mac_of() { ip -j link show "$1" | sed -n 's/.*"address":"\([^"]*\)".*/\1/p'; }

# The other ends of the wires, put in their namespace after each boot.
wire() {
	ip netns add wire 2>/dev/null || true
	local dev
	for dev in ens6 ens7; do
		if ip link show "$dev" >/dev/null 2>&1; then ip link set "$dev" netns wire; fi
	done
	ip -n wire link set lo up
	ip -n wire addr replace 10.4.1.2/24 dev ens6
	ip -n wire addr replace 10.5.1.2/24 dev ens7
	ip -n wire link set ens6 up
	ip -n wire link set ens7 up
}

# The addresses of PORT#1, as an administrator gives them: .network files.
network_files() {
	mkdir -p /etc/systemd/network
	cat >/etc/systemd/network/50-vlan4.network <<EOF
[Match]
Name=ens4#1 enp0s4#1
[Network]
Address=10.4.1.1/24
LinkLocalAddressing=no
IPv6AcceptRA=no
EOF
	cat >/etc/systemd/network/50-vlan5.network <<EOF
[Match]
Name=ens5#1
[Network]
Address=10.5.1.1/24
LinkLocalAddressing=no
IPv6AcceptRA=no
EOF
	systemctl enable --now systemd-networkd.service >/dev/null 2>&1 || die "networkd"
}

has_address() { ip -4 addr show dev "$1" | grep -q "inet $2/"; }

# Frames across the wire: ARP and ping from the wire's end to ens4#1 (by
# source), ping to ens5#1 (by destination: the wire knows its address).
ping4() {
	ip -n wire neigh flush dev ens6
	ip netns exec wire ping -q -c 3 -W 5 -I 10.4.1.2 10.4.1.1
}
ping5() {
	ip -n wire neigh replace 10.5.1.1 lladdr "$(mac_of ens5#1)" dev ens7 nud permanent
	ip netns exec wire ping -q -c 3 -W 5 -I 10.5.1.2 10.5.1.1
}

# The end of every scenario: check clean and frames on both ports.
verify() {
	settled
	until_ok has_address "$(port4)#1" 10.4.1.1
	until_ok has_address ens5#1 10.5.1.1
	brantel-live check || die "check is not clean"
	ping4 || die "no frames across ens4's wire"
	ping5 || die "no frames across ens5's wire"
}

# The name the state file gives the port on ens4's hub.
port4() { sed -n 's/^port \([^ ]*\) .*/\1/p' /var/lib/brantel-sim/state | grep -v ens5 | head -1; }

# Nothing of live mode on the kernel.
nothing_of_ours() {
	local left
	# The guest has no macvlan but live mode's.
	left=$(ip -o link show type macvlan | wc -l)
	[ "$left" = 0 ] || die "$left interfaces of live mode left: $(ip -br link)"
	for dev in ens4 ens5; do
		[ -z "$(tc filter show dev "$dev" ingress)" ] || die "$dev keeps a filter"
		! tc qdisc show dev "$dev" | grep -q clsact || die "$dev keeps a clsact qdisc"
		! ip link show "$dev" | grep -q PROMISC || die "$dev is left promiscuous"
	done
	return 0
}

# What a boot must not log: an ordering cycle, a refusal of the sandbox
# (EPERM, a seccomp kill), a unit of ours that failed.
journal_clean() {
	local bad
	bad=$(journalctl -b --no-pager -o cat | grep -iE 'ordering cycle|SIGSYS|type=1326' || true)
	[ -z "$bad" ] || die "the journal: $bad"
	bad=$(journalctl -b --no-pager -o cat -u 'brantel-live*' | grep -iE 'EPERM|not permitted|denied' || true)
	[ -z "$bad" ] || die "live mode's units: $bad"
	bad=$(systemctl list-units --failed --no-legend 'brantel-live*')
	[ -z "$bad" ] || die "failed: $bad"
	# Restored before networkd may configure anything.
	local restored pre
	restored=$(systemctl show -P ActiveEnterTimestampMonotonic brantel-live.service)
	pre=$(systemctl show -P ActiveEnterTimestampMonotonic network-pre.target)
	[ "$restored" != 0 ] && [ "$restored" -le "$pre" ] ||
		die "brantel-live.service ($restored) not done before network-pre.target ($pre)"
}
