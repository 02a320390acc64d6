#!/usr/bin/env bash
# An installation script of 1 MB in 2,000 GO batches with 3,000 INSERT statements through
# tolvansql against the stand-in, against the same statements run by SQLite itself (its shell, on
# a database file with the stand-in's settings, each statement in its own transaction).
set -euo pipefail
bin=${1:-build/release/bin}
here=$(cd "$(dirname "$0")" && pwd)
exec python3 - "$bin" "$here" <<'PY'
import os, statistics, subprocess, sys
sys.path.insert(0, sys.argv[2])
from peer_common import Server, measure
bin_dir = sys.argv[1]
server = Server(bin_dir)
try:
    env = dict(os.environ, TOLVAN_PASSWORD="Tolvan-2026")
    tsql = ["SET NOCOUNT ON\nGO\nIF EXISTS (SELECT * FROM sysdatabases WHERE name = 'BenchScript') DROP DATABASE BenchScript\nGO\n"
            "CREATE DATABASE BenchScript\nGO\nUSE BenchScript\nGO\n"
            "CREATE TABLE [dbo].[Bench Rows] ([ID] [int] NOT NULL PRIMARY KEY, [Name] [nvarchar](40) NOT NULL, "
            "[Price] [money] NULL, [Note] [nvarchar](400) NULL)\nGO\n"]
    plain = ["PRAGMA journal_mode=WAL;\nPRAGMA synchronous=NORMAL;\n"
             'CREATE TABLE "Bench Rows" ("ID" int NOT NULL PRIMARY KEY, "Name" nvarchar(40) NOT NULL, '
             '"Price" money, "Note" nvarchar(400));\n']
    batches = 5  # the set-up above
    row = 0
    while batches < 2000:
        # Batches of one and two INSERT statements: 3,000 in 2,000 batches.
        for _ in range(2 if batches < 5 + 1005 else 1):
            if row >= 3000:
                break
            row += 1
            name = f"Customer number {row:05d}"
            note = f"Row {row}: " + ("lorem ipsum dolor sit amet " * 11)[:290]
            tsql.append(f"INSERT [dbo].[Bench Rows] ([ID], [Name], [Price], [Note]) VALUES ({row}, N'{name}', ${row % 97}.{row % 100:02d}, N'{note}')\n")
            plain.append(f"INSERT INTO \"Bench Rows\" (\"ID\", \"Name\", \"Price\", \"Note\") VALUES ({row}, '{name}', {row % 97}.{row % 100:02d}, '{note}');\n")
        tsql.append("GO\n")
        batches += 1
    assert row == 3000, row
    script = os.path.join(server.data, "install.sql")
    with open(script, "w") as f:
        f.write("".join(tsql))
    direct = os.path.join(server.data, "direct.sql")
    with open(direct, "w") as f:
        f.write("".join(plain))
    size = os.path.getsize(script)
    ours, theirs = [], []
    for k in range(3):
        r = measure([os.path.join(bin_dir, "tolvansql"), "-S", f"127.0.0.1,{server.port}", "-U", "sa", "-d", "master", "-i", script], env=env)
        if r.status != 0:
            sys.exit("the script failed")
        ours.append(r.wall)
        print(f"  run {k + 1}: tolvansql {r.wall:.2f} s", flush=True)
        db = os.path.join(server.data, f"direct{k}.db")
        with open(direct) as f:
            theirs.append(measure(["sqlite3", db], stdin=f.read()).wall)
    count = subprocess.run([os.path.join(bin_dir, "tolvansql"), "-S", f"127.0.0.1,{server.port}", "-U", "sa", "-d", "BenchScript",
                            "-Q", "select count(*) as n from [Bench Rows]"], env=env, capture_output=True, text=True).stdout.split()
    if "3000" not in count:
        sys.exit(f"the table holds {count}")
    t, s = statistics.median(ours), statistics.median(theirs)
    print(f"script of {size / 1e6:.2f} MB, 2,000 batches, 3,000 INSERT statements: tolvansql + stand-in {t:.2f} s, "
          f"SQLite directly {s:.2f} s (median of 3 alternating runs)")
    ratio = t / s
    print(f"GOAL install_script_vs_sqlite {ratio:.2f}x <=3.00x {'PASS' if ratio <= 3 else 'FAIL'}")
finally:
    server.close()
PY
