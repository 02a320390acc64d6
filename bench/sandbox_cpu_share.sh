#!/usr/bin/env bash
# The stand-in must not be what benchmarks measure: it streams 1,000,000 generated rows of eight
# columns to bsqldb, and its CPU time must stay under a third of the client's.
set -euo pipefail
bin=${1:-build/release/bin}
exec python3 - "$bin" <<'PY'
import os, subprocess, sys, tempfile, time
bin_dir = sys.argv[1]
data = tempfile.mkdtemp(prefix="tolvan-bench-")
server = subprocess.Popen([os.path.join(bin_dir, "tolvan-sandbox"), "--port", "0", "--data-dir", data],
                          stdout=subprocess.PIPE, text=True)
port = int(server.stdout.readline().strip().rsplit(":", 1)[1])
tick = os.sysconf("SC_CLK_TCK")
def server_cpu():
    with open(f"/proc/{server.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick
try:
    before = server_cpu()
    start = time.monotonic()
    client = subprocess.Popen(["bsqldb", "-S", f"127.0.0.1:{port}", "-U", "sa", "-P", "Tolvan-2026"],
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client.stdin.write(b"exec sp_sandbox_rows 1000000\n")
    client.stdin.close()
    _, status, usage = os.wait4(client.pid, 0)
    wall = time.monotonic() - start
    server_time = server_cpu() - before
    client_time = usage.ru_utime + usage.ru_stime
    share = server_time / client_time
    print(f"sandbox streaming 1,000,000 rows: server CPU {server_time:.2f} s, bsqldb CPU {client_time:.2f} s, wall {wall:.2f} s")
    print(f"GOAL sandbox_cpu_share {share:.2f}x <0.33x {'PASS' if share < 1/3 and status == 0 else 'FAIL'}")
finally:
    server.terminate()
    server.wait()
    subprocess.run(["rm", "-rf", data])
PY
