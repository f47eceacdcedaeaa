"""Images in, images out: nibabel and SimpleITK images, transform files.

Every grid is held as its voxel (i, j, k) to world affine in RAS
millimetres (nibabel's frame); SimpleITK's LPS geometry crosses over through
F = diag(-1, -1, 1, 1). A resampling is one call of `reslice` with the map
from reference voxel to image voxel, composed in double precision, or, with
displacement fields in the chain, one call of `warp` whose steps are the
affines between them and the fields, all in RAS world millimetres.
"""
from __future__ import annotations

import contextlib
import importlib
import math
import operator
import os
import shutil
import signal
import tempfile
import threading
from typing import Any, Callable, Iterator, Sequence

import numpy as np

__all__ = ["resample_image", "load_image", "save_image", "as_nibabel", "as_simpleitk", "image_affine"]

_FLIP = (-1.0, -1.0, 1.0, 1.0)
_NIFTI = (".nii", ".nii.gz")
# What the command line writes: NIfTI, NRRD, MetaImage.
WRITES = _NIFTI + (".nrrd", ".nhdr", ".mha", ".mhd")
# Transform files that are images hold displacement fields.
_FIELD_SUFFIXES = WRITES
_INSTALL = "pip install 'vexiloimgc[images]'"


class ImageError(ValueError):
    """A file or object that cannot serve as an image or a transform here."""


def _sitk() -> Any:
    try:
        import SimpleITK
    except ImportError as e:
        raise ImportError(f"SimpleITK is needed for this ({_INSTALL})") from e
    return SimpleITK


def _nib() -> Any:
    try:
        import nibabel
    except ImportError as e:
        raise ImportError(f"nibabel is needed for this ({_INSTALL})") from e
    return nibabel


def _is_nib(obj: Any) -> bool:
    return hasattr(obj, "affine") and hasattr(obj, "dataobj") and hasattr(obj, "header")


def _is_sitk(obj: Any) -> bool:
    return all(hasattr(obj, k) for k in ("GetSpacing", "GetOrigin", "GetDirection", "GetDimension"))


def _lower(path: str) -> str:
    return os.path.basename(path).lower()


def load_image(path: str | os.PathLike[str]) -> Any:
    """A NIfTI file (.nii, .nii.gz) as a nibabel image; anything else
    SimpleITK reads (NRRD, MetaImage, ...) as a SimpleITK image."""
    p = os.fspath(path)
    if not os.path.isfile(p):
        raise FileNotFoundError(2, "no such file", p)
    if _lower(p).endswith(_NIFTI):
        nib = _nib()
        try:
            return nib.load(p)
        except Exception as e:
            raise ImageError(f"cannot read {p} as NIfTI: {e}") from None
    sitk = _sitk()
    try:
        return sitk.ReadImage(p)
    except RuntimeError:
        raise ImageError(f"cannot read {p}: not an image format SimpleITK reads") from None


def save_image(image: Any, path: str | os.PathLike[str]) -> None:
    """Write `image` (either kind) to `path`, NIfTI through nibabel, any
    other format SimpleITK writes through SimpleITK, converting as needed.
    The file is written beside its destination and moved into place when
    whole (a link's target is replaced, the link kept)."""
    p = os.fspath(path)
    folder = os.path.dirname(p)
    if folder and not os.path.isdir(folder):
        raise FileNotFoundError(2, "no such folder", folder)
    if _lower(p).endswith(_NIFTI):
        nimg = as_nibabel(image)
        _write_beside(p, lambda tmp: _nib().save(nimg, tmp))
        return
    sitk = _sitk()
    simg = as_simpleitk(image)
    try:
        _write_beside(p, lambda tmp: sitk.WriteImage(simg, tmp))
    except RuntimeError:
        why = "SimpleITK failed to write it" if _lower(p).endswith(WRITES) else "not an image format SimpleITK writes"
        raise ImageError(f"cannot write {p}: {why}") from None


# Ctrl-C and what a process manager sends to stop a process.
_HELD = (signal.SIGINT, signal.SIGTERM)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Ctrl-C and SIGTERM kept back until the block ends, then delivered:
    a few renames are done all or not at all. Python runs signal handlers
    in the main thread alone, so only there is anything to hold."""
    olds = [signal.getsignal(s) for s in _HELD] if threading.current_thread() is threading.main_thread() else [None]
    if None in olds:  # a handler installed outside Python cannot be put back
        yield
        return
    got: list[int] = []
    for s in _HELD:
        signal.signal(s, lambda n, _: got.append(n))
    try:
        yield
    finally:
        for s, old in zip(_HELD, olds):
            signal.signal(s, old)
        if got:
            signal.raise_signal(got[0])


def _write_beside(path: str, write: Callable[[str], None]) -> None:
    """`write` makes a file or a store of the destination's own name in a
    hidden folder beside it (a header and its data file keep naming each
    other), and what it made is moved into place when it returns: an error
    or an interrupt on the way leaves the destination as it was."""
    folder, name = os.path.split(os.path.realpath(path))
    tmp = None
    try:
        tmp = tempfile.mkdtemp(prefix=f".{name}-tmp-", dir=folder)
        write(os.path.join(tmp, name))
        with _signals_held():
            _move_in(tmp, folder, name)
    finally:
        if tmp is not None:
            with _signals_held():
                shutil.rmtree(tmp, ignore_errors=True)


def _move_in(tmp: str, folder: str, name: str) -> None:
    """Everything in `tmp` into `folder`, `name` last; a store (a folder)
    is swapped with what it replaces, which is put back on an error."""
    for f in os.listdir(tmp):
        if f != name:  # a detached header's data file
            os.replace(os.path.join(tmp, f), os.path.join(folder, f))
    made, dest = os.path.join(tmp, name), os.path.join(folder, name)
    if not (os.path.isdir(made) and os.path.lexists(dest)):
        os.replace(made, dest)
        return
    old = made + ".old"
    os.replace(dest, old)
    try:
        os.replace(made, dest)
    except BaseException:
        os.replace(old, dest)
        raise


def _open(obj: Any, name: str) -> Any:
    if isinstance(obj, (str, os.PathLike)):
        return load_image(obj)
    if _is_nib(obj) or _is_sitk(obj):
        return obj
    raise TypeError(f"resample_image: {name} must be a nibabel image, a SimpleITK image or a path, "
                    f"not {type(obj).__name__}")


# ---- grids -------------------------------------------------------------------

class _Grid:
    """A voxel grid: its (I, J, K), its RAS affine, and the geometry it came
    from, kept so that a grid written back to its own kind is bit for bit
    what was read."""

    __slots__ = ("shape", "affine", "sitk", "nib", "flat")

    def __init__(self, shape: tuple[int, int, int], affine: np.ndarray, sitk: Any = None,
                 nib: Any = None, flat: bool = False) -> None:
        self.shape = shape
        self.affine = affine
        self.sitk = sitk  # (origin, spacing, direction) as SimpleITK gives them
        self.nib = nib  # (qform, qform code, sform, sform code)
        self.flat = flat  # a 2-D SimpleITK image: one slice


def _lps_affine(origin: Sequence[float], spacing: Sequence[float], direction: Sequence[float]) -> np.ndarray:
    n = len(origin)
    d = np.array(direction, np.float64).reshape(n, n)
    a = np.eye(4)
    a[:n, :n] = d * np.array(spacing, np.float64)
    a[:n, 3] = origin
    return a


def _sitk_grid(img: Any) -> _Grid:
    dim = img.GetDimension()
    if dim not in (2, 3):
        raise ImageError(f"a {dim}-D SimpleITK image: 2-D and 3-D images are resampled "
                         "(a series as a vector image)")
    geo = (img.GetOrigin(), img.GetSpacing(), img.GetDirection())
    a = _lps_affine(*geo) * np.array(_FLIP)[:, None]
    size = img.GetSize()
    shape = (size[0], size[1], size[2] if dim == 3 else 1)
    return _Grid(shape, a, sitk=geo, flat=dim == 2)


def _nib_grid(img: Any) -> _Grid:
    shape = tuple(int(n) for n in img.shape[:3])
    if len(shape) < 3:
        raise ImageError(f"a {len(img.shape)}-D nibabel image: 3-D and 4-D images are resampled")
    hdr = img.header
    codes = None
    if hasattr(hdr, "get_qform") and hasattr(hdr, "get_sform"):
        codes = (hdr.get_qform(), int(hdr["qform_code"]), hdr.get_sform(), int(hdr["sform_code"]))
    return _Grid(shape, np.array(img.affine, np.float64), nib=codes)  # type: ignore[arg-type]


def _grid(img: Any) -> _Grid:
    return _nib_grid(img) if _is_nib(img) else _sitk_grid(img)


def image_affine(image: Any) -> np.ndarray:
    """The voxel (i, j, k) to world RAS affine of either kind of image
    (SimpleITK's LPS geometry turned to RAS)."""
    return _grid(_open(image, "image")).affine.copy()


def _extent(n: int, old: float, new: float) -> int:
    # The field of view n * old kept to the nearest whole voxel.
    return max(1, int(math.floor(n * old / new + 0.5)))


def _respaced(g: _Grid, spacing: np.ndarray) -> _Grid:
    cols = np.sqrt((g.affine[:3, :3] ** 2).sum(axis=0))
    scale = np.ones(4)
    scale[:3] = spacing / cols
    shape = tuple(_extent(n, o, s) for n, o, s in zip(g.shape, cols, spacing))
    if g.flat:
        scale[2], shape = 1.0, shape[:2] + (1,)
    a = g.affine * scale  # columns scaled: the first voxel centre stays
    sitk = nib = None
    if g.sitk is not None:
        origin, old, direction = g.sitk
        sitk = (origin, tuple(float(s) for s in spacing[: len(old)]), direction)
    if g.nib is not None:
        q, qc, s, sc = g.nib
        nib = (q * scale, qc, s * scale, sc)
    return _Grid(shape, a, sitk=sitk, nib=nib, flat=g.flat)  # type: ignore[arg-type]


def _spacing(spacing: Any) -> np.ndarray:
    s = np.array(spacing, np.float64).ravel()
    if s.size not in (2, 3) or not np.isfinite(s).all() or (s <= 0).any():
        raise ValueError(f"resample_image: spacing must be 3 finite positive values (X, Y, Z in mm), "
                         f"not {np.asarray(spacing).tolist()}")
    return np.append(s, 1.0) if s.size == 2 else s


# ---- data in, data out ------------------------------------------------------

def _data(img: Any) -> np.ndarray:
    """The image's samples indexed (i, j, k) or (i, j, k, t), a view where
    the element type allows."""
    if _is_nib(img):
        a = np.asanyarray(img.dataobj)
        if a.ndim > 4 and all(n == 1 for n in a.shape[3:-1]):
            a = a.reshape(a.shape[:3] + (a.shape[-1],), order="A")
        if a.ndim not in (3, 4):
            raise ImageError(f"a nibabel image of shape {a.shape}: 3-D and 4-D images are resampled")
        return a  # type: ignore[no-any-return]
    sitk = _sitk()
    if "complex" in img.GetPixelIDTypeAsString():
        raise ImageError("a complex-valued SimpleITK image: resample its parts separately")
    v = sitk.GetArrayViewFromImage(img)
    vector = img.GetNumberOfComponentsPerPixel() > 1 or v.ndim == img.GetDimension() + 1
    if img.GetDimension() == 2:
        v = v[None]
    return np.moveaxis(v.T, 0, -1) if vector else v.T


def _float_tuple(v: Any) -> tuple[float, ...]:
    return tuple(float(x) for x in v)


def _sitk_geometry(g: _Grid) -> tuple[tuple[float, ...], tuple[float, ...], tuple[float, ...]]:
    if g.sitk is not None:
        return g.sitk  # type: ignore[no-any-return]
    lps = g.affine * np.array(_FLIP)[:, None]
    m = lps[:3, :3]
    s = np.sqrt((m ** 2).sum(axis=0))
    return _float_tuple(lps[:3, 3]), _float_tuple(s), _float_tuple((m / s).ravel())


def _to_sitk(data: np.ndarray, g: _Grid, vector: bool) -> Any:
    sitk = _sitk()
    # SimpleITK indexes (z, y, x[, c]).
    a = np.moveaxis(data.T, 0, -1) if vector else data.T
    origin, spacing, direction = _sitk_geometry(g)
    if g.flat and len(origin) == 2:
        a = a[0]
    elif len(origin) == 2:  # a 2-D geometry for a grid of one slice, widened
        origin, spacing = origin + (0.0,), spacing + (1.0,)
        direction = (direction[0], direction[1], 0.0, direction[2], direction[3], 0.0, 0.0, 0.0, 1.0)
    if not a.dtype.isnative or a.dtype.kind == "b" or a.dtype == np.float16:
        # Types SimpleITK holds: native order, bool as uint8, half as single.
        t = np.uint8 if a.dtype.kind == "b" else np.float32 if a.dtype == np.float16 else a.dtype.newbyteorder("=")
        a = a.astype(t)
    out = sitk.GetImageFromArray(a, isVector=vector)
    out.SetOrigin(origin)
    out.SetSpacing(spacing)
    out.SetDirection(direction)
    return out


def _to_nib(data: np.ndarray, g: _Grid, like: Any) -> Any:
    nib = _nib()
    cls = type(like) if like is not None else nib.Nifti1Image
    hdr = like.header.copy() if like is not None else None
    if hdr is not None:
        hdr.set_data_dtype(data.dtype)
        if hasattr(hdr, "set_slope_inter"):
            try:
                hdr.set_slope_inter(np.nan, np.nan)
            except Exception:
                pass
    out = cls(data, g.affine, hdr)
    if hasattr(out, "set_qform"):
        # Geometry from SimpleITK is scanner space, as ITK writes NIfTI.
        q, qc, s, sc = g.nib if g.nib is not None else (g.affine, 1, g.affine, 1)
        out.set_qform(q, qc)
        out.set_sform(s, sc)
    return out


def as_nibabel(image: Any) -> Any:
    """The image as a nibabel NIfTI-1 image (a nibabel image as it is); a
    SimpleITK vector image becomes a 4-D series."""
    image = _open(image, "image")
    if _is_nib(image):
        return image
    # A copy: a view would outlive the SimpleITK image that holds its memory.
    return _to_nib(np.array(_data(image), order="F"), _grid(image), None)


def as_simpleitk(image: Any) -> Any:
    """The image as a SimpleITK image (a SimpleITK image as it is); a 4-D
    nibabel series becomes a vector image."""
    image = _open(image, "image")
    if _is_sitk(image):
        return image
    data = _data(image)
    return _to_sitk(data, _grid(image), data.ndim == 4)


# ---- transforms -------------------------------------------------------------

class _Field:
    """A displacement field step of a chain, kept as it was given."""

    __slots__ = ("source", "obj")

    def __init__(self, source: str, obj: Any) -> None:
        self.source = source
        self.obj = obj


def _matrix(a: Any, name: str) -> np.ndarray:
    m = np.array(a, np.float64)
    if m.shape != (4, 4):
        raise ImageError(f"{name}: a transform array must be a 4x4 affine, not of shape {m.shape}")
    if not np.isfinite(m).all() or (m[3] != (0, 0, 0, 1)).any():
        raise ImageError(f"{name}: a transform array must be finite with last row 0, 0, 0, 1")
    return m


def _lps_to_ras(m: np.ndarray) -> np.ndarray:
    f = np.array(_FLIP)
    return m * f[:, None] * f[None, :]  # type: ignore[no-any-return]


def _sitk_steps(tx: Any, name: str) -> list[Any]:
    """A SimpleITK transform (fixed LPS point to moving LPS point) as steps,
    in the order they are applied to a point."""
    sitk = _sitk()
    if hasattr(tx, "Downcast"):
        tx = tx.Downcast()
    if isinstance(tx, sitk.CompositeTransform):
        # ITK applies the last added first.
        steps: list[Any] = []
        for i in reversed(range(tx.GetNumberOfTransforms())):
            steps += _sitk_steps(tx.GetNthTransform(i), name)
        return steps
    if isinstance(tx, sitk.DisplacementFieldTransform):
        return [_Field(name, tx)]
    n = tx.GetDimension()
    m = np.eye(4)
    if hasattr(tx, "GetMatrix"):
        a = np.array(tx.GetMatrix(), np.float64).reshape(n, n)
        c = np.array(tx.GetCenter(), np.float64)
        t = np.array(tx.GetTranslation(), np.float64)
        m[:n, :n] = a
        m[:n, 3] = t + c - a @ c
    elif isinstance(tx, sitk.TranslationTransform):
        m[:n, 3] = tx.GetOffset()
    elif tx.GetTransformEnum() != sitk.sitkIdentity:
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
        return [_matrix(x.matrix, name)]
    if isinstance(x, (fields.DenseFieldTransform, fields.BSplineFieldTransform)):
        return [_Field(name, x)]
    raise ImageError(f"{name}: a {type(x).__name__} is neither affine nor a displacement field")


def _nt(module: str) -> Any:
    try:
        return importlib.import_module(f"nitransforms.{module}")
    except ImportError as e:
        raise ImportError(f"nitransforms reads transform files ({_INSTALL})") from e


class _Space:
    # What nitransforms reads of an image: its shape and RAS affine.
    def __init__(self, g: _Grid) -> None:
        self.shape = g.shape
        self.affine = g.affine


def _fsl_text(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        return len(np.array(head.decode("ascii").split(), np.float64)) == 16
    except (UnicodeDecodeError, ValueError):
        return False


def _read_transform(path: str, ref: _Grid, mov: _Grid) -> list[Any]:
    if not os.path.isfile(path):
        raise FileNotFoundError(2, "no such transform file", path)
    low = _lower(path)
    if low.endswith(_FIELD_SUFFIXES):
        return [_Field(path, path)]
    ntl, chain = _nt("linear"), _nt("manip").TransformChain
    if low.endswith(".mat"):
        fmt = "fsl" if _fsl_text(path) else "itk"
    elif low.endswith(".lta"):
        fmt = "lta"
    elif low.endswith(".1d"):
        fmt = "afni"
    elif low.endswith((".h5", ".hdf5", ".x5")):
        fmt = "h5"
    else:
        fmt = "itk"
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
                tx = _sitk().ReadTransform(path)
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


def _taken(t: Any, name: str) -> Any:
    """An item of a chain converted once: arrays copied, pairs kept as pairs."""
    x, inverted = _pair(t, name)
    if not (isinstance(x, (str, os.PathLike)) or type(x).__module__.split(".")[0] in ("SimpleITK", "nitransforms")):
        x = np.array(x, np.float64)
    return (x, True) if inverted else x


def _inverse(steps: list[Any], name: str) -> list[Any]:
    """The steps of one item inverted: each affine inverted, last first."""
    from . import voxel_map

    out: list[Any] = []
    for s in reversed(steps):
        if isinstance(s, _Field):
            raise ImageError(f"{s.source}: a displacement field cannot be inverted here; "
                             "give its inverse field (as ANTs writes 1InverseWarp.nii.gz)")
        try:
            out.append(voxel_map(s, np.eye(4)))
        except ValueError:
            raise ImageError(f"{name}: an affine that cannot be inverted") from None
    return out


def _steps(transforms: Sequence[Any], ref: _Grid, mov: _Grid) -> list[Any]:
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
            these = [_matrix(t, name)]
        steps += _inverse(these, name) if inverted else these
    return steps


def _mul(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    # A fixed order of double operations, with no fused multiply-add: the
    # same bits on every machine.
    x, y = a.tolist(), b.tolist()
    return np.array([[x[r][0] * y[0][c] + x[r][1] * y[1][c] + x[r][2] * y[2][c] + x[r][3] * y[3][c]
                      for c in range(4)] for r in range(4)])


def _plan(steps: list[Any], g: _Grid) -> list[Any]:
    """The chain on the reference grid, applied first to last: its first
    entry maps a reference voxel to world (the grid's affine and the affines
    before the first field folded in), then fields, each followed by the
    affines up to the next, all composed in double precision."""
    plan: list[Any] = [g.affine]
    for s in steps:
        if isinstance(s, _Field):
            plan += [s, np.eye(4)]
        else:
            plan[-1] = _mul(s, plan[-1])
    return plan


def _field_of(f: _Field) -> Any:
    """A displacement field step as `vexiloimgc.Field` in RAS millimetres on
    its own grid: voxel (i, j, k) of the field at its RAS affine."""
    from . import Field

    obj, where = f.obj, f.source
    if isinstance(obj, str):
        if _lower(obj).endswith(_NIFTI):
            # ITK's layout in NIfTI (ANTs' warps): (I, J, K, 1, 3), LPS vectors.
            img = _nib().load(obj)
            d = np.asanyarray(img.dataobj)
            if d.ndim != 5 or d.shape[3] != 1 or d.shape[4] != 3:
                raise ImageError(f"{where}: a displacement field is an (I, J, K, 1, 3) image of vectors, "
                                 f"not of shape {d.shape}")
            lps, affine = d[:, :, :, 0, :], np.array(img.affine, np.float64)
            return Field(_flipped(lps).transpose(2, 1, 0, 3), (1.0, 1.0, 1.0), affine)
        obj = _sitk().ReadImage(obj)
    sitk = _sitk()
    if isinstance(obj, sitk.Transform):  # a DisplacementFieldTransform
        obj = obj.GetDisplacementField()
    if isinstance(obj, sitk.Image):
        if obj.GetDimension() != 3 or obj.GetNumberOfComponentsPerPixel() != 3:
            raise ImageError(f"{where}: a displacement field is a 3-D image of 3-vectors")
        lps = sitk.GetArrayViewFromImage(obj)  # (K, J, I, 3)
        return Field(_flipped(lps), (1.0, 1.0, 1.0), _sitk_grid(obj).affine)
    # nitransforms' DenseFieldTransform: RAS points (I, J, K, 3) of its reference grid.
    grid = obj.reference
    deltas = np.asarray(obj._field, np.float64) - grid.ndcoords.reshape(obj._field.shape)
    return Field(deltas.astype(np.float32).transpose(2, 1, 0, 3), (1.0, 1.0, 1.0), np.array(grid.affine, np.float64))


def _flipped(lps: np.ndarray) -> np.ndarray:
    """LPS displacements as RAS ones, float32 (one copy: the flip writes)."""
    ras = np.array(lps, np.float32)
    ras[..., :2] *= np.float32(-1.0)
    return ras


def _chain(steps: list[Any], g: _Grid, src: _Grid) -> tuple[np.ndarray, list[Any] | None]:
    """The reference grid's voxel to image world map where the chain holds
    affines alone (and None); else also `warp`'s steps, from a reference
    voxel to an image voxel: the affines between the fields (the last with
    the image's world to voxel map, formed natively) and the fields."""
    plan = _plan(steps, g)
    if len(plan) == 1:
        return plan[0], None
    from . import voxel_map

    out = [f if isinstance(f, np.ndarray) else _field_of(f) for f in plan]
    out[-1] = voxel_map(src.affine, out[-1])
    return plan[0], out


# ---- zarr ----------------------------------------------------------------------

def is_zarr(path: str | os.PathLike[str]) -> bool:
    return _lower(os.fspath(path).rstrip("/")).endswith(".zarr")


def _zarr() -> Any:
    try:
        import dask.array  # noqa: F401
        import zarr
    except ImportError as e:
        raise ImportError("zarr stores are read and written with Dask: pip install 'dask[array]' zarr") from e
    return zarr


def load_zarr(path: str | os.PathLike[str]) -> tuple[Any, np.ndarray]:
    """A zarr array (Z, Y, X), as a Dask array, and its RAS affine from
    voxel (i, j, k) = index (k, j, i) to world, held in the attribute
    "affine" (unit voxels at the origin where it is absent)."""
    p = os.fspath(path)
    if not os.path.isdir(p):
        raise FileNotFoundError(2, "no such zarr store", p)
    zarr = _zarr()
    import dask.array as da

    try:
        z = zarr.open_array(p, mode="r")
    except Exception as e:
        raise ImageError(f"cannot read {p} as a zarr array: {str(e).splitlines()[0] if str(e) else e}") from None
    if z.ndim != 3:
        raise ImageError(f"{p}: a zarr array of {z.ndim} dimensions: (Z, Y, X) arrays are resampled")
    affine = _matrix(z.attrs.get("affine", np.eye(4)), f"{p}: its affine attribute")
    return da.from_zarr(z), affine  # type: ignore[no-untyped-call]


def save_zarr(data: Any, affine: Any, path: str | os.PathLike[str], workers: int | None = None) -> None:
    """Compute the Dask array `data` (Z, Y, X) into the zarr array at `path`,
    its RAS `affine` (as `load_zarr` reads it) the attribute "affine", on
    `workers` threads (the CPUs by default). The store is written beside the
    destination and swapped into place when whole, so `data` may read the
    store it replaces, and an error or an interrupt leaves the old store."""
    from concurrent.futures import ThreadPoolExecutor

    zarr = _zarr()
    import dask

    m = _matrix(affine, f"{os.fspath(path)}: its affine").tolist()
    n = (os.cpu_count() or 1) if workers is None else operator.index(workers)
    if n < 1:
        raise ValueError(f"save_zarr: workers must be at least 1, not {n}")

    def write(tmp: str) -> None:
        pool = ThreadPoolExecutor(n)
        try:
            with dask.config.set(pool=pool):
                data.to_zarr(tmp)
        finally:
            # No block may still be writing when the store is removed.
            pool.shutdown(wait=True, cancel_futures=True)
        zarr.open_array(tmp, mode="r+").attrs["affine"] = m

    _write_beside(os.fspath(path).rstrip("/" + os.sep), write)


# ---- resampling -------------------------------------------------------------

def resample_image(
    image: Any,
    reference: Any = None,
    /,
    *,
    transforms: Sequence[Any] = (),
    spacing: Any = None,
    interpolation: str = "linear",
    mode: str | None = "constant",
    cval: Any = 0.0,
    antialias: bool = False,
    workers: Any = None,
    _progress: Callable[[int, int], None] | None = None,
) -> Any:
    """Resample `image` onto the grid of `reference`, or onto its own grid at
    another `spacing`, through a chain of `transforms`.

    Parameters
    ----------
    image, reference : nibabel image, SimpleITK image, or path
        Either kind for either argument; a path ending .nii or .nii.gz is
        read with nibabel, any other with SimpleITK (NRRD, MetaImage, ...).
        `image` may be a 4-D nibabel series (i, j, k, t) or a SimpleITK
        vector image (each component a volume), or a 2-D SimpleITK image
        (one slice).
    transforms : sequence, optional
        Maps from a reference world point to the image world point it
        reads, in the order `antsApplyTransforms -t` takes them: the first
        is applied first to the reference point, the last gives the point
        read in `image` (so a registration's output as ANTs lists it,
        ["1Warp.nii.gz", "0GenericAffine.mat"]). Each is a path (ITK
        .tfm/.txt/.h5, ANTs .mat, FSL FLIRT .mat, FreeSurfer .lta, AFNI
        .1D; read with nitransforms, FSL's with the reference and image
        grids; a displacement field image), a 4x4 array (RAS millimetres),
        a SimpleITK transform (LPS; a CompositeTransform in ITK's order, the
        last added first) or a nitransforms transform; or `(item, True)`
        for its inverse, as `-t [file,1]` (affines only).
    spacing : 3 floats, optional
        With no reference: the grid of `image` at this spacing along its
        i, j, k axes (mm): the same first voxel centre and axis directions,
        each axis n * old / new voxels (rounded to the nearest, at least 1)
        so the field of view keeps its size.
    mode : str or None, optional
        As for `vexiloimgc.transform`, but "constant" by default, as scipy
        and nibabel take it: a point outside the image's first and last
        voxel centres on any axis gets `cval`, so "linear" keeps every value
        within the image's range and an identity reslice keeps every bit.
        None gives `transform`'s own rule, the face bands.
    interpolation, cval, antialias, workers
        As for `vexiloimgc.transform`.

    Returns
    -------
    An image of `image`'s kind on the reference grid: its geometry that of
    the reference (NIfTI qform and sform with their codes), float32, or for
    "nearest" and "label" the image's element type.
    """
    # The caller's conversions first, then the checks.
    raw = None if spacing is None else np.array(spacing, np.float64)
    one = isinstance(transforms, (str, os.PathLike)) or (isinstance(transforms, np.ndarray) and transforms.ndim == 2)
    tlist = [transforms] if one else list(transforms)
    tlist = [_taken(t, f"transforms[{i}]") for i, t in enumerate(tlist)]
    if _progress is not None and not callable(_progress):
        raise TypeError("resample_image: _progress must be callable")
    spacing = None if raw is None else _spacing(raw)
    img = _open(image, "image")
    ref = None if reference is None else _open(reference, "reference")
    if ref is not None and spacing is not None:
        raise TypeError("resample_image: give a reference or a spacing, not both")
    src = _grid(img)
    data = _data(img)
    g = _grid(ref) if ref is not None else src if spacing is None else _respaced(src, spacing)
    target, steps = _chain(_steps(tlist, g, src), g, src)

    from . import reslice

    kw = dict(interpolation=interpolation, mode=mode, cval=cval, antialias=antialias, workers=workers)
    if steps is None:
        def one(vol: np.ndarray, out: Any = None) -> np.ndarray:
            return reslice(vol, src.affine, g.shape, target, out=out, **kw)  # type: ignore[no-any-return]
    else:
        if antialias:
            raise ImageError("antialias=True is not available with displacement fields")
        from . import warp

        del kw["antialias"]
        unit = (1.0, 1.0, 1.0)

        def one(vol: np.ndarray, out: Any = None) -> np.ndarray:
            # nibabel's (i, j, k[, t]) as the engine's (Z, Y, X) with unit voxels, no copy.
            r = warp(vol.T, unit, steps, output_shape=vol.shape[3:][::-1] + g.shape[::-1], output_spacing=unit,
                     out=None if out is None else out.T, **kw)
            return r.T  # type: ignore[no-any-return]
    if _progress is None or data.ndim == 3:
        out = one(data)
    else:
        # Volume by volume, with the same bits as one call.
        n = data.shape[3]
        first = one(data[..., 0])
        out = np.empty(g.shape + (n,), first.dtype, order="F")
        out[..., 0] = first
        _progress(1, n)
        for k in range(1, n):
            one(data[..., k], out=out[..., k])
            _progress(k + 1, n)
    if _is_nib(img):
        return _to_nib(out, g, img)
    return _to_sitk(out, g, out.ndim == 4)
