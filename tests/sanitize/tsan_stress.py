"""The load of `make tsan`: the package and the module called at once from
several Python threads on the same input objects, each thread writing its own
outputs, while another thread forks and the children call too. Every result
must have the bits of the same call made on one thread before any other
started. A wrong result, an exception, a failed child or a hang exits 1; a
ThreadSanitizer report stops the process itself (halt_on_error, exit code
66)."""
import argparse
import os
import sys
import threading
import time
import warnings

import numpy as np

import _vexiloimgc
import vexiloimgc

# The children fork from a threaded process on purpose.
warnings.filterwarnings("ignore", category=DeprecationWarning, message=".*fork.*")

rng = np.random.default_rng(5)
# Big enough for 3 threads of work: the package runs small calls on one.
IMAGE = rng.uniform(-100, 100, (48, 64, 80)).astype(np.float32)
SPACING = np.array([0.9, 1.1, 1.7])
t = np.radians(12)
c = (np.array(IMAGE.shape[::-1]) - 1) * SPACING / 2
R = np.array([[np.cos(t), -np.sin(t), 0.1], [np.sin(t), np.cos(t), 0], [0, -0.05, 1.02]])
MATRIX = np.hstack([R, (c - R @ c)[:, None]])
FLAT = MATRIX.ravel().astype(np.float32)
# Read through the package's parallel conversion, not in place.
SWAPPED = IMAGE.astype(">f8")[:, ::-1, :]
BATCH = rng.integers(0, 255, (3, 32, 48, 48), dtype=np.uint8)
MAPS = np.stack([MATRIX + np.hstack([np.zeros((3, 3)), np.full((3, 1), k - 1.0)]) for k in range(3)])


def package(image, matrix, workers):
    return lambda out=None, workers=workers: vexiloimgc.transform(
        image, SPACING, matrix, out=out, workers=workers)


def module(image):
    return lambda out=None, workers=1: _vexiloimgc.transform(image, SPACING, FLAT)


CASES = {f"{name} workers={w}": (image.shape, package(image, matrix, w))
         for name, image, matrix in [("3-D", IMAGE, MATRIX), ("3-D flat", IMAGE, FLAT),
                                     ("3-D swapped", SWAPPED, MATRIX), ("4-D maps", BATCH, MAPS)]
         for w in (1, 2, -1, 4)}
# Onto another grid, with a background value.
GRID = (40, 70, 66)
for w in (1, 2, -1):
    CASES[f"grid workers={w}"] = (GRID, lambda out=None, workers=w: vexiloimgc.transform(
        IMAGE, SPACING, MATRIX, output_shape=GRID, output_spacing=(1.1, 0.9, 2.0), cval=-7.0, out=out,
        workers=workers))
CASES["module 3-D"] = (IMAGE.shape, module(IMAGE))
CASES["module 4-D"] = (BATCH.shape, module(BATCH))
NAMES = list(CASES)


def same(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def stress(seconds, threads):
    # The reference: every case alone, on one thread, before any other runs.
    want = {n: CASES[n][1](workers=1) for n in NAMES}
    flat = want["3-D flat workers=1"]
    if not (same(want["module 3-D"], flat) and same(want["3-D workers=1"], flat)):
        sys.exit("tsan stress: the module, a flat and a (3, 4) matrix disagree even on one thread")

    failures, calls, forks = [], [0] * threads, [0]
    deadline = time.monotonic() + seconds
    start = threading.Barrier(threads + 2, timeout=60)  # the callers, the forker, this thread

    def guarded(job):
        def run(*args):
            try:
                job(*args)
            except BaseException as e:
                failures.append(f"{job.__name__}{args}: {type(e).__name__}: {e}")
        return run

    def caller(k):
        # Each thread its own outputs; half the calls write into them.
        outs = {n: np.empty(shape, np.float32) for n, (shape, _) in CASES.items()}
        start.wait()
        i = k
        while time.monotonic() < deadline and not failures:
            name = NAMES[i % len(NAMES)]
            out = outs[name] if i % 2 else None
            got = CASES[name][1](out)
            if out is not None and not name.startswith("module") and got is not out:
                failures.append(f"thread {k}: {name}: out= was not returned")
            if not same(got, want[name]):
                diff = np.abs(got.astype(np.float64) - want[name]).max() if got.shape == want[name].shape else "-"
                failures.append(f"thread {k}: {name}: not the bits of one thread (max |diff| {diff})")
            calls[k] += 1
            i += 1

    def child():
        # Threads of the parent were mid-call at the fork; this process must
        # still get the right bits. On one thread: GCC 12's runtime cannot
        # follow threads started after a threaded fork (the normal suite's
        # fork test covers those).
        try:
            ok = all(same(CASES[n][1](workers=1), want[n])
                     for n in ("3-D workers=-1", "4-D maps workers=2", "module 3-D"))
        except BaseException:
            ok = False
        os._exit(0 if ok else 1)

    def forker():
        start.wait()
        while time.monotonic() < deadline and not failures:
            time.sleep(0.2)
            pid = os.fork()
            if pid == 0:
                child()
            forks[0] += 1
            limit = time.monotonic() + 20
            while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
                if time.monotonic() > limit:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    failures.append(f"fork {forks[0]}: the child hung")
                    return
                time.sleep(0.05)
            if (code := os.waitstatus_to_exitcode(done[1])) != 0:
                failures.append(f"fork {forks[0]}: the child exited {code}"
                                + (" (a wrong result)" if code == 1 else ""))

    team = [threading.Thread(target=guarded(caller), args=(k,), daemon=True) for k in range(threads)]
    team.append(threading.Thread(target=guarded(forker), daemon=True))
    for th in team:
        th.start()
    start.wait()
    for th in team:
        th.join(max(1.0, deadline + 30 - time.monotonic()))
    if any(th.is_alive() for th in team):
        failures.append("a thread was still running 30 s after the deadline")
    elif not failures and (min(calls) == 0 or forks[0] == 0):
        failures.append(f"too short a run: calls per thread {calls}, {forks[0]} forks")
    for f in failures[:20]:
        print("tsan stress: FAILED:", f, file=sys.stderr)
    if failures:
        os._exit(1)  # never wait for a hung thread
    print(f"tsan stress: {sum(calls)} calls on {threads} threads ({len(NAMES)} cases), "
          f"{forks[0]} forks, every result as on one thread")


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=25)
    ap.add_argument("--threads", type=int, default=4)
    a = ap.parse_args()
    stress(a.seconds, a.threads)
