#!/bin/sh
# Installs the build into a temporary prefix, builds a client project against
# it with find_package(clsg), and runs the installed clsg program's demo.
set -eu
build="$1"
src="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
cd "$work"
"$work/prefix/bin/clsg" demo >/dev/null
test -s demo-out/coffee-overlay.png
test -s demo-out/coffee-labels.png
echo "installed library and program work"
