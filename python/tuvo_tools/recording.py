"""The recording format: a folder with manifest.json and one folder of standard files per frame.

See docs/recording.md. Frames are written to a temporary folder and renamed into place, then the
manifest is replaced atomically, so an interrupted recording keeps every finished frame readable
and its manifest valid.
"""
import contextlib
import datetime
import errno
import json
import os
import shutil
import signal
import stat
import threading

import numpy as np
import png  # type: ignore[import-untyped]  # pypng carries no types

from . import reading
from .reading import RecordingError

FORMAT = "tuvo-recording"
VERSION = 1
MANIFEST = "manifest.json"
STREAMS = ("x1-left", "x1-right", "x1-extra", "x2")
CAMERA_NAMES = ("left", "right", "extra")
_MAX_MANIFEST_BYTES = 64 << 20
_MAX_MANIFEST_VALUES = 2000000
_MAX_PIXELS = 1 << 24




def _fsync_dir(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def _ctrl_c_deferred():
    """Ctrl-C in the main thread waits until the block is done, then interrupts as usual: a
    frame's commit (its folder renamed into place, then the manifest replaced) is never cut in two."""
    if threading.current_thread() is not threading.main_thread() or \
            signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        yield
        return
    caught = []
    signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        if caught:
            raise KeyboardInterrupt


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


def write_ply(path, points, normals=None):
    """Binary little-endian PLY, one double vertex per pixel in row order, millimetres, NaN where
    invalid; with normals, double nx, ny, nz after x, y, z."""
    height, width = points.shape[:2]
    fields = ["x", "y", "z"] + (["nx", "ny", "nz"] if normals is not None else [])
    header = ["ply", "format binary_little_endian 1.0",
              "comment TUVO recording: millimetres, one vertex per pixel in row order, NaN where invalid",
              "comment grid %d %d" % (width, height), "element vertex %d" % (width * height)]
    header += ["property double %s" % f for f in fields] + ["end_header"]
    body = points.reshape(-1, 3).astype("<f8", copy=False)
    if normals is not None:
        body = np.concatenate([body, normals.reshape(-1, 3).astype("<f8", copy=False)], axis=1)

    def write(f):
        f.write(("\n".join(header) + "\n").encode("ascii"))
        f.write(np.ascontiguousarray(body).tobytes())
    _write_synced(path, write)


def write_npy(path, array):
    """float64, C order: the SDK's maps exactly as they are in memory."""
    data = np.ascontiguousarray(array, dtype="<f8")
    _write_synced(path, lambda f: np.save(f, data, allow_pickle=False))


def _now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


class RecordingWriter:
    """Writes a new recording folder: a device, the calibration of its cameras, and streams of frames."""

    def __init__(self, path, device, sdk_version, recorder):
        if "\0" in os.fsdecode(path):
            raise RecordingError("%r: a folder's name cannot hold a NUL character" % path)
        self.path = os.path.abspath(path)
        if os.path.lexists(self.path) and (not os.path.isdir(self.path) or os.listdir(self.path)):
            raise RecordingError("%s: already exists and is not an empty folder" % path)
        os.makedirs(self.path, exist_ok=True)
        self.manifest = {"format": FORMAT, "version": VERSION, "created": _now(), "recorder": recorder,
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
        current = None  # the file being written
        try:
            os.makedirs(tmp)
            for camera, (pixels, image_type) in images.items():
                current = camera + ".png"
                write_png(os.path.join(tmp, current), pixels, image_type)
                entry["images"][camera] = {"file": current, "type": image_type}
            current = "points.ply"
            write_ply(os.path.join(tmp, current), points, normals)
            entry["points"] = {"file": current, "normals": normals is not None}
            for key, array in (("depth", depth), ("confidence", confidence), ("correspond", correspond)):
                if array is not None:
                    current = key + ".npy"
                    write_npy(os.path.join(tmp, current), array)
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


def read_manifest(path):
    """The manifest of the recording in folder `path`, with its format and version checked."""
    name = os.path.join(path, MANIFEST)
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        raise RecordingError("%s: %s" % (name, "is a symbolic link" if e.errno == errno.ELOOP else e.strerror))
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            raise RecordingError("%s: is not a regular file" % name)
        if st.st_size > _MAX_MANIFEST_BYTES:
            raise RecordingError("%s: is larger than %d bytes" % (name, _MAX_MANIFEST_BYTES))
        data = f.read(_MAX_MANIFEST_BYTES + 1)
    # Parsed, each value takes tens of bytes: they are counted first (commas and openings, as the
    # playback devices count them).
    if data.count(b",") + data.count(b"[") + data.count(b"{") > _MAX_MANIFEST_VALUES:
        raise RecordingError("%s: holds more than 2,000,000 values" % name)
    try:
        manifest = json.loads(data.decode("utf-8"))
    except ValueError as e:
        raise RecordingError("%s: not JSON (%s)" % (name, e))
    except RecursionError:
        raise RecordingError("%s: not JSON (nested too deeply)" % name)
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise RecordingError('%s: not a TUVO recording ("format" is not "%s")' % (name, FORMAT))
    version = manifest.get("version")
    if not isinstance(version, int) or version < 1:
        raise RecordingError("%s: version must be a positive integer" % name)
    if version > VERSION:
        raise RecordingError("%s: recording format version %d is newer than this reader (%d)" % (name, version, VERSION))
    for key in ("device", "cameras", "streams"):
        if not isinstance(manifest.get(key), dict):
            raise RecordingError("%s: lacks the object %r" % (name, key))
    return manifest


def read_frame(path, manifest, stream, index):
    """One frame as numpy arrays: {"images": {camera: array}, "points", "normals", "depth",
    "confidence", "correspond"} (None for what the frame lacks). For tools and checks; playback
    devices read the files themselves. Hostile recordings are refused as the playback devices
    refuse them: names outside the recording, links, special files and sizes the manifest does
    not announce raise RecordingError naming the file."""
    where = "%s: stream %s, frame %s" % (os.path.join(path, MANIFEST), stream, index)
    try:
        s = manifest["streams"][stream]
        frame = s["frames"][index]
        height = reading.dimension(s["height"], where + ": the stream's height")
        width = reading.dimension(s["width"], where + ": the stream's width")
        folder, images, points = frame["dir"], frame.get("images") or {}, frame["points"]
        ply, normals = points["file"], points["normals"]
        names = [image["file"] for image in images.values()] + [ply] + [
            frame[k] for k in ("depth", "confidence", "correspond") if frame.get(k)]
        sizes = {camera: (reading.dimension(manifest["cameras"][camera]["width"], where + ": the camera's width"),
                          reading.dimension(manifest["cameras"][camera]["height"], where + ": the camera's height"))
                 for camera in images}
    except (KeyError, IndexError, TypeError, AttributeError) as e:
        raise RecordingError("%s: is not described in the manifest (%r)" % (where, e))
    if width * height > _MAX_PIXELS:
        raise RecordingError("%s: the stream is larger than 16,777,216 pixels" % where)
    if not reading.inside(folder, 2) or not all(reading.inside(n, 1) for n in names) or not isinstance(normals, bool):
        raise RecordingError("%s: names a file outside its folder" % where)
    count = width * height
    out = {"images": {}}
    for camera, image in images.items():
        w, h = sizes[camera]
        kind = image.get("type") if isinstance(image, dict) else None
        if kind not in ("Mono8", "RGB8", "BGR8") or w * h > _MAX_PIXELS:
            raise RecordingError("%s: the %s image is not an 8-bit image the camera could give" % (where, camera))
        rel = folder + "/" + image["file"]
        raw = w * h * (1 if kind == "Mono8" else 3)
        out["images"][camera] = reading.parse_png(os.path.join(path, rel), reading.read_in(path, rel, 2 * raw + (1 << 20)),
                                                  w, h, kind)
    rel = folder + "/" + ply
    xyz, nxyz = reading.parse_ply(os.path.join(path, rel), reading.read_in(
        path, rel, count * (48 if normals else 24) + 4096 + 16), count, normals)
    out["points"] = xyz.reshape(height, width, 3)
    out["normals"] = nxyz.reshape(height, width, 3) if normals else None
    for key, shape in (("depth", (height, width)), ("confidence", (height, width)), ("correspond", (height, width, 2))):
        out[key] = None
        if frame.get(key):
            rel = folder + "/" + frame[key]
            out[key] = reading.parse_npy(os.path.join(path, rel), reading.read_in(
                path, rel, int(np.prod(shape)) * 8 + 4096 + 16), shape)
    return out
