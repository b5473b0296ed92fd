#!/usr/bin/env bash
# The README's first command on a machine without live mode's libraries
# and tools: they are hidden in a private mount namespace (an empty folder
# over their headers and pkg-config files, /dev/null over the programs).
# In a copy of the source, `cmake --preset dev` must say in one line that
# live mode is left out and which packages bring it, the demo must build
# and print the README's walk-through, `brantel-sim --live` must answer
# that live mode was not built, the live tests must SKIP with that reason,
# and a configure that requires live mode must fail.  Needs root (mounts).
# Usage: fresh_test.sh SRC
set -u
source "$(dirname "$0")/common.sh"
src=$1
((EUID == 0)) || skip "not root: hiding live mode's libraries takes a mount namespace"
command -v unshare >/dev/null || skip "unshare is not installed (apt-get install util-linux)"
unshare -m true 2>/dev/null || skip "cannot make a mount namespace here"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy_source "$src" "$scratch/src"

multiarch=$(gcc -print-multiarch 2>/dev/null)
hide=$scratch/hide.sh
cat >"$hide" <<HIDE
set -e
for d in /usr/include/bpf /usr/include/libmnl /usr/lib/$multiarch/pkgconfig /usr/lib/pkgconfig /usr/share/pkgconfig; do
	if [ -d "\$d" ]; then mount -t tmpfs none "\$d"; fi
done
for p in bpftool clang clang-14; do
	for d in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin /sbin /bin; do
			if [ -f "\$d/\$p" ]; then mount --bind /dev/null "\$(readlink -f "\$d/\$p")"; fi
	done
done
cd "\$1"
shift
exec "\$@"
HIDE
hidden() { unshare -m sh "$hide" "$@"; }

cd "$scratch/src" || exit
hidden "$scratch/src" sh -c 'cmake --preset dev' >"$scratch/configure" 2>&1
status=$?
check "cmake --preset dev without live mode's libraries (status $status)" test "$status" -eq 0
left_out=$(grep -i 'live mode' "$scratch/configure")
same "one configure line on live mode" 1 "$(grep -c . <<<"$left_out")"
for p in libbpf-dev libmnl-dev bpftool clang; do
	check "the configure line names $p: $left_out" grep -qw -- "$p" <<<"$left_out"
done
((status == 0)) || { cat "$scratch/configure"; finish; exit; }

hidden "$scratch/src" cmake --build --preset demo >"$scratch/demo" 2>&1
status=$?
check "cmake --build --preset demo (status $status)" test "$status" -eq 0
((status == 0)) || tail -30 "$scratch/demo"
same "the demo prints the README's walk-through" "$(readme_walkthrough "$src/README.md")" \
	"$(sed -n '/^\$ brantel_config enable eth1$/,$p' "$scratch/demo" | awk NF)"

sim=$scratch/src/build/dev/bin/brantel-sim
for command in "show" "brantel_config enable eth1"; do
	# shellcheck disable=SC2086 # the command's words
	out=$("$sim" --live --state "$scratch/state" $command 2>&1)
	status=$?
	check "brantel-sim --live $command fails" test "$status" -ne 0
	check "brantel-sim --live $command says live mode was not built: $out" \
		grep -q '^brantel-sim: live mode: not built: install libbpf-dev' <<<"$out"
done
out=$("$sim" --live --state "$scratch/state" show 2>&1)
same "brantel-sim --live show answers in one line" 1 "$(grep -c . <<<"$out")"
check "no live library was built" test ! -e "$scratch/src/build/dev/lib/brantel-sim/libbrantel-sim-live.so"

out=$(cd build/dev && ctest -R '^live\.' 2>&1)
check "the live tests say SKIP, naming the packages" grep -q 'SKIP: live mode was not built: install libbpf-dev' \
	<<<"$(cd build/dev && ctest -R '^live\.' -V 2>&1)"
check "ctest reports them skipped: $(grep -E 'tests passed|Skipped' <<<"$out" | head -1)" \
	grep -q 'Not Run\|Skipped' <<<"$out"

hidden "$scratch/src" cmake -S . -B build/required -G Ninja -DBRANTEL_LIVE=ON >"$scratch/required" 2>&1
status=$?
check "a configure that requires live mode fails without its libraries" test "$status" -ne 0
check "and names the packages" grep -q 'apt-get install libbpf-dev' "$scratch/required"
finish
