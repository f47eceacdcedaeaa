"""Every rule, mode, anti-aliasing and warp on random inputs, recorded on one
CPU and compared bit for bit on another (`nox -s targets` runs the check
under qemu-x86_64 as CPUs that pick other instruction sets).

    targets.py save FILE     the results of this CPU's target
    targets.py check FILE    the same results here, to the bit
"""
import sys

import numpy as np

import vexiloimgc as vx

RULES = ("linear", "nearest", "label", "cubic")
MODES = (None, "constant", "grid-constant", "nearest", "mirror", "reflect", "grid-wrap")
# Rows long enough for whole vectors of every width, with a remainder.
OUT_SHAPE = (7, 9, 45)


def turn(rng, scale):
    """An oblique map about the volume's centre that sends a part of the
    output past the source's edges."""
    a, b = rng.uniform(0.2, 0.5, 2)
    rot = np.array([[np.cos(a), -np.sin(a), 0], [np.sin(a), np.cos(a), 0], [0, 0, 1]])
    rot = rot @ np.array([[1, 0, 0], [0, np.cos(b), -np.sin(b)], [0, np.sin(b), np.cos(b)]])
    m = np.zeros((3, 4))
    m[:, :3] = rot * scale
    m[:, 3] = rng.uniform(-4, 12, 3)
    return m


def cases():
    rng = np.random.default_rng(20261209)
    images = {
        "f4": rng.normal(0, 100, (2, 11, 13, 40)).astype(np.float32),
        "i2": rng.integers(-300, 300, (2, 11, 13, 40)).astype(np.int16),
        "u1": rng.integers(0, 5, (2, 11, 13, 40)).astype(np.uint8),
    }
    spacing = np.array([0.9, 1.1, 1.3])
    maps = np.stack([turn(rng, 0.8), turn(rng, 1.2)])
    field = vx.Field(rng.normal(0, 1.5, (2, 4, 5, 6, 3)).astype(np.float32), (9.0, 3.0, 2.5))
    for key, img in images.items():
        for rule in RULES:
            if rule == "label" and img.dtype.kind == "f":
                continue
            for mode in MODES:
                name = f"{key}/{rule}/{mode}"
                yield name, lambda: vx.transform(img, spacing, maps, interpolation=rule, mode=mode,
                                                 output_shape=OUT_SHAPE)
                yield name + "/warp", lambda: vx.warp(img, spacing, [maps, field], interpolation=rule,
                                                      mode=mode, output_shape=OUT_SHAPE)
                if rule in ("linear", "cubic"):
                    yield name + "/antialias", lambda: vx.transform(
                        img, spacing, maps, interpolation=rule, mode=mode, antialias=True,
                        output_shape=(4, 5, 14), output_spacing=spacing * 2.7)


def main(verb, path):
    if verb == "save":
        np.savez_compressed(path, **{name: run() for name, run in cases()})
        return 0
    expected = np.load(path)
    bad = [name for name, run in cases()
           if (got := run()).shape != expected[name].shape
           or got.tobytes() != expected[name].tobytes()]
    print(f"{len(expected.files) - len(bad)} of {len(expected.files)} results the same to the bit")
    for name in bad:
        print("differs:", name)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
