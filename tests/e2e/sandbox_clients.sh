#!/usr/bin/env bash
# The stand-in through FreeTDS's own tools, unixODBC's isql and Python's pyodbc: each must get the
# answers SQL Server would give.
set -euo pipefail
sandbox=$1
work=$(mktemp -d)
coproc SERVER { exec "$sandbox" --port 0 --demo --data-dir "$work/data"; }
trap 'kill $SERVER_PID 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
read -r line <&"${SERVER[0]}"
port=${line##*:}
fail() { echo "FAIL: $*"; exit 1; }
cs="Driver=FreeTDS;Server=127.0.0.1;Port=$port;UID=sa;PWD=Tolvan-2026;TDS_Version=7.4;ClientCharset=UTF-8;Database=demo"

# bsqldb: a result with its row count.
out=$(echo "select top 2 ProductID, Category from Products order by ProductID" | bsqldb -S "127.0.0.1:$port" -U sa -P Tolvan-2026 -D demo 2>&1)
grep -q "^ *1  Coffee" <<<"$out" || fail "bsqldb: $out"
grep -q "2 rows affected" <<<"$out" || fail "bsqldb count: $out"

# tsql: messages and errors with their numbers.
out=$(printf "print 'from print'\ngo\nselect * from Missing\ngo\n" | TDSVER=7.4 tsql -H 127.0.0.1 -p "$port" -U sa -P Tolvan-2026 2>&1)
grep -q "from print" <<<"$out" || fail "tsql print: $out"
grep -q "Msg 208" <<<"$out" || fail "tsql error: $out"

# freebcp queryout: it asks for the columns first with SET FMTONLY ON, then copies the rows.
(cd "$work" && timeout 60 freebcp "select ProductID, Name from demo.dbo.Products order by ProductID" queryout "$work/products.txt" -c \
    -S "127.0.0.1:$port" -U sa -P Tolvan-2026 >"$work/bcp.log" 2>&1) || fail "freebcp: $(cat "$work/bcp.log")"
[ "$(wc -l <"$work/products.txt")" -eq 20 ] || fail "freebcp rows: $(cat "$work/bcp.log")"
head -1 "$work/products.txt" | grep -q "^1	Espresso beans 1 kg$" || fail "freebcp first row: $(head -1 "$work/products.txt")"
# ... and of a procedure's result, which is described without running it.
(cd "$work" && timeout 60 freebcp "exec sp_sandbox_rows 5" queryout "$work/rows.txt" -c -t, \
    -S "127.0.0.1:$port" -U sa -P Tolvan-2026 >"$work/bcp.log" 2>&1) || fail "freebcp proc: $(cat "$work/bcp.log")"
[ "$(wc -l <"$work/rows.txt")" -eq 5 ] || fail "freebcp proc rows: $(cat "$work/bcp.log")"

# isql: prepared statements go through sp_prepexec.
out=$(echo "select count(*) from Orders where Status = 'Paid'" | isql -b -k "$cs" 2>&1)
grep -q "1 rows fetched" <<<"$out" || fail "isql: $out"

# Encryption (the stand-in's default --tls on): ODBC and tsql with every FreeTDS setting; the
# certificate is checked only against the stand-in's own, and then it verifies.
out=$(echo "select count(*) from Orders where Status = 'Paid'" | timeout 20 isql -b -k "$cs;Encryption=require" 2>&1)
grep -q "1 rows fetched" <<<"$out" || fail "isql encrypted: $out"
for level in require request off; do
  printf '[checked]\n\thost = localhost\n\tport = %s\n\ttds version = 7.4\n\tencryption = %s\n\tca file = %s\n' \
    "$port" "$level" "$work/data/sandbox-cert.pem" >"$work/freetds.conf"
  out=$(printf "select 'tls-$level'\ngo\n" | FREETDSCONF="$work/freetds.conf" timeout 20 tsql -S checked -U sa -P Tolvan-2026 2>&1)
  grep -q "tls-$level" <<<"$out" || fail "tsql encryption = $level: $out"
done

# pyodbc: bound parameters (sp_executesql) and manual-commit transactions.
/usr/bin/python3 - "$cs" <<'PY' || fail "pyodbc"
import sys, decimal, pyodbc
cs = sys.argv[1]
c = pyodbc.connect(cs, autocommit=False)
k = c.cursor()
k.execute("select ? as a, ? as b, ? as c", 7, "h\u00e9", decimal.Decimal("1.2345"))
row = tuple(k.fetchall()[0])
assert row == (7, "h\u00e9", decimal.Decimal("1.2345")), f"parameters: {row}"
k.execute("select Status from Orders where OrderID = 1")
before = k.fetchone()[0]
k.execute("update Orders set Status = ? where OrderID = 1", "Changed")
c.rollback()
k.execute("select Status from Orders where OrderID = 1")
assert k.fetchone()[0] == before, "rollback"
k.execute("update Orders set Status = ? where OrderID = 1", "Changed")
c.commit()
other = pyodbc.connect(cs, autocommit=True).cursor()
assert other.execute("select Status from Orders where OrderID = 1").fetchone()[0] == "Changed", "commit"
PY
echo "clients ok"
