"""One build, many NumPys: record results under one NumPy, compare the bits
under another, and check the failure when NumPy is missing.

    numpy_compat.py save FILE                    inputs and results, with this env's module
    numpy_compat.py check FILE first|fallback    same bits here, imported by that route
    numpy_compat.py check FILE forced-fallback   the same with the first route made to fail
    numpy_compat.py absent                       no NumPy: printed error, then ImportError

Run it with the interpreter of the environment under test, never from the
source tree's root, so that only the installed module can be imported.
"""
import builtins
import platform
import subprocess
import sys

FIRST = "numpy._core._multiarray_umath"
FALLBACK = "numpy.core._multiarray_umath"
MESSAGE = "ImportError: numpy._core.multiarray failed to import"


def import_module(force_fallback=False):
    """Import the module, returning it and the NumPy modules its start-up asked for.

    The C start-up imports through builtins.__import__, so a wrapper sees the
    names even when they are already loaded. NumPy is loaded first, so that
    only the module's own requests are seen."""
    import numpy  # noqa: F401

    asked = []
    real = builtins.__import__

    def spy(name, *args, **kwargs):
        if name.endswith("_multiarray_umath"):
            asked.append(name)
            if force_fallback and name == FIRST:
                raise ModuleNotFoundError(f"No module named {name!r} (hidden)", name=name)
        return real(name, *args, **kwargs)

    builtins.__import__ = spy
    try:
        import _vexiloimgc
    finally:
        builtins.__import__ = real
    return _vexiloimgc, asked


def bases():
    import numpy as np

    rng = np.random.default_rng(20261207)
    out = {}
    for t in ["u1", "i2", "l", "f4", "f8"]:
        if t == "u1":
            a = rng.integers(0, 256, 4 * 7 * 9 * 11)
        elif t in ("i2", "l"):
            a = rng.integers(-30000, 30000, 4 * 7 * 9 * 11)
        else:
            a = rng.normal(0, 1000, 4 * 7 * 9 * 11)
        out["base_" + t] = a.astype(t).reshape(4, 7, 9, 11)
    # Saved with the results: the machine under test reads them back rather
    # than computing them with its own cos and sin.
    c, s = np.cos(0.3), np.sin(0.3)
    out["mat_identity"] = np.eye(3, 4).ravel()
    out["mat_rotation"] = np.array([[c, -s, 0, 3.5], [s, c, 0, -2.25], [0, 0, 1, 0.75]]).ravel()
    out["mat_scaled"] = np.array([[0.8, 0.1, 0, 1], [0, 1.3, 0, -1], [0.05, 0, 0.9, 2]]).ravel()
    out["mat_shift"] = np.array([[1, 0, 0, 0.5], [0, 1, 0, 0.25], [0, 0, 1, -0.5]]).ravel()
    out["mat_outside"] = np.array([[1, 0, 0, 40], [0, 1, 0, 0], [0, 0, 1, 0]]).ravel()
    return out


def cases(arrays):
    """(name, image, spacing, matrix): every element type, 3-D and 4-D, dense
    and strided views, parameters of each accepted type."""
    import numpy as np

    mats = {k[4:]: v for k, v in arrays.items() if k.startswith("mat_")}
    spacings = [np.array([1.0, 1.0, 1.0]), np.array([0.9, 1.1, 2.5])]
    for key in sorted(arrays):
        if not key.startswith("base_"):
            continue
        base = arrays[key]
        views = {
            "4d": base,
            "3d": base[1],
            "3d-strided": base[2, ::2, :, ::-1],
            "4d-transposed": base.transpose(0, 3, 2, 1),
            "3d-fortran": np.asfortranarray(base[3]),
        }
        for vname, img in views.items():
            for mname, m in mats.items():
                for si, sp in enumerate(spacings):
                    for ptype in ("f4", "f8", "q"):
                        if ptype == "q" and (si or mname not in ("identity", "outside")):
                            continue  # integer parameters only where they are exact
                        name = f"{key[5:]}/{vname}/{mname}/s{si}/{ptype}"
                        yield name, img, sp.astype(ptype), m.astype(ptype)


def map_stacks(arrays):
    """(name, batch, spacing, maps): the package with a map per volume."""
    import numpy as np

    maps = np.stack([arrays[k].reshape(3, 4) for k in sorted(arrays) if k.startswith("mat_")][:4])
    for key in sorted(arrays):
        if key.startswith("base_"):
            for ptype in ("f4", "f8"):
                yield f"{key[5:]}/{ptype}", arrays[key], np.array([0.9, 1.1, 2.5], ptype), maps.astype(ptype)


def save(path):
    import numpy as np
    import vexiloimgc

    mod, _ = import_module()
    arrays = bases()
    for name, img, sp, m in cases(arrays):
        arrays["out:" + name] = mod.transform(img, sp, m)
    for name, img, sp, m in map_stacks(arrays):
        arrays["maps:" + name] = vexiloimgc.transform(img, sp, m, workers=2)
    np.savez_compressed(path, **arrays)
    print(f"saved {sum(k.startswith(('out:', 'maps:')) for k in arrays)} results to {path}")


def check(path, route):
    mod, asked = import_module(force_fallback=route == "forced-fallback")
    want = {"first": [FIRST], "fallback": [FIRST, FALLBACK], "forced-fallback": [FIRST, FALLBACK]}[route]
    assert asked == want, f"start-up imported {asked}, expected {want}"
    import numpy as np

    import vexiloimgc

    ref = np.load(path)
    arrays = {k: ref[k] for k in ref.files if not k.startswith(("out:", "maps:"))}
    n = bad = 0

    def compare(name, got, exp):
        nonlocal n, bad
        n += 1
        if got.dtype != np.float32 or got.shape != exp.shape or not np.array_equal(got.view(np.uint32), exp.view(np.uint32)):
            bad += 1
            print(f"DIFFERS: {name}")

    # The module, and the package on two threads, against the saved bits.
    for name, img, sp, m in cases(arrays):
        compare(name, mod.transform(img, sp, m), ref["out:" + name])
        compare("package " + name, vexiloimgc.transform(img, sp, m, workers=2), ref["out:" + name])
    for name, img, sp, m in map_stacks(arrays):
        compare("maps " + name, vexiloimgc.transform(img, sp, m, workers=2), ref["maps:" + name])
    print(f"{platform.machine()}, numpy {np.__version__}, python {sys.version.split()[0]}, imported via {' -> '.join(asked)}: "
          f"{n - bad} of {n} results bit-identical")
    return bad == 0 and n > 0


def absent():
    try:
        import numpy  # noqa: F401
        sys.exit("numpy is installed here; this check needs an environment without it")
    except ModuleNotFoundError:
        pass
    r = subprocess.run([sys.executable, "-c", "import _vexiloimgc"], capture_output=True, text=True)
    lines = r.stderr.strip().splitlines()
    # First the printed cause, then the failed import's traceback ending in the fixed text.
    cause = next((i for i, l in enumerate(lines) if l == "ModuleNotFoundError: No module named 'numpy'"), None)
    ok = r.returncode != 0 and lines and lines[-1] == MESSAGE and cause is not None and cause < len(lines) - 1
    print(r.stderr, end="")
    print(f"without numpy: {'ok' if ok else 'WRONG'} (exit {r.returncode})")
    return ok


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "save":
        save(sys.argv[2])
    else:
        ok = check(sys.argv[2], sys.argv[3]) if mode == "check" else absent()
        sys.exit(0 if ok else 1)
