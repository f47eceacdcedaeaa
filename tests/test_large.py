"""The package past the module's sizes: sources whose samples lie 2^31 or
more apart, read in windows of the output, give the bits of small calls.
The sources live in anonymous private maps: pages never written read as
zeros and take no memory."""
import mmap

import numpy as np
import pytest

import model
import vexiloimgc
from conftest import EYE, shifted
from vexiloimgc._native import source_boxes, transform as native, transform_check

rng = np.random.default_rng(31)
SPACING = np.float32([0.9, 1.1, 1.3])
# 2200 slices of 2^20 samples: the furthest sample lies past 2^31.
BIG = (2200, 1024, 1024)
KINDS = [("linear", np.float32), ("nearest", np.float32), ("nearest", np.int16), ("label", np.uint8)]


def virtual(shape, dtype):
    return np.ndarray(shape, dtype, mmap.mmap(-1, int(np.prod(shape)) * np.dtype(dtype).itemsize,
                                               flags=mmap.MAP_PRIVATE))


def fill(a, where):
    a[where] = rng.integers(0, 4, a[where].shape) if a.dtype.kind in "iu" else rng.uniform(-9, 9, a[where].shape)


def oblique(z):
    """A turn about every axis, zoom 1.1, that reads about slice z."""
    a, b = np.radians(20), np.radians(-15)
    rx = np.array([[1, 0, 0], [0, np.cos(a), -np.sin(a)], [0, np.sin(a), np.cos(a)]])
    rz = np.array([[np.cos(b), -np.sin(b), 0], [np.sin(b), np.cos(b), 0], [0, 0, 1]])
    return np.hstack([rz @ rx * 1.1, [[8.3], [5.1], [z * SPACING[2]]]]).astype(np.float32)


def tiled(image, m, shape, interpolation, cval, at=(0, 0, 0)):
    """The window of `shape` at `at` as a Dask block computes it: one call on its box."""
    sp, maps = transform_check(image=image, spacing=SPACING, matrix=m, output_shape=None, output_spacing=None,
                               cval=cval, interpolation=interpolation)[2::2]
    edges = [np.array([0, 1])] + [np.array([a, a + n]) for a, n in zip(at, shape)]
    box = source_boxes(extents=np.array(image.shape), spacing=sp, maps=maps, output_spacing=sp, reach=None,
                       **dict(zip(("edges_n", "edges_z", "edges_y", "edges_x"), edges))).reshape(6)
    view = image[box[0]:box[1], box[2]:box[3], box[4]:box[5]]
    return native(image=view, spacing=SPACING, matrix=m, output_shape=shape, output_spacing=None, cval=cval,
                  interpolation=interpolation, tile=(*image.shape, *box[::2], *at), workers=1)


@pytest.mark.parametrize("interpolation, dtype", KINDS)
@pytest.mark.parametrize("workers", [1, 2])
def test_oblique_window_far_in_gives_the_bits_of_its_box(interpolation, dtype, workers):
    image = virtual(BIG, dtype)
    fill(image, np.s_[2040:2110, :110, :110])
    m, shape = oblique(2060), (24, 40, 44)
    got = vexiloimgc.transform(image, SPACING, m, output_shape=shape, interpolation=interpolation, cval=3,
                               workers=workers)
    want = tiled(image, m, shape, interpolation, 3)
    assert got.tobytes() == want.tobytes()
    assert (got != 3).sum() > got.size // 2


@pytest.mark.parametrize("interpolation, dtype", KINDS)
def test_tile_of_a_box_past_2_31_gives_the_bits_of_its_own_box(interpolation, dtype):
    # The tile's box (slices 100 on) and window (from (7, 3, 5)) offset every window's.
    image = virtual(BIG, dtype)
    fill(image, np.s_[2040:2110, :110, :110])
    m, shape, at = oblique(2053), (24, 40, 44), (7, 3, 5)
    got = native(image=image[100:], spacing=SPACING, matrix=m, output_shape=shape, output_spacing=None, cval=3,
                 interpolation=interpolation, tile=(*BIG, 100, 0, 0, *at), workers=2)
    assert got.tobytes() == tiled(image, m, shape, interpolation, 3, at).tobytes()
    assert (got != 3).sum() > got.size // 2


@pytest.mark.parametrize("interpolation, dtype", KINDS)
@pytest.mark.parametrize("zoom, shape", [(1, (2200, 4, 4)), (25, (2200, 5, 5))], ids=["copied", "cut"])
@pytest.mark.parametrize("workers", [1, 2])
def test_window_whose_box_passes_2_31(interpolation, dtype, zoom, shape, workers):
    # Every slice read: the window's box reaches past 2^31. A small box is
    # copied; a large one is cut into windows whose boxes do not.
    image = virtual(BIG, dtype)
    fill(image, np.s_[:, :104, :104])
    m = shifted(0.25, 0.5, 0.75)
    m[0] = m[5] = zoom
    got = vexiloimgc.transform(image, np.ones(3), m, output_shape=shape, interpolation=interpolation,
                               workers=workers)
    want = vexiloimgc.transform(image[:, :104, :104], np.ones(3), m, output_shape=shape,
                                interpolation=interpolation)
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("interpolation, dtype", KINDS)
@pytest.mark.parametrize("mode, dz", [("grid-wrap", -3.5), ("mirror", 2196.5)])
def test_mode_reads_past_2_31(interpolation, dtype, mode, dz):
    # Both ends of Z, or past its top and back: 64-bit offsets, the whole source in one part.
    image = virtual(BIG, dtype)
    fill(image, np.s_[:6, :30, :30])
    fill(image, np.s_[2192:, :30, :30])
    m = shifted(0.25, -1.5, dz)
    got = vexiloimgc.transform(image, np.ones(3), m, output_shape=(9, 24, 26), interpolation=interpolation,
                               mode=mode, cval=3)
    assert got.tobytes() == model.moded_model(image, np.ones(3), m, interpolation, mode, (9, 24, 26),
                                              cval=3).tobytes()
    assert (got != 3).sum() > got.size // 2


def test_output_past_2_29_voxels():
    image = np.broadcast_to(np.uint8(7), (2, 2, 2))
    got = vexiloimgc.transform(image, np.ones(3), EYE * 0, output_shape=(2**10, 2**10, 2**9 + 1),
                               interpolation="nearest", cval=1)
    assert got.shape == (2**10, 2**10, 2**9 + 1) and (got == 7).all()


@pytest.mark.parametrize("image, shape, text", [
    (np.zeros((1, 1, 1), np.float32), (2**30, 2**30, 2**30), "Failed to allocate memory in image transform"),
    (np.broadcast_to(np.uint8(0), (2**30, 2**30, 1)), (1, 1, 1), "Failed to allocate memory in array2float3d"),
])
def test_what_no_memory_holds_is_a_memory_error(image, shape, text):
    with pytest.raises(MemoryError, match=f"^{text}$"):
        vexiloimgc.transform(image, np.ones(3), EYE, output_shape=shape)
