#!/usr/bin/env bash
# The bash completion, driven as bash drives it (COMP_WORDS, COMP_CWORD),
# once on plain bash and once with bash-completion loaded where it exists.
# Names come from the built tool's info under the simulator.
# Usage: completion_test.sh SRC SIM TOOL SIMLIB   (the built launcher, tool, library)
set -u
source "$(dirname "$0")/common.sh"
src=$1 sim=$2 tool=$3 simlib=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch LC_ALL=C
unset LD_PRELOAD BRANTEL_SIM_STATE BRANTEL_SIM_FAULTS BRANTEL_SIM_TRACE

state=$scratch/state
"$sim" --state "$state" load - <<'STATE'
brantel-sim state 1
port eth1 0x1
vlan eth1#0
vlan eth1#3
mac 00:11:22:33:44:55
mac 00:11:22:33:44:66
port p$(x) 0x0
vlan p$(x)#0
STATE

# The subcommand words, as the tool lists them.
commands=$("$tool" | sed -n 's/^[^ ]* \([a-z]*\):\t.*/\1/p')
# What enable offers: Ethernet devices, not live mode's PORT#N.
devices=$(for d in /sys/class/net/*; do
	[[ -d $d && ${d##*/} != *#* && $(<"$d/type") == 1 ]] && echo "${d##*/}"
done)
# The first of them a port already, which enable no longer offers.
first=$(head -n1 <<<"$devices")
python3 "$src/tests/testlib.py" state "port $first 0x0" >"$scratch/first"

# Prints the candidates for the command line $2 (the cursor at its end,
# words split at blanks) completed by function $1, one a line.
complete_line() {
	local COMP_LINE=$2 COMP_POINT=${#2} COMP_WORDS COMP_CWORD COMPREPLY=()
	read -ra COMP_WORDS <<<"$2"
	[[ $2 == *' ' ]] && COMP_WORDS+=("")
	COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
	"$1" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
	((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}"
}
sorted() { printf '%s\n' "$@" | sort; }
expect() { # description, expected candidates (one a line), function, line
	same "$1 [$4]" "$(sort <<<"$2")" "$(complete_line "$3" "$4" | sort)"
}

# The tool itself, named by its path, asks the module; here the simulator's
# library stands in for it through the environment.
tool_cases() {
	local mode=$1 bc=_brantel_config
	local -x LD_PRELOAD=$simlib BRANTEL_SIM_STATE=$state
	# As the launcher does, so that a sanitizer build of the tool starts.
	local -x ASAN_OPTIONS=verify_asan_link_order=0
	expect "$mode: interfaces from the tool by path" "$(sorted 'eth1#0' 'eth1#3' 'p\$\(x\)#0')" \
		$bc "$tool del "
	# info prints eth1's two lines, then fails: nothing is offered.
	local -x BRANTEL_SIM_FAULTS=GET_NUM_VLANS=EIO
	expect "$mode: nothing when info fails midway" "" $bc "$tool disable "
}

run_cases() {
	local mode=$1
	source "$src/doc/bash-completion/brantel_config"
	local bc="_brantel_config" sc="_brantel_sim" s="$sim --state $state"

	check "$mode: the tool lists ten subcommands" test "$(wc -l <<<"$commands")" -eq 10
	expect "$mode: subcommand word" "$commands" $bc "brantel_config "
	expect "$mode: subcommand prefix" "$(sorted unbind unload)" $bc "brantel_config un"
	expect "$mode: help topic" "$commands" $bc "brantel_config help "
	expect "$mode: help topic prefix" setflags $bc "brantel_config help se"
	expect "$mode: interface names" "$devices" $bc "brantel_config enable "
	expect "$mode: nothing after a full command" "" $bc "brantel_config enable eth0 "

	expect "$mode: ports for disable" "$(sorted eth1 'p\$\(x\)')" $sc "$s brantel_config disable "
	expect "$mode: ports for add" eth1 $sc "$s brantel_config add e"
	expect "$mode: ports for setflags" "$(sorted eth1 'p\$\(x\)')" $sc "$s brantel_config setflags "
	expect "$mode: interfaces for del" "$(sorted 'eth1#0' 'eth1#3' 'p\$\(x\)#0')" \
		$sc "$s brantel_config del "
	expect "$mode: interfaces for bind" "$(sorted 'eth1#0' 'eth1#3')" $sc "$s -- brantel_config bind e"
	expect "$mode: interfaces for unbind" "eth1#3" $sc "$s brantel_config unbind eth1#3"
	expect "$mode: addresses for unbind" "$(sorted 00:11:22:33:44:55 00:11:22:33:44:66)" \
		$sc "$s brantel_config unbind eth1#3 "
	expect "$mode: no addresses on an interface without any" "" $sc "$s brantel_config unbind eth1#0 "

	tool_cases "$mode"
	expect "$mode: nothing when the tool cannot be run" "" $bc "$scratch/missing del "

	expect "$mode: launcher options" "$(sorted --state --fault --trace --help --version -- --live)" \
		$sc "brantel-sim --"
	expect "$mode: launcher actions" "$(sorted show reset load brantel_config)" $sc "brantel-sim "
	expect "$mode: brantel-live options" "$(sorted --state --fault --trace --help --version --)" \
		$sc "brantel-live --"
	expect "$mode: live actions" "$(sorted show reset load brantel_config check sync)" \
		$sc "brantel-sim --live "
	expect "$mode: brantel-live's words and the tool's" \
		"$(sorted show reset load brantel_config check sync which monitor help enable disable add \
			del bind unbind unload setflags info)" $sc "brantel-live "
	expect "$mode: show's options" "$(sorted -j --json -p --pretty)" $sc "$s show -"
	expect "$mode: ports and interfaces for show" "$(sorted eth1 'p\$\(x\)' 'eth1#0' 'eth1#3' \
		'p\$\(x\)#0')" $sc "$s show --json "
	expect "$mode: nothing after show's port" "" $sc "$s show eth1 "
	expect "$mode: brantel-live show's options" "$(sorted -j --json -p --pretty --unbound)" $sc \
		"${sim%/*}/../sbin/brantel-live --state $state show -"
	expect "$mode: ports for brantel-live check" "$(sorted eth1 'p\$\(x\)')" $sc \
		"${sim%/*}/../sbin/brantel-live --state $state check -j "
	expect "$mode: interfaces for brantel-live bind" "$(sorted 'eth1#0' 'eth1#3')" $sc \
		"${sim%/*}/../sbin/brantel-live --state $state bind e"
	expect "$mode: addresses for brantel-live unbind" \
		"$(sorted 00:11:22:33:44:55 00:11:22:33:44:66)" $sc \
		"${sim%/*}/../sbin/brantel-live --state $state unbind eth1#3 "
	expect "$mode: ports for sync" "$(sorted eth1 'p\$\(x\)')" $sc "$s --live sync "
	expect "$mode: more ports for sync" eth1 $sc "$s --live sync eth1 e"
	expect "$mode: ports for brantel-live sync" "$(sorted eth1 'p\$\(x\)')" $sc \
		"${sim%/*}/../sbin/brantel-live --state $state sync "
	[[ $first ]] && expect "$mode: enable leaves out ports" "$(grep -vxF "$first" <<<"$devices")" \
		$sc "$sim --state $scratch/first brantel_config enable "
}

(
	run_cases "plain bash"
	finish
) | tee "$scratch/plain"
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
	(
		source /usr/share/bash-completion/bash_completion
		run_cases "bash-completion"
		# With its helpers a MAC address is one word, and the part before
		# the last colon, which bash keeps, is left out of the candidates.
		COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
		COMP_LINE="$sim --state $state brantel_config unbind eth1#3 00:11:22:33:44:6"
		COMP_POINT=${#COMP_LINE}
		COMP_WORDS=("$sim" --state "$state" brantel_config unbind 'eth1#3'
			00 : 11 : 22 : 33 : 44 : 6)
		COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
		COMPREPLY=()
		_brantel_sim brantel-sim 6 :
		same "bash-completion: an address split at its colons" 66 "${COMPREPLY[*]}"
		finish
	) | tee "$scratch/full"
else
	echo "bash-completion is not installed: only plain bash was tried"
fi
# Every run got to its tally, and none failed.
for f in "$scratch"/plain "$scratch"/full; do
	[[ -f $f ]] || continue
	grep -Eq '^[0-9]+ passed, 0 failed$' "$f" || exit 1
done
