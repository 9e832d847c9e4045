"""Writing a file atomically: beside its destination, then renamed over it."""
from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from typing import Callable

from Quorvel._signals import interruptions_held
from Quorvel.tessarin_ext import SimpleImage


def _temporary_prefix(pid: int) -> str:
    # The writer's process id, so that what a killed worker leaves can be found.
    return f".quorvel-{pid}-"


def _take_over_metadata(temporary: str, target: str) -> None:
    """Gives the new file the mode of the file it replaces (and its owner and
    group, where allowed), or the mode a new file gets; mkstemp made it private."""
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        return
    if hasattr(os, "chown"):
        with contextlib.suppress(PermissionError):
            os.chown(temporary, existing.st_uid, existing.st_gid)
    os.chmod(temporary, stat.S_IMODE(existing.st_mode))


def write_through(image: SimpleImage, destination: str, writer: Callable[[SimpleImage, str], None]) -> str:
    """Writes beside the file that `destination` names (through any symbolic
    links, which stay), then renames over it: whatever happens, that file is
    either untouched or completely replaced. Returns the path written."""
    target = os.path.realpath(destination)
    # Renaming would replace even a file its owner made read-only; refuse it
    # as writing in place would.
    if os.path.lexists(target) and not os.path.isdir(target) and not os.access(target, os.W_OK):
        raise PermissionError(13, os.strerror(13), destination)
    temporary: str | None = None
    try:
        with interruptions_held():
            handle, temporary = tempfile.mkstemp(prefix=_temporary_prefix(os.getpid()), suffix=".tmp",
                                                 dir=os.path.dirname(target))
            os.close(handle)
        _take_over_metadata(temporary, target)
        writer(image, temporary)
        with interruptions_held():
            os.replace(temporary, target)
            temporary = None
    except BaseException:
        with interruptions_held(), contextlib.suppress(OSError):
            if temporary is not None:
                os.unlink(temporary)
        raise
    return target


def remove_temporary_files(pid: int | None, destination: str) -> None:
    """Removes what a worker that died while writing `destination` left."""
    folder = os.path.dirname(os.path.realpath(destination))
    prefix = _temporary_prefix(pid or 0)
    with contextlib.suppress(OSError):
        for name in os.listdir(folder):
            if name.startswith(prefix) and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(folder, name))
