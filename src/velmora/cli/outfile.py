"""Writing an output file so that it is replaced only once everything
succeeded, and nothing is left behind when the run dies.

:func:`open_output` is the one entry point: the command line writes its
output and its rejected lines through it, and so may any code of the
package that writes a file the way ``velmora -o`` does."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import IO

from velmora.cli import signals

__all__ = ["CannotWrite", "open_output"]


class CannotWrite(OSError):
    """The output could not be opened or put in place; ``str()`` names the
    path and the reason (``cannot write out.json: Permission denied``)."""

    def __init__(self, path: str, reason: str | None) -> None:
        super().__init__(f"cannot write {path}: {reason}")

    def __str__(self) -> str:
        return str(self.args[0])


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _anonymous_file(directory: str) -> int | None:
    """An unnamed file in ``directory`` (Linux O_TMPFILE): nothing to clean up
    if the process dies, even by SIGKILL. None where it is not supported."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir("/proc/self/fd"):  # naming it needs /proc
        return None
    try:
        return os.open(directory, flag | os.O_WRONLY | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            return None  # this file system (or kernel) has none
        raise


def _link_into_place(fd: int, target: str) -> None:
    """Give the unnamed file ``fd`` the name ``target``, replacing what is
    there: link it under a fresh name beside it, then rename over. (The link
    goes through /proc, which needs linkat with AT_SYMLINK_FOLLOW: os.link
    makes that call only when given a directory descriptor.)"""
    directory, base = os.path.split(target)
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        for attempt in range(100):
            temporary = f".{base}.{os.getpid()}.{attempt}.tmp"
            try:
                os.link(f"/proc/self/fd/{fd}", temporary, src_dir_fd=directory_fd, dst_dir_fd=directory_fd,
                        follow_symlinks=True)
            except FileExistsError:
                continue
            try:
                os.replace(temporary, base, src_dir_fd=directory_fd, dst_dir_fd=directory_fd)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(temporary, dir_fd=directory_fd)
                raise
            return
        raise OSError(errno.EEXIST, "no free temporary name", target)
    finally:
        os.close(directory_fd)


@contextlib.contextmanager
def open_output(path: str | None) -> Iterator[IO[bytes]]:
    """A binary stream to write the output to: standard output for None or
    ``-``, else ``path``. A regular file (or a new one) is replaced only
    once the block ends without an exception: the bytes go to an unnamed
    temporary in its directory (a named one, removed on failure and on
    SIGINT/SIGTERM, where the file system has no unnamed files), which is
    then renamed over it, keeping its permissions. A symbolic link is
    followed: the file it points to is replaced, the link stays. A FIFO, a
    device or any other file that is not regular is written directly.

    Raises :class:`CannotWrite` when the file cannot be made or put in
    place; errors of the writes themselves come from the stream. Threads
    that may still run while the block ends must block SIGINT and SIGTERM
    (:func:`velmora.cli.signals.block_in_this_thread`)."""
    if path in (None, "-"):
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    assert path is not None
    target = os.path.realpath(path)
    try:
        info: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        info = None
    except OSError as exc:
        raise CannotWrite(path, exc.strerror) from None
    if info is not None and stat.S_ISDIR(info.st_mode):
        raise CannotWrite(path, "Is a directory")
    if info is not None and not stat.S_ISREG(info.st_mode):
        try:
            stream = open(target, "wb")
        except OSError as exc:
            raise CannotWrite(path, exc.strerror) from None
        with stream:
            yield stream
        return

    mode = info.st_mode & 0o7777 if info is not None else 0o666 & ~_umask()
    directory = os.path.dirname(target)
    named: str | None = None
    fd = -1
    try:
        with signals.held():
            try:
                anonymous = _anonymous_file(directory)
                if anonymous is not None:
                    fd = anonymous
                else:
                    fd, named = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                                 dir=directory)
            except OSError as exc:
                raise CannotWrite(path, exc.strerror) from None
        with os.fdopen(fd, "wb", closefd=False) as stream:
            yield stream
        with signals.held():
            try:
                os.fchmod(fd, mode)
                if named is None:
                    _link_into_place(fd, target)
                else:
                    os.replace(named, target)
                    named = None
            except OSError as exc:
                raise CannotWrite(path, exc.strerror) from None
    finally:
        if fd >= 0:
            os.close(fd)
        if named is not None:
            with contextlib.suppress(OSError):
                os.unlink(named)
