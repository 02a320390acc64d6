#!/usr/bin/env bash
# tolvansql --xml: an XML dataset file imported without a server, printed as the Text page shows
# it, written as CSV; a refused file exits 1 with the error.
set -euo pipefail
tolvansql=$1 fixtures=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

out=$("$tolvansql" --xml "$fixtures/basic.xml" --csv "$work/out.csv")
expected=$'Rowcount: 1\nID First Name \n-- ---------- \n1  Ann        '
[ "$out" = "$expected" ] || fail "text output:"$'\n'"$out"
[ "$(cat "$work/out.csv")" = $'ID,"First Name"\r\n1,Ann\r' ] || fail "csv: $(cat -A "$work/out.csv")"

out=$("$tolvansql" --xml "$fixtures/utf16.xml" --no-underline)
[ "$out" = $'Rowcount: 1\nID Name  \n1  Zoë 😀 ' ] || fail "UTF-16 file:"$'\n'"$out"

set +e
err=$("$tolvansql" --xml "$fixtures/truncated_mid_date.xml" --csv "$work/never.csv" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 1 ] || fail "refused file exit code $code"
[ "$err" = "tolvansql: XML2Dataset: Unexpected end of file: the value of When at line 8, column 16 is not closed" ] || fail "refused file: $err"
[ ! -e "$work/never.csv" ] || fail "a refused file wrote CSV"

set +e
"$tolvansql" --xml "$fixtures/basic.xml" -Q "select 1" >/dev/null 2>&1; code=$?
set -e
[ $code -eq 2 ] || fail "--xml with SQL exit code $code"
echo "tolvansql --xml: all checks passed"
