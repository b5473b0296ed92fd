#!/usr/bin/env bash
# debian/tests as Debian's CI runs them: autopkgtest on the source tree
# with the packages that package_test.sh left in OUT/a, on this machine
# (the null runner), which installs them here; so root, one at a time,
# and purged afterwards.
# Usage: autopkgtest_test.sh SRC OUT
set -u
source "$(dirname "$0")/common.sh"
src=$1 out=$2
((EUID == 0)) || skip "not root: the autopkgtest installs the packages and needs root for live mode"
command -v autopkgtest >/dev/null || skip "autopkgtest is not installed (apt-get install autopkgtest)"
mapfile -t debs < <(ls "$out"/a/brantel-{config,sim,live,config-dev}_*.deb 2>/dev/null)
((${#debs[@]} == 4)) || skip "the packages are not in $out/a (install.package did not build them)"

package_lock
scratch=$(mktemp -d)
trap 'leave_clean brantel-config brantel-sim brantel-live brantel-config-dev; rm -rf "$scratch"' EXIT
copy_source "$src" "$scratch/src"
# -B: test the packages given rather than build the tree again.
autopkgtest -B --output-dir "$scratch/results" "${debs[@]}" "$scratch/src" -- null >"$scratch/log" 2>&1
status=$?
grep -E '^(walkthrough|live-smoke) ' "$scratch/log"
((status == 0)) || tail -40 "$scratch/log"
check "autopkgtest passes (status $status)" test "$status" -eq 0
for t in walkthrough live-smoke; do
	check "autopkgtest ran $t, and it passed" grep -Eq "^$t +PASS" "$scratch/log"
done
finish
