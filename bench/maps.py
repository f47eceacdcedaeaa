"""The maps every benchmark times, one definition for the kernel benchmark
and the full-call benchmark: 3x4 output-to-source matrices about the centre
of a (Z, Y, X) grid, in physical units (X, Y, Z).

    python bench/maps.py 256 64 > maps.txt    one line per edge and map:
                                              edge, name, 12 float32 values
"""
import sys

import numpy as np

# name: (axis, degrees, zoom along X, Y, Z)
MAPS = {
    "rotX15": ((1, 0, 0), 15, (1, 1, 1)),
    "rotY15": ((0, 1, 0), 15, (1, 1, 1)),
    "rotZ15": ((0, 0, 1), 15, (1, 1, 1)),
    "oblique": ((1, 2, 3), 25, (0.9, 1.0, 1.1)),
}


def rotation(axis, degrees):
    """Rotation by `degrees` about `axis` (X, Y, Z), right-handed."""
    k = np.asarray(axis, np.float64) / np.linalg.norm(axis)
    a = np.radians(degrees)
    kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(a) * kx + (1 - np.cos(a)) * kx @ kx


def matrix(name, shape, spacing=(1.0, 1.0, 1.0)):
    """The map `name` for a grid of `shape` (..., Z, Y, X): zoom, then turn,
    about the grid's centre. float64, 3x4."""
    axis, degrees, zoom = MAPS[name]
    a = rotation(axis, degrees) @ np.diag(zoom)
    c = (np.array(shape[-3:][::-1], np.float64) - 1) * np.asarray(spacing, np.float64) / 2
    return np.hstack([a, (c - a @ c)[:, None]])


def main(edges):
    for n in edges:
        for name in MAPS:
            m = matrix(name, (n, n, n)).astype(np.float32).ravel()
            print(n, name, " ".join(repr(float(v)) for v in m))


if __name__ == "__main__":
    main([int(e) for e in sys.argv[1:]] or [256])
