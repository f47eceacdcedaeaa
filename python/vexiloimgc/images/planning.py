"""How a resampling is done, for `resample_image` and the command line
alike: the output grid, and the chain composed on it into one map or into
`warp`'s steps."""
from __future__ import annotations

from typing import Any, NamedTuple, Sequence

import numpy as np

from .fields import field_of
from .grids import Grid, respaced
from .transforms import FieldStep, steps_of


class Plan(NamedTuple):
    """`grid` the output grid; `target` its voxel to the image's world map
    where the chain holds affines alone, and `steps` None; else `target` its
    voxel to world map before the first field, and `steps` `warp`'s, from an
    output voxel to an image voxel."""

    grid: Grid
    target: np.ndarray
    steps: list[Any] | None


def plan(source: Grid, reference: Grid | None, spacing: np.ndarray | None, transforms: Sequence[Any]) -> Plan:
    """The resampling of an image on grid `source` onto `reference`, or onto
    its own grid at a checked `spacing` (or as it is), through a chain of
    transforms each converted once (`transforms.taken`)."""
    g = reference if reference is not None else source if spacing is None else respaced(source, spacing)
    return Plan(g, *_chain(steps_of(transforms, g, source), g, source))


def _mul(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    # A fixed order of double operations, with no fused multiply-add: the
    # same bits on every machine.
    x, y = a.tolist(), b.tolist()
    return np.array([[x[r][0] * y[0][c] + x[r][1] * y[1][c] + x[r][2] * y[2][c] + x[r][3] * y[3][c]
                      for c in range(4)] for r in range(4)])


def _composed(steps: list[Any], g: Grid) -> list[Any]:
    """The chain on the reference grid, applied first to last: its first
    entry maps a reference voxel to world (the grid's affine and the affines
    before the first field folded in), then fields, each followed by the
    affines up to the next, all composed in double precision."""
    plan: list[Any] = [g.affine]
    for s in steps:
        if isinstance(s, FieldStep):
            plan += [s, np.eye(4)]
        else:
            plan[-1] = _mul(s, plan[-1])
    return plan


def _chain(steps: list[Any], g: Grid, src: Grid) -> tuple[np.ndarray, list[Any] | None]:
    """The reference grid's voxel to image world map where the chain holds
    affines alone (and None); else also `warp`'s steps, from a reference
    voxel to an image voxel: the affines between the fields (the last with
    the image's world to voxel map, formed natively) and the fields."""
    composed = _composed(steps, g)
    if len(composed) == 1:
        return composed[0], None
    from .. import voxel_map

    out = [f if isinstance(f, np.ndarray) else field_of(f) for f in composed]
    out[-1] = voxel_map(src.affine, out[-1])
    return composed[0], out
