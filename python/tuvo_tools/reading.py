"""Reading a recording's frame files safely: names that stay inside the recording, regular files
only (no symbolic links, FIFOs or devices), every size checked against the manifest before
anything is allocated, and each fault a RecordingError naming the file and the reason."""
import errno
import io
import os
import re
import stat

import numpy as np
import png  # type: ignore[import-untyped]  # pypng carries no types

_NAME = re.compile(r"[A-Za-z0-9._-]+\Z")
_HEADER_ROOM = 4096 + 16  # PLY and .npy headers, as the playback devices allow
MAX_PIXELS = 1 << 24


class RecordingError(RuntimeError):
    """A recording that cannot be written or read; the message names the file and the reason."""


def inside(rel, max_parts):
    """Whether `rel` names a place inside a recording: at most `max_parts` components of letters,
    digits, '.', '_' and '-', none of them "." or ".."."""
    if not isinstance(rel, str) or not rel or len(rel) > 255:
        return False
    parts = rel.split("/")
    return len(parts) <= max_parts and all(p not in (".", "..") and _NAME.match(p) for p in parts)


def read_in(root, rel, max_bytes):
    """The bytes of file `rel` of the recording folder `root`: no component may be a symbolic link,
    the file must be a regular file of at most `max_bytes`."""
    name = os.path.join(root, rel)
    if not inside(rel, 3):
        raise RecordingError("%s: not a file name a recording uses" % name)
    fds = []
    try:
        fds.append(os.open(root, os.O_RDONLY | os.O_DIRECTORY))
        parts = rel.split("/")
        for part in parts[:-1]:
            fds.append(os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fds[-1]))
        # O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
        fds.append(os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=fds[-1]))
        st = os.fstat(fds[-1])
        if not stat.S_ISREG(st.st_mode):
            raise RecordingError("%s: is not a regular file" % name)
        if st.st_size > max_bytes:
            raise RecordingError("%s: is larger than %d bytes" % (name, max_bytes))
        data = bytearray()
        while len(data) < st.st_size:
            chunk = os.read(fds[-1], st.st_size - len(data))
            if not chunk:
                raise RecordingError("%s: became shorter while it was read" % name)
            data += chunk
        return bytes(data)
    except OSError as e:
        raise RecordingError("%s: %s" % (name, "is a symbolic link" if e.errno == errno.ELOOP else e.strerror))
    finally:
        for fd in fds:
            os.close(fd)


def parse_png(name, data, width, height, image_type):
    """An 8-bit PNG of `width` x `height`: grey for Mono8, RGB for RGB8 and BGR8 (whose channels
    are put back in blue, green, red order). Its header is checked before anything is decoded."""
    grey = image_type == "Mono8"
    try:
        reader = png.Reader(bytes=data)
        reader.preamble()
        if (reader.width, reader.height) != (width, height):
            raise RecordingError("%s: the image is %d x %d, not the camera's %d x %d" % (
                name, reader.width, reader.height, width, height))
        if reader.bitdepth != 8 or reader.color_type != (0 if grey else 2):
            raise RecordingError("%s: a %s image must be an 8-bit %s PNG" % (name, image_type, "grey" if grey else "RGB"))
        _, _, rows, _ = reader.read()
        pixels = np.array([np.frombuffer(bytes(row), np.uint8) for row in rows], dtype=np.uint8)
    except png.Error as e:
        raise RecordingError("%s: not a readable PNG (%s)" % (name, e))
    if pixels.shape != (height, width * (1 if grey else 3)):
        raise RecordingError("%s: the PNG does not decode to the image its header announces" % name)
    pixels = pixels.reshape((height, width) if grey else (height, width, 3))
    return np.ascontiguousarray(pixels[..., ::-1]) if image_type == "BGR8" else pixels


def parse_ply(name, data, count, normals):
    """A binary little-endian PLY of `count` vertices of double x, y, z and, with `normals`, nx, ny,
    nz: the points and the normals (None without), each (count, 3)."""
    end = data.find(b"\nend_header\n", 0, _HEADER_ROOM)
    if not data.startswith(b"ply\n") or end < 0:
        raise RecordingError("%s: not a PLY file with a header of at most 4096 bytes" % name)
    fields, vertices, fmt = [], None, None
    for line in data[:end].split(b"\n")[1:]:
        words = line.split()
        if not words or words[0] in (b"comment", b"obj_info"):
            continue
        if words[0] == b"format":
            fmt = words[1:]
        elif words[0] == b"element" and len(words) == 3 and words[1] == b"vertex" and vertices is None and \
                words[2].isdigit() and len(words[2]) <= 12:
            vertices = int(words[2])
        elif words[0] == b"property" and len(words) == 3 and vertices is not None and words[1] in (b"double", b"float64"):
            fields.append(words[2].decode("ascii", "replace"))
        else:
            raise RecordingError("%s: unexpected PLY header line %r" % (name, line[:60].decode("ascii", "replace")))
    want = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals else [])
    if fmt != [b"binary_little_endian", b"1.0"] or fields != want:
        raise RecordingError("%s: the PLY vertices must be binary little-endian double %s" % (name, ", ".join(want)))
    if vertices != count:
        raise RecordingError("%s: the PLY file holds %s vertices, not %d" % (name, vertices, count))
    body = len(data) - end - 12
    if body != count * 8 * len(want):
        raise RecordingError("%s: the PLY file holds %d bytes of vertices, not %d" % (name, body, count * 8 * len(want)))
    values = np.frombuffer(data, "<f8", offset=end + 12).reshape(count, len(want))
    return np.ascontiguousarray(values[:, :3]), (np.ascontiguousarray(values[:, 3:]) if normals else None)


def parse_npy(name, data, shape):
    """A .npy file of little-endian float64 numbers in C order of exactly `shape`."""
    f = io.BytesIO(data)
    try:
        version = np.lib.format.read_magic(f)
        if version == (1, 0):
            header = np.lib.format.read_array_header_1_0(f)
        elif version == (2, 0):
            header = np.lib.format.read_array_header_2_0(f)
        else:
            raise RecordingError("%s: .npy format version %d.%d is not supported" % ((name,) + version))
    except ValueError as e:
        raise RecordingError("%s: not a NumPy .npy file (%s)" % (name, e))
    found, fortran, dtype = header
    if dtype != np.dtype("<f8") or fortran:
        raise RecordingError("%s: the .npy data must be little-endian float64 (<f8) in C order" % name)
    if tuple(found) != tuple(shape):
        raise RecordingError("%s: the .npy shape is %s, not %s" % (name, tuple(found), tuple(shape)))
    body = len(data) - f.tell()
    if body != int(np.prod(shape)) * 8:
        raise RecordingError("%s: the .npy file holds %d bytes of data, not %d" % (name, body, int(np.prod(shape)) * 8))
    return np.frombuffer(data, "<f8", offset=f.tell()).reshape(shape).copy()


def dimension(value, what):
    """A width or height from the manifest: an integer from 1 to 65535."""
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= 65535:
        raise RecordingError("%s must be an integer from 1 to 65535" % what)
    return value
