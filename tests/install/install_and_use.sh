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
inc="$work/prefix/include"
test -f "$inc/clsg/clsg.h"
test -f "$inc/clsg/colorseg/budget.h"
test -f "$inc/clsg/io/tool_file.h"
test -f "$inc/clsg/tiled/tiled_run.h"
if [ -e "$inc/clsg/clrsgint" ] || [ -e "$inc/platform" ] || [ -e "$inc/clsg/io/image_decode.h" ]; then
  echo "internal headers installed, or headers outside include/clsg" >&2
  exit 1
fi
for h in $(cd "$inc" && find . -name '*.h'); do
  echo "#include <${h#./}>" | c++ -std=c++17 -fsyntax-only -I"$inc" -x c++ - || {
    echo "installed header $h does not compile alone" >&2
    exit 1
  }
done
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
cd "$work"
clsg="$work/prefix/bin/clsg"
photo="$src/cli/demo/coffee.png"
"$clsg" train tool.clsg --label "crema=$photo@250,120,75,45" \
  --label "table=$photo@470,20,110,60" >/dev/null
"$clsg" run tool.clsg "$photo" --out run-out >/dev/null
# The client reads the program's tool file and gets the program's labels.
"$work/consumer/consumer" tool.clsg "$photo" client-labels.png
cmp client-labels.png run-out/coffee-labels.png
"$clsg" demo >/dev/null
test -s demo-out/coffee-overlay.png
test -s demo-out/coffee-labels.png
echo "installed library, file library and program work"
