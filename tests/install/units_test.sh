#!/usr/bin/env bash
# The systemd units as installed: each passes systemd-analyze verify (its
# command and its man page found under the install's prefix) and scores at
# most MAX in systemd-analyze security; the udev rule starts the hot-plug
# template only, and never for live mode's own interfaces.
# Usage: units_test.sh BUILD UNITDIR RULESDIR MAX UNIT...   (dirs relative to the prefix)
set -u
source "$(dirname "$0")/common.sh"
build=$1 unitdir=$2 rulesdir=$3 max=$4
shift 4
command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed"
keep_manifest "$build"
# No DESTDIR: verify looks for ExecStart's program at the path the unit names.
prefix=$scratch/prefix
must "cmake --install failed" "${CMAKE:-cmake}" --install "$build" --prefix "$prefix"

for unit in "$@"; do
	file=$prefix/$unitdir/$unit
	check "$unit is installed" test -f "$file"
	[[ -f $file ]] || continue
	out=$(MANPATH=$prefix/share/man systemd-analyze verify --man=yes "$file" 2>&1)
	same "systemd-analyze verify $unit" "" "$out"
	score=$(systemd-analyze security --offline=yes "$file" 2>&1 |
		sed -n 's/^→ Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
	printf '%s: exposure %s\n' "$unit" "${score:-?}"
	check "$unit scores ${score:-nothing}, at most $max" \
		awk -v s="$score" -v m="$max" 'BEGIN { exit !(s != "" && s + 0 <= m + 0) }'
	exec_start=$(sed -n 's/^ExecStart=//p' "$file")
	check "$unit runs the installed brantel-live" grep -qF "$prefix/sbin/brantel-live" <<<"$exec_start"
done

rules=$prefix/$rulesdir/90-brantel-live.rules
check "the udev rule is installed" test -f "$rules"
same "the udev rule wants the template alone, for the device's sysfs path" \
	'ENV{SYSTEMD_WANTS}+="brantel-live@.service"' \
	"$(grep -o 'ENV{SYSTEMD_WANTS}[^,]*' "$rules")"
check "the udev rule skips PORT#N" grep -qF 'KERNEL=="*#*", GOTO="brantel_live_end"' "$rules"
check "the udev rule ends at its label" grep -qxF 'LABEL="brantel_live_end"' "$rules"
finish
