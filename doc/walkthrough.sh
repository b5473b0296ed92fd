#!/bin/sh
# A short walk-through of brantel_config against the module simulator: each
# command is shown, then what it printed.  Usage: walkthrough.sh BINDIR
# where BINDIR holds brantel-sim (the build's bin folder, or /usr/bin).
# It stops at the first command that fails, with that command's status.
set -eu
bindir=${1:?usage: walkthrough.sh BINDIR}
if [ ! -x "$bindir/brantel-sim" ]; then
	echo "walkthrough.sh: no brantel-sim in $bindir: give the folder that holds it, such as /usr/bin" >&2
	exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# unload runs "ifconfig NAME down"; a silent stand-in
# keeps the demo away from this machine's real interfaces.
mkdir "$work/bin"
printf '#!/bin/sh\nexit 0\n' > "$work/bin/ifconfig"
chmod +x "$work/bin/ifconfig"

run() {
	printf '$ brantel_config %s\n' "$*"
	status=0
	PATH="$work/bin:$PATH" "$bindir/brantel-sim" --state "$work/state" -- brantel_config "$@" || status=$?
	if [ "$status" -ne 0 ]; then
		echo "walkthrough.sh: brantel_config $* failed (exit status $status); stopping here" >&2
		exit "$status"
	fi
}

run enable eth1
run add eth1 1
run setflags eth1 0x01
run bind eth1#1 00:11:22:33:44:55
run bind eth1#0 02:00:00:00:00:01
run info
run unbind eth1#1 00:11:22:33:44:55
run del eth1#1
run info
run disable eth1
run enable eth2
run add eth2 7
run bind eth2#7 0a:0b:0c:0d:0e:0f
run unload
run info
