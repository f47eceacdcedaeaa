"""One call of vexiloimgc.transform past the module's sizes: a 600 x 1024
x 1024 float32 stack (629 M voxels, 2.3 GiB) onto its own grid, through the
identity or the oblique map of bench/maps.py, on 1 or 2 workers. Prints the
call's wall time; run under /usr/bin/time -v for the peak resident size
(the source and the result, 4.7 GiB, are most of it):

    /usr/bin/time -v python bench/big_call.py oblique 2
"""
import sys
import time
from pathlib import Path

import numpy as np

import vexiloimgc

sys.path.insert(0, str(Path(__file__).parent))
from maps import matrix  # noqa: E402

SHAPE = (600, 1024, 1024)


def main(name, workers):
    src = np.empty(SHAPE, np.float32)
    src[...] = np.linspace(0, 1000, SHAPE[2], dtype=np.float32)   # every page written once
    src[:, ::7] *= -1
    m = np.eye(4)[:3] if name == "identity" else matrix("oblique", SHAPE)
    t = time.perf_counter()
    out = vexiloimgc.transform(src, np.ones(3), m, workers=workers)
    wall = time.perf_counter() - t
    print(f"{name}, workers={workers}: {wall:.2f} s, {out.size / wall / 1e6:.0f} Mvoxel/s, "
          f"{out.nbytes / 2**30:.2f} GiB out")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
