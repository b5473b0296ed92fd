#!/usr/bin/env bash
# dpkg-buildpackage -us -uc -b in two copies of the source at two paths,
# as two clean clones: the packages must be byte for byte the same, hold
# no build path, and each hold its own files with the relations chosen
# for it.  The walk-through then runs from the packages' files.  Leaves
# the packages and the .changes in OUT/a for the lintian, dpkg and
# autopkgtest tests.
# Usage: package_test.sh SRC OUT SIMLIB   (SIMLIB relative to /usr)
set -u
source "$(dirname "$0")/common.sh"
src=$1 out=$2 simlib=$3
for tool in dpkg-buildpackage dpkg-checkbuilddeps dh dpkg-deb strings; do
	command -v "$tool" >/dev/null ||
		skip "$tool is not installed (apt-get install dpkg-dev debhelper binutils)"
done
(cd "$src" && dpkg-checkbuilddeps -Pnocheck) >/dev/null 2>&1 ||
	skip "build dependencies missing: $(cd "$src" && dpkg-checkbuilddeps -Pnocheck 2>&1)"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The second copy differs in path, depth, umask and time zone.
rm -rf "$out"
build() { # folder, umask, time zone
	copy_source "$src" "$1" || return
	(cd "$1" && umask "$2" && TZ=$3 DEB_BUILD_OPTIONS="nocheck parallel=2" DEB_BUILD_PROFILES=nocheck \
		dpkg-buildpackage -us -uc -b)
}
must "dpkg-buildpackage in $out/a/brantel-config failed" build "$out/a/brantel-config" 022 UTC
must "dpkg-buildpackage in $out/b/elsewhere/src failed" build "$out/b/elsewhere/src" 002 Asia/Tokyo
version=$(cd "$src" && dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)

mapfile -t debs < <(cd "$out/a" && ls ./*.deb)
same "packages made" "$(printf '%s\n' brantel-config brantel-config-dbgsym brantel-config-dev \
	brantel-live brantel-live-dbgsym brantel-sim brantel-sim-dbgsym)" \
	"$(printf '%s\n' "${debs[@]}" | sed "s|^\./||; s|_${version}_${arch}\.deb$||" | sort)"
for deb in "${debs[@]}"; do
	check "${deb#./} is the same from both builds" cmp -s "$out/a/$deb" "$out/b/elsewhere/$deb"
	dpkg-deb -x "$out/a/$deb" "$scratch/x"
done
# Compiled in paths would show in the programs, the libraries (the BPF
# classifier inside live mode's among them) or their debug files.
leaks=$(find "$scratch/x" -type f -exec grep -lF -e "$out/a" -e "$src" {} + 2>/dev/null)
same "no file holds a build path" "" "$leaks"

# Package, then what its control fields must say, then its files.
while read -r name fields; do
	deb=$out/a/${name}_${version}_${arch}.deb
	control=$(dpkg-deb -f "$deb")
	for field in $fields; do
		check "$name: $field in: $control" grep -Eq "^${field//_/ }" <<<"$control"
	done
done <<'FIELDS'
brantel-config Section:_net Depends:_.*net-tools Depends:_.*libc6 Recommends:_brantel-sim$
brantel-sim Depends:_brantel-config_\(=_ Suggests:_brantel-live$ Breaks:_brantel-config_\(<<_ Replaces:_brantel-config_\(<<_
brantel-live Depends:_brantel-sim_\(=_ Depends:_.*libbpf1 Depends:_.*libmnl0 Breaks:_brantel-config_\(<<_
brantel-config-dev Section:_libdevel Depends:_linux-libc-dev Breaks:_brantel-config_\(<<_
FIELDS
while read -r name files; do
	deb=$out/a/${name}_${version}_${arch}.deb
	# shellcheck disable=SC2086 # the list of files
	same "$name holds" "$(printf '%s\n' $files /usr/share/doc/"$name"/{copyright,changelog.Debian.gz} | sort)" \
		"$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' |
			grep -v '^/usr/share/lintian/overrides/' | sort)"
	same "$name: owners" "root/root" "$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)"
done <<'FILES'
brantel-config /usr/sbin/brantel_config /usr/share/man/man8/brantel_config.8.gz /usr/share/bash-completion/completions/brantel_config /usr/share/doc/brantel-config/README.md /usr/share/doc/brantel-config/simulator.md /usr/share/doc/brantel-config/walkthrough.sh
brantel-sim /usr/bin/brantel-sim /usr/lib/brantel-sim/brantel-sim-launcher /usr/lib/brantel-sim/libbrantel-sim.so /usr/share/man/man1/brantel-sim.1.gz /usr/share/bash-completion/completions/brantel-sim
brantel-live /usr/sbin/brantel-live /usr/lib/brantel-sim/libbrantel-sim-live.so /usr/share/man/man8/brantel-live.8.gz /usr/share/bash-completion/completions/brantel-live /lib/systemd/system/brantel-live.service /lib/systemd/system/brantel-live@.service /lib/udev/rules.d/90-brantel-live.rules
brantel-config-dev /usr/include/linux/if_brantel.h /usr/lib/brantel-config/daemon.o
FILES
# Every package of the build installs beside every other, the debug ones
# included: no path in two of them.  brantel-live is brantel-sim's front by
# another name, a link, so that its debug file is shipped once.
same "paths in more than one package" "" \
	"$(for deb in "${debs[@]}"; do dpkg-deb -c "$out/a/$deb"; done |
		awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort | uniq -d)"
same "brantel-live is a link to the front" "/usr/sbin/brantel-live -> ../bin/brantel-sim" \
	"$(dpkg-deb -c "$out/a/brantel-live_${version}_${arch}.deb" | awk '$6 == "./usr/sbin/brantel-live" { print substr($6, 2), $7, $8 }')"
same "the unit starts the packaged command" "ExecStart=/usr/sbin/brantel-live sync" \
	"$(grep '^ExecStart=' "$scratch/x/lib/systemd/system/brantel-live.service")"

# The four packages together, unpacked: what the documents name is there,
# and the walk-through runs from it.
rm -rf "$scratch/x/usr/lib/debug"
check_doc_paths "$scratch/x" /usr "$scratch"/x/usr/share/man/man?/* "$scratch"/x/usr/share/doc/brantel-config/*.md
check_walkthrough_in "$scratch/x/usr" "$src" "$scratch" "$simlib"
finish
