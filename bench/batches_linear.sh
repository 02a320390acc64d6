#!/usr/bin/env bash
# tolvansql on scripts of many GO batches: 20,000 small batches against 10,000 (the time must grow
# linearly), and 1,000 batches of 100 KB each, the client's CPU time against the stand-in's own.
set -euo pipefail
bin=${1:-build/release/bin}
here=$(cd "$(dirname "$0")" && pwd)
exec python3 - "$bin" "$here" <<'PY'
import os, statistics, sys
sys.path.insert(0, sys.argv[2])
from peer_common import Server, measure
bin_dir = sys.argv[1]
server = Server(bin_dir)
try:
    env = dict(os.environ, TOLVAN_PASSWORD="Tolvan-2026")
    def script(name, batches, body):
        path = os.path.join(server.data, name)
        with open(path, "w") as f:
            for _ in range(batches):
                f.write(body)
        return path
    small = {n: script(f"small{n}.sql", n, "declare @x int\nGO\n") for n in (10000, 20000)}
    big = script("big.sql", 1000, "-- " + "x" * 100000 + "\ndeclare @x int\nGO\n")
    def ours(path):
        return measure([os.path.join(bin_dir, "tolvansql"), "-S", f"127.0.0.1,{server.port}", "-U", "sa", "-d", "master", "-i", path], env=env)
    walls = {10000: [], 20000: []}
    for _ in range(5):
        for n in (10000, 20000):
            walls[n].append(ours(small[n]).wall)
    t10, t20 = statistics.median(walls[10000]), statistics.median(walls[20000])
    client, serv = [], []
    for _ in range(3):
        before = server.cpu_seconds()
        r = ours(big)
        serv.append(server.cpu_seconds() - before)
        client.append(r.cpu)
    c, s = statistics.median(client), statistics.median(serv)
    print(f"10,000 small batches {t10:.2f} s, 20,000 {t20:.2f} s (median of 5 alternating runs)")
    print(f"1,000 batches of 100 KB: client CPU {c:.2f} s, stand-in CPU {s:.2f} s (median of 3)")
    print(f"GOAL batches_linear {t20 / t10:.2f}x <=2.30x {'PASS' if t20 / t10 <= 2.3 else 'FAIL'}")
    ratio = c / s if s > 0 else float("inf")
    print(f"GOAL batches_100k_vs_server {ratio:.2f}x <=2.00x {'PASS' if ratio <= 2 else 'FAIL'}")
finally:
    server.close()
PY
