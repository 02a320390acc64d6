#!/usr/bin/env bash
# tolvansql through the stand-in: what it prints, its CSV, its exit codes.
set -euo pipefail
sandbox=$1 tolvansql=$2
work=$(mktemp -d)
coproc SERVER { exec "$sandbox" --port 0 --demo --data-dir "$work/data"; }
trap '[ -n "${SERVER_PID:-}" ] && kill $SERVER_PID 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT
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

# Many rows: the file is written while the text page is made; the file has every row, the page its
# first 10,000, and the old file is replaced.
echo old > "$work/big.csv"
out=$(run -Q "exec sp_sandbox_rows 20000" --csv "$work/big.csv")
[ "$(grep -c '^[0-9]' <<<"$out")" -eq 10000 ] && grep -q '^Stopped after 10000 rows\.' <<<"$out" || fail "page of 20000 rows"
[ "$(wc -l <"$work/big.csv")" -eq 20001 ] || fail "csv of 20000 rows: $(wc -l <"$work/big.csv") lines"
# (The time and the decimal separator follow the locale the suite runs under.)
[[ "$(sed -n 20001p "$work/big.csv")" == $'20000,60000000140000,customer_name_0020000,wide_n\xc3\xa4me_0020000,24690,"1/6/2024 '*$',False\r' ]] ||
    fail "last csv line: $(sed -n 20001p "$work/big.csv" | cat -A)"
# A failed run leaves the old file as it was, and no temporary beside it.
echo kept > "$work/kept.csv"
run -Q "select * from Nowhere" --csv "$work/kept.csv" >/dev/null && fail "failed run exit code 0"
[ "$(cat "$work/kept.csv")" = kept ] || fail "failed run changed the csv file"
[ -z "$(find "$work" -maxdepth 1 -name '.*.csv.*')" ] || fail "temporary csv left: $(ls -A "$work")"

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

# -N encrypts; the stand-in's self-signed certificate is refused in words unless -C trusts it,
# or the certificate is the trusted one.
out=$(run -N -C -Q "select 'sealed' as x") || fail "-N -C: $out"
grep -q '^sealed' <<<"$out" || fail "-N -C output: $out"
set +e
err=$(run -N -Q "select 1" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 2 ] || fail "-N exit code $code"
[ "$err" = "tolvansql: The certificate of the server 127.0.0.1,$port could not be verified: self-signed certificate. Trust the server certificate only if you know the server." ] || fail "-N error: $err"
out=$(SSL_CERT_FILE="$work/data/sandbox-cert.pem" run -N -Q "select 'verified' as x") || fail "-N verified: $out"
grep -q '^verified' <<<"$out" || fail "-N verified output: $out"

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
# Files by their byte-order mark: UTF-8 (mark dropped), UTF-16 LE and BE.
printf '\xEF\xBB\xBFselect N'"'"'\xC3\xA4'"'"' as a\n' > "$work/bom8.sql"
printf 'select N'"'"'\xC3\xA4'"'"' as a\n' | iconv -f UTF-8 -t UTF-16 > "$work/bom16.sql"
{ printf '\xFE\xFF'; printf 'select N'"'"'\xC3\xA4'"'"' as a\n' | iconv -f UTF-8 -t UTF-16BE; } > "$work/bom16be.sql"
for f in bom8 bom16 bom16be; do
    out=$(run -i "$work/$f.sql")
    [ "$out" = $'Rowcount: 1\na \n- \n\xC3\xA4 ' ] || fail "$f: $out"
done

# A byte that is not UTF-8, or a NUL, refuses the whole file, naming the line; nothing is sent.
before=$(run -Q "select count(*) as n from Products where InStock = 0")
printf 'update Products set InStock = 0 -- Jos\xe9\nwhere ProductID = 2\n' > "$work/bad.sql"
printf 'update Products set InStock = 0\n-- \x00\nwhere ProductID = 2\n' > "$work/nul.sql"
for f in bad nul; do
    set +e
    err=$(run -i "$work/$f.sql" 2>&1 >/dev/null); code=$?
    set -e
    [ $code -eq 1 ] || fail "$f exit code $code"
    case $f in
    bad) [ "$err" = "tolvansql: $work/bad.sql: The file is not valid UTF-8 (line 1)." ] || fail "bad: $err" ;;
    nul) [ "$err" = "tolvansql: $work/nul.sql: The file holds a NUL character (line 2)." ] || fail "nul: $err" ;;
    esac
done
after=$(run -Q "select count(*) as n from Products where InStock = 0")
[ "$before" = "$after" ] || fail "a refused file changed rows: $before / $after"

# A folder is refused; blank SQL prints nothing, as the window shows nothing.
set +e
err=$(run -i "$work" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 1 ] || fail "folder exit code $code"
[ "$err" = "tolvansql: $work is a folder, not a file" ] || fail "folder: $err"
out=$(run -Q $'  \n ')
[ -z "$out" ] || fail "blank sql printed: $out"

# Ctrl+C: the first cancels the running statement, prints what was read and the outcome, exit 1;
# later batches are not sent. The signal goes once the statement is inside its wait (its mark is in).
run -Q "create table CancelMarks (n int)" >/dev/null
wait_for_mark() {
    for _ in $(seq 300); do
        [ "$(run -Q "select count(*) as n from CancelMarks where n = $1" | tail -1 | tr -d ' ')" = 1 ] && return 0
        sleep 0.1
    done
    fail "the statement never reached its wait"
}
cancel_sql=$'select 1 as a\nGO\ninsert into CancelMarks values (1); waitfor delay \'00:01:00\'\nGO\ninsert into CancelMarks values (9)\n'
# (The program itself in the background, not the run function: the signal must reach it.)
"$tolvansql" -S "127.0.0.1,$port" -U sa -d demo -Q "$cancel_sql" > "$work/cancelled.txt" & pid=$!
wait_for_mark 1
kill -INT $pid
set +e
wait $pid; code=$?
set -e
[ $code -eq 1 ] || fail "cancel exit code $code"
out=$(cat "$work/cancelled.txt")
grep -q '^Rowcount: 1$' <<<"$out" || fail "cancel kept no result: $out"
[ "$(tail -1 <<<"$out" | sed -E 's/^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] //')" = "Query cancelled by user." ] || fail "cancel text: $out"
[ "$(run -Q "select count(*) as n from CancelMarks where n = 9" | tail -1 | tr -d ' ')" = 0 ] || fail "a batch after the cancel ran"

# A second Ctrl+C ends the program at once, even while the server does not answer the first.
cancel_sql=${cancel_sql//values (1)/values (2)}
"$tolvansql" -S "127.0.0.1,$port" -U sa -d demo -Q "$cancel_sql" > /dev/null 2>&1 & pid=$!
wait_for_mark 2
kill -STOP $SERVER_PID
kill -INT $pid
sleep 0.3  # two signals sent back to back would arrive as one
kill -INT $pid
set +e
wait $pid; code=$?
set -e
kill -CONT $SERVER_PID
[ $code -eq 130 ] || fail "second Ctrl+C exit code $code"

# -t sets the command timeout (0: none); anything but a number of seconds is refused.
set +e
out=$(run -t 1 -Q "waitfor delay '00:00:05'"); code=$?
set -e
[ $code -eq 1 ] || fail "timeout exit code $code: $out"
grep -qi 'timeout' <<<"$out" || fail "timeout text: $out"
out=$(run -t 0 -Q "waitfor delay '00:00:01'; select 5 as n")
grep -q '^5 *$' <<<"$out" || fail "-t 0: $out"
set +e
run -t soon -Q "select 1" >/dev/null 2>&1; code=$?
set -e
[ $code -eq 2 ] || fail "bad -t exit code $code"

# An empty password is still a SQL login (only a missing -U means Windows authentication), so the
# server does not answer with its Windows-authentication refusal. Last: the stand-in currently
# drops the connection on an empty password instead of refusing the login.
set +e
err=$("$tolvansql" -S "127.0.0.1,$port" -U sa -P '' -d demo -Q "select 1" 2>&1 >/dev/null); code=$?
set -e
[ $code -eq 2 ] || fail "empty password exit code $code"
case "$err" in
"tolvansql: Login failed for user 'sa'." | "tolvansql: Adaptive Server connection failed") ;;
*) fail "empty password error: $err" ;;
esac

echo "tolvansql ok"
