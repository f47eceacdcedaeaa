"""Run a pytest command as N processes side by side: shards.py N CMD...

Each process gets VX_SHARD=K/N (tests/conftest.py keeps every N-th test
from the K-th) and a --basetemp of its own; each one's output is printed
whole when it ends, and the exit status is the first non-zero one. The
suites that hold one core each (sanitizers, emulation, the wheels' suites)
run this way: plain processes rather than pytest workers, so each keeps
its own leak check at exit.
"""
import os
import subprocess
import sys
import tempfile


def main(n, *cmd):
    n = int(n)
    tag = os.path.basename(os.getcwd())
    runs = []
    for k in range(n):
        log = tempfile.TemporaryFile()
        base = os.path.join(tempfile.gettempdir(), f"vx-shard-{os.getpid()}-{tag}-{k}")
        env = {**os.environ, "VX_SHARD": f"{k}/{n}"}
        runs.append((subprocess.Popen([*cmd, f"--basetemp={base}"], stdout=log,
                                      stderr=subprocess.STDOUT, env=env), log))
    status = 0
    for k, (proc, log) in enumerate(runs):
        code = proc.wait()
        log.seek(0)
        sys.stdout.write(f"---- shard {k + 1} of {n} (exit {code}) ----\n")
        sys.stdout.write(log.read().decode(errors="replace"))
        sys.stdout.flush()
        status = status or code
    return status


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
