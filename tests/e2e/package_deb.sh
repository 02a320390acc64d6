#!/usr/bin/env bash
# The Debian package: built by CPack from the programs already built in this build folder, then
# unpacked into a temporary root; its tolvansql runs from there, its menu entry validates, and its
# dependencies name the shared libraries the programs use.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No compression: the sanitizer build's programs are large, and only the contents are checked here.
(cd "$work" && cpack -G DEB -D CPACK_DEBIAN_COMPRESSION_TYPE=none --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/tolvan_*.deb)
fail() { echo "FAIL: $*"; exit 1; }

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6widgets6 libcurl4 libsodium23 tdsodbc; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib"
done

dpkg -x "$deb" "$work/root"
for f in usr/bin/tolvan usr/bin/tolvansql usr/share/icons/hicolor/scalable/apps/tolvan.svg usr/share/doc/tolvan/README.md; do
  [ -e "$work/root/$f" ] || fail "missing $f"
done
desktop-file-validate "$work/root/usr/share/applications/Merivane Tolvan.desktop" || fail "menu entry does not validate"

help=$("$work/root/usr/bin/tolvansql" --help) || fail "tolvansql --help exits with $?"
grep -q -- "-S server" <<<"$help" || fail "unexpected help text: $help"
echo "package OK: $(basename "$deb")"
