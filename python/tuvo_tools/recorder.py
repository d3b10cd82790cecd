"""Records captures of X1 and X2 cameras through the public PyTUVO interface only, so it works
with any implementation of the SDK, the real one included."""
import os
import weakref
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T
from tuvo_convert.captures import capture_numbers

from . import __version__
from . import options as options_mod
from .recording import RecordingError, RecordingWriter
from .sdk import CAMERAS, calibration, check, describe

Camera = Union[T.X1, T.X2]
Options = Union[T.X1_CaptureOptions, T.X2_CaptureOptions]
# A 4x4 transformation: an array or 16 numbers (flat or as rows).
TransformLike = Union[NDArray[Any], Sequence[float], Sequence[Sequence[float]]]

_TYPE_NAMES = {int(T.Mono8): "Mono8", int(T.RGB8): "RGB8", int(T.BGR8): "BGR8"}


class Stream:
    """One camera handle being recorded: an X1 on one camera, or an X2."""

    def __init__(self, name: str, camera: Camera, options: Options, cameras: List[Tuple[str, T.CameraID]]):
        self.name = name
        self.camera = camera
        self.options = options
        self.cameras = cameras  # (camera name, CameraID) whose images a capture yields
        # The results of the last frame recorded, left to the camera; destroyed before the next capture.
        self.held: List[Union[T.Image, T.PointMap]] = []

    @property
    def x2(self) -> bool:
        return self.name == "x2"


class Recorder:
    """Captures into a new recording folder.

        rec = Recorder("scan-session", device)
        left = rec.add_x1(x1, "left", options)
        for _ in range(10):
            rec.capture(left)
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], device: T.Device, compress: bool = False):
        """Claims `path` (a new or empty folder; a second recorder on it is refused). `compress`:
        each frame's numbers shuffled and deflated (some 30 % smaller; recording takes about 3 times
        and playback 3 to 4 times as long); playback gives the same bytes either way."""
        self.device = device
        self.info = describe(device)
        self.writer = RecordingWriter(path, self.info, T.GetVersion(), "tuvo_tools %s" % __version__, compress)
        self._colour_known: "set[str]" = set()
        self._streams: List[Stream] = []
        # The results the last frames left to their cameras go when the recorder does (or at close).
        self._finalizer = weakref.finalize(self, _release_all, self._streams)

    def close(self) -> None:
        """Destroys the results the last frame of each stream left to its camera (see
        record_current); the recorder itself needs no closing, its files are complete."""
        self._finalizer()

    def __enter__(self) -> "Recorder":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def path(self) -> str:
        return self.writer.path

    def add_x1(self, camera: T.X1, camera_name: str = "left", options: Optional[T.X1_CaptureOptions] = None,
               transform: Optional[TransformLike] = None) -> Stream:
        """Records the X1 `camera` (open, created on `camera_name`) with `options` (default: the
        options it has stored, else the defaults). `transform` is the 4x4 matrix of the camera's
        custom transformation when one is set; the SDK does not report it."""
        opts = options if options is not None else _stored_or_default(camera, "x1")
        return self._add("x1-" + camera_name, camera, opts, transform, [(camera_name, CAMERAS[camera_name])],
                         lambda: self._x1_calibration(camera, camera_name))

    def add_x2(self, camera: T.X2, options: Optional[T.X2_CaptureOptions] = None,
               transform: Optional[TransformLike] = None) -> Stream:
        """Records the X2 `camera` (open) like add_x1."""
        opts = options if options is not None else _stored_or_default(camera, "x2")
        names = [n for n, cid in CAMERAS.items() if self.info["cameraid"] & int(cid)]
        return self._add("x2", camera, opts, transform, [(n, CAMERAS[n]) for n in names],
                         lambda: self._x2_calibration(camera, names))

    def capture(self, stream: Stream) -> Dict[str, Any]:
        """One capture with the stream's options, recorded as the stream's next frame; returns what
        was recorded (see record_current). The camera's results are left as the capture made them."""
        cam, opts = stream.camera, stream.options
        self._release(stream)
        # A stream's camera and options are of one kind (add_x1, add_x2).
        if isinstance(cam, T.X2) and isinstance(opts, T.X2_CaptureOptions):
            check(cam.Capture(opts), "Capture")
        elif isinstance(cam, T.X1) and isinstance(opts, T.X1_CaptureOptions):
            check(cam.Capture(opts), "Capture")
        else:
            raise RecordingError("stream %s holds %s options for an %s" % (
                stream.name, options_mod.kind_of(opts).upper(), type(cam).__name__))
        return self.record_current(stream)

    def record_current(self, stream: Stream) -> Dict[str, Any]:
        """Records the results of the capture just made on the stream's camera (with the stream's
        options) as its next frame. Returns the frame's index and the arrays written: {"index",
        "images": {camera: pixels}, "points", "normals", "depth", "confidence", "correspond"}.

        The camera's image and point map are left as they were (GetPointMap, GetImage and
        tuvo_convert.capture_arrays give them as after any capture) until the stream's next
        capture (or frame recorded), which destroys them first, as they were handed out; close()
        (or the recorder going away) destroys the last ones."""
        self._release(stream)
        cam = stream.camera
        images: Dict[str, Tuple[NDArray[np.uint8], str]] = {}
        if stream.options.enable_2d_in_capture:
            for name, cid in stream.cameras:
                image = cam.GetImage(cid) if isinstance(cam, T.X2) else cam.GetImage()
                if not image.IsValid():
                    continue
                stream.held.append(image)
                kind = _TYPE_NAMES.get(int(image.GetType()))
                if kind is None:
                    raise RecordingError("the %s camera gave an image of unknown type" % name)
                images[name] = (np.array(image), kind)
        point_map = cam.GetPointMap()
        if point_map.IsValid():
            stream.held.append(point_map)
        # The files are written from the SDK's memory itself: the points and normals are views of the
        # point map the stream holds (the camera's next capture makes a new one); the maps, which
        # the camera refreshes in place, are copied at once, so a capture made meanwhile (on another
        # thread) cannot reach the frame's files.
        numbers = capture_numbers(cam, views=True)
        views = {key: numbers.get(key) for key in ("points", "normals", "depth", "confidence", "correspond")}
        if stream.options.calc_normal and views["normals"] is None:
            raise RecordingError("the SDK gave no normals although calc_normal is set")
        for name, (pixels, kind) in images.items():
            self._learn_colour(name, pixels, kind)
        index = self.writer.add_frame(stream.name, images, **views)
        # The points outlive the stream's hold on the point map (destroyed before its next frame).
        return dict(index=index, images={n: p for n, (p, _) in images.items()},
                    **{key: None if a is None else np.array(a) if key in ("points", "normals") else a
                       for key, a in views.items()})

    def _release(self, stream: Stream) -> None:
        _release(stream)

    # ---- set-up ----

    def _add(self, name: str, camera: Camera, opts: Options, transform: Optional[TransformLike],
             cameras: List[Tuple[str, T.CameraID]], record_calibration: Callable[[], None]) -> Stream:
        if options_mod.kind_of(opts) != ("x2" if name == "x2" else "x1"):
            raise RecordingError("%s captures need %s options" % (name.upper()[:2], name.upper()[:2]))
        ok, size = camera.GetCameraResolution()
        check(ok, "GetCameraResolution")
        custom = _custom_transform(camera, transform)
        record_calibration()
        balance: Optional[List[float]] = None
        if name != "x2" and isinstance(camera, T.X1) and camera.GetBalanceRange(T.BalanceSelector_Red)[0]:
            balance = []
            for selector in (T.BalanceSelector_Red, T.BalanceSelector_Green, T.BalanceSelector_Blue):
                ok, ratio = camera.GetBalanceRatio(selector)
                check(ok, "GetBalanceRatio")
                balance.append(ratio)
        self.writer.add_stream(name, size.width, size.height, options_mod.to_dict(opts), custom, balance)
        stream = Stream(name, camera, opts, cameras)
        self._streams.append(stream)
        return stream

    def _x1_calibration(self, camera: T.X1, name: str) -> None:
        ok, size = camera.GetCameraResolution()
        check(ok, "GetCameraResolution")
        colour = camera.GetBalanceRange(T.BalanceSelector_Red)[0]
        self.writer.set_camera(name, size.width, size.height, calibration(camera), colour)
        if colour:
            self._colour_known.add(name)

    def _x2_calibration(self, camera: T.X2, names: List[str]) -> None:
        ok, size = camera.GetCameraResolution()
        check(ok, "GetCameraResolution")
        for name in names:
            self.writer.set_camera(name, size.width, size.height, calibration(camera, CAMERAS[name]), False)

    def _learn_colour(self, name: str, pixels: NDArray[np.uint8], kind: str) -> None:
        """Cameras whose colour the SDK does not say are known from their first image."""
        entry = self.writer.manifest["cameras"][name]
        height, width = pixels.shape[:2]
        colour = kind != "Mono8"
        if entry["colour"] != colour or entry["width"] != width or entry["height"] != height:
            entry.update(colour=colour, width=width, height=height)
            self.writer.set_camera(name, width, height, entry, colour)


def _release(stream: Stream) -> None:
    """Destroys the results the stream's last frame left to the camera: handed out, the camera
    would not destroy them itself. Destroying a handle the caller destroyed already does nothing."""
    for handle in stream.held:
        if isinstance(handle, T.Image):
            T.Image.Destroy(handle)
        else:
            T.PointMap.Destroy(handle)
    stream.held = []


def _release_all(streams: List[Stream]) -> None:
    for stream in streams:
        _release(stream)


def _stored_or_default(camera: Camera, kind: str) -> Options:
    ok, opts = camera.LoadCaptureOptionParameters()
    return opts if ok else options_mod.new_options(kind)


def _custom_transform(camera: Camera, transform: Optional[TransformLike]) -> Dict[str, Any]:
    ok, custom = camera.GetCustomTransformation()
    check(ok, "GetCustomTransformation")
    select = int(custom.coordinate_select)
    if select == 0:
        return {"coordinate_select": 0, "matrix": None}
    if transform is None:
        raise RecordingError("the camera has a custom transformation (coordinate_select = %d); pass its 4x4 matrix "
                             "so that playback can reproduce it" % select)
    matrix = np.asarray(transform, dtype=np.float64).reshape(-1)
    if matrix.size != 16 or not np.all(np.isfinite(matrix)):
        raise RecordingError("the custom transformation must be 16 finite numbers")
    return {"coordinate_select": select, "matrix": [float(v) for v in matrix]}
