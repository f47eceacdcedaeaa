"""A warp's steps copied once into the graph, and each block's share of
them."""
from __future__ import annotations

from typing import Any

import numpy as np

from .. import Field


class Chain:
    """A warp's steps as the native warp takes them, copied: affine maps
    as arrays, fields as (displacement, inverse); `volumes` the image's N
    (False for a 3-D image), to tell the per-volume steps."""

    def __init__(self, steps: Any, volumes: Any) -> None:
        if isinstance(steps, (Field, np.ndarray)):
            steps = [steps]
        self.per_volume: list[bool] = []
        if not hasattr(type(steps), "__iter__"):
            self.steps: Any = steps  # refused natively, with warp's message
            return
        out: list[Any] = []
        for st in list(steps):
            if isinstance(st, Field):
                d = np.array(st.displacement, np.float32)
                out.append((d, st._inverse.copy()))
                self.per_volume.append(d.ndim == 5)
                continue
            a = np.array(st) if isinstance(st, np.ndarray) else np.asarray(st)
            if a.dtype.kind not in "biuf":
                out.append(st)
                self.per_volume.append(False)
                continue
            a = a.copy() if a is st else a
            self.per_volume.append(_per_volume(a, volumes))
            out.append(a)
        self.steps = out

    def token(self) -> Any:
        return [(s[0], s[1]) if isinstance(s, tuple) else s for s in self.steps]

    def of(self, v0: int, which: slice | int | None) -> Any:
        """The steps of the volumes `which` of a block whose first is
        volume `v0`: a slice of them (for a 4-D call), one (an index, for a
        3-D call), or None, all of a 3-D image's."""
        if which is None:
            return self.steps
        w = slice(v0 + which.start, v0 + which.stop) if isinstance(which, slice) else v0 + which
        out = []
        for st, per in zip(self.steps, self.per_volume):
            if per:
                st = (st[0][w], st[1]) if isinstance(st, tuple) else st[w]
            out.append(st)
        return out


def _per_volume(a: np.ndarray, volumes: Any) -> bool:
    """An affine step of one map per volume: (N, 3, 4), (N, 4, 4), (N, 12) or (N, 16)."""
    four = (3, 4), (4, 4)
    return bool(volumes) and a.ndim >= 2 and a.shape[0] == volumes and (
        (a.ndim == 3 and a.shape[1:] in four) or (a.ndim == 2 and a.shape not in four and a.shape[1] in (12, 16)))
