#!/bin/sh
# Installs the build into a temporary prefix, builds a client project against
# it with find_package(clsg), and runs the installed clsg program's demo.
# Only public headers are installed, and each compiles on its own.
set -eu
build="$1"
src="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
inc="$work/prefix/include/clsg"
test -f "$inc/clsg/clsg.h"
test -f "$inc/clsg/colorseg/budget.h"
if [ -e "$inc/clsg/clrsgint" ]; then
  echo "internal headers installed: $(ls "$inc/clsg/clrsgint" | head -3)" >&2
  exit 1
fi
for h in $(cd "$inc" && find . -name '*.h'); do
  echo "#include \"$h\"" | c++ -std=c++17 -fsyntax-only -I"$inc" -x c++ - || {
    echo "installed header $h does not compile alone" >&2
    exit 1
  }
done
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"
cd "$work"
"$work/prefix/bin/clsg" demo >/dev/null
test -s demo-out/coffee-overlay.png
test -s demo-out/coffee-labels.png
echo "installed library and program work"
