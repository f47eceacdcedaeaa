"""Images written: NIfTI through nibabel, the other formats through
SimpleITK, and any file or store made beside its destination and moved
into place when whole, Ctrl-C and SIGTERM held back while it moves."""
from __future__ import annotations

import contextlib
import os
import shutil
import signal
import tempfile
import threading
from typing import Any, Callable, Iterator

from .arrays import as_nibabel, as_simpleitk
from .kinds import NIFTI, WRITES, ImageError, lower, nib, sitk


def save_image(image: Any, path: str | os.PathLike[str]) -> None:
    """Write `image` (either kind) to `path`, NIfTI through nibabel, any
    other format SimpleITK writes through SimpleITK, converting as needed.
    The file is written beside its destination and moved into place when
    whole (a link's target is replaced, the link kept)."""
    p = os.fspath(path)
    folder = os.path.dirname(p)
    if folder and not os.path.isdir(folder):
        raise FileNotFoundError(2, "no such folder", folder)
    if lower(p).endswith(NIFTI):
        nimg = as_nibabel(image)
        write_beside(p, lambda tmp: nib().save(nimg, tmp))
        return
    simpleitk = sitk()
    simg = as_simpleitk(image)
    try:
        write_beside(p, lambda tmp: simpleitk.WriteImage(simg, tmp))
    except RuntimeError:
        why = "SimpleITK failed to write it" if lower(p).endswith(WRITES) else "not an image format SimpleITK writes"
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


def write_beside(path: str, write: Callable[[str], None]) -> None:
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
