"""Writing the files kelvara makes: one writer for every output.

A regular file (or a path not there yet) is written whole or not at all: a
temporary file in the same folder (created anew, never through a link),
flushed to disk, then `os.replace`; a kill or a full disk leaves the old
file as it was.  A symbolic link of the user's own is written through: its
target is replaced, the link stays.  A link that another user owns, any
link in a folder that anyone may write to (a sticky one such as /tmp: a
neighbour could have planted it) and a link to nothing are refused.  `-`, `/dev/stdout` and the
like go to that stream; a device or a FIFO is opened and written as it is,
never replaced by a file.  Every target is checked before any work starts.
Pure Python.
"""

from __future__ import annotations

import errno
import os
import pathlib
import re
import stat
import sys
from dataclasses import dataclass
from typing import Dict, Iterable, Optional, Sequence, Tuple, Union

from kelvara.errors import KelvaraError

__all__ = ["OutputError", "Target", "target", "check", "write"]

STDOUT = "-"
# Paths that name a stream of this process, by file descriptor.
_STREAM = re.compile(r"^/dev/(stdout|stderr)$|^/dev/fd/(\d+)$|^/proc/self/fd/(\d+)$")


class OutputError(KelvaraError):
    """An output that cannot be written: one sentence."""


@dataclass(frozen=True)
class Target:
    """Where one output goes: `kind` "file" (written atomically at `path`,
    the target of a link resolved), "stream" (file descriptor `fd`) or
    "device" (a device or FIFO opened and written as it is)."""

    shown: str
    kind: str
    path: Optional[str] = None
    fd: Optional[int] = None

    @property
    def is_stdout(self) -> bool:
        return self.kind == "stream" and self.fd == 1


def target(path: Union[str, os.PathLike], option: str = "output") -> Target:
    """What writing to `path` means; OutputError for a folder or a missing folder."""
    text = os.fspath(path)
    if text == STDOUT:
        return Target(text, "stream", fd=1)
    fd = _stream(text)
    if fd is not None:
        return Target(text, "stream", fd=fd)
    _trusted_links(text, option)
    try:
        mode = os.stat(text).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise OutputError(f"{option} {text}: {error.strerror}") from None
    if mode is not None and stat.S_ISDIR(mode):
        raise OutputError(f"{option} {text}: is a folder")
    if mode is not None and not stat.S_ISREG(mode):
        return Target(text, "device", path=text)
    resolved = os.path.realpath(text) if os.path.islink(text) else text
    folder = pathlib.Path(resolved).parent
    if not folder.is_dir():
        raise OutputError(f"{option} {text}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"{option} {text}: the folder {folder} cannot be written to")
    return Target(text, "file", path=resolved)


def _trusted_links(text: str, option: str, hops: int = 40) -> None:
    """Refuse to write through a link that another user owns, a link in a
    folder anyone may write to, or a link to nothing: every link on the way
    to the file is checked."""
    for _ in range(hops):
        try:
            info = os.lstat(text)
        except OSError:
            return  # nothing there yet: a new file, written in place
        if not stat.S_ISLNK(info.st_mode):
            return
        folder = os.path.dirname(os.path.abspath(text))
        if hasattr(os, "geteuid") and info.st_uid != os.geteuid():
            raise OutputError(f"{option} {text}: is a link that another user owns (uid {info.st_uid}); kelvara does "
                              "not write through it: name the file itself")
        try:
            shared = os.stat(folder).st_mode
        except OSError:
            shared = 0
        if shared & stat.S_IWOTH:
            raise OutputError(f"{option} {text}: is a link in {folder}, a folder anyone may write to; kelvara does "
                              "not write through it (someone else could have planted it): name the file itself")
        link = os.readlink(text)
        text = os.path.normpath(os.path.join(folder, link))
        if not os.path.lexists(text):
            raise OutputError(f"{option} {os.fspath(text)}: the link leads to nothing ({link}); name the file "
                              "itself")
    raise OutputError(f"{option} {text}: too many links on the way to the file")


def _stream(text: str, hops: int = 40) -> Optional[int]:
    """The file descriptor a path names as a stream of this process
    (/dev/stdout, /dev/fd/N, /proc/self/fd/N, or a link to one), else None."""
    for _ in range(hops):
        match = _STREAM.match(text)
        if match:
            name, fd, proc_fd = match.groups()
            return {"stdout": 1, "stderr": 2}[name] if name else int(fd or proc_fd)
        if not os.path.islink(text):
            return None
        try:
            link = os.readlink(text)
        except OSError:
            return None
        text = os.path.normpath(os.path.join(os.path.dirname(text), link))
    return None


def check(outputs: Iterable[Tuple[str, Optional[str]]], inputs: Sequence = (), plots: Sequence[str] = (),
          plot_formats: Sequence[str] = (".png", ".pdf", ".svg")) -> Dict[str, Target]:
    """Before any work: the target of every (option, path) given; no two
    outputs on one file or on standard output, none on an input, a plot's
    extension one it is drawn in, a plot never to a stream."""
    found: Dict[str, Target] = {}
    seen: Dict[object, str] = {}
    identities = {_identity(p): str(p) for p in inputs}
    for option, path in outputs:
        if path is None:
            continue
        where = target(path, option)
        suffix = pathlib.Path(str(path)).suffix.lower()
        if option in plots:
            if where.kind == "stream":
                raise OutputError(f"{option} {path}: a plot is written to a file (its extension names the format)")
            if suffix not in plot_formats and where.kind == "file":
                raise OutputError(f"{option} {path}: the plot is written as {', '.join(plot_formats)}, "
                                  f"not {suffix or 'a file without an extension'}")
        elif suffix in plot_formats and where.kind == "file":
            raise OutputError(f"{option} {path}: that is the name of a plot, not of {option.lstrip('-')} output")
        key = ("fd", where.fd) if where.kind == "stream" else _identity(where.path)
        if key in identities:
            raise OutputError(f"{option} {path} would replace the input file {identities[key]}")
        if key in seen:
            raise OutputError(f"{option} and {seen[key]} both name {path}")
        seen[key] = option
        found[option] = where
    return found


def _identity(path):
    path = pathlib.Path(path)
    try:
        return os.path.normcase(str(path.resolve()))
    except (OSError, RuntimeError):  # RuntimeError: a symlink loop, before Python 3.13
        return os.path.normcase(os.path.abspath(str(path)))


def write(where: Union[Target, str], data: Union[str, bytes], option: str = "output") -> None:
    """Write text (UTF-8) or bytes to a target (see the module's rules);
    OSError from the system as it comes, after the old file is left whole."""
    if not isinstance(where, Target):
        where = target(where, option)
    payload = data.encode("utf-8") if isinstance(data, str) else bytes(data)
    if where.kind == "stream":
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, ValueError, OSError):
                pass  # a stream that is closed or gone has nothing waiting
        _write_all(where.fd, payload, where.shown)
    elif where.kind == "device":
        assert where.path is not None  # a device is named by its path
        try:
            fd = os.open(where.path, os.O_WRONLY | getattr(os, "O_NOCTTY", 0))
        except OSError as error:
            error.filename = where.shown
            raise
        try:
            _write_all(fd, payload, where.shown)
        finally:
            os.close(fd)
    else:
        _replace(where.path, payload)


def _write_all(fd, payload, shown):
    view = memoryview(payload)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError as error:
        error.filename = shown
        raise


def _replace(path, payload):
    """payload into a temporary file in path's folder, flushed to disk, then
    os.replace: a kill or a full disk leaves the old file whole."""
    path = pathlib.Path(path)
    _remove_stale(path)
    temporary, fd = _new_temporary(path)
    try:
        try:
            _write_all(fd, payload, str(path))
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError) and error.errno in (errno.ENOSPC, errno.EDQUOT) and not error.filename:
            error.filename = str(path)
        raise


def _new_temporary(path: pathlib.Path):
    """(path, open descriptor) of a temporary file beside `path` made anew:
    never one already there, never through a link (another user's, in a
    shared folder, would otherwise have its target truncated)."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_BINARY", 0)
    for attempt in range(100):
        temporary = path.with_name(f".{path.name}.{os.getpid()}{'' if attempt == 0 else f'-{attempt}'}.tmp")
        try:
            return temporary, os.open(temporary, flags, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no free name for a temporary file", str(path.parent))


def _remove_stale(path: pathlib.Path):
    """Temporary files a killed writer of this output left behind (`.NAME.PID.tmp`
    of a process that no longer runs)."""
    try:
        leftovers = list(path.parent.glob(f".{_glob_escape(path.name)}.*.tmp"))
    except OSError:
        return
    for leftover in leftovers:
        pid = leftover.name[len(path.name) + 2:-4].split("-")[0]
        if not pid.isdigit() or int(pid) == os.getpid() or _running(int(pid)):
            continue
        try:
            leftover.unlink()
        except OSError:
            pass


def _glob_escape(name: str) -> str:
    return re.sub(r"([\[\]*?])", r"[\1]", name)


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError, OSError):
        return True  # another user's process, or one we cannot ask about: leave its file alone
    return True
