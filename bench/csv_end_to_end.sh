#!/usr/bin/env bash
# tolvansql --csv of 1,000,000 rows x 8 columns against tsql and freebcp queryout writing the same
# rows to a file; the median of five alternating rounds on every side, each process's own peak.
set -euo pipefail
bin=${1:-build/release/bin}
here=$(cd "$(dirname "$0")" && pwd)
exec python3 - "$bin" "$here" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[2])
from peer_common import Server, measure, alternate, median
bin_dir = sys.argv[1]
rows = 1000000
server = Server(bin_dir)
try:
    d = server.data
    sql = f"exec sp_sandbox_rows {rows}"
    env = dict(os.environ, TOLVAN_PASSWORD="Tolvan-2026")
    ours = [os.path.join(bin_dir, "tolvansql"), "-S", f"127.0.0.1,{server.port}", "-U", "sa", "-d", "master", "-Q", sql,
            "--csv", os.path.join(d, "ours.csv")]
    tsql_out = os.path.join(d, "tsql.txt")
    sides = {
        "tolvansql": lambda: measure(ours, env=env),
        "tsql": lambda: measure(["sh", "-c", f"tsql -H 127.0.0.1 -p {server.port} -U sa -P Tolvan-2026 > {tsql_out}"], stdin=sql + "\ngo\nexit\n"),
    }
    # freebcp needs the server to describe the query under SET FMTONLY ON; it joins when that works.
    bcp = ["freebcp", sql, "queryout", os.path.join(d, "bcp.csv"), "-c", "-t,", "-S", f"127.0.0.1:{server.port}", "-U", "sa", "-P", "Tolvan-2026"]
    probe = measure(["timeout", "60"] + bcp)
    bcp_rows = 0
    if probe.status == 0 and os.path.exists(os.path.join(d, "bcp.csv")):
        with open(os.path.join(d, "bcp.csv"), "rb") as f:
            bcp_rows = sum(1 for _ in f)
    if bcp_rows == rows:
        sides["freebcp"] = lambda: measure(bcp)
    else:
        print(f"freebcp queryout left out: it wrote {bcp_rows} rows (the stand-in must honour SET FMTONLY ON)")
    runs = alternate(sides, 5)
    with open(os.path.join(d, "ours.csv"), "rb") as f:
        ours_rows = sum(1 for _ in f) - 1
    print(f"{'client':10} {'wall s':>8} {'cpu s':>8} {'peak MB':>8}   (median of 5 alternating rounds, {rows} rows x 8 to a file)")
    for name, r in runs.items():
        print(f"{name:10} {median(r, 'wall'):8.3f} {median(r, 'cpu'):8.3f} {median(r, 'peak_mb'):8.1f}")
    fastest = min(median(r, "wall") for name, r in runs.items() if name != "tolvansql")
    ratio = median(runs["tolvansql"], "wall") / fastest
    print(f"rows in tolvansql's file: {ours_rows}")
    ok = ratio <= 0.75 and ours_rows == rows
    print(f"GOAL csv_end_to_end {ratio:.2f}x <=0.75x {'PASS' if ok else 'FAIL'}")
finally:
    server.close()
PY
