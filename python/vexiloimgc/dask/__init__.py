"""Resampling of Dask arrays larger than memory, bit for bit as one call.

`transform` builds a Dask array whose blocks are windows of the output
grid. Each block is computed by the package's kernel from the box of the
source its voxels can reach, with the whole grid's voxel positions and the
whole source's extents, so no bit depends on where the blocks are cut; a
block that maps nowhere is filled without reading the source. `warp` does
the same for a chain of steps, each block's box found by carrying its
points through them.

Needs Dask (``pip install vexiloimgc[dask]``); ``import vexiloimgc`` alone
does not import it.
"""
from __future__ import annotations

from .api import transform, warp

# The internals the tests and the tools in bench/ and examples/ reach.
from .boxes import block_boxes as _block_boxes
from .checks import even as _even
from .sources import direct_reader as _direct_reader
from .._native import warp_boxes as _warp_boxes

__all__ = ["transform", "warp"]
