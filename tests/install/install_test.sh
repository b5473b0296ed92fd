#!/usr/bin/env bash
# cmake --install into a DESTDIR: the exact file list and modes, the man
# pages and completion as shipped, then the README walk-through run by the
# installed launcher and tool after the tree has been moved elsewhere, which
# fails if any build-tree or install-time path was baked in.
# Usage: install_test.sh BUILD SRC SIMLIB FILE...   (paths relative to the prefix)
set -u
source "$(dirname "$0")/common.sh"
build=$1 src=$2 simlib=$3
shift 3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=/opt/brantel-test
dest=$scratch/dest

if ! DESTDIR=$dest "${CMAKE:-cmake}" --install "$build" --prefix "$prefix" >"$scratch/log" 2>&1; then
	cat "$scratch/log"
	bad "cmake --install failed"
	finish
	exit
fi
root=$dest$prefix

want=$(printf "$prefix/%s\n" "$@" | sort)
same "installed files" "$want" "$(cd "$dest" && find . ! -type d | sed 's/^\.//' | sort)"
same "executables" "$(printf '%s\n' "$prefix/bin/brantel-sim" "$prefix/sbin/brantel_config")" \
	"$(cd "$dest" && find . -type f -perm -u+x | sed 's/^\.//' | sort)"
check "nothing writable by others" test -z "$(find "$dest" -perm /022)"

for page in man8/brantel_config.8 man1/brantel-sim.1; do
	check "$page is the source page, compressed" \
		cmp -s <(gzip -dc "$root/share/man/$page.gz") "$src/doc/man/${page#*/}"
done
for name in brantel_config brantel-sim; do
	check "completion file $name" cmp -s "$root/share/bash-completion/completions/$name" \
		"$src/doc/bash-completion/brantel_config"
done

mkdir "$scratch/moved"
mv "$root" "$scratch/moved/elsewhere"
check_walkthrough_in "$scratch/moved/elsewhere" "$src" "$scratch" "$simlib"
finish
