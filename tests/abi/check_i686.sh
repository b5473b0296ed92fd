#!/bin/sh
# Compile layout_i686.c with the 32-bit x86 cross compilers, as C and as C++.
# Exits 77 (reported as skipped) when they are not installed: Debian's
# g++-i686-linux-gnu brings both.
set -eu
here=$(dirname "$0")
include=$1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

for cc in i686-linux-gnu-gcc i686-linux-gnu-g++; do
	if ! command -v "$cc" >/dev/null 2>&1; then
		echo "SKIP: $cc not found (apt-get install g++-i686-linux-gnu)"
		exit 77
	fi
done
flags="-Wall -Wextra -Wpedantic -Werror -I$include -c"
i686-linux-gnu-gcc -std=c11 $flags -x c "$here/layout_i686.c" -o "$out/c.o"
i686-linux-gnu-g++ -std=c++20 $flags -x c++ "$here/layout_i686.c" -o "$out/cxx.o"
echo "i686 layout: 28 bytes, offsets 0 4 8 12 16 20 24 (C and C++)"
