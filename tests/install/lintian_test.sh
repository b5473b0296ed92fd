#!/usr/bin/env bash
# lintian on the package that package_test.sh left in OUT: no error allowed;
# warnings are shown.  Usage: lintian_test.sh OUT
set -u
source "$(dirname "$0")/common.sh"
command -v lintian >/dev/null || skip "lintian is not installed (apt-get install lintian)"
debs=("$1"/*.deb)
[[ -f ${debs[0]} ]] || skip "no package in $1 (install.package did not build one)"
# lintian warns when run as root, which CI is; that is not about the package.
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${debs[@]}" 2>&1 |
	grep -v '^running with root privileges'
status=${PIPESTATUS[0]}
check "lintian reports no error (status $status)" test "$status" -eq 0
finish
