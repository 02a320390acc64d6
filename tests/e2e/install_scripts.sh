#!/usr/bin/env bash
# Installation scripts written for SQL Server run through tolvansql against the stand-in: every
# batch succeeds (twice: each script drops and creates its database again), and the tables hold
# every row the script inserts.
set -euo pipefail
sandbox=$1 tolvansql=$2 scripts=$3
work=$(mktemp -d)
coproc SERVER { exec "$sandbox" --port 0 --data-dir "$work/data"; }
trap '[ -n "${SERVER_PID:-}" ] && kill $SERVER_PID 2>/dev/null; wait 2>/dev/null || true; rm -rf "$work"' EXIT
read -r line <&"${SERVER[0]}"
port=${line##*:}
fail() { echo "FAIL: $*"; exit 1; }
run() { "$tolvansql" -S "127.0.0.1,$port" -U sa --no-underline "$@"; }
export TOLVAN_PASSWORD=Tolvan-2026

# The counts each script's tables must hold, one "table|rows" per line.
declare -A expected=(
    [shop]=$'Customers|4\nSuppliers|2\nProducts|4\nOrders|3\n[Order Details]|4'
    [library]=$'Authors|4\nBooks|4\nLoans|2\nAudit|3'
)
declare -A database=([shop]=ShopScript [library]=LibraryScript)

for name in shop library; do
    for round in 1 2; do
        out=$(run -d master -i "$scripts/$name.sql" 2>&1) || fail "$name.sql round $round: $out"
    done
    while IFS='|' read -r table rows; do
        got=$(run -d "${database[$name]}" -Q "select count(*) as n from $table" | sed -n 3p | tr -d ' ')
        [ "$got" = "$rows" ] || fail "$name: $table holds $got rows, not $rows"
    done <<<"${expected[$name]}"
done

# What the scripts built behaves: constraints, the trigger, the view and the procedures.
out=$(run -d ShopScript -Q "select CustomerID, Zip from Customers where City = 'berlin'")
grep -q '^ALFKI *12209 *$' <<<"$out" || fail "shop lookup: $out"
set +e
out=$(run -d ShopScript -Q "insert Products (ProductName, Code) values ('Bad', '12-ABC')"); code=$?
set -e
[ $code -eq 1 ] && grep -q 'CHECK constraint' <<<"$out" || fail "check constraint: $out"
set +e
out=$(run -d ShopScript -Q "update Orders set Freight = -1 where OrderID = 10248"); code=$?
set -e
[ $code -eq 1 ] && grep -q 'Freight cannot be negative' <<<"$out" || fail "trigger: $out"
out=$(run -d ShopScript -Q "select Freight from Orders where OrderID = 10248")
grep -q '^32.38' <<<"$out" || fail "trigger did not undo the update: $out"
out=$(run -d LibraryScript -Q "select Title, Member from [Open Loans]")
grep -q '^Gösta Berling *Ann *$' <<<"$out" || fail "view: $out"
echo "install scripts: 2 passed, 0 failed"
