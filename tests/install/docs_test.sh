#!/usr/bin/env bash
# The documents against the programs they describe: the error the README
# quotes for a missing kernel module, and walkthrough.sh stopping at the
# first failure with one clear line and a failing status.
# Usage: docs_test.sh SRC TOOL
set -u
source "$(dirname "$0")/common.sh"
src=$1 tool=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
unset LD_PRELOAD BRANTEL_SIM_STATE BRANTEL_SIM_FAULTS BRANTEL_SIM_TRACE
export LC_ALL=C HOME=$scratch

quoted=$(grep -o 'ioctl ([A-Z_]*): Inappropriate ioctl for device' "$src/README.md" | head -1)
check "the README quotes the error of a missing module" test -n "$quoted"
if "$tool" info >/dev/null 2>"$scratch/err"; then
	echo "a brantel module answers here: the README's error for a missing one not tried"
else
	same "without the module, info prints the README's error" "$quoted" "$(<"$scratch/err")"
fi

mkdir "$scratch/failing"
printf '#!/bin/sh\nexit 3\n' >"$scratch/failing/brantel-sim"
chmod +x "$scratch/failing/brantel-sim"
# What, the folder given, the exit status, the output (blank lines left
# out), and a text the one error line must hold.
while IFS='|' read -r what folder status out names; do
	sh "$src/doc/walkthrough.sh" "$folder" >"$scratch/out" 2>"$scratch/err"
	same "walkthrough.sh with $what: exit status" "$status" "$?"
	same "walkthrough.sh with $what: output" "$out" "$(awk NF "$scratch/out")"
	same "walkthrough.sh with $what: one error line" 1 "$(wc -l <"$scratch/err")"
	check "walkthrough.sh with $what: the error names $names" grep -qF -- "$names" "$scratch/err"
done <<ROWS
a folder without brantel-sim|$scratch/none|1||$scratch/none
a brantel-sim that fails|$scratch/failing|3|\$ brantel_config enable eth1|enable eth1
ROWS
finish
