#!/usr/bin/env bash
# A normal-run fetch of 1,000,000 rows of eight columns into a result dataset, against the same
# result fetched by FreeTDS bsqldb and tsql, unixODBC isql, Python's pyodbc, and a bare ODBC loop.
# Every side is measured the same way: five alternating rounds, the median wall time, and each
# process's own peak memory (/usr/bin/time around it).
set -euo pipefail
bin=${1:-build/release/bin}
here=$(cd "$(dirname "$0")" && pwd)
exec python3 - "$bin" "$here" <<'PY'
import os, statistics, sys
sys.path.insert(0, sys.argv[2])
from peer_common import Server, measure, alternate, median
bin_dir = sys.argv[1]
rows = 1000000
server = Server(bin_dir)
port = server.port
cs = f"Driver=FreeTDS;Server=127.0.0.1;Port={port};UID=sa;PWD=Tolvan-2026;TDS_Version=7.4;ClientCharset=UTF-8"
sql = f"exec sp_sandbox_rows {rows}"
pyodbc_script = f"""
import pyodbc
c = pyodbc.connect({cs!r}, autocommit=True)
rows = c.cursor().execute({sql!r}).fetchall()
assert len(rows) == {rows}
"""
try:
    ingest = os.path.join(bin_dir, "bench_ingest")
    sides = {
        "ours": lambda: measure([ingest, port, "ours", str(rows)], capture=True),
        "bare": lambda: measure([ingest, port, "bare", str(rows)], capture=True),
        "bsqldb": lambda: measure(["bsqldb", "-S", f"127.0.0.1:{port}", "-U", "sa", "-P", "Tolvan-2026"], stdin=sql + "\n"),
        "tsql": lambda: measure(["tsql", "-H", "127.0.0.1", "-p", port, "-U", "sa", "-P", "Tolvan-2026"], stdin=sql + "\ngo\nexit\n"),
        "isql": lambda: measure(["isql", "-b", "-k", cs], stdin=sql + "\n"),
        "pyodbc": lambda: measure(["/usr/bin/python3", "-c", pyodbc_script]),
    }
    runs = alternate(sides, 5)
    fetch = {name: statistics.median(float(r.out.split()[1]) for r in runs[name]) for name in ("ours", "bare")}
    value_bytes = int(runs["ours"][0].out.split()[5])
    ours_wall = median(runs["ours"], "wall")
    print(f"{'client':8} {'wall s':>8} {'cpu s':>8} {'peak MB':>8} {'ratio to ours':>14}   (median of 5 alternating rounds)")
    slowest_ratio = None
    for name, r in runs.items():
        wall = median(r, "wall")
        extra = f"   (fetch {fetch[name]:.2f} s)" if name in fetch else ""
        print(f"{name:8} {wall:8.2f} {median(r, 'cpu'):8.2f} {median(r, 'peak_mb'):8.1f} {wall / ours_wall:13.2f}x{extra}")
        if name not in ("ours", "bare"):
            slowest_ratio = wall / ours_wall if slowest_ratio is None else min(slowest_ratio, wall / ours_wall)
    mem_ratio = median(runs["ours"], "peak_mb") * 1024 * 1024 / value_bytes
    print(f"GOAL ingest_vs_peers {slowest_ratio:.2f}x >1.00x {'PASS' if slowest_ratio > 1 else 'FAIL'}")
    print(f"GOAL ingest_vs_bare {fetch['ours'] / fetch['bare']:.2f}x <=1.30x {'PASS' if fetch['ours'] / fetch['bare'] <= 1.3 else 'FAIL'}")
    print(f"GOAL ingest_memory {mem_ratio:.2f}x <=2.00x {'PASS' if mem_ratio <= 2 else 'FAIL'}")
finally:
    server.close()
PY
