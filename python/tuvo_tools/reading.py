"""Reading a recording's frame files safely: names that stay inside the recording, regular files
only (no symbolic links, FIFOs or devices), every size checked against the manifest before
anything is allocated, and each fault a RecordingError naming the file and the reason."""
import errno
import os
import re
import stat
import zlib
from typing import NoReturn, Optional, Tuple

import numpy as np
import png  # type: ignore[import-untyped]  # pypng carries no types

from . import ply
from .recording_rules import HEADER_BYTES

_NAME = re.compile(r"[A-Za-z0-9._-]+\Z")


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


def compress_bound(size):
    """The most bytes zlib can make of `size` bytes (zlib's compressBound)."""
    return size + (size >> 12) + (size >> 14) + (size >> 25) + 13


def inflate_exactly(name, data, size, what):
    """The zlib stream `data` inflated, which must give exactly `size` bytes and end there; more is
    refused after `size` + 1 bytes, so a small file cannot make a large allocation."""
    d = zlib.decompressobj()
    try:
        out = d.decompress(data, size + 1)
        if len(out) == size and not d.eof:  # what is left may be only the stream's end
            out += d.decompress(d.unconsumed_tail, 1)
    except zlib.error as e:
        raise RecordingError("%s: %s are not a readable zlib stream (%s)" % (name, what, e))
    if len(out) > size:
        raise RecordingError("%s: %s inflate to more than the %d bytes the header announces" % (name, what, size))
    if len(out) < size or not d.eof:
        raise RecordingError("%s: %s inflate to less than the %d bytes the header announces" % (name, what, size))
    if d.unused_data:
        raise RecordingError("%s: %s hold bytes after their zlib stream" % (name, what))
    return out


def png_header(name, data):
    """What the PNG's header (its IHDR chunk) announces: width, height, bit depth, colour type and
    interlace method."""
    if len(data) < 33 or data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise RecordingError("%s: not a PNG file" % name)
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big"), data[24], data[25], data[28]


def check_png_data(name, data, width, height, channels):
    """Walks the PNG's chunks and inflates its image data into nothing, counting: it must be exactly
    the rows of the `width` x `height` 8-bit image its header announces, not interlaced (as the
    recorder writes it), or the PNG is refused before anything is decoded. Every chunk must be whole
    with its CRC, of a type PNG readers know when it is critical, and the last one IEND, so that no
    reader is left to its own leniency."""
    if png_header(name, data)[4] != 0:
        raise RecordingError("%s: the PNG is interlaced, which a recording's images are not" % name)
    d, at, total, limit, extra, ended = zlib.decompressobj(), 8, 0, height * (1 + width * channels), False, False
    in_idat = idat_done = False
    try:
        while at + 12 <= len(data) and total <= limit and not extra:
            length, kind = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8]
            if at + 12 + length > len(data):
                break
            text = kind.decode("latin-1")
            if not (kind.isalpha() and kind.isascii()):
                raise RecordingError("%s: the PNG holds a chunk of a malformed type" % name)
            if zlib.crc32(data[at + 4:at + 8 + length]) != int.from_bytes(data[at + 8 + length:at + 12 + length], "big"):
                raise RecordingError("%s: the PNG's %s chunk is damaged (its CRC does not match)" % (name, text))
            if kind == b"IEND":
                ended = True
                break
            if kind[:1].isupper() and kind not in (b"PLTE", b"IDAT") and (kind != b"IHDR" or at != 8):
                raise RecordingError("%s: the PNG holds a critical chunk %s out of place or unknown to PNG readers" % (
                    name, text))
            idat_done = idat_done or (in_idat and kind != b"IDAT")
            in_idat = kind == b"IDAT"
            if in_idat and idat_done:
                raise RecordingError("%s: the PNG's image data are not in consecutive IDAT chunks" % name)
            if kind == b"IDAT":
                chunk = data[at + 8:at + 8 + length]
                while chunk and not d.eof and total <= limit:
                    total += len(d.decompress(chunk, 1 << 16))
                    chunk = d.unconsumed_tail
                extra = d.eof and bool(chunk or d.unused_data)
            at += 12 + length
    except zlib.error as e:
        raise RecordingError("%s: the PNG's image data are not a readable zlib stream (%s)" % (name, e))
    if total > limit or extra:
        raise RecordingError("%s: the PNG holds more image data than its header announces" % name)
    if total < limit or not d.eof:
        raise RecordingError("%s: the PNG's image data end before the image its header announces" % name)
    if not ended:
        raise RecordingError("%s: the PNG ends without its IEND chunk" % name)


def parse_png(name, data, width, height, image_type):
    """An 8-bit PNG of `width` x `height`: grey for Mono8, RGB for RGB8 and BGR8 (whose channels
    are put back in blue, green, red order). Its header, and what its image data inflate to, are
    checked before anything is decoded, as playback checks them."""
    grey = image_type == "Mono8"
    found_width, found_height, depth, colour, _ = png_header(name, data)
    if (found_width, found_height) != (width, height):
        raise RecordingError("%s: the image is %d x %d, not the camera's %d x %d" % (
            name, found_width, found_height, width, height))
    if depth != 8 or colour != (0 if grey else 2):
        raise RecordingError("%s: a %s image must be an 8-bit %s PNG" % (name, image_type, "grey" if grey else "RGB"))
    check_png_data(name, data, width, height, 1 if grey else 3)
    try:
        _, _, rows, _ = png.Reader(bytes=data).read()
        pixels = np.array([np.frombuffer(bytes(row), np.uint8) for row in rows], dtype=np.uint8)
    except png.Error as e:
        raise RecordingError("%s: not a readable PNG (%s)" % (name, e))
    if pixels.shape != (height, width * (1 if grey else 3)):
        raise RecordingError("%s: the PNG does not decode to the image its header announces" % name)
    pixels = pixels.reshape((height, width) if grey else (height, width, 3))
    return np.ascontiguousarray(pixels[..., ::-1]) if image_type == "BGR8" else pixels


def shuffle(body):
    """The bytes of 8-byte numbers regrouped by their place in the number: all first bytes, then all
    second bytes, ... (exponents and signs together, which compresses them well)."""
    return np.frombuffer(body, np.uint8).reshape(-1, 8).T.tobytes()


def unshuffle(planes, dtype="<f8"):
    """shuffle undone: the numbers as an array of `dtype`."""
    return np.frombuffer(planes, np.uint8).reshape(8, -1).T.copy().view(dtype).reshape(-1)


def body_of(name, data, start, size, compressed, what):
    """The `size` bytes of numbers after the header (ending at `start`): as they are, or for a
    compressed file inflated (bounded) and unshuffled."""
    if not compressed:
        if len(data) - start != size:
            raise RecordingError("%s: the %s holds %d bytes of %s, not %d" % (
                name, "PLY file" if what == "vertices" else ".npy file", len(data) - start, what, size))
        return np.frombuffer(data, "<f8", offset=start)
    return unshuffle(inflate_exactly(name, data[start:], size, "the compressed " + what))


def parse_ply(name, data, count, normals, compressed=False):
    """A binary little-endian PLY of `count` vertices of double x, y, z and, with `normals`, nx, ny,
    nz: the points and the normals (None without), each (count, 3). `compressed`: the header is
    followed by the numbers shuffled and deflated (a recording's compressed form)."""
    try:
        head = ply.read_header(data)
    except ply.PlyError as e:
        raise RecordingError("%s: %s" % (name, e))
    want = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals else [])
    if head.format != [b"binary_little_endian", b"1.0"] or head.fields != want:
        raise RecordingError("%s: the PLY vertices must be binary little-endian double %s" % (name, ", ".join(want)))
    if head.vertices != count:
        raise RecordingError("%s: the PLY file holds %s vertices, not %d" % (name, head.vertices, count))
    values = body_of(name, data, head.size, count * 8 * len(want), compressed, "vertices").reshape(count, len(want))
    return np.ascontiguousarray(values[:, :3]), (np.ascontiguousarray(values[:, 3:]) if normals else None)


def _npy_fields(text):
    """numpy's header, a Python dict literal such as {'descr': '<f8', 'fortran_order': False,
    'shape': (1024, 1280), }, read as playback reads it (never evaluated): each key a quoted text,
    each value a quoted text, a parenthesised shape or a word, kept as its text."""
    i, n, fields = 0, len(text), {}

    def skip(i):
        while i < n and text[i] in " \n\t":
            i += 1
        return i

    def quoted(i):  # (the text, the index after it) or None
        if i >= n or text[i] not in "'\"":
            return None
        close = text.find(text[i], i + 1)
        return None if close < 0 else (text[i + 1:close], close + 1)
    i = skip(i)
    if not text.startswith("{", i):
        raise ValueError("the header is not a dict")
    i = skip(i + 1)
    while not text.startswith("}", i):
        key = quoted(i)
        if key is None:
            raise ValueError("a header key is not a quoted text")
        key, i = key
        i = skip(i)
        if not text.startswith(":", i):
            raise ValueError("a header key lacks its value")
        i = skip(i + 1)
        if text.startswith(("'", '"'), i):
            value = quoted(i)
            if value is None:
                raise ValueError("a header text is not closed")
            value, i = value
        elif text.startswith("(", i):
            close = text.find(")", i)
            if close < 0:
                raise ValueError("the shape is not closed")
            value, i = text[i:close + 1], close + 1
        else:
            start = i
            while i < n and text[i].isascii() and text[i].isalpha():
                i += 1
            value = text[start:i]
        if key in fields:
            raise ValueError("the header repeats " + key)
        fields[key] = value
        i = skip(i)
        if text.startswith(",", i):
            i = skip(i + 1)
        elif not text.startswith("}", i):
            raise ValueError("the header is malformed")
    if skip(i + 1) != n:
        raise ValueError("the header holds more than a dict")
    return fields


_SHAPE = re.compile(r"\( *(?:[0-9]{1,10} *(?:, *|(?=\))))*\)\Z")


def _npy_shape(text):
    """"(1024, 1280)" or "(5,)" as numbers, each below 2^31; None when malformed."""
    if not _SHAPE.match(text):
        return None
    dims = tuple(int(d) for d in re.findall(r"[0-9]+", text))
    return dims if all(d < (1 << 31) for d in dims) else None


def parse_npy(name, data, shape, compressed=False):
    """A .npy file of little-endian float64 numbers in C order of exactly `shape`; `compressed`: its
    header followed by the numbers shuffled and deflated. The header is read as playback reads it,
    so that both refuse the same files with the same words."""
    def fail(what) -> NoReturn:
        raise RecordingError("%s: %s" % (name, what))
    if len(data) < 10 or data[:6] != b"\x93NUMPY":
        fail("not a NumPy .npy file")
    if data[6] not in (1, 2, 3):
        fail(".npy format version %d is not supported" % data[6])
    if data[6] != 1 and len(data) < 12:
        fail("the .npy header is truncated")
    start = 10 if data[6] == 1 else 12
    size = int.from_bytes(data[8:start], "little")
    if size > HEADER_BYTES:
        fail("the .npy header is longer than %d bytes" % HEADER_BYTES)
    if len(data) < start + size:
        fail("the .npy header is truncated")
    header = data[start:start + size]
    if b"\0" in header:
        fail("the .npy header holds a NUL character")
    try:
        fields = _npy_fields(header.rstrip(b"\n ").decode("latin-1"))
    except ValueError as e:
        fail("malformed .npy header: %s" % e)
    if sorted(fields) != ["descr", "fortran_order", "shape"]:
        fail("the .npy header must hold descr, fortran_order and shape")
    if fields["descr"] != "<f8":
        fail("the .npy data are %s, not little-endian float64 (<f8)" % fields["descr"])
    if fields["fortran_order"] != "False":
        fail("the .npy data are not in C order")
    found = _npy_shape(fields["shape"])
    if found is None:
        fail("the .npy shape is malformed")
    if found != tuple(shape):
        fail("the .npy shape is (%s), not (%s)" % (", ".join(map(str, found)), ", ".join(map(str, shape))))
    values = body_of(name, data, start + size, int(np.prod(shape)) * 8, compressed, "data")
    return values.reshape(shape).copy() if not compressed else values.reshape(shape)
