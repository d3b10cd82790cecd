"""PLY headers: written for the point clouds and recordings the tools save, and read back as the
playback devices read a recording's points (binary, bounded, nothing unexpected)."""
from typing import List, NamedTuple, Optional, Sequence, Tuple

from .recording_rules import HEADER_BYTES, HEADER_ROOM


def header(binary: bool, vertices: int, properties: Sequence[Tuple[str, str]], comments: Sequence[str] = ()) -> str:
    """The header of `vertices` vertices of `properties` ((type, name) each, in order), with
    `comments` after the format line."""
    lines = ["ply", "format %s 1.0" % ("binary_little_endian" if binary else "ascii")]
    lines += ["comment " + c for c in comments] + ["element vertex %d" % vertices]
    lines += ["property %s %s" % p for p in properties] + ["end_header"]
    return "\n".join(lines) + "\n"


class PlyError(ValueError):
    """A header the reader refuses; the message says why."""


class Header(NamedTuple):
    format: Optional[List[bytes]]  # the format line's words after "format"; None without one
    vertices: Optional[int]  # None without a vertex element
    fields: List[str]  # the vertex's double properties, in order
    size: int  # the header's bytes, end_header's line included: where the vertices start


def read_header(data: bytes) -> Header:
    """The header at the start of `data`: closed within the bound the playback devices allow, one
    vertex element of double properties, comments and obj_info lines, and nothing else."""
    end = data.find(b"\nend_header\n", 0, HEADER_ROOM)
    if not data.startswith(b"ply\n") or end < 0:
        raise PlyError("not a PLY file with a header of at most %d bytes" % HEADER_BYTES)
    fields: List[str] = []
    vertices: Optional[int] = None
    fmt: Optional[List[bytes]] = None
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
            raise PlyError("unexpected PLY header line %r" % line[:60].decode("ascii", "replace"))
    return Header(fmt, vertices, fields, end + len(b"\nend_header\n"))
