"""Mesh files for the scene tests: a box of known size written in each format the stand-in reads."""
import base64
import json
import struct

import numpy as np


def box(size):
    """Vertices and outward-wound triangles of a box centred on the origin with these edge lengths."""
    hx, hy, hz = np.asarray(size, float) / 2
    v = np.array([[x, y, z] for x in (-hx, hx) for y in (-hy, hy) for z in (-hz, hz)])
    quads = [(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)]
    f = np.array([t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))])
    return v, f


def stl(path, v, f):
    rec = np.zeros(len(f), dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
    rec["v"] = v[f]
    path.write_bytes(b"\0" * 80 + struct.pack("<I", len(f)) + rec.tobytes())


def stl_ascii(path, v, f):
    facets = "".join("facet normal 0 0 0\nouter loop\n%sendloop\nendfacet\n"
                     % "".join("vertex %.9g %.9g %.9g\n" % tuple(v[i]) for i in t) for t in f)
    path.write_text("solid part\n" + facets + "endsolid part\n")


def obj(path, v, f):
    path.write_text("".join("v %.9g %.9g %.9g\n" % tuple(p) for p in v) +
                    "".join("f %d %d %d\n" % tuple(t + 1) for t in f))


def ply(path, v, f):
    head = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
            "property float z\nelement face %d\nproperty list uchar int vertex_indices\nend_header\n" % (len(v), len(f)))
    faces = np.zeros(len(f), dtype=[("n", "u1"), ("i", "<i4", 3)])
    faces["n"] = 3
    faces["i"] = f
    path.write_bytes(head.encode() + v.astype("<f4").tobytes() + faces.tobytes())


def _gltf(v, f, uri):
    pos, idx = v.astype("<f4").tobytes(), f.astype("<u4").tobytes()
    doc = {"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
           "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
           "buffers": [{"byteLength": len(pos) + len(idx)}],
           "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": len(pos)},
                           {"buffer": 0, "byteOffset": len(pos), "byteLength": len(idx)}],
           "accessors": [{"bufferView": 0, "componentType": 5126, "count": len(v), "type": "VEC3",
                          "min": v.min(0).tolist(), "max": v.max(0).tolist()},
                         {"bufferView": 1, "componentType": 5125, "count": f.size, "type": "SCALAR"}]}
    if uri is not None:
        doc["buffers"][0]["uri"] = uri(pos + idx)
    return doc, pos + idx


def gltf(path, v, f):
    """glTF with its buffer in a .bin file beside it."""
    def bin_file(data):
        path.with_suffix(".bin").write_bytes(data)
        return path.with_suffix(".bin").name
    path.write_text(json.dumps(_gltf(v, f, bin_file)[0]))


def gltf_embedded(path, v, f):
    """glTF with its buffer inside, as a data URI."""
    def data_uri(data):
        return "data:application/octet-stream;base64," + base64.b64encode(data).decode()
    path.write_text(json.dumps(_gltf(v, f, data_uri)[0]))


def glb(path, v, f):
    doc, data = _gltf(v, f, None)
    text = json.dumps(doc).encode()
    text += b" " * (-len(text) % 4)
    data += b"\0" * (-len(data) % 4)
    chunks = struct.pack("<II", len(text), 0x4E4F534A) + text + struct.pack("<II", len(data), 0x004E4942) + data
    path.write_bytes(struct.pack("<III", 0x46546C67, 2, 12 + len(chunks)) + chunks)


WRITERS = {"stl": (stl, ".stl"), "stl-ascii": (stl_ascii, ".stl"), "obj": (obj, ".obj"), "ply": (ply, ".ply"),
           "gltf": (gltf, ".gltf"), "gltf-embedded": (gltf_embedded, ".gltf"), "glb": (glb, ".glb")}


def write(folder, kind, v, f, name="part"):
    """Writes the mesh in format `kind` into `folder`; returns the file's path."""
    writer, ext = WRITERS[kind]
    path = folder / (name + ext)
    writer(path, v, f)
    return path
