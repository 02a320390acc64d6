#!/usr/bin/env bash
# Configures and builds (unoptimised, for speed) with -DTOLVAN_WITH_GUI=OFF while Qt's CMake packages are hidden, so that any
# engine file that needs Qt fails the build. Then runs the built tolvansql once.
set -euo pipefail
src="$1" out="$2"
rm -rf "$out"
cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE= -DTOLVAN_WITH_GUI=OFF -DTOLVAN_BUILD_TESTS=OFF \
      -DTOLVAN_BUILD_BENCH=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null
cmake --build "$out" -j 2 >/dev/null
# No Qt library may be linked into the programs of the engine.
for exe in tolvansql tolvan-sandbox; do
  if ldd "$out/bin/$exe" | grep -q 'libQt6'; then echo "$exe links Qt"; exit 1; fi
done
[ ! -e "$out/bin/tolvan" ] || { echo "the window was built without Qt"; exit 1; }
"$out/bin/tolvansql" --help | grep -q "^usage: tolvansql" || { echo "tolvansql did not print its usage"; exit 1; }
echo "engine, tolvansql and the stand-in built without Qt"
