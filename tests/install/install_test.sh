#!/usr/bin/env bash
# cmake --install into a DESTDIR: the exact file list and modes, the man
# pages, documents and completion as shipped, then the README walk-through
# run by the installed launcher and tool after the tree has been moved
# elsewhere, which fails if any build-tree or install-time path was baked
# in; last, uninstall.cmake leaves the prefix as it was before.
# Usage: install_test.sh BUILD SRC SIMLIB FILE...   (paths relative to the prefix)
set -u
source "$(dirname "$0")/common.sh"
build=$1 src=$2 simlib=$3
shift 3
keep_manifest "$build"
prefix=/opt/brantel-test
dest=$scratch/dest
root=$dest$prefix

# The prefix's standard folders exist before, as they do under /usr/local.
mkdir -p "$root"/{bin,sbin,lib,include,share/man}
before=$(cd "$dest" && find . | sort)

must "cmake --install failed" env DESTDIR="$dest" "${CMAKE:-cmake}" --install "$build" --prefix "$prefix"

want=$(printf "$prefix/%s\n" "$@" | sort)
same "installed files" "$want" "$(cd "$dest" && find . ! -type d | sed 's/^\.//' | sort)"
same "installed files, as install_manifest.txt lists them" "$want" "$(sort "$manifest")"
same "executables" "$(printf '%s\n' "$prefix/bin/brantel-sim" "$prefix/sbin/brantel-live" "$prefix/sbin/brantel_config" \
	"$(printf "$prefix/%s\n" "$@" | grep /brantel-sim-launcher$)" | sort)" \
	"$(cd "$dest" && find . -type f -perm -u+x | sed 's/^\.//' | sort)"
check "nothing writable by others" test -z "$(find "$dest" -perm /022)"

# The documents that name installed files are their sources with this
# install's paths: each line that differs names the prefix.
while read -r doc source; do
	changes=$(diff <(doc_text "$root/$doc") <(doc_text "$src/$source") | grep '^[<>]')
	same "$doc differs from $source only where it names $prefix" "" \
		"$(grep '^<' <<<"$changes" | grep -vF "$prefix")"
	same "$doc has as many lines as $source" "$(grep -c '^>' <<<"$changes")" \
		"$(grep -c '^<' <<<"$changes")"
	check_doc_paths "$dest" "$prefix" "$root/$doc"
done <<'DOCS'
share/man/man8/brantel_config.8.gz doc/man/brantel_config.8
share/man/man1/brantel-sim.1.gz doc/man/brantel-sim.1
share/man/man8/brantel-live.8.gz doc/man/brantel-live.8
share/doc/brantel-config/simulator.md doc/simulator.md
DOCS
for name in brantel_config brantel-sim brantel-live; do
	check "completion file $name" cmp -s "$root/share/bash-completion/completions/$name" \
		"$src/doc/bash-completion/brantel_config"
done

mkdir "$scratch/moved"
mv "$root" "$scratch/moved/elsewhere"
check_walkthrough_in "$scratch/moved/elsewhere" "$src" "$scratch" "$simlib"
mv "$scratch/moved/elsewhere" "$root"

must "uninstall.cmake failed" env DESTDIR="$dest" "${CMAKE:-cmake}" -P "$build/uninstall.cmake"
same "uninstall.cmake leaves the prefix as it was" "$before" "$(cd "$dest" && find . | sort)"
finish
