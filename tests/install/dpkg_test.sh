#!/usr/bin/env bash
# The packages installed, used and purged for real, as an administrator
# does: apt-get install of every package that package_test.sh left in
# OUT/a, the debug ones included, the walk-through and the documents checked on the installed tree,
# live mode's unit enabled and its state written; then apt-get remove,
# which keeps the state, and apt-get purge, after which dpkg lists none of
# them and nothing they brought or made is left: no file, no folder, no
# enable link, no state.  Needs root.
# Usage: dpkg_test.sh OUT SRC SIMLIB   (SIMLIB relative to /usr)
set -u
source "$(dirname "$0")/common.sh"
out=$1 src=$2 simlib=$3
((EUID == 0)) || skip "not root: installing a package needs root"
for tool in apt-get dpkg dpkg-deb flock systemctl; do
	command -v "$tool" >/dev/null || skip "$tool is not installed"
done
names=(brantel-config brantel-sim brantel-live brantel-config-dev
	brantel-config-dbgsym brantel-sim-dbgsym brantel-live-dbgsym)
debs=()
for name in "${names[@]}"; do
	deb=$(ls "$out"/a/"${name}"_*.deb 2>/dev/null)
	[[ -f $deb ]] || skip "no $name package in $out/a (install.package did not build it)"
	debs+=("$deb")
done

package_lock
scratch=$(mktemp -d)
trap 'leave_clean "${names[@]}"; rm -rf "$scratch"' EXIT
state=$LIVE_STATE
unit=brantel-live.service
link=/etc/systemd/system/multi-user.target.wants/$unit
[[ -L $link ]] && skip "$link is here already; remove it first"

# Every path the packages bring, folders included, and those already here.
paths=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done |
	awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); if ($6 != "") print $6 }' | sort -u)
present() { while IFS= read -r p; do [[ -e $p || -L $p ]] && echo "$p"; done <<<"$paths"; }
before=$(present)

must "apt-get install of the packages failed" "${APT[@]}" install "${debs[@]}"
for name in "${names[@]}"; do
	same "$name: dpkg status after install" "install ok installed" "$(dpkg-query -W -f='${Status}' "$name")"
done
mapfile -t files <<<"$paths"
check_doc_paths "" /usr "${files[@]}"
check_walkthrough_in /usr "$src" "$scratch" "$simlib"

# What an administrator of live mode does: enable the boot-time sync, and
# write live mode's state (an empty module, in a network namespace of its
# own so that nothing here changes; a namespace of no name must name the
# file it writes).
must "systemctl enable $unit failed" systemctl enable "$unit"
check "systemctl enable made $link" test -L "$link"
must "brantel-sim --live reset failed" \
	unshare -n /usr/bin/brantel-sim --live --state "$state/state" reset
check "live mode wrote its state in $state" test -f "$state/state"

must "apt-get remove failed" "${APT[@]}" remove "${names[@]}"
check "remove keeps live mode's state" test -f "$state/state"

# Those without maintainer scripts are gone already; the others stay
# listed (rc) until purged.
mapfile -t left < <(for name in "${names[@]}"; do known "$name" && echo "$name"; done)
check "remove leaves the packages with a postrm listed: ${left[*]}" test "${#left[@]}" -gt 0
must "apt-get purge failed" "${APT[@]}" purge "${left[@]}"
for name in "${names[@]}"; do
	if dpkg -l "$name" >/dev/null 2>&1; then bad "dpkg -l still lists $name"; else ok; fi
	check "dpkg keeps no files of $name" test -z "$(find /var/lib/dpkg/info -name "$name.*")"
done
same "nothing the packages brought is left" "$before" "$(present)"
check "purge removed live mode's state" test ! -e "$state"
check "purge removed the enable link" test ! -L "$link"
check "no link to the unit is left in /etc/systemd" \
	test -z "$(find /etc/systemd -lname "*/$unit" 2>/dev/null)"
check "deb-systemd-helper keeps no state of the unit" \
	test -z "$(find /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
		-name "*$unit*" 2>/dev/null)"
finish
