#!/usr/bin/env bash
# What a Debian reviewer runs on the package that package_test.sh left in
# OUT: lintian, with no error and none of the tags below, and, in a
# hardened build, hardening-check on the programs and the library.
# Usage: lintian_test.sh OUT HARDENED(ON|OFF) BINARY...   (paths under /usr)
set -u
source "$(dirname "$0")/common.sh"
out=$1 hardened=$2
shift 2
for tool in lintian hardening-check; do
	command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install lintian devscripts)"
done
debs=("$out"/*.deb)
[[ -f ${debs[0]} ]] || skip "no package in $out (install.package did not build one)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

forbidden=(binary-has-unneeded-section maintscript-calls-ldconfig unstripped-binary-or-object)
hardening=(hardening-no-bindnow hardening-no-fortify-functions hardening-no-pie hardening-no-relro)
[[ $hardened == ON ]] && forbidden+=("${hardening[@]}")

# lintian warns when run as root, which CI is; that is not about the package.
lintian --display-info --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}" \
	>"$scratch/lintian" 2>&1
status=$?
grep -v '^running with root privileges' "$scratch/lintian"
check "lintian reports no error (status $status)" test "$status" -eq 0
for tag in "${forbidden[@]}"; do
	check "lintian: no $tag" test -z "$(grep -F ": $tag" "$scratch/lintian")"
done

if [[ $hardened == ON ]]; then
	dpkg-deb -x "${debs[0]}" "$scratch/x"
	# Control-flow protection needs the C library's start files to carry it,
	# which Debian 12's do not; no program linked there can have it.
	for elf in "$@"; do
		check "hardening-check $elf" hardening-check --nocfprotection --quiet "$scratch/x/usr/$elf"
	done
else
	echo "built without hardening (BRANTEL_HARDEN=OFF): hardening not checked"
fi
finish
