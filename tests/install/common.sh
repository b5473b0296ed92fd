# Shared by the install tests: a pass/fail tally and the walk-through check.
# shellcheck shell=bash

passed=0
failed=0

ok() { passed=$((passed + 1)); }
bad() {
	failed=$((failed + 1))
	printf 'FAIL %s\n' "$*"
}
check() { # description, then a command that must succeed
	local what=$1
	shift
	if "$@"; then ok; else bad "$what"; fi
}
same() { # description, expected text, actual text
	if [[ $2 == "$3" ]]; then
		ok
	else
		bad "$1"
		diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
	fi
}
finish() {
	printf '%d passed, %d failed\n' "$passed" "$failed"
	((failed == 0))
}
skip() {
	printf 'SKIP %s\n' "$*"
	exit 77
}
# Run a command with its output kept aside; if it fails, show the output
# and end the test with the failure $1.
must() {
	local what=$1 log
	shift
	log=$(mktemp)
	if "$@" >"$log" 2>&1; then
		rm -f "$log"
		return
	fi
	cat "$log"
	rm -f "$log"
	bad "$what"
	finish
	exit
}

# The walk-through's output as the README shows it: the console block after
# the marker line, without blank lines.
readme_walkthrough() {
	awk '/^<!-- walk-through output/ { on = 1; next }
	     on && /^```console/ { inside = 1; next }
	     inside && /^```/ { exit }
	     inside && NF' "$1"
}

# Run the README walk-through with the launcher in $1/bin and check that
# it used the tool and the library beside it, found by relative paths.
# $2 is the source folder, $3 a scratch folder, $4 the library's path
# relative to $1.
check_walkthrough_in() {
	local root=$1 src=$2 scratch=$3 lib=$4
	# A decoy on PATH: the launcher must prefer the tool installed beside it.
	mkdir -p "$scratch/decoy"
	printf '#!/bin/sh\necho "decoy brantel_config ran"\nexit 99\n' >"$scratch/decoy/brantel_config"
	chmod +x "$scratch/decoy/brantel_config"
	local -a env_clean=(env -u LD_PRELOAD -u BRANTEL_SIM_LIBRARY -u BRANTEL_SIM_STATE
		-u BRANTEL_SIM_FAULTS -u BRANTEL_SIM_TRACE HOME="$scratch"
		PATH="$scratch/decoy:/usr/bin:/bin" LC_ALL=C)

	local out want
	out=$("${env_clean[@]}" sh "$src/doc/walkthrough.sh" "$root/bin" 2>&1 | awk NF)
	want=$(readme_walkthrough "$src/README.md")
	check "README holds a walk-through block" test -n "$want"
	same "walk-through from $root matches the README" "$want" "$out"

	local preload
	preload=$("${env_clean[@]}" "$root/bin/brantel-sim" --state "$scratch/s" -- \
		sh -c 'printf %s "$LD_PRELOAD"')
	same "the launcher preloads the library beside it" \
		"$(cd "$root" && pwd -P)/$lib" \
		"$(cd "$(dirname "$preload")" 2>/dev/null && pwd -P)/$(basename "$preload")"
}

# A document as a reader sees its text: man pages uncompressed and without
# their escapes for the minus sign and the backslash.
doc_text() {
	case $1 in
	*.[1-9].gz) gzip -dc "$1" | sed 's/\\-/-/g; s/\\e/\\/g' ;;
	*.[1-9]) sed 's/\\-/-/g; s/\\e/\\/g' "$1" ;;
	*) cat "$1" ;;
	esac
}

# Check that each path under /usr or prefix $2 that the documents among
# FILE... (Markdown and man pages) give is a file or folder of the install,
# unpacked under $1.  The README, which tells the package and a source
# install apart, may name /usr/local too.
check_doc_paths() {
	local root=$1 prefix=$2 doc path paths n
	shift 2
	for doc in "$@"; do
		[[ -f $doc && ($doc == *.md || $doc == */man/man?/*) ]] || continue
		paths=$(doc_text "$doc" |
			grep -oE '(^|[[:space:]`"(=])/[^[:space:]`"(),;]*' |
			sed -E 's/^[[:space:]`"(=]//; s/[.:]$//' | sort -u)
		n=0
		while IFS= read -r path; do
			[[ $path == "$prefix"/* || $path == /usr/* ]] || continue
			# What a build without live mode does not install.
			[[ " ${BRANTEL_NOT_BUILT:-} " == *" ${path#"$prefix"/} "* ]] && continue
			[[ ${doc##*/} == README.md && $prefix != /usr/local && $path == /usr/local* ]] && continue
			check "${doc##*/} names $path, which the install holds" test -e "$root$path"
			n=$((n + 1))
		done <<<"$paths"
		check "${doc##*/} names installed files" test "$n" -gt 0
	done
}

# Copy the source tree $1 to $2 as a fresh clone would hold it, with the
# working tree's changes: the files git tracks or would track, without any
# build folder.  Outside git, everything but build folders.
copy_source() {
	local src=$1 dest=$2
	mkdir -p "$dest"
	if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
		(cd "$src" && git ls-files -z --cached --others --exclude-standard |
			while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
			tar --null -T - -cf -) | tar -C "$dest" -xf -
	else
		tar -C "$src" --exclude=./build --exclude=./debian/build --exclude=./.git -cf - . |
			tar -C "$dest" -xf -
	fi
}

# For the tests that install packages on this machine, one at a time
# whichever build tree they run in: take the lock (fd 9), and give up if
# one of the packages is installed already.  Live mode's state, which a
# purge removes, is set aside until leave_clean puts it back.
APT=(apt-get -y -q -o DPkg::Lock::Timeout=300)
export DEBIAN_FRONTEND=noninteractive
LIVE_STATE=/var/lib/brantel-sim
# A scratch folder in $scratch, removed at exit, with the build's
# install_manifest.txt put back as it was: installing rewrites it, and the
# README's uninstall line reads the developer's own.
keep_manifest() { # build folder
	scratch=$(mktemp -d)
	manifest=$1/install_manifest.txt
	[[ -f $manifest ]] && cp -p "$manifest" "$scratch/manifest"
	trap 'if [[ -f $scratch/manifest ]]; then cp -p "$scratch/manifest" "$manifest"; else rm -f "$manifest"; fi; rm -rf "$scratch"' EXIT
}

known() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -qv 'not-installed$'; }
package_lock() {
	exec 9>/run/lock/brantel-config-dpkg-test.lock
	flock -w 900 9 || skip "another install test kept the lock for fifteen minutes"
	local name
	for name in brantel-config brantel-sim brantel-live brantel-config-dev; do
		known "$name" &&
			skip "$name is installed here already; purge it first (apt-get purge $name)"
	done
	saved_state=
	if [[ -e $LIVE_STATE || -L $LIVE_STATE ]]; then
		saved_state=$LIVE_STATE.saved-by-test.$$
		mv "$LIVE_STATE" "$saved_state" || skip "cannot set $LIVE_STATE aside"
		echo "note: $LIVE_STATE set aside as $saved_state until the test ends"
	fi
}
# Whatever happened, leave the machine without the packages, and with the
# live state it had.
leave_clean() {
	local name listed=()
	for name in "$@"; do known "$name" && listed+=("$name"); done
	((${#listed[@]} == 0)) || "${APT[@]}" purge "${listed[@]}" >/dev/null 2>&1
	[[ -n ${saved_state:-} ]] || return 0
	if [[ -e $LIVE_STATE || -L $LIVE_STATE ]]; then
		echo "note: $LIVE_STATE came back during the test; the one before is in $saved_state"
	else
		mv "$saved_state" "$LIVE_STATE"
	fi
}
