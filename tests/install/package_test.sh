#!/usr/bin/env bash
# cpack -G DEB: the package's control fields and file list, the paths its
# documents name, then the README walk-through run by the tool and launcher
# extracted from it.  Leaves the
# package in OUT for the lintian test.
# Usage: package_test.sh BUILD SRC OUT VERSION SIMLIB FILE...  (paths under /usr)
set -u
source "$(dirname "$0")/common.sh"
build=$1 src=$2 out=$3 version=$4 simlib=$5
shift 5
for tool in dpkg dpkg-deb dpkg-shlibdeps readelf; do
	command -v "$tool" >/dev/null || skip "$tool is not installed (apt-get install dpkg-dev binutils)"
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

rm -rf "$out"
mkdir -p "$out"
cd "$build" || exit
must "cpack -G DEB failed" "${CPACK:-cpack}" -G DEB -B "$out"
arch=$(dpkg --print-architecture)
deb=$out/brantel-config_${version}-1_${arch}.deb
check "package file $deb" test -f "$deb"

field() { dpkg-deb -f "$deb" "$1"; }
same "Package" brantel-config "$(field Package)"
same "Version" "$version-1" "$(field Version)"
same "Architecture" "$arch" "$(field Architecture)"
same "Section" net "$(field Section)"
same "Priority" optional "$(field Priority)"
check "Maintainer is Name <address>: $(field Maintainer)" \
	grep -Eq '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)"
depends=$(field Depends)
check "Depends has the C library, from the binaries: $depends" grep -Eq '(^|, )libc6 \(>= ' <<<"$depends"
check "Depends has net-tools, for ifconfig: $depends" grep -Eq '(^|, )net-tools(,|$)' <<<"$depends"

# No maintainer scripts: the package has nothing to do on install or
# removal (its library is private, so ldconfig has nothing to learn).
same "control files" "$(printf '%s\n' ./ ./control ./md5sums)" \
	"$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort)"

listing=$(dpkg-deb -c "$deb")
want=$(printf '/usr/%s\n' "$@" | sort)
same "packaged files" "$want" "$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | sort)"
same "owners" "root/root" "$(awk '{ print $2 }' <<<"$listing" | sort -u)"
same "modes of executables" "$(printf '%s\n' ./usr/bin/brantel-sim ./usr/sbin/brantel_config)" \
	"$(awk '$1 == "-rwxr-xr-x" { print $6 }' <<<"$listing" | sort)"
same "other modes" "$(printf '%s\n' -rw-r--r-- drwxr-xr-x)" \
	"$(awk '$1 != "-rwxr-xr-x" { print $1 }' <<<"$listing" | sort -u)"

dpkg-deb -x "$deb" "$scratch/x"
for elf in bin/brantel-sim sbin/brantel_config "$simlib"; do
	dyn=$(readelf -d "$scratch/x/usr/$elf" 2>&1)
	check "$elf has no RPATH or RUNPATH" test -z "$(grep -E 'RPATH|RUNPATH' <<<"$dyn")"
done
# The documents name the package's paths, and each is there.
check_doc_paths "$scratch/x" /usr "${@/#/$scratch/x/usr/}"
check_walkthrough_in "$scratch/x/usr" "$src" "$scratch" "$simlib"
finish
