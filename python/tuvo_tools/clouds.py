"""Point clouds with normals, written as the SDK writes point maps (whose files hold no normals).

The layout is the SDK's (see PointMap.Save): one vertex per pixel, row by row, NaN where nothing
was measured, the grid and unit in comments; PLY with doubles, PCD 0.7 organised with 4-byte
floats and the colour packed in `rgb`. The normals follow the SDK's fields: `nx ny nz` (PLY, doubles)
or `normal_x normal_y normal_z` (PCD, floats), NaN where the SDK has none. The file is written
as the SDK writes its own: under a temporary name beside it and renamed into place, so that a
failed write leaves an existing file whole; a FIFO or device (`/dev/stdout`), or a file with other
hard links, is written where it is."""
import errno
import fcntl
import os
import stat
import sys

import numpy as np

from tuvo_convert import image_rgb

from . import ply


class CloudError(OSError):
    """A file name the SDK would refuse too (an unknown extension)."""


def cloud_format(path):
    """"pcd" or "ply" by the file name's extension, as the SDK chooses (case does not matter, no
    extension is PLY); CloudError for another extension."""
    base = os.path.basename(os.fsdecode(path))
    stem, dot, ext = base.rpartition(".")
    if not dot or not stem:
        return "ply"
    if ext.lower() in ("ply", "pcd"):
        return ext.lower()
    raise CloudError("%s: unknown file extension '.%s' (known: .ply, .pcd)" % (os.fsdecode(path), ext))


def save_cloud(path, point_map, image, normals, metres=False, binary=True):
    """Writes `point_map` (a PointMap or a (rows, cols, 3) array in millimetres) with the colours of
    `image` (an Image or array, or None) and `normals` (a NormalData or array of the same shape, or
    None) to `path` (PLY or PCD by its extension)."""
    kind = cloud_format(path)
    points = np.asarray(point_map, dtype=np.float64)
    if points.ndim != 3 or points.shape[2] != 3:
        raise ValueError("points must have the shape (rows, cols, 3), not %s" % (points.shape,))
    rows, cols = points.shape[:2]
    n = rows * cols
    points = points.reshape(n, 3) * (0.001 if metres else 1.0)
    colours = None if image is None else image_rgb(image).reshape(-1, 3)
    if colours is not None and len(colours) != n:
        raise ValueError("the image does not have the point map's size")
    nrm = None if normals is None else np.asarray(normals, dtype=np.float64).reshape(-1, 3)
    if nrm is not None and len(nrm) != n:
        raise ValueError("the normals do not have the point map's size")
    header = (_pcd_header if kind == "pcd" else _ply_header)(cols, rows, "m" if metres else "mm", binary,
                                                               colours is not None, nrm is not None)
    fields, formats = _fields(kind, colours is not None, nrm is not None)
    table = np.empty(n, dtype=np.dtype({"names": [f for f, _ in fields], "formats": [t for _, t in fields]}))
    coordinate = "<f4" if kind == "pcd" else "<f8"
    for i, axis in enumerate("xyz"):
        table[axis] = points[:, i].astype(coordinate)
    if colours is not None:
        if kind == "pcd":
            c = colours.astype(np.uint32)
            table["rgb"] = (c[:, 0] << 16) | (c[:, 1] << 8) | c[:, 2]
        else:
            for i, name in enumerate(("red", "green", "blue")):
                table[name] = colours[:, i]
    if nrm is not None:
        for i, (name, _) in enumerate(fields[-3:]):
            table[name] = nrm[:, i]
    if binary:
        body = table.tobytes()
    else:
        lines = ["%s\n" % " ".join(formats[j] % row[j] for j in range(len(formats))) for row in table.tolist()]
        body = "".join(lines).encode("ascii")
    try:
        _write(path, header.encode("ascii") + body)
    except BrokenPipeError:  # the reader of /dev/stdout went away: the command ends quietly
        raise
    except OSError as e:
        raise OSError("cannot write %s: %s" % (os.fsdecode(path), e.strerror or e)) from e


def _fields(kind, colour, normals):
    """The record's fields (name, numpy type) and the text format of each."""
    if kind == "pcd":
        fields = [("x", "<f4"), ("y", "<f4"), ("z", "<f4")] + ([("rgb", "<u4")] if colour else [])
        fields += [("normal_x", "<f4"), ("normal_y", "<f4"), ("normal_z", "<f4")] if normals else []
        formats = ["%.9g" if t == "<f4" else "%d" for _, t in fields]
    else:
        fields = [("x", "<f8"), ("y", "<f8"), ("z", "<f8")]
        fields += [("red", "u1"), ("green", "u1"), ("blue", "u1")] if colour else []
        fields += [("nx", "<f8"), ("ny", "<f8"), ("nz", "<f8")] if normals else []
        formats = ["%.9g" if t == "<f8" else "%d" for _, t in fields]
    return fields, formats


def _ply_header(width, height, unit, binary, colour, normals):
    properties = [("double", "x"), ("double", "y"), ("double", "z")]
    properties += [("uchar", "red"), ("uchar", "green"), ("uchar", "blue")] if colour else []
    properties += [("double", "nx"), ("double", "ny"), ("double", "nz")] if normals else []
    return ply.header(binary, width * height, properties, ["written by tuvo", "grid %d %d" % (width, height),
                                                           "unit %s" % unit])


def _pcd_header(width, height, unit, binary, colour, normals):
    names = ["x", "y", "z"] + (["rgb"] if colour else []) + (["normal_x", "normal_y", "normal_z"] if normals else [])
    types = ["F", "F", "F"] + (["U"] if colour else []) + (["F"] * 3 if normals else [])
    h = "# .PCD v0.7 - Point Cloud Data file format\n# written by tuvo\n# unit %s\nVERSION 0.7\n" % unit
    h += "FIELDS %s\nSIZE %s\nTYPE %s\nCOUNT %s\n" % (" ".join(names), " ".join("4" * len(names)), " ".join(types),
                                                     " ".join("1" * len(names)))
    h += "WIDTH %d\nHEIGHT %d\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %d\nDATA %s\n" % (
        width, height, width * height, "binary" if binary else "ascii")
    return h


def _write(path, data):
    """`data` into `path` as the SDK saves its files (see PointMap.Save): through a temporary file
    renamed into place, symbolic links followed, the old file's mode and (where allowed) owner
    kept; a read-only file refused; a file with other hard links rewritten where it is, its old
    bytes put back when the write fails; a FIFO or character device written as it is, a FIFO
    without a reader refused rather than waited on; this process's own output (`/dev/stdout`,
    `/dev/fd/N`) written where it stands."""
    own = _own_descriptor(path)
    if own is not None:
        sys.stdout.flush()
        sys.stderr.flush()
        return _write_at(own, data, None)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        st = None
    if st is not None and not stat.S_ISREG(st.st_mode):
        return _write_special(path, data, st)
    if st is not None and (st.st_mode & 0o222 == 0 or not os.access(path, os.W_OK)):
        raise PermissionError(errno.EACCES, "is read-only")
    if st is not None and st.st_nlink > 1:
        return _rewrite(path, data)
    path = os.path.realpath(path)  # a symbolic link keeps naming the file (a dangling one: the file is made)
    folder = os.path.dirname(path)
    # Short and of fixed length, so that any name the folder takes can be saved.
    tmp = os.path.join(folder, ".tuvo-%d-%s.tmp" % (os.getpid(), os.urandom(4).hex()))
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        with os.fdopen(fd, "wb") as f:
            if st is not None:
                try:
                    os.fchown(f.fileno(), st.st_uid, st.st_gid)
                except OSError:  # not allowed: the file becomes ours
                    pass
                os.fchmod(f.fileno(), stat.S_IMODE(st.st_mode))
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _own_descriptor(path):
    """N where `path` leads through symbolic links to /proc/self/fd/N and N is open for writing
    here, else None."""
    proc = "/proc/%d/fd" % os.getpid()
    for _ in range(40):  # as many links as the system follows
        parent = os.path.realpath(os.path.dirname(os.path.abspath(path)))
        name = os.path.basename(path)
        if parent == proc and name.isdigit():
            try:
                return int(name) if fcntl.fcntl(int(name), fcntl.F_GETFL) & os.O_ACCMODE != os.O_RDONLY else None
            except OSError:  # not open
                return None
        if not os.path.islink(os.path.join(parent, name)):
            return None
        path = os.path.join(parent, os.readlink(os.path.join(parent, name)))
    return None


def _write_special(path, data, st):
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a folder")
    if not (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode)):
        raise OSError(errno.EINVAL, "is a block device or socket, not a file")
    try:
        fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as e:
        if e.errno == errno.ENXIO and stat.S_ISFIFO(st.st_mode):
            raise OSError(errno.ENXIO, "is a FIFO without a reader") from None
        raise
    try:
        os.set_blocking(fd, True)
        _write_at(fd, data, None)
    finally:
        os.close(fd)


def _rewrite(path, data):
    """Rewrites a regular file where it is. The room is taken first, so that a full disk fails
    before the old bytes are touched; the old bytes the new ones cover are kept and put back when
    the write fails even so (a file size limit, Ctrl-C)."""
    fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    try:
        size = os.fstat(fd).st_size
        try:
            os.posix_fallocate(fd, 0, len(data))
        except OSError as e:
            if e.errno not in (errno.EOPNOTSUPP, errno.EINVAL):
                os.ftruncate(fd, size)
                raise
        old = os.pread(fd, min(size, len(data)), 0)
        if len(old) < min(size, len(data)):
            raise OSError(errno.EIO, "the file shrank while it was read")
        try:
            _write_at(fd, data, 0)
            os.fsync(fd)
        except BaseException:
            try:
                _write_at(fd, old, 0)
                os.ftruncate(fd, size)
            except OSError:  # back as far as it can be
                pass
            raise
        os.ftruncate(fd, len(data))  # the old tail goes once the new bytes are safely written
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_at(fd, data, offset):
    """All of `data` at `offset` (None: where the file stands)."""
    view = memoryview(data)
    while view:
        done = os.write(fd, view) if offset is None else os.pwrite(fd, view, offset)
        view = view[done:]
        offset = None if offset is None else offset + done
