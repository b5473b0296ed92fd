#!/usr/bin/env bash
# The man pages: no warning from groff (and mandoc where installed), found
# by apropos, and nothing the programs offer left undocumented: every
# subcommand the tool lists has an entry, and every option the launcher's
# help names is there.
# Usage: man_lint.sh SRC TOOL SIM
set -u
source "$(dirname "$0")/common.sh"
src=$1 tool=$2 sim=$3
pages=("$src/doc/man/brantel_config.8" "$src/doc/man/brantel-sim.1" "$src/doc/man/brantel-live.8")
command -v groff >/dev/null || skip "groff is not installed (apt-get install groff-base)"
export LC_ALL=C.UTF-8

for page in "${pages[@]}"; do
	out=$(groff -man -ww -z "$page" 2>&1)
	same "groff -man -ww -z ${page##*/}" "" "$out"
	if command -v mandoc >/dev/null; then
		out=$(mandoc -T lint "$page" 2>&1)
		same "mandoc -T lint ${page##*/}" "" "$out"
	fi
done
command -v mandoc >/dev/null || echo "mandoc is not installed: groff only"

# apropos finds the tool by the words an administrator types, through an
# index of its own made from the page.
if command -v mandb >/dev/null && command -v apropos >/dev/null; then
	scratch=$(mktemp -d)
	trap 'rm -rf "$scratch"' EXIT
	mkdir -p "$scratch/man8"
	cp "${pages[0]}" "$scratch/man8/"
	mandb -q -u "$scratch" 2>/dev/null
	for word in vlan mac ethernet; do
		check "apropos $word finds brantel_config(8)" \
			grep -q "^brantel_config (8)" <(MANPATH=$scratch apropos "$word" 2>&1)
	done
else
	echo "man-db is not installed: apropos not tried"
fi

# An entry is a tagged paragraph whose tag starts with the word in bold.
entries() { awk 'prev == ".TP" { print $2 } { prev = $1 }' "$1"; }
for word in $("$tool" | sed -n 's/^[^ ]* \([a-z]*\):\t.*/\1/p'); do
	check "brantel_config.8 documents $word" grep -qx "$word" <(entries "${pages[0]}")
done
for option in $("$sim" --help | grep -o -- '--[a-z]*' | sort -u); do
	check "brantel-sim.1 documents $option" grep -qF -- "${option//-/\\-}" "${pages[1]}"
done
finish
