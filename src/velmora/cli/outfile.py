"""Writing an output file so that it is replaced only once everything
succeeded, and nothing is left behind when the run dies.

:func:`replacing` does it for any code of the package that writes a file
the way ``velmora -o`` does (the Dask integration's one file and parts);
:func:`open_output` is the command line's face of it, which also takes
``-`` for standard output and holds SIGINT and SIGTERM while the file is
made and put in place."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from typing import IO, ContextManager

from velmora.cli import signals

__all__ = ["CannotWrite", "named", "open_output", "replacing"]


class CannotWrite(OSError):
    """The output could not be opened or put in place; ``str()`` names the
    path and the reason (``cannot write out.json: Permission denied``)."""

    def __init__(self, path: str, reason: str | None) -> None:
        super().__init__(f"cannot write {path}: {reason}")

    def __str__(self) -> str:
        return str(self.args[0])


def named(exc: OSError, name: str) -> OSError:
    """``exc`` again, about ``name`` (the path as the caller gave it)."""
    return OSError(exc.errno, exc.strerror or str(exc), name)


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


# The directory of a process's open descriptors, as realpath gives it.
_DESCRIPTORS = re.compile(r"/proc/(\d+)(?:/task/\d+)?/fd")


def _own_descriptor(path: str) -> int | None:
    """The descriptor of this process that ``path`` names, following its
    links (``/dev/stdout``, ``/dev/fd/1``, ``/proc/self/fd/1``), or None.
    Such a link is no file to replace: where it points may be a pipe (a
    path that does not exist, ``pipe:[...]``) or a file the shell opened
    for appending."""
    current = os.path.abspath(path)
    for _ in range(40):  # as many links as the kernel follows
        directory, name = os.path.split(current)
        directory = os.path.realpath(directory)
        found = _DESCRIPTORS.fullmatch(directory)
        if found:
            return int(name) if found[1] == str(os.getpid()) and name.isdecimal() else None
        try:
            link = os.readlink(os.path.join(directory, name))
        except OSError:  # not a link (or nothing there): a path like any other
            return None
        current = os.path.join(directory, link)
    return None


def _new_file(directory: str, base: str) -> tuple[int, str]:
    """A new file with a fresh hidden name beside ``base``, made as a new
    output would be (mode 0o666 less the umask)."""
    for _ in range(100):
        name = os.path.join(directory, f".{base}.{os.urandom(6).hex()}.tmp")
        try:
            return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), name
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free temporary name", directory)


def _link_into_place(fd: int, target: str) -> None:
    """Give the unnamed file ``fd`` the name ``target``, replacing what is
    there. Where nothing is, the file is linked there in one step; otherwise
    it is linked under a fresh name beside it, then renamed over (a process
    killed between the two leaves that name behind, so it is taken only
    when it must be). (The link goes through /proc, which needs linkat with
    AT_SYMLINK_FOLLOW: os.link makes that call only when given a directory
    descriptor.)"""
    directory, base = os.path.split(target)
    directory_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            os.link(f"/proc/self/fd/{fd}", base, src_dir_fd=directory_fd, dst_dir_fd=directory_fd,
                    follow_symlinks=True)
            return
        except FileExistsError:
            pass
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
def replacing(path: str, shown: str,
              guard: Callable[[], ContextManager[object]] = contextlib.nullcontext,
              private: bool = False) -> Iterator[IO[bytes]]:
    """A stream to an unnamed temporary beside ``path`` (a named one where
    the file system has none), put in its place only when the block ends
    without an exception: nothing of it is left otherwise, even when the
    process is killed. The file keeps the mode it had, or gets the one a new
    file would (``private``: its owner's part of it alone, for a file that
    holds what was not redacted). A symbolic link is followed: the file it points to is
    replaced, the link stays. A FIFO or a device (``/dev/null``) is written
    to directly, never replaced, and so is a descriptor of this process
    (``/dev/stdout``): through a copy of it, as standard output would be.
    OSErrors of making the file and of putting it in place name ``shown``;
    ``guard()`` is held around both (the command line holds its signals
    there).

    (The umask is never read: setting it to read it would race with other
    threads, which may make files too.)"""
    target = os.path.realpath(path)
    directory, base = os.path.split(target)
    named_file: str | None = None
    fd = -1
    # One try from the moment the temporary exists: a signal held by
    # ``guard()`` is delivered as soon as the guard ends, and the handler's
    # exception must still find the temporary to remove.
    try:
        try:
            with guard():
                try:
                    info: os.stat_result | None = os.stat(path)  # through every link, /proc's too
                except FileNotFoundError:
                    info = None
                if info is not None and stat.S_ISDIR(info.st_mode):
                    raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), shown)
                descriptor = _own_descriptor(path)
                if descriptor is not None:
                    special: IO[bytes] | None = os.fdopen(os.dup(descriptor), "wb")
                elif info is not None and not stat.S_ISREG(info.st_mode):
                    special = open(path, "wb")
                else:
                    special = None
                    anonymous = _anonymous_file(directory)
                    if anonymous is None:
                        fd, named_file = _new_file(directory, base)
                    else:
                        fd = anonymous
                    if private and info is None:  # before a byte is in it
                        os.fchmod(fd, os.fstat(fd).st_mode & 0o700)
        except OSError as exc:
            raise named(exc, shown) from None
        if special is not None:
            try:
                yield special
                try:
                    special.flush()
                except OSError as exc:
                    raise named(exc, shown) from None
            finally:
                with contextlib.suppress(OSError):  # what a failed flush left: it fails again
                    special.close()
            return
        with os.fdopen(fd, "wb", closefd=False) as stream:
            yield stream
            with guard():
                signals.check_interrupted()
                try:
                    stream.flush()
                    if info is not None:
                        os.fchmod(fd, info.st_mode & 0o7777)
                    if named_file is None:
                        _link_into_place(fd, target)
                    else:
                        os.replace(named_file, target)
                        named_file = None
                except OSError as exc:
                    raise named(exc, shown) from None
    finally:
        if fd >= 0:
            os.close(fd)
        if named_file is not None:
            with contextlib.suppress(OSError):
                os.unlink(named_file)


@contextlib.contextmanager
def open_output(path: str | None, private: bool = False) -> Iterator[IO[bytes]]:
    """A binary stream to write the output to: standard output for None or
    ``-``, else ``path``, replaced as :func:`replacing` does, with SIGINT
    and SIGTERM held while the file is made and put in place. A ``private``
    file (one that holds what was not redacted), if made new, is readable
    by its owner alone.

    Raises :class:`CannotWrite` when the file cannot be made or put in
    place; errors of the writes themselves come from the stream. Threads
    that may still run while the block ends must block SIGINT and SIGTERM
    (:func:`velmora.cli.signals.block_in_this_thread`)."""
    if path in (None, "-"):
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    assert path is not None
    in_block = False
    try:
        with replacing(path, path, signals.held, private) as stream:
            in_block = True
            yield stream
            in_block = False
    except OSError as exc:
        if in_block:
            raise
        raise CannotWrite(path, exc.strerror) from None
