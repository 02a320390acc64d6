#!/usr/bin/env bash
# A normal-run fetch of 1,000,000 rows of eight columns into a result dataset over an encrypted
# connection (TLS, certificate trusted) against the same over a plain one, from the same stand-in in
# the same run: five alternating rounds, the median fetch time, and each process's own peak memory.
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
try:
    ingest = os.path.join(bin_dir, "bench_ingest")
    sides = {
        "plain": lambda: measure([ingest, server.port, "ours", str(rows)], capture=True),
        "tls": lambda: measure([ingest, server.port, "ours-tls", str(rows)], capture=True),
    }
    runs = alternate(sides, 5)
    fetch = {name: statistics.median(float(r.out.split()[1]) for r in runs[name]) for name in sides}
    print(f"{'side':6} {'fetch s':>8} {'wall s':>8} {'cpu s':>8} {'peak MB':>8}   (median of 5 alternating rounds)")
    for name, r in runs.items():
        assert all(int(x.out.split()[3]) == rows for x in r), f"{name}: rows missing"
        print(f"{name:6} {fetch[name]:8.2f} {median(r, 'wall'):8.2f} {median(r, 'cpu'):8.2f} {median(r, 'peak_mb'):8.1f}")
    ratio = fetch["tls"] / fetch["plain"]
    print(f"GOAL tls_ingest {ratio:.2f}x <=1.30x {'PASS' if ratio <= 1.3 else 'FAIL'}")
finally:
    server.close()
PY
