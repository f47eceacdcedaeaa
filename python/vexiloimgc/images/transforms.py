"""A chain of transforms read as steps: transform files (ITK, ANTs, FSL,
FreeSurfer, AFNI, displacement field images), SimpleITK and nitransforms
transforms and 4x4 arrays, each an affine (4x4, RAS millimetres) or a
displacement field, in the order antsApplyTransforms applies them."""
from __future__ import annotations

import importlib
import os
from typing import Any, Sequence

import numpy as np

from .grids import Grid
from .kinds import FLIP, INSTALL, WRITES, ImageError, lower, sitk

# Transform files that are images hold displacement fields.
_FIELD_SUFFIXES = WRITES


class FieldStep:
    """A displacement field step of a chain, kept as it was given."""

    __slots__ = ("source", "obj")

    def __init__(self, source: str, obj: Any) -> None:
        self.source = source
        self.obj = obj


def checked_affine(a: Any, name: str) -> np.ndarray:
    m = np.array(a, np.float64)
    if m.shape != (4, 4):
        raise ImageError(f"{name}: a transform array must be a 4x4 affine, not of shape {m.shape}")
    if not np.isfinite(m).all() or (m[3] != (0, 0, 0, 1)).any():
        raise ImageError(f"{name}: a transform array must be finite with last row 0, 0, 0, 1")
    return m


def _lps_to_ras(m: np.ndarray) -> np.ndarray:
    f = np.array(FLIP)
    return m * f[:, None] * f[None, :]  # type: ignore[no-any-return]


def _sitk_steps(tx: Any, name: str) -> list[Any]:
    """A SimpleITK transform (fixed LPS point to moving LPS point) as steps,
    in the order they are applied to a point."""
    simpleitk = sitk()
    if hasattr(tx, "Downcast"):
        tx = tx.Downcast()
    if isinstance(tx, simpleitk.CompositeTransform):
        # ITK applies the last added first.
        steps: list[Any] = []
        for i in reversed(range(tx.GetNumberOfTransforms())):
            steps += _sitk_steps(tx.GetNthTransform(i), name)
        return steps
    if isinstance(tx, simpleitk.DisplacementFieldTransform):
        return [FieldStep(name, tx)]
    n = tx.GetDimension()
    m = np.eye(4)
    if hasattr(tx, "GetMatrix"):
        a = np.array(tx.GetMatrix(), np.float64).reshape(n, n)
        c = np.array(tx.GetCenter(), np.float64)
        t = np.array(tx.GetTranslation(), np.float64)
        m[:n, :n] = a
        m[:n, 3] = t + c - a @ c
    elif isinstance(tx, simpleitk.TranslationTransform):
        m[:n, 3] = tx.GetOffset()
    elif tx.GetTransformEnum() != simpleitk.sitkIdentity:
        raise ImageError(f"{name}: a {tx.GetName()} is neither affine nor a displacement field")
    return [_lps_to_ras(m)]


def _nitransforms_steps(x: Any, name: str) -> list[Any]:
    linear, chain, fields = _nt("linear"), _nt("manip").TransformChain, _nt("nonlinear")

    if isinstance(x, chain):
        steps: list[Any] = []
        for t in x.transforms:  # transforms[0] is applied first
            steps += _nitransforms_steps(t, name)
        return steps
    if isinstance(x, linear.LinearTransformsMapping):
        raise ImageError(f"{name}: a series of {len(x)} affines; one is applied to every volume")
    if isinstance(x, linear.Affine):
        return [checked_affine(x.matrix, name)]
    if isinstance(x, (fields.DenseFieldTransform, fields.BSplineFieldTransform)):
        return [FieldStep(name, x)]
    raise ImageError(f"{name}: a {type(x).__name__} is neither affine nor a displacement field")


def _nt(module: str) -> Any:
    try:
        return importlib.import_module(f"nitransforms.{module}")
    except ImportError as e:
        raise ImportError(f"nitransforms reads transform files ({INSTALL})") from e


class _Space:
    # What nitransforms reads of an image: its shape and RAS affine.
    def __init__(self, g: Grid) -> None:
        self.shape = g.shape
        self.affine = g.affine


def _fsl_text(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        return len(np.array(head.decode("ascii").split(), np.float64)) == 16
    except (UnicodeDecodeError, ValueError):
        return False


def _format_of(path: str) -> str:
    """nitransforms' name of a transform file's format, by its suffix (and
    an FSL matrix's text)."""
    low = lower(path)
    if low.endswith(".mat"):
        return "fsl" if _fsl_text(path) else "itk"
    for suffixes, fmt in (((".lta",), "lta"), ((".1d",), "afni"), ((".h5", ".hdf5", ".x5"), "h5")):
        if low.endswith(suffixes):
            return fmt
    return "itk"


def _read_transform(path: str, ref: Grid, mov: Grid) -> list[Any]:
    if not os.path.isfile(path):
        raise FileNotFoundError(2, "no such transform file", path)
    if lower(path).endswith(_FIELD_SUFFIXES):
        return [FieldStep(path, path)]
    ntl, chain = _nt("linear"), _nt("manip").TransformChain
    fmt = _format_of(path)
    try:
        if fmt == "h5":
            try:
                x = chain.from_filename(path, fmt=None)
            except Exception:
                x = chain.from_filename(path, fmt="X5")
        else:
            x = ntl.load(path, fmt=fmt, reference=_Space(ref), moving=_Space(mov))
    except Exception as e:
        if fmt in ("itk", "h5"):
            # nitransforms reads ITK's affines alone, and no lone transform
            # in an .h5 file: ITK itself reads the rest.
            try:
                tx = sitk().ReadTransform(path)
            except (RuntimeError, ImportError):
                pass
            else:
                return _sitk_steps(tx, path)
        raise ImageError(f"cannot read {path} as an {'ITK' if fmt == 'h5' else fmt.upper()} "
                         f"transform: {str(e).splitlines()[0] if str(e) else type(e).__name__}") from None
    return _nitransforms_steps(x, path)


def _pair(t: Any, name: str) -> tuple[Any, bool]:
    """An item of a chain as (transform, inverted): `(item, True)` as
    antsApplyTransforms' `-t [file,1]`."""
    if isinstance(t, (tuple, list)) and len(t) == 2:  # no 4x4 array has two rows
        if not isinstance(t[1], (bool, np.bool_)):
            raise TypeError(f"{name}: a pair is (transform, True or False), "
                            f"not with {type(t[1]).__name__} second")
        return t[0], bool(t[1])
    return t, False


def taken(t: Any, name: str) -> Any:
    """An item of a chain converted once: arrays copied, pairs kept as pairs."""
    x, inverted = _pair(t, name)
    if not (isinstance(x, (str, os.PathLike)) or type(x).__module__.split(".")[0] in ("SimpleITK", "nitransforms")):
        x = np.array(x, np.float64)
    return (x, True) if inverted else x


def _inverse(steps: list[Any], name: str) -> list[Any]:
    """The steps of one item inverted: each affine inverted, last first."""
    from .. import voxel_map

    out: list[Any] = []
    for s in reversed(steps):
        if isinstance(s, FieldStep):
            raise ImageError(f"{s.source}: a displacement field cannot be inverted here; "
                             "give its inverse field (as ANTs writes 1InverseWarp.nii.gz)")
        try:
            out.append(voxel_map(s, np.eye(4)))
        except ValueError:
            raise ImageError(f"{name}: an affine that cannot be inverted") from None
    return out


def steps_of(transforms: Sequence[Any], ref: Grid, mov: Grid) -> list[Any]:
    """The chain as steps (4x4 RAS arrays, fields) in the order
    antsApplyTransforms applies them: the first given is applied first to a
    reference point, the last gives the point read in the image."""
    steps: list[Any] = []
    for i, item in enumerate(transforms):
        name = f"transforms[{i}]"
        t, inverted = _pair(item, name)
        if isinstance(t, (str, os.PathLike)):
            name = os.fspath(t)
            these = _read_transform(name, ref, mov)
        elif type(t).__module__.startswith("SimpleITK"):
            these = _sitk_steps(t, name)
        elif type(t).__module__.startswith("nitransforms"):
            these = _nitransforms_steps(t, name)
        else:
            these = [checked_affine(t, name)]
        steps += _inverse(these, name) if inverted else these
    return steps
