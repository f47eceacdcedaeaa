"""vexiloimgc.dask.transform against hostile arguments, sources and
floating-point modes: exact integer fills, boxes in the kernel's own mode,
reads checked, arguments read once, graphs built without probing."""
import ctypes
import sys

import numpy as np
import pytest

import vexiloimgc

da = pytest.importorskip("dask.array")
vd = pytest.importorskip("vexiloimgc.dask")

from test_dask_tiles import MAPS, SHAPE, SPACING, Lazy, image, same_bits  # noqa: E402
from test_misuse import LIBM, set_mode  # noqa: E402


@pytest.mark.parametrize("dtype,mode,cval", [(np.uint64, "nearest", 2**63 + 1), (np.int64, "label", -(2**63) + 1),
                                             (np.uint64, "nearest", 2**64 - 1), (np.int64, "nearest", 2**62 + 1)])
def test_an_integer_cval_is_kept_exactly(dtype, mode, cval):
    img = image(dtype)
    m = MAPS["oblique-zoom"]
    want = vexiloimgc.transform(img, SPACING, m, cval=cval, interpolation=mode)
    lazy = vd.transform(da.from_array(img, chunks=5), SPACING, m, cval=cval, interpolation=mode, output_chunks=4)
    assert same_bits(lazy.compute(scheduler="sync"), want)
    # Another value is another graph.
    other = vd.transform(da.from_array(img, chunks=5), SPACING, m, cval=cval - 1, interpolation=mode,
                         output_chunks=4)
    assert other.name != lazy.name


def _shifted():
    # Source x = out x - 0.625 ulp below 8: to nearest 8 - 2^-21 (reads
    # sample 7), upward 8.
    m = np.eye(4)[:3].copy()
    m[0, 3] = -1.25 * 2**-22
    img = np.ones((4, 4, 32), np.float32)
    img[..., 10] = np.nan
    return img, np.ones(3), m, dict(output_chunks=8), 8


def _subnormal_spacing():
    # Output positions x * 1e-40 are subnormal: flushed, every voxel lands at x = 0.
    m = np.eye(4)[:3].copy()
    m[0, 0] = 1e38
    img = image(seed=1)
    return img, np.ones(3), m, dict(output_shape=(8, 8, 2000), output_spacing=(1e-40, 1, 1),
                                    output_chunks=(4, 8, 100)), 8


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads glibc's fenv_t")
@pytest.mark.parametrize("case,mode", [(_shifted, dict(upward=True)), (_subnormal_spacing, dict(flush=True))],
                         ids=["upward", "ftz-daz"])
def test_the_callers_floating_point_mode_changes_no_bit(case, mode):
    img, sp, m, kw, chunks = case()
    want = vexiloimgc.transform(img, sp, m, **{k: v for k, v in kw.items() if k != "output_chunks"})
    try:
        set_mode(**mode)
        got = vd.transform(da.from_array(img, chunks=chunks), sp, m, **kw).compute(scheduler="sync")
    finally:
        assert LIBM.fesetenv(ctypes.c_void_p(-1 & (2**64 - 1))) == 0  # FE_DFL_ENV
    assert same_bits(got, want)


class Truncated(Lazy):
    """A file cut short: it claims its whole shape, its reads stop a plane early."""

    def __init__(self, a, fault):
        super().__init__(a)
        self.fault = fault

    def __getitem__(self, sel):
        if self.fault == "short":
            return self.a[:-1][sel]
        return self.a[sel].astype(np.float64)


@pytest.mark.parametrize("fault", ["short", "other type"])
@pytest.mark.parametrize("source", ["array-like", "chunks"])
def test_a_read_that_is_not_its_box_raises(fault, source):
    src = da.from_array(Truncated(image(), fault), chunks=(4, 5, 6))
    if source == "chunks":
        src = src.map_blocks(np.copy, dtype=np.float32)
    lazy = vd.transform(src, SPACING, MAPS["shift"], output_chunks=8)
    with pytest.raises(RuntimeError, match=r"output block \(\d+, \d+, \d+\) read an array of shape"):
        lazy.compute(scheduler="sync")


@pytest.mark.parametrize("arg", ["spacing", "matrix", "output_spacing"])
def test_the_graph_keeps_the_arguments_it_was_built_with(arg):
    img = image()
    args = dict(spacing=SPACING.copy(), matrix=MAPS["oblique-zoom"].copy(), output_spacing=np.array([1.2, 0.7, 1.5]))
    want = vexiloimgc.transform(img, args["spacing"], args["matrix"], output_spacing=args["output_spacing"])
    lazy = vd.transform(da.from_array(img, chunks=5), args["spacing"], args["matrix"],
                        output_spacing=args["output_spacing"], output_chunks=6)
    args[arg][...] = args[arg][::-1] * 1.1  # the caller reuses its buffer
    assert same_bits(lazy.compute(scheduler="sync"), want)


class Flaky:
    """An extent that reads 16 once, then something else."""

    def __init__(self, later):
        self.later, self.calls = later, 0

    def __index__(self):
        self.calls += 1
        return 16 if self.calls == 1 else self.later


@pytest.mark.parametrize("later", [-5, 2**31 + 7])
def test_output_shape_is_read_once(later):
    img = image()
    lazy = vd.transform(da.from_array(img, chunks=5), SPACING, MAPS["shift"], output_shape=(16, 16, Flaky(later)),
                        output_chunks=8)
    assert lazy.shape == (16, 16, 16)
    assert same_bits(lazy.compute(scheduler="sync"),
                     vexiloimgc.transform(img, SPACING, MAPS["shift"], output_shape=(16, 16, 16)))


@pytest.mark.parametrize("kw", [{}, dict(output_shape=(2048, 2048, 1024)), dict(interpolation="nearest", cval=7)],
                         ids=["own grid", "past one call", "nearest"])
def test_the_graph_is_built_without_calling_the_kernel(monkeypatch, kw):
    def forbidden(**call):
        raise AssertionError("the kernel ran while the graph was built")

    src = da.zeros((64, 64, 64), np.uint8, chunks=16)
    monkeypatch.setattr(vd.blocks, "_native", forbidden)
    lazy = vd.transform(src, SPACING, MAPS["shift"], output_chunks=256, **kw)
    # A source Dask has not built block by block stays so.
    assert not src.dask.layers[src.name].is_materialized()
    assert lazy.numblocks[0] >= 1


def edges(*chunks):
    return np.cumsum((0,) + chunks, dtype=np.int64)


@pytest.mark.parametrize("k,bad,error", [
    ("extents", [13, 17, 19], TypeError), ("extents", np.array([13, 17, 2**31]), ValueError),
    ("spacing", np.ones(3), ValueError), ("output_spacing", np.ones(2, np.float32), ValueError),
    ("maps", np.zeros(11, np.float32), ValueError), ("maps", np.zeros((2, 12), np.float32), ValueError),
    ("edges_z", edges(5, 8)[::-1].copy(), ValueError), ("edges_y", np.array([0], np.int64), ValueError),
    ("edges_x", edges(10, 9).astype(">i8"), ValueError)])
def test_source_boxes_refuses_bad_arguments(k, bad, error):
    from vexiloimgc._native import source_boxes
    one = np.ones(3, np.float32)
    args = dict(extents=np.array([13, 17, 19]), spacing=one, maps=np.eye(4, dtype=np.float32)[:3].ravel(),
                output_spacing=one, reach=None, edges_n=edges(3), edges_z=edges(5, 8), edges_y=edges(17),
                edges_x=edges(10, 9))
    assert source_boxes(**args).shape == (1, 2, 1, 2, 6)
    args[k] = bad
    with pytest.raises(error, match="source_boxes: "):
        source_boxes(**args)
