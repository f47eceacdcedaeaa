"""The package's reading of its callers' arrays: images, vectors and `out`
taken as NumPy arrays the module checks, with one conversion each."""
from __future__ import annotations

from typing import Any

import numpy as np

_ndarray = np.ndarray
_WRITEABLE = "a numpy.ndarray or a writeable array with the buffer protocol or DLPack"


def _destination(out: Any, name: str) -> Any:
    """`out` as a NumPy view of the caller's own memory, for the module's
    checks of an ndarray; None, an ndarray, or anything that gives no
    view, as it is (the module refuses it).

    The buffer protocol first: its export says on every NumPy whether the
    memory is writeable, and holds the memory in place while the call
    writes. A view that owns its data would be a copy, which the caller
    would never see, so it is no view."""
    if out is None or isinstance(out, _ndarray):
        return out
    view: Any
    try:
        view = np.asarray(memoryview(out))
    except (TypeError, ValueError, BufferError):
        view = _dlpack_view(out, name) if hasattr(out, "__dlpack__") else None
    return out if view is None or view.flags.owndata else view


def _dlpack_view(out: Any, name: str) -> Any:
    try:
        view = np.from_dlpack(out)
    except (TypeError, ValueError, RuntimeError, BufferError) as e:
        raise TypeError(f"{name}: out ({type(out).__name__}) gives NumPy no view through DLPack: {e}") from None
    if not view.flags.writeable:
        # A DLPack capsule before version 1.0 cannot say that its memory is
        # writeable, and NumPy before 2.1 takes none of a later version.
        raise ValueError(f"{name}: out ({type(out).__name__}) reaches NumPy {np.__version__} read-only through "
                         "DLPack: its producer marks it so, or it or NumPy (before 2.1) predates DLPack 1.0, "
                         "which can say that memory may be written; pass a numpy.ndarray view of it (for a "
                         "torch tensor, t.numpy())")
    return view


def _result(r: Any, out: Any, dest: Any) -> Any:
    """The caller's own `out` where the call wrote through a view of it."""
    return r if dest is out else out


# Images that carry their own geometry, and how to pass their data instead.
_IMAGE_KINDS = (
    (("GetSpacing", "GetOrigin", "GetDirection"), "a SimpleITK image",
     "pass SimpleITK.GetArrayViewFromImage(img) (indexed Z, Y, X) and img.GetSpacing()"),
    (("affine", "dataobj"), "a nibabel image",
     "pass img.get_fdata(dtype=numpy.float32) or numpy.asanyarray(img.dataobj) to vexiloimgc.reslice "
     "with img.affine"),
)


def _numbers(a: Any, name: str) -> Any:
    """An ndarray as it is (the checks are the module's); anything else
    through numpy.asarray, which must give numbers."""
    if isinstance(a, np.ndarray):
        return a
    for attrs, kind, hint in _IMAGE_KINDS:
        if all(hasattr(a, k) for k in attrs):
            raise TypeError(f"transform: {name} is {kind}, not an array: {hint}")
    b = np.asarray(a)
    if b.dtype.kind not in "biuf":
        raise TypeError(f"transform: {name} must be an array of numbers, not {type(a).__name__}")
    return b
