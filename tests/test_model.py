"""The module against the NumPy model, bit for bit, on random volumes,
spacings and affine maps (NaN compared as NaN: its sign is not fixed)."""
import os

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _vexiloimgc
from model import model

f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)


def same_bits(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype == np.float32
    nan = np.isnan(a)
    np.testing.assert_array_equal(nan, np.isnan(b))
    np.testing.assert_array_equal(np.where(nan, 0, a).view(np.uint32),
                                  np.where(nan, 0, b).view(np.uint32))


@st.composite
def volumes(draw):
    shape = draw(st.lists(st.integers(1, 7), min_size=3, max_size=3))
    if draw(st.booleans()):
        shape = [draw(st.integers(1, 3))] + shape
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    mode = draw(st.sampled_from(["uniform", "wide", "cancel"]))
    if mode == "cancel":   # big terms that cancel: the order of the sums shows
        a = rng.choice(np.float32([1e30, -1e30, 1, -3, 0.5]), shape)
    else:
        a = rng.uniform(-1000, 1000, shape)
        if mode == "wide":
            a *= 10.0 ** rng.integers(-15, 16, shape)
    a = a.astype(np.float32)
    if draw(st.integers(0, 4)) == 0:   # now and then a NaN or an infinity
        a.flat[rng.integers(a.size, size=2)] = [np.nan, np.inf]
    dtype = draw(st.sampled_from([np.float32, np.float64, np.int16, np.uint8]))
    return a if dtype is np.float32 else np.nan_to_num(a).clip(0, 255).astype(dtype)


@st.composite
def mappings(draw):
    spacing = np.array([draw(st.sampled_from([1.0, 0.5, 2.0, 0.3, 1.7, -1.0]) | f32.filter(lambda v: 0.05 < abs(v) < 5))
                        for _ in range(3)], np.float32)
    kind = draw(st.sampled_from(["rotation", "bands", "random"]))
    if kind == "random":
        m = np.array(draw(st.lists(f32.filter(lambda v: abs(v) < 8), min_size=12, max_size=12)), np.float32)
        return spacing, m
    m = np.eye(4)[:3]
    if kind == "rotation":
        axis = np.array(draw(st.lists(st.floats(-1, 1), min_size=3, max_size=3))) + 1e-3
        axis /= np.linalg.norm(axis)
        t = draw(st.floats(-np.pi, np.pi))
        k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
        m[:, :3] = np.eye(3) + np.sin(t) * k + (1 - np.cos(t)) * k @ k
        m[:, 3] = draw(st.lists(st.floats(-6, 6), min_size=3, max_size=3))
    else:  # shifts by quarter voxels: the face bands and their edges
        m[:, 3] = [draw(st.integers(-12, 12)) / 4 * s for s in spacing]
    return spacing, m.ravel().astype(np.float32)


@settings(max_examples=60 if os.environ.get("VX_EMULATED") else 300, deadline=None)
@given(volumes(), mappings())
def test_matches_model(image, mapping):
    spacing, matrix = mapping
    same_bits(_vexiloimgc.transform(image, spacing, matrix), model(image, spacing, matrix))


SHIFTS = [-1.5, -0.5, 0.25, 0.5]


@pytest.mark.parametrize("dz", SHIFTS)
@pytest.mark.parametrize("dy", SHIFTS)
@pytest.mark.parametrize("dx", SHIFTS)
def test_term_order_with_cancelling_samples(dx, dy, dz):
    # Exact fractions and samples of +-1e30 that cancel: any change in the
    # order of the terms or of their sums changes the float result.
    rng = np.random.default_rng(11)
    m = np.float32([1, 0, 0, dx, 0, 1, 0, dy, 0, 0, 1, dz])
    for _ in range(4):
        a = rng.choice(np.float32([1e30, -1e30, 1, -3, 0.5]), (4, 5, 6))
        same_bits(_vexiloimgc.transform(a, np.ones(3, np.float32), m), model(a, np.ones(3), m))
