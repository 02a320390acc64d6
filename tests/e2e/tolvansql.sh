#!/usr/bin/env bash
# tolvansql through the stand-in: what it prints, its CSV, its exit codes.
set -euo pipefail
sandbox=$1 tolvansql=$2
work=$(mktemp -d)
coproc SERVER { exec "$sandbox" --port 0 --demo --data-dir "$work/data"; }
trap 'kill $SERVER_PID 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
read -r line <&"${SERVER[0]}"
port=${line##*:}
fail() { echo "FAIL: $*"; exit 1; }
run() { "$tolvansql" -S "127.0.0.1,$port" -U sa -d demo "$@"; }
export TOLVAN_PASSWORD=Tolvan-2026

printf 'select top 2 ProductID, Category from Products order by ProductID\nGO\nprint '"'"'done'"'"'\n' > "$work/q.sql"
out=$(run -i "$work/q.sql" --csv "$work/out.csv")
# The messages come first, then the results, as on the Text page.
expected=$'SQLMessage: done\nRowcount: 2\nProductID Category \n--------- -------- \n1         Coffee   \n2         Coffee   \n'
[ "$out"$'\n' = "$expected" ] || fail "text output:"$'\n'"$out"
[ "$(cat "$work/out.csv")" = $'ProductID,Category\r\n1,Coffee\r\n2,Coffee\r' ] || fail "csv: $(cat -A "$work/out.csv")"

set +e
out=$(run -Q "select * from Nowhere"); code=$?
set -e
[ $code -eq 1 ] || fail "failure exit code $code"
grep -qE '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] Invalid object name .Nowhere.\.$' <<<"$out" || fail "failure text: $out"

set +e
err=$(TOLVAN_PASSWORD=wrong run -Q "select 1" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 2 ] || fail "login exit code $code"
[ "$err" = "tolvansql: Login failed for user 'sa'." ] || fail "login error: $err"

out=$(run -Q "update Products set InStock = 1 where ProductID = 1")
grep -qE '^\[[0-9:]{8}\] Success\.$' <<<"$out" || fail "success text: $out"

out=$(run --debug --no-underline --max-column-width 8 -Q "exec SetOrderStatus 1, 'Nope'")
grep -q '^SQLMessage: DEBUG MODE ON$' <<<"$out" || fail "debug message: $out"
grep -q '^         50000 16       1     SetOrder 4    Unknown  $' <<<"$out" || fail "debug row: $out"

# A database name cannot inject SQL: "]" is doubled.
set +e
err=$("$tolvansql" -S "127.0.0.1,$port" -U sa -d "demo]; drop table Orders; --" -Q "select 1" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 2 ] || fail "bad database exit code $code"
out=$(run -Q "select count(*) as n from Orders")
grep -q '^1000 *$' <<<"$out" || fail "Orders changed: $out"
echo "tolvansql ok"
