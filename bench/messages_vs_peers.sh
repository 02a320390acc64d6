#!/usr/bin/env bash
# 10,000 PRINTs in one batch through tolvansql against FreeTDS bsqldb and tsql; the median of five
# alternating rounds on every side. tolvansql must show every message once, in order.
set -euo pipefail
bin=${1:-build/release/bin}
here=$(cd "$(dirname "$0")" && pwd)
exec python3 - "$bin" "$here" <<'PY'
import os, sys
sys.path.insert(0, sys.argv[2])
from peer_common import Server, measure, alternate, median
bin_dir = sys.argv[1]
count = 10000
server = Server(bin_dir)
try:
    lines = [f"line {i:05d}" for i in range(1, count + 1)]
    sql = "".join(f"print '{t}'\n" for t in lines)
    script = os.path.join(server.data, "prints.sql")
    with open(script, "w") as f:
        f.write(sql)
    env = dict(os.environ, TOLVAN_PASSWORD="Tolvan-2026")
    ours = [os.path.join(bin_dir, "tolvansql"), "-S", f"127.0.0.1,{server.port}", "-U", "sa", "-d", "master", "-i", script]
    # Every message once, in order (checked on one run outside the timing).
    shown = [l[len("SQLMessage: "):] for l in measure(ours, capture=True, env=env).out.splitlines() if l.startswith("SQLMessage: ")]
    in_order = shown == lines
    sides = {
        "tolvansql": lambda: measure(ours, env=env),
        "bsqldb": lambda: measure(["bsqldb", "-S", f"127.0.0.1:{server.port}", "-U", "sa", "-P", "Tolvan-2026"], stdin=sql + "go\n"),
        "tsql": lambda: measure(["tsql", "-H", "127.0.0.1", "-p", server.port, "-U", "sa", "-P", "Tolvan-2026"], stdin=sql + "go\nexit\n"),
    }
    runs = alternate(sides, 5)
    print(f"{'client':10} {'wall s':>8} {'cpu s':>8} {'peak MB':>8}   (median of 5 alternating rounds, {count} PRINTs)")
    for name, r in runs.items():
        print(f"{name:10} {median(r, 'wall'):8.3f} {median(r, 'cpu'):8.3f} {median(r, 'peak_mb'):8.1f}")
    ratio = median(runs["tolvansql"], "wall") / median(runs["bsqldb"], "wall")
    print(f"messages shown by tolvansql: {len(shown)} of {count}, in order: {in_order}")
    ok = ratio <= 1.5 and in_order
    print(f"GOAL messages_vs_peers {ratio:.2f}x <=1.50x {'PASS' if ok else 'FAIL'}")
finally:
    server.close()
PY
