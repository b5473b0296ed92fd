#!/usr/bin/env bash
# The package installed and removed for real, as an administrator does:
# apt-get install of the .deb that package_test.sh left in OUT, the
# installed tree checked against the package and its documents, the
# walk-through run from it, then apt-get remove, after which dpkg no longer
# lists the package and nothing it brought is left, empty folders
# included.  Needs root.
# Usage: dpkg_test.sh OUT SRC SIMLIB   (SIMLIB relative to /usr)
set -u
source "$(dirname "$0")/common.sh"
out=$1 src=$2 simlib=$3
((EUID == 0)) || skip "not root: installing a package needs root"
for tool in apt-get dpkg dpkg-deb flock; do
	command -v "$tool" >/dev/null || skip "$tool is not installed"
done
debs=("$out"/*.deb)
[[ -f ${debs[0]} ]] || skip "no package in $out (install.package did not build one)"
deb=${debs[0]}
name=$(dpkg-deb -f "$deb" Package)

# One such test at a time on this machine, whichever build tree it runs in.
exec 9>/run/lock/brantel-config-dpkg-test.lock
flock -w 600 9 || skip "another install test kept the lock for ten minutes"
installed() { dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q ' installed$'; }
installed && skip "$name is installed here already; remove it first (apt-get remove $name)"

scratch=$(mktemp -d)
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -q -o DPkg::Lock::Timeout=300)
# Whatever happened, the machine is left without the package.
cleanup() {
	dpkg-query -W "$name" >/dev/null 2>&1 && "${apt[@]}" purge "$name" >/dev/null 2>&1
	rm -rf "$scratch"
}
trap cleanup EXIT

# Every path the package brings, folders included, and those already here.
paths=$(dpkg-deb -c "$deb" | awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); if ($6 != "") print $6 }' | sort)
present() { while IFS= read -r p; do [[ -e $p || -L $p ]] && echo "$p"; done <<<"$paths"; }
before=$(present)

must "apt-get install $deb failed" "${apt[@]}" install "$deb"
same "dpkg status after install" "install ok installed" "$(dpkg-query -W -f='${Status}' "$name")"
same "dpkg -L lists what the package holds" "$paths" "$(dpkg -L "$name" | grep -vx '/\.' | sort)"
mapfile -t files <<<"$paths"
check_doc_paths "" /usr "${files[@]}"
check_walkthrough_in /usr "$src" "$scratch" "$simlib"

must "apt-get remove $name failed" "${apt[@]}" remove "$name"
if dpkg -l "$name" >/dev/null 2>&1; then bad "dpkg -l still lists $name"; else ok; fi
same "nothing the package brought is left" "$before" "$(present)"
check "dpkg keeps no files of $name" test -z "$(find /var/lib/dpkg/info -name "$name.*")"
finish
