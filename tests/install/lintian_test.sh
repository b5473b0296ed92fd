#!/usr/bin/env bash
# What a Debian reviewer runs on what package_test.sh left in OUT: lintian
# --pedantic on the .changes, with no error or warning but
# initial-upload-closes-no-bugs; every override in SRC/debian carries its
# reason on the comment lines above it, and each still matches a tag.  In
# a hardened build, hardening-check on the programs and libraries.
# Usage: lintian_test.sh SRC OUT HARDENED(ON|OFF) BINARY...   (paths under /)
set -u
source "$(dirname "$0")/common.sh"
src=$1 out=$2 hardened=$3
shift 3
for tool in lintian hardening-check; do
	command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install lintian devscripts)"
done
changes=("$out"/a/*.changes)
[[ -f ${changes[0]} ]] || skip "no .changes in $out/a (install.package did not build the packages)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# lintian warns when run as root, which CI is; that is not about the package.
# The listing shows the overridden tags too (as O:); the status is that of a
# run without them, since lintian counts a shown override as a failure.
lintian --pedantic --display-info --show-overrides \
	--suppress-tags initial-upload-closes-no-bugs "${changes[0]}" >"$scratch/lintian" 2>&1
grep -v '^running with root privileges' "$scratch/lintian"
lintian --pedantic --fail-on error,warning \
	--suppress-tags initial-upload-closes-no-bugs "${changes[0]}" >/dev/null 2>&1
status=$?
check "lintian --pedantic reports no error or warning (status $status)" test "$status" -eq 0
check "lintian: no E or W tag" test -z "$(grep -E '^[EW]: ' "$scratch/lintian")"
for tag in unused-override mismatched-override; do
	check "lintian: no $tag" test -z "$(grep -F ": $tag" "$scratch/lintian")"
done
for file in "$src"/debian/*lintian-overrides "$src"/debian/source/lintian-overrides; do
	[[ -f $file ]] || continue
	check "each override in ${file#"$src"/} follows a comment giving its reason" \
		awk '/^#/ { reason = 1; next } NF && !reason { exit 1 } !NF { reason = 0 }' "$file"
done

if [[ $hardened == ON ]]; then
	for deb in "$out"/a/*.deb; do dpkg-deb -x "$deb" "$scratch/x"; done
	# Control-flow protection needs the C library's start files to carry it,
	# which Debian 12's do not; no program linked there can have it.
	for elf in "$@"; do
		if file -b "$scratch/x/$elf" | grep -q 'static-pie linked'; then
			# A static program names no function hardening-check could look
			# for; its stack protector shows as the canary it reads.
			check "hardening-check $elf" hardening-check --nocfprotection --nostackprotector \
				--quiet "$scratch/x/$elf"
			check "$elf reads the stack canary" \
				sh -c "objdump -d '$scratch/x/$elf' | grep -q '%fs:0x28'"
		else
			check "hardening-check $elf" hardening-check --nocfprotection --quiet "$scratch/x/$elf"
		fi
	done
else
	echo "built without hardening (BRANTEL_HARDEN=OFF): hardening not checked"
fi
finish
