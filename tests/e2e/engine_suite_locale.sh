#!/usr/bin/env bash
# The engine's test programs and tolvansql's checks under one locale (LANG and LC_ALL).
set -euo pipefail
loc=$1 unit=$2 db=$3 runloop=$4 cli=$5 sandbox=$6 tolvansql=$7
locale -a | grep -qix "${loc/UTF-8/utf8}" || { echo "locale $loc is not generated (scripts/install-deps)"; exit 1; }
export LANG=$loc LC_ALL=$loc
for t in "$unit" "$db" "$runloop"; do
    "$t" --gtest_brief=1
done
"$cli" "$sandbox" "$tolvansql"
echo "engine suite ok under $loc"
