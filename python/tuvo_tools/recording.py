"""The recording format: a folder with manifest.json and one folder of standard files per frame.

See docs/recording.md. Frames are written to a temporary folder and renamed into place, then the
manifest is replaced atomically, so an interrupted recording keeps every finished frame readable
and its manifest valid.
"""
import contextlib
import datetime
import errno
import io
import json
import os
import shutil
import signal
import stat
import threading
import zlib
from typing import Any, Dict, Optional, TypedDict, Union

import numpy as np
import png  # type: ignore[import-untyped]  # pypng carries no types
from numpy.typing import NDArray

from . import manifest as rules
from . import ply, reading
from .reading import RecordingError
from .recording_rules import CAMERAS, HEADER_ROOM, LIMITS, NEWEST_VERSION, RULES

FORMAT = "tuvo-recording"
VERSION = NEWEST_VERSION  # written with compressed frames; without, version 1
MANIFEST = "manifest.json"
STREAMS = tuple(RULES["streams"])
CAMERA_NAMES = tuple(CAMERAS)
COMPRESSION = "shuffle-zlib"
_MAX_MANIFEST_BYTES = LIMITS["manifest_bytes"]
# zlib's level for the shuffled numbers: 1 compresses them nearly as well as 9, several times faster.
_LEVEL = 1
# The folder a recorder claims (made with O_EXCL) before it writes anything, and keeps.
LOCK = ".recording"


class FrameArrays(TypedDict):
    """One frame as read_frame gives it: copies, in the SDK's layout; None for what it lacks."""
    images: Dict[str, NDArray[np.uint8]]  # per camera: (rows, cols) grey or (rows, cols, 3)
    points: NDArray[np.float64]  # (rows, cols, 3) millimetres, NaN where invalid
    normals: Optional[NDArray[np.float64]]  # (rows, cols, 3)
    depth: Optional[NDArray[np.float64]]  # (rows, cols)
    confidence: Optional[NDArray[np.float64]]  # (rows, cols)
    correspond: Optional[NDArray[np.float64]]  # (rows, cols, 2), X2 only


def _fsync_dir(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def _ctrl_c_deferred():
    """Ctrl-C in the main thread, and SIGTERM where a handler of the program takes it (as `tuvo
    record`'s does), waits until the block is done, then goes to its handler as usual: a frame's
    commit (its folder renamed into place, then the manifest replaced) is never cut in two."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # SIG_DFL and SIG_IGN are not callable: a signal the program does not handle is left alone.
    handlers = {s: h for s in (signal.SIGINT, signal.SIGTERM) for h in [signal.getsignal(s)] if callable(h)}
    caught = []
    for signum in handlers:
        signal.signal(signum, lambda signum, frame: caught.append((signum, frame)))
    try:
        yield
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)
        if caught:
            handlers[caught[0][0]](*caught[0])


def _write_synced(path, write):
    with open(path, "wb") as f:
        write(f)
        f.flush()
        os.fsync(f.fileno())


def write_png(path, pixels, image_type):
    """An 8-bit PNG: grey for Mono8, RGB for RGB8, and for BGR8 the channels put in RGB order."""
    if image_type == "BGR8":
        pixels = pixels[..., ::-1]
    height, width = pixels.shape[:2]
    grey = pixels.ndim == 2
    rows = np.ascontiguousarray(pixels, dtype=np.uint8).reshape(height, -1)
    writer = png.Writer(width, height, greyscale=grey, bitdepth=8, compression=3)
    _write_synced(path, lambda f: writer.write(f, rows))


def _body(header, body, compressed):
    """A file's bytes: the header, then the numbers as they are or shuffled and deflated."""
    data = np.ascontiguousarray(body).tobytes()
    return header + (zlib.compress(reading.shuffle(data), _LEVEL) if compressed else data)


# Vertices with normals are interleaved this many at a time (768 KiB) on their way to the file.
_VERTICES = 16384


def write_ply(path, points, normals=None, compressed=False):
    """Binary little-endian PLY, one double vertex per pixel in row order, millimetres, NaN where
    invalid; with normals, double nx, ny, nz after x, y, z. `compressed`: the vertices shuffled and
    deflated after the PLY header (a recording's compressed form). The arrays may be views of the
    SDK's memory: plain files are written from them as they are (the normals interleaved a block at
    a time), with no copy of the whole."""
    height, width = points.shape[:2]
    fields = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals is not None else [])
    header = ply.header(True, width * height, [("double", f) for f in fields],
                        ["TUVO recording: millimetres, one vertex per pixel in row order, NaN where invalid",
                         "grid %d %d" % (width, height)]).encode("ascii")
    xyz = np.ascontiguousarray(points, dtype="<f8").reshape(-1, 3)
    nxyz = None if normals is None else np.ascontiguousarray(normals, dtype="<f8").reshape(-1, 3)
    if compressed:
        body = xyz if nxyz is None else np.concatenate([xyz, nxyz], axis=1)
        data = _body(header, body, True)
        _write_synced(path, lambda f: f.write(data))
        return

    def write(f):
        f.write(header)
        if nxyz is None:
            f.write(xyz.data)
            return
        block = np.empty((min(_VERTICES, len(xyz)), 6))
        for start in range(0, len(xyz), _VERTICES):
            n = min(_VERTICES, len(xyz) - start)
            block[:n, :3] = xyz[start:start + n]
            block[:n, 3:] = nxyz[start:start + n]
            f.write(block[:n].data)

    _write_synced(path, write)


def write_npy(path, array, compressed=False):
    """float64, C order: the SDK's maps exactly as they are in memory (written from `array` itself
    when it is such, a view of the SDK's memory too). `compressed`: the numbers shuffled and
    deflated after the .npy header."""
    data = np.ascontiguousarray(array, dtype="<f8")
    if not compressed:
        _write_synced(path, lambda f: np.save(f, data, allow_pickle=False))
        return
    head = io.BytesIO()
    np.lib.format.write_array_header_1_0(head, np.lib.format.header_data_from_array_1_0(data))
    out = _body(head.getvalue(), data, True)
    _write_synced(path, lambda f: f.write(out))


def _now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


class RecordingWriter:
    """Writes a new recording folder: a device, the calibration of its cameras, and streams of frames.
    `compress` writes the numbers of each frame shuffled and deflated (format version 2); without it
    (the default), plain PLY and .npy files (version 1)."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], device: Dict[str, Any], sdk_version: str, recorder: str,
                 compress: bool = False):
        if "\0" in os.fsdecode(path):
            raise RecordingError("%r: a folder's name cannot hold a NUL character" % path)
        self.path = os.path.abspath(path)
        self.compress = bool(compress)
        if os.path.lexists(self.path) and (not os.path.isdir(self.path) or os.listdir(self.path)):
            raise RecordingError("%s: already exists and is not an empty folder" % path)
        os.makedirs(self.path, exist_ok=True)
        # Two recorders may both have found the folder empty: the one that makes the lock file owns it.
        try:
            os.close(os.open(os.path.join(self.path, LOCK), os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644))
        except FileExistsError:
            raise RecordingError("%s: another recorder is writing into this folder" % path) from None
        except OSError as e:
            raise RecordingError("%s: cannot write into it: %s" % (path, e.strerror or e)) from e
        self.manifest: Dict[str, Any] = {
            "format": FORMAT, "version": VERSION if self.compress else 1, "created": _now(), "recorder": recorder,
            "sdk_version": sdk_version, "device": device, "cameras": {}, "streams": {}}
        self._save_manifest()

    def set_camera(self, name, width, height, calibration, colour):
        """Records a camera's resolution and calibration (see sdk.calibration)."""
        entry = {"width": int(width), "height": int(height), "colour": bool(colour)}
        entry.update({k: [float(v) for v in calibration[k]] for k in ("intrinsics", "distortion", "extrinsic")})
        self._set("cameras", name, entry)

    def add_stream(self, name, width, height, options, custom_transform, balance=None):
        if name not in STREAMS:
            raise RecordingError("unknown stream %r" % name)
        if name in self.manifest["streams"]:
            raise RecordingError("stream %s is already recorded" % name)
        stream = {"kind": "x2" if name == "x2" else "x1"}
        if name != "x2":
            stream["camera"] = name[3:]
        stream.update({"width": int(width), "height": int(height), "options": options,
                       "custom_transform": custom_transform, "balance": balance, "frames": []})
        self._set("streams", name, stream)

    def _set(self, section, name, value):
        """Sets manifest[section][name] and saves the manifest; when that fails (a value that is no
        finite number, a full disk) the manifest stays as it was, in memory as on disk."""
        table = self.manifest[section]
        had, old = name in table, table.get(name)
        table[name] = value
        try:
            self._replace_manifest()
        except BaseException:
            if had:
                table[name] = old
            else:
                del table[name]
            raise
        _fsync_dir(self.path)

    def frames(self, name):
        return len(self.manifest["streams"][name]["frames"])

    def add_frame(self, name, images, points, normals=None, depth=None, confidence=None, correspond=None):
        """Writes one frame of stream `name`: images {camera: (pixels, "Mono8" | "RGB8" | "BGR8")},
        the point map (rows, cols, 3), optional normals of the same shape, depth and confidence
        (rows, cols) and correspondences (rows, cols, 2). Returns the frame's index."""
        stream = self.manifest["streams"][name]
        self._check_frame(name, stream, images, points, normals, depth, confidence, correspond)
        index = len(stream["frames"])
        rel = "%s/%06d" % (name, index)
        final = os.path.join(self.path, rel)
        tmp = os.path.join(self.path, name, ".partial-%06d" % index)
        os.makedirs(os.path.join(self.path, name), exist_ok=True)
        if os.path.lexists(tmp):
            shutil.rmtree(tmp)
        entry = {"dir": rel, "time": _now(), "images": {}}
        if self.compress:
            entry["compression"] = COMPRESSION
        suffix = ".bsz" if self.compress else ""
        current = None  # the file being written
        try:
            os.makedirs(tmp)
            for camera, (pixels, image_type) in images.items():
                current = camera + ".png"
                write_png(os.path.join(tmp, current), pixels, image_type)
                entry["images"][camera] = {"file": current, "type": image_type}
            current = "points.ply" + suffix
            write_ply(os.path.join(tmp, current), points, normals, self.compress)
            entry["points"] = {"file": current, "normals": normals is not None}
            for key, array in (("depth", depth), ("confidence", confidence), ("correspond", correspond)):
                if array is not None:
                    current = key + ".npy" + suffix
                    write_npy(os.path.join(tmp, current), array, self.compress)
                    entry[key] = current
            current = None
            _fsync_dir(tmp)
        except BaseException as e:
            shutil.rmtree(tmp, ignore_errors=True)
            if isinstance(e, OSError):
                raise RecordingError("%s: cannot write %s: %s" % (self.path, rel + "/" + (current or ""),
                                                                  e.strerror or e)) from e
            raise
        # The commit: the frame's folder into place, then the manifest that lists it. Either both
        # happen or (a failure on the way) neither, so the recording can go on.
        with _ctrl_c_deferred():
            stream["frames"].append(entry)
            step, listed = rel, False
            try:
                os.rename(tmp, final)
                step = MANIFEST
                _fsync_dir(os.path.dirname(final))
                self._replace_manifest()
                listed = True
                _fsync_dir(self.path)
            except BaseException as e:
                if not listed:
                    stream["frames"].pop()
                    shutil.rmtree(tmp if step == rel else final, ignore_errors=True)
                    if isinstance(e, OSError):
                        raise RecordingError("%s: cannot write %s: %s" % (self.path, step, e.strerror or e)) from e
                raise
        return index

    def _check_frame(self, name, stream, images, points, normals, depth, confidence, correspond):
        """Refuses arrays that would make the frame unplayable: every map of the stream's size, every
        image of its camera's size and kind."""
        rows, cols = stream["height"], stream["width"]
        for key, array, shape in (("points", points, (rows, cols, 3)), ("normals", normals, (rows, cols, 3)),
                                  ("depth", depth, (rows, cols)), ("confidence", confidence, (rows, cols)),
                                  ("correspond", correspond, (rows, cols, 2))):
            if array is not None and tuple(np.shape(array)) != shape:
                raise RecordingError("%s: the %s of a frame of %s are %s, not %s as the stream's %d x %d" % (
                    self.path, key, name, tuple(np.shape(array)), shape, cols, rows))
        for camera, (pixels, image_type) in images.items():
            entry = self.manifest["cameras"].get(camera)
            if entry is None:
                raise RecordingError("%s: the %s camera's calibration is not recorded" % (self.path, camera))
            shape = (entry["height"], entry["width"]) + (() if image_type == "Mono8" else (3,))
            if image_type not in ("Mono8", "RGB8", "BGR8") or tuple(np.shape(pixels)) != shape:
                raise RecordingError("%s: the %s image of a frame of %s is %s %s, not %s as the camera's" % (
                    self.path, camera, name, image_type, tuple(np.shape(pixels)), shape))

    def _save_manifest(self):
        self._replace_manifest()
        _fsync_dir(self.path)

    def _replace_manifest(self):
        """Writes the manifest beside, synced, then renames it over the old one."""
        target = os.path.join(self.path, MANIFEST)
        tmp = target + ".partial"
        try:
            text = json.dumps(self.manifest, indent=1, allow_nan=False)
        except ValueError as e:
            raise RecordingError("%s: a value is not a finite number (%s)" % (target, e))
        try:
            _write_synced(tmp, lambda f: f.write(text.encode("utf-8")))
            os.replace(tmp, target)
        except BaseException:
            if os.path.lexists(tmp):
                os.remove(tmp)
            raise


def read_manifest(path: Union[str, "os.PathLike[str]"]) -> Dict[str, Any]:
    """The manifest of the recording in folder `path`, checked by the rules playback follows
    (recording_rules.json): a RecordingError names the file, where in it and what is wrong."""
    name = os.path.join(path, MANIFEST)
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        why = {errno.ELOOP: "is a symbolic link", errno.ENOENT: "is missing", errno.ENOTDIR: "is not a folder"}
        raise RecordingError("%s: %s" % (name, why.get(e.errno or 0, e.strerror or str(e))))
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise RecordingError("%s: is not a regular file" % name)
        if st.st_size > _MAX_MANIFEST_BYTES:
            raise RecordingError("%s: is larger than %d bytes" % (name, _MAX_MANIFEST_BYTES))
        data = f.read(_MAX_MANIFEST_BYTES + 1)
    return rules.parse(data, name)


def read_frame(path: Union[str, "os.PathLike[str]"], manifest: Dict[str, Any], stream: str,
               index: int) -> FrameArrays:
    """One frame as numpy arrays: {"images": {camera: array}, "points", "normals", "depth",
    "confidence", "correspond"} (None for what the frame lacks). For tools and checks; playback
    devices read the files themselves. Hostile recordings are refused as the playback devices
    refuse them: names outside the recording, links, special files, sizes the manifest does not
    announce and files that inflate to more raise RecordingError naming the file."""
    path = os.fspath(path)
    where = "%s: stream %s, frame %s" % (os.path.join(path, MANIFEST), stream, index)
    try:
        s = manifest["streams"][stream]
        if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < len(s["frames"]):
            raise IndexError(index)
    except (KeyError, IndexError, TypeError, AttributeError) as e:
        raise RecordingError("%s: is not described in the manifest (%r)" % (where, e))
    try:  # the parts of the manifest this frame depends on, by the rules read_manifest applies to all
        rules.check_record(manifest, "manifest", "version")
        rules.check_record(manifest, "manifest", "manifest")
        for camera in sorted(manifest["cameras"]):
            if camera in CAMERAS:
                rules.check_camera(manifest["cameras"][camera], "cameras." + camera)
        rules.check_stream(manifest, stream, frames=True, only=index)
    except rules.Fault as e:
        raise RecordingError("%s: %s" % (os.path.join(path, MANIFEST), e))
    if stream not in STREAMS:
        raise RecordingError("%s: is not described in the manifest (%r)" % (where, stream))
    frame = s["frames"][index]
    height, width = s["height"], s["width"]
    folder, images, points = frame["dir"], frame.get("images") or {}, frame["points"]
    ply, normals, compressed = points["file"], points["normals"], frame.get("compression") is not None
    count = width * height
    out: FrameArrays = {"images": {}, "points": np.empty((0, 0, 3)), "normals": None, "depth": None,
                        "confidence": None, "correspond": None}
    for camera, image in sorted(images.items()):
        w, h = manifest["cameras"][camera]["width"], manifest["cameras"][camera]["height"]
        kind = image["type"]
        rel = folder + "/" + image["file"]
        raw = w * h * (1 if kind == "Mono8" else 3)
        out["images"][camera] = reading.parse_png(os.path.join(path, rel), reading.read_in(path, rel, 2 * raw + (1 << 20)),
                                                  w, h, kind)
    rel = folder + "/" + ply
    body = count * (48 if normals else 24)
    xyz, nxyz = reading.parse_ply(os.path.join(path, rel), reading.read_in(
        path, rel, _file_bound(body, compressed)), count, normals, compressed)
    out["points"] = xyz.reshape(height, width, 3)
    out["normals"] = nxyz.reshape(height, width, 3) if nxyz is not None else None
    maps = {}
    for key, shape in (("depth", (height, width)), ("confidence", (height, width)), ("correspond", (height, width, 2))):
        if frame.get(key) is not None:
            rel = folder + "/" + frame[key]
            maps[key] = reading.parse_npy(os.path.join(path, rel), reading.read_in(
                path, rel, _file_bound(int(np.prod(shape)) * 8, compressed)), shape, compressed)
    out["depth"], out["confidence"], out["correspond"] = maps.get("depth"), maps.get("confidence"), maps.get("correspond")
    return out


def _file_bound(body: int, compressed: bool) -> int:
    """The most bytes a frame's file of `body` bytes of numbers may hold: its header, and the numbers
    as they are or deflated (zlib's bound)."""
    return HEADER_ROOM + (reading.compress_bound(body) if compressed else body)
