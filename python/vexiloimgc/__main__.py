"""The command line: `vexiloimgc resample IN OUT ...` (`python -m vexiloimgc`)."""
from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from typing import Any, Sequence

import numpy as np

from . import MODES, RULES

EXAMPLE = """example:
  vexiloimgc resample moving.nii.gz moved.nii.gz --like fixed.nrrd \\
      --transform 0GenericAffine.mat
  vexiloimgc resample scan.mha scan_1mm.nii.gz --spacing 1 1 1 --interpolation cubic
  vexiloimgc resample big.zarr big_1mm.zarr --like fixed.nii.gz --chunks 128 128 128

Transforms are given as antsApplyTransforms takes them: each maps a point of
the reference to the point it reads in the image, the first given is applied
first to the reference point (antsRegistration's output as it lists it:
-t 1Warp.nii.gz -t 0GenericAffine.mat), and -t [FILE,1] applies the inverse
of an affine. Reads and writes NIfTI (.nii, .nii.gz), NRRD (.nrrd, .nhdr),
MetaImage (.mha, .mhd) and, through Dask, zarr arrays (.zarr). OUT is written
beside its destination and moved into place when whole, so it may be IN;
Ctrl-C (exit 130) or SIGTERM (143) leaves it as it was."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, exit code 2
        raise _Usage(f"{self.prog}: {message}")


class _Usage(Exception):
    pass


def _transform(arg: str) -> Any:
    """`-t FILE`, or `-t [FILE,1]` for its inverse (and `[FILE,0]`), as
    antsApplyTransforms writes them."""
    if not (arg.startswith("[") and arg.endswith("]")):
        return arg
    path, _, flag = arg[1:-1].rpartition(",")
    if not path or flag.strip() not in ("0", "1"):
        raise argparse.ArgumentTypeError(f"{arg}: give [FILE,1] for the inverse of FILE, or FILE")
    return (path, True) if flag.strip() == "1" else path


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised as Ctrl-C is, so that what is being written is
    removed on the way out."""


def _terminate(signum: int, frame: Any) -> None:
    raise _Terminated


def _parser() -> argparse.ArgumentParser:
    p = _Parser(prog="vexiloimgc", description="Exact, fast resampling of images.",
                epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True, parser_class=_Parser)
    r = sub.add_parser("resample", help="resample an image onto another grid",
                       description="Resample IN onto the grid of REF (or onto its own grid at "
                       "another spacing) through the transforms, and write OUT.",
                       epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    r.add_argument("input", metavar="IN", help="the image to resample")
    r.add_argument("output", metavar="OUT", help="where to write the result (its extension picks the format)")
    grid = r.add_mutually_exclusive_group()
    grid.add_argument("--like", metavar="REF", help="the reference image whose grid the result takes")
    grid.add_argument("--spacing", metavar=("X", "Y", "Z"), nargs=3, type=float,
                      help="IN's own grid at this spacing (mm), its first voxel centre kept")
    r.add_argument("--transform", "-t", metavar="FILE", action="append", default=[], type=_transform,
                   help="a transform file (ITK .tfm/.txt/.h5, ANTs/FSL .mat, .lta, AFNI .1D, or a "
                   "displacement field image); repeatable, the first applied first; [FILE,1] inverts an affine")
    r.add_argument("--interpolation", default="linear", choices=RULES)
    r.add_argument("--mode", default="constant", choices=MODES,
                   help="how the image extends beyond its edges, for every interpolation, by scipy.ndimage's "
                   "names (default constant: the value outside the first and last voxel centres is --cval)")
    r.add_argument("--cval", type=float, default=0.0, help="the value outside the image (default 0)")
    r.add_argument("--antialias", action="store_true", help="smooth first when down-sampling")
    r.add_argument("--workers", type=int, default=None, help="threads to use at most")
    r.add_argument("--chunks", metavar="N", nargs="+", type=int,
                   help="work in blocks of this (Z, Y, X) shape through Dask (a zarr IN or OUT "
                   "always does): a zarr array's attribute 'affine' holds its RAS voxel-to-world map")
    return p


def _progress(k: int, n: int) -> None:
    sys.stderr.write(f"\rvolume {k} of {n}" + ("\n" if k == n else ""))
    sys.stderr.flush()


def _resample(a: argparse.Namespace) -> None:
    from . import images

    for path in [a.input, a.like, *(t[0] if isinstance(t, tuple) else t for t in a.transform)]:
        if path is not None and not (os.path.isfile(path) or images.is_zarr(path) and os.path.isdir(path)):
            raise FileNotFoundError(2, "no such file", path)
    folder = os.path.dirname(a.output)
    if folder and not os.path.isdir(folder):
        raise FileNotFoundError(2, "no such folder", folder)
    if not (a.output.lower().endswith(images.WRITES) or images.is_zarr(a.output)):
        raise ValueError(f"{a.output}: unknown output format (write {', '.join(images.WRITES)})")
    if a.chunks is not None or images.is_zarr(a.input) or images.is_zarr(a.output):
        _resample_dask(a)
    else:
        _resample_files(a)
    if a.like is None and a.spacing is None and not a.transform:
        print(f"vexiloimgc: no --like, --spacing or -t: {a.input} resampled onto its own grid "
              f"({a.interpolation}) into {a.output}", file=sys.stderr)


def _cval(a: argparse.Namespace) -> Any:
    # nearest and label take a cval of the image's own type: a whole number stays whole.
    return int(a.cval) if a.interpolation in ("nearest", "label") and float(a.cval).is_integer() else a.cval


def _resample_files(a: argparse.Namespace) -> None:
    from . import images

    out = images.resample_image(a.input, a.like, transforms=a.transform, spacing=a.spacing,
                                interpolation=a.interpolation, mode=a.mode, cval=_cval(a),
                                antialias=a.antialias, workers=a.workers,
                                _progress=_progress if sys.stderr.isatty() else None)
    images.save_image(out, a.output)


def _resample_dask(a: argparse.Namespace) -> None:
    """Block by block through vexiloimgc.dask: zarr in or out, or --chunks."""
    from .dask import transform, warp
    from .images.grids import spacing_of
    from .images.planning import plan

    chunks = _chunks(a)
    kind, data, src = _lazy_source(a.input, chunks)
    p = plan(src, _grid_at(a.like), None if a.spacing is None else spacing_of(a.spacing), a.transform)
    kw: dict[str, Any] = dict(output_shape=p.grid.shape[::-1], output_chunks=chunks, interpolation=a.interpolation,
                              mode=a.mode, cval=_cval(a))
    if p.steps is None:
        from . import voxel_map

        out = transform(data, np.ones(3), voxel_map(src.affine, p.target)[:3], antialias=a.antialias, **kw)
    else:
        if a.antialias:
            raise ValueError("--antialias is not available with a displacement field in blocks")
        out = warp(data, np.ones(3), p.steps, output_spacing=np.ones(3), **kw)
    _write_lazy(a, out, p.grid, kind)


def _chunks(a: argparse.Namespace) -> Any:
    """--chunks as Dask takes them; --workers checked for Dask."""
    if a.chunks is not None and (len(a.chunks) not in (1, 3) or min(a.chunks) < 1):
        raise ValueError(f"--chunks takes 1 or 3 positive sizes (Z, Y, X), not {' '.join(map(str, a.chunks))}")
    if a.workers is not None and a.workers < 1:
        raise ValueError(f"--workers must be at least 1 with Dask, not {a.workers}")
    return None if a.chunks is None else tuple(a.chunks) if len(a.chunks) == 3 else a.chunks[0]


def _lazy_source(path: str, chunks: Any) -> tuple[Any, Any, Any]:
    """IN as (the image read, None for a zarr array; a Dask array (Z, Y, X); its grid)."""
    from .images import arrays, grids, reading, stores

    if stores.is_zarr(path):
        data, src = stores.zarr_grid(path)
        return None, data, src
    import dask.array as da

    kind = reading.load_image(path)
    src = grids.grid_of(kind)
    ijk = arrays.data_of(kind)
    if ijk.ndim != 3:
        raise ValueError(f"{path}: a series; blocks take 3-D images")
    return kind, da.from_array(ijk.T, chunks=chunks or "auto"), src  # type: ignore[no-untyped-call]


def _grid_at(path: str | None) -> Any:
    """The grid of --like, None without it."""
    from .images import grids, reading, stores

    if path is None:
        return None
    return stores.zarr_grid(path)[1] if stores.is_zarr(path) else grids.grid_of(reading.load_image(path))


def _write_lazy(a: argparse.Namespace, out: Any, g: Any, kind: Any) -> None:
    """The Dask array (Z, Y, X) on grid `g` computed into OUT: a zarr store
    block by block, else an image of IN's kind."""
    import dask

    from .images import arrays, stores, writing

    if stores.is_zarr(a.output):
        stores.save_zarr(out, g.affine, a.output, workers=a.workers)
        return
    with dask.config.set({} if a.workers is None else {"num_workers": a.workers}):
        r = out.compute().T
    writing.save_image(arrays.image_like(r, g, kind), a.output)


def main(argv: Sequence[str] | None = None) -> int:
    here = threading.current_thread() is threading.main_thread()
    term = signal.getsignal(signal.SIGTERM) if here else None
    if term == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _terminate)
    try:
        return _main(argv)
    except KeyboardInterrupt as e:
        stop = signal.SIGTERM if isinstance(e, _Terminated) else signal.SIGINT
        print(f"vexiloimgc: {'terminated' if stop == signal.SIGTERM else 'interrupted'}", file=sys.stderr)
        return 128 + stop
    finally:
        if term == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, term)


def _main(argv: Sequence[str] | None) -> int:
    try:
        a = _parser().parse_args(argv)
    except _Usage as e:
        print(e, file=sys.stderr)
        return 2
    except SystemExit as e:  # --help
        return int(e.code or 0)
    try:
        _resample(a)
    except FileNotFoundError as e:
        print(f"vexiloimgc: {e.filename}: {e.strerror or 'no such file'}", file=sys.stderr)
        return 1
    except ImportError as e:
        print(f"vexiloimgc: {e}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, OverflowError, RuntimeError, OSError) as e:
        print(f"vexiloimgc: {str(e).splitlines()[0] if str(e) else type(e).__name__}", file=sys.stderr)
        return 1
    except Exception as e:  # what a reader library raises of its own, on a file it cannot take
        print(f"vexiloimgc: {type(e).__name__}: {str(e).splitlines()[0] if str(e) else ''}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
