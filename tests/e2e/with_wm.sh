#!/usr/bin/env bash
# Runs a program on a fresh Xvfb display with the openbox window manager: with_wm.sh program args...
set -euo pipefail
inner='openbox --sm-disable >/dev/null 2>&1 & wm=$!; sleep 1; "$@"; rc=$?; kill $wm 2>/dev/null; exit $rc'
exec xvfb-run -a -s "-screen 0 1280x800x24" bash -c "$inner" bash "$@"
