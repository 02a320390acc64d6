# Shared by the benchmark scripts that run the built programs against peers: the stand-in as a
# child process, and one way of measuring every side (wall time, the process's own CPU time and
# peak memory from wait4, the median of alternating runs).
import os, statistics, subprocess, tempfile, time


class Server:
    def __init__(self, bin_dir, demo=False):
        self.data = tempfile.mkdtemp(prefix="tolvan-bench-")
        argv = [os.path.join(bin_dir, "tolvan-sandbox"), "--port", "0", "--data-dir", self.data]
        if demo:
            argv.append("--demo")
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        self.port = self.proc.stdout.readline().strip().rsplit(":", 1)[1]

    def cpu_seconds(self):
        # utime + stime of the stand-in so far, from /proc.
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        subprocess.run(["rm", "-rf", self.data])


class Run:
    def __init__(self, wall, cpu, peak_mb, out, status):
        self.wall, self.cpu, self.peak_mb, self.out, self.status = wall, cpu, peak_mb, out, status


def measure(argv, stdin=None, capture=False, env=None):
    """One run of a program: wall time, its own CPU time (wait4) and its own peak memory, from
    /usr/bin/time around it: the rusage of a child forked from this Python process would count
    the interpreter's pages copied before the exec."""
    fd, peak_file = tempfile.mkstemp(prefix="tolvan-peak-")
    os.close(fd)
    argv = ["/usr/bin/time", "-f", "%M", "-o", peak_file] + list(argv)
    start = time.monotonic()
    p = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin is not None else subprocess.DEVNULL,
                         stdout=subprocess.PIPE if capture else subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    if stdin is not None:
        p.stdin.write(stdin.encode())
        p.stdin.close()
    out = p.stdout.read().decode(errors="replace") if capture else ""
    err = p.stderr.read().decode(errors="replace")
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    with open(peak_file) as f:
        lines = [l for l in f.read().split() if l.isdigit()]
    os.unlink(peak_file)
    peak_mb = int(lines[-1]) / 1024.0 if lines else float("nan")
    if status != 0:
        print(f"  {os.path.basename(argv[5])}: exit {status >> 8}: {err.strip()[:200]}")
    return Run(wall, usage.ru_utime + usage.ru_stime, peak_mb, out, status)


def alternate(sides, rounds):
    """Runs every side once per round, in turn, for the given rounds; returns name -> list of Run."""
    runs = {name: [] for name in sides}
    for _ in range(rounds):
        for name, fn in sides.items():
            runs[name].append(fn())
    return runs


def median(runs, attr):
    return statistics.median(getattr(r, attr) for r in runs)
