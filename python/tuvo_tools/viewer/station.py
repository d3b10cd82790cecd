"""The viewer's SDK side: one thread makes every SDK call, in the order the pages asked for them.

Pages only hand in requests (`submit`), which returns at once: the web server's event loop never
waits for the camera. The thread owns the SDK session, the one open camera, its options, the
results of the last capture and a recording under way, so every page sees one device in one
state. It tells the page what changed through the listener's methods (devices, opened, options,
frame, state, message), from its own thread.
"""
import collections
import contextlib
import os
import threading
import time
import traceback

import numpy as np

import PyTUVO as T

from .. import options as opts_mod
from ..recorder import Recorder
from ..recording import RecordingError
from ..sdk import CAMERAS, CAPTURE_MODES, SdkError, check, describe, readable

# GetLastError's codes for a capture the SDK refused because of its options.
_OPTION_REFUSALS = (-3, -6)  # Error_InvalidArgument, Error_NotSupported
_MAX_PENDING = 32  # requests waiting; more are turned away (a page that floods)
_MAX_RIG_BYTES = 1 << 20
_VIRTUAL = "TUVO virtual SDK"


class ViewerError(Exception):
    """A request the viewer turns down itself (a bad name, the wrong moment)."""


def mode_label(mode):
    return "X2 (two cameras)" if mode == "x2" else "X1 %s camera" % mode[3:]


class Station:
    """The SDK thread. `serial` is the device to open first (None: the first one found), `mode`
    "x2" or "x1-CAMERA", `initial(kind)` the options the first camera starts with, `out_dir`
    the folder whose files the pages may read and write, `playback` the manifest of the recording
    its devices play (None for live devices), `max_points` how many points a frame sends."""

    def __init__(self, listener, out_dir, serial=None, mode="x1-left", initial=opts_mod.new_options, playback=None):
        self.page = listener
        self.out_dir = os.path.realpath(out_dir)
        self.playback = playback
        self._wanted = (serial, mode)
        self._initial = initial
        self._cond = threading.Condition()
        self._pending = collections.deque()
        self._continuous = False
        self._stopping = False
        self._thread = threading.Thread(target=self._run, name="tuvo-view-sdk", daemon=True)
        self.ready = threading.Event()
        self.failure = None
        # Owned by the thread from here on.
        self._sdk_up = False
        self._device = None
        self._serial = None
        self._mode = None
        self._cameras = []
        self._info = None  # what the page was told of the camera open
        self._cam = None
        self._opts = None
        self._good = None  # the options of the last capture the SDK took
        self._results = []  # SDK objects of the last capture: point map, images
        self._shown = None  # copies of the last capture's results, for redrawing
        self._images = {}  # camera name -> its SDK image of the last capture
        self._rec = None
        self._stream = None
        self._positions = {}  # playback: stream -> the frame its next capture yields
        self._captures = 0

    # ---- from any thread ----

    def start(self):
        self._thread.start()

    def submit(self, kind, *args):
        """Queues a request. A capture asked for while one waits is the same capture (two pages
        pressing at once get one); a later seek, open or change of one option replaces the one
        waiting."""
        refused = None
        with self._cond:
            if self._stopping:
                return
            for i, (k, a) in enumerate(self._pending):
                if k == kind and (kind in ("capture", "redraw", "seek", "open", "restart") or
                                  (kind == "option" and a[0] == args[0])):
                    self._pending[i] = (kind, args)
                    return
            if len(self._pending) >= _MAX_PENDING:
                refused = "busy: %d requests are waiting; %s was dropped" % (len(self._pending), kind)
            else:
                self._pending.append((kind, args))
                self._cond.notify()
        if refused:
            self.page.message(refused, True)

    def set_continuous(self, on):
        with self._cond:
            if self._stopping:
                return
            self._continuous = bool(on)
            self._cond.notify()
        self._tell_state()

    def stop(self, timeout=None):
        """Ends continuous capture and the requests not begun, lets the call under way finish,
        then releases the recording, the camera and the SDK. Returns whether the thread ended."""
        with self._cond:
            self._stopping = True
            self._continuous = False
            self._pending.clear()
            self._cond.notify()
        if self._thread.is_alive():
            self._thread.join(timeout)
        return not self._thread.is_alive()

    # ---- the thread ----

    def _run(self):
        try:
            self._boot()
        except Exception as e:  # noqa: BLE001 - told to the command, which stops
            self.failure = e
            self.ready.set()
            self._release()
            return
        self.ready.set()
        while True:
            request = self._take()
            if request is None:
                break
            kind, args = request
            try:
                getattr(self, "_do_" + kind)(*args)
            except (SdkError, RecordingError, opts_mod.OptionsError, ViewerError, OSError) as e:
                self._failed(kind, str(e))
            except Exception as e:  # noqa: BLE001 - the viewer goes on; the page and the log say what broke
                traceback.print_exc()
                self._failed(kind, "internal error: %s: %s" % (type(e).__name__, e))
        self._release()

    def _take(self):
        with self._cond:
            while not self._stopping and not self._pending and not (self._continuous and self._cam):
                self._cond.wait()
            if self._stopping:
                return None
            if self._pending:
                return self._pending.popleft()
            return ("capture", ())

    def _failed(self, kind, text):
        """Says why a request failed, and puts back on the pages the controls it had moved."""
        with self._cond:
            stopped = self._continuous and kind in ("capture", "seek")
            if stopped:
                self._continuous = False
        self.page.message(text + ("; continuous capture stopped" if stopped else ""), True)
        if stopped:
            self._tell_state()
        if self._cam is None and kind in ("open", "restart"):
            self.page.opened(None)
        elif self._cam is not None and kind in ("open", "option", "settings_load", "seek"):
            self.page.opened(dict(self._info, position=self._positions.get(self._mode, 0)), aim=False)
            self.page.options(opts_mod.to_dict(self._opts))

    def _boot(self):
        self._init_sdk()
        serial, mode = self._wanted
        devices = self._devices()
        if serial is None and devices:
            serial = devices[0]["serial"]
        if serial is not None:
            self._open(serial, mode, self._initial)

    def _init_sdk(self):
        check(T.SystemInit(), "SystemInit")
        self._sdk_up = True
        self._positions = {}

    def _devices(self):
        status, devices = T.SystemListDevices(T.All)
        if status != 0:
            check(False, "SystemListDevices")
        found = [readable(describe(d)) for d in devices]
        self.page.devices(found)
        return found

    def _release(self):
        self._rec = self._stream = None
        self._close_camera()
        if self._sdk_up:
            self._sdk_up = False
            T.SystemShutdown()

    # ---- camera ----

    def _modes(self, info):
        """What the device can be opened as: X2 first, then X1 on each camera; for a playback
        device, what the recording holds."""
        modes = (["x2"] if info["x2"] else []) + (["x1-" + c for c in info["cameras"]] if info["x1"] else [])
        if self.playback is not None:
            modes = [m for m in modes if m in self.playback["streams"]]
        return modes

    def _open(self, serial, mode, initial=None, show=True):
        if self._rec:
            raise ViewerError("stop the recording before opening another camera")
        self._close_camera()
        if not self._sdk_up:
            self._init_sdk()
        device = T.SystemFindDevice(serial)
        check(device.IsValid(), "SystemFindDevice")
        info = readable(describe(device))
        modes = self._modes(info)
        if not modes:
            raise ViewerError("%s can be opened neither as X1 nor as X2" % serial)
        if mode not in modes:
            mode = modes[0]
        x2 = mode == "x2"
        kind = "x2" if x2 else "x1"
        if self.playback is not None:
            stream = self.playback["streams"][mode]
            recorded = stream.get("options") if isinstance(stream, dict) else None
            if not isinstance(recorded, dict):
                raise RecordingError("the recording's stream %s holds no capture options" % mode)
            opts = opts_mod.from_dict(kind, recorded)
        elif initial is not None:
            opts = initial(kind)
        else:
            opts = self._carried(kind)
        cam = T.X2.Create(device) if x2 else T.X1.Create(device, CAMERAS[mode[3:]])
        check(cam.IsValid(), "X2.Create" if x2 else "X1.Create")
        if not cam.Open():
            message = T.GetLastErrorMessage()
            (T.X2 if x2 else T.X1).Destroy(cam)
            raise SdkError(message or "Open failed")
        self._device, self._serial, self._mode, self._cam = device, serial, mode, cam
        self._cameras = info["cameras"]
        self._opts, self._good = opts, None
        ranges = {}
        for key, getter in (("exposure_ms", cam.GetExposureTimeRange), ("gain_db", cam.GetGainRange)):
            ok, lo, hi = getter()
            ranges[key] = (lo, hi) if ok else None
        ok, roi = cam.GetRoiRange()
        ranges["roi"] = {k: getattr(roi, k) for k in ("x_step", "y_step", "width_step", "height_step", "width_min",
                                                       "height_min", "width_max", "height_max")} if ok else None
        frames = None
        if self.playback is not None:
            frames = self.playback["streams"][mode].get("frames")
            frames = len(frames) if isinstance(frames, list) else 0
        self._info = {"serial": serial, "device": info, "mode": mode, "modes": modes, "kind": kind, "ranges": ranges,
                      "capture_modes": info["capture_modes"], "frames": frames, "virtual": self._virtual(serial)}
        self.page.opened(dict(self._info, position=self._positions.get(mode, 0)))
        self.page.options(opts_mod.to_dict(opts))
        self._tell_state()
        if show:
            self.submit("capture")

    def _carried(self, kind):
        """Options of `kind` that keep what the options in use had, name by name."""
        opts = opts_mod.new_options(kind)
        if self._opts is not None:
            for name, value in opts_mod.to_dict(self._opts).items():
                try:
                    opts_mod.set_option(opts, name, value)
                except opts_mod.OptionsError:  # not an option of this kind, or of another type
                    pass
        return opts

    def _drop_results(self):
        for item in self._results:
            (T.PointMap if isinstance(item, T.PointMap) else T.Image).Destroy(item)
        self._results, self._images = [], {}

    def _close_camera(self):
        self._drop_results()
        self._shown = None
        cam, self._cam = self._cam, None
        if cam is not None:
            cam.Close()
            (T.X2 if isinstance(cam, T.X2) else T.X1).Destroy(cam)
        self._device = None

    def _need_camera(self):
        if self._cam is None:
            raise ViewerError("no camera is open" if self._sdk_up else "the SDK is not running; press Reload")

    # ---- requests ----

    def _do_open(self, serial, mode):
        if serial is None:
            raise ViewerError("no such device")
        self._open(serial, mode)

    def _do_capture(self):
        self._need_camera()
        self._capture()

    def _capture(self):
        cam, opts = self._cam, self._opts
        began = time.perf_counter()
        ok = cam.Capture(opts)
        took = time.perf_counter() - began
        if not ok:
            code, message = T.GetLastError(), T.GetLastErrorMessage() or "Capture failed"
            if code in _OPTION_REFUSALS and self._good is not None and \
                    opts_mod.to_dict(self._good) != opts_mod.to_dict(opts):
                self._opts = _copy(self._good)
                self._cam.SaveCaptureOptionParameters(self._opts)
                self.page.options(opts_mod.to_dict(self._opts))
                message += " (the options are back to those of the last capture)"
            raise SdkError(message)
        self._drop_results()  # kept until now: a refused capture leaves the last one to save
        self._good = _copy(opts)
        self._captures += 1
        index = None
        if self.playback is not None:
            index = self._positions.get(self._mode, 0)
            self._positions[self._mode] = index + 1
        x2 = isinstance(cam, T.X2)
        point_map = cam.GetPointMap()
        check(point_map.IsValid(), "GetPointMap")
        names = self._cameras if x2 else [self._mode[3:]]
        images = {}
        for name in names:
            image = cam.GetImage(CAMERAS[name]) if x2 else cam.GetImage()
            if image.IsValid():
                images[name] = image
        if self._rec is not None:
            # The recorder takes the camera's results; the viewer keeps copies made by the SDK.
            kept = [point_map.Clone()] + [images[n].Clone() for n in images]
            images = dict(zip(images, kept[1:]))
            point_map = kept[0]
            self._results = kept
            self._rec.record_current(self._stream)
        else:
            self._results = [point_map] + list(images.values())
        self._images = images
        frame = {"points": np.array(point_map, dtype=np.float64), "images": {}, "depth": None, "confidence": None}
        for name, image in images.items():
            pixels = np.array(image, dtype=np.uint8)
            frame["images"][name] = pixels[..., ::-1] if image.GetType() == T.BGR8 else pixels
        for key, view in (("depth", cam.GetDepthMap()), ("confidence", cam.GetConfidenceMap())):
            if view.IsValid():
                frame[key] = np.array(view, dtype=np.float64)
        z = frame["points"][..., 2]
        valid = int(np.isfinite(z).sum())
        frame["stats"] = {"valid": valid, "total": int(z.size), "capture_ms": took * 1000.0, "count": self._captures,
                          "index": index, "recorded": self._rec.writer.frames(self._stream.name) if self._rec else None,
                          "z": (float(np.nanmin(z)), float(np.nanmax(z))) if valid else None,
                          "size": (int(z.shape[1]), int(z.shape[0]))}
        self._shown = frame
        self.page.frame(frame)

    def _do_redraw(self):
        if self._shown is not None:
            self.page.frame(self._shown)

    def _do_option(self, name, value):
        self._need_camera()
        if self._rec is not None:
            raise ViewerError("the options stay as they are while recording (a recording keeps one set); "
                              "stop the recording to change them")
        trial = _copy(self._opts)
        opts_mod.set_option(trial, name, value)
        self._apply(trial)

    def _apply(self, trial):
        """Options through the SDK: a ROI it cannot take is refused at once, the rest when it
        captures with them."""
        roi = trial.roi
        if (roi.x, roi.y, roi.width, roi.height) != (0, 0, 0, 0) and not self._cam.CheckRoi(roi):
            near = self._cam.AutoAdjustRoi(roi)
            raise SdkError("%sthe camera cannot take the ROI %d, %d, %d, %d; the nearest it takes is %d, %d, %d, %d" % (
                (T.GetLastErrorMessage() + ": ") if T.GetLastErrorMessage() else "", roi.x, roi.y, roi.width,
                roi.height, near.x, near.y, near.width, near.height))
        check(self._cam.SaveCaptureOptionParameters(trial), "SaveCaptureOptionParameters")
        self._opts = trial
        self.page.options(opts_mod.to_dict(trial))
        if self.page.capture_after_change():
            self.submit("capture")

    def _do_save(self, name):
        self._need_camera()
        if not self._results:
            raise ViewerError("nothing to save: no capture yet")
        if not name or os.path.basename(name) != name or name in (".", "..") or "\0" in name:
            raise ViewerError("save as takes a file name without folders, not %r" % name)
        base = os.path.join(self.out_dir, name)
        point_map = self._results[0]
        images = self._images
        first = next(iter(images.values()), None)
        pictures = {(base + ".png" if len(images) == 1 else "%s-%s.png" % (base, n)): image for n, image in images.items()}
        targets = [base + ".ply"] + list(pictures) + [base + "-depth.png"]
        taken = [t for t in targets if os.path.lexists(t)]
        if taken:
            raise ViewerError("%s exists; choose another name" % taken[0])
        depth = self._cam.GetDepthMap()
        saved = targets if depth.IsValid() else targets[:-1]
        try:
            if first is not None and (first.GetSize().width, first.GetSize().height) == (
                    point_map.GetSize().width, point_map.GetSize().height):
                check(point_map.SaveWithImage(targets[0], first, T.Millimeter, True), "PointMap.SaveWithImage")
            else:
                check(point_map.Save(targets[0], T.Millimeter, True), "PointMap.Save")
            for path, image in pictures.items():
                check(image.SaveImage(path), "Image.SaveImage")
            if depth.IsValid():
                check(depth.SaveDepthMap(targets[-1], True), "DepthMap.SaveDepthMap")
        except BaseException:  # a save is whole or not made: the files it wrote go
            for path in saved:
                with contextlib.suppress(OSError):
                    os.remove(path)
            raise
        self.page.saved(name)
        self.page.message("saved %s in %s" % (", ".join(os.path.basename(p) for p in saved), self.out_dir), False)

    def _inside(self, rel, what):
        """A path the pages name, under the output folder (which they may not leave)."""
        if not rel or "\0" in rel or os.path.isabs(rel):
            raise ViewerError("%s takes a name inside %s, not %r" % (what, self.out_dir, rel))
        path = os.path.realpath(os.path.join(self.out_dir, rel))
        if os.path.commonpath([self.out_dir, path]) != self.out_dir:
            raise ViewerError("%s: %r leads outside %s" % (what, rel, self.out_dir))
        return path

    def _do_record_start(self, folder):
        self._need_camera()
        if self._rec is not None:
            raise ViewerError("already recording into %s" % self._rec.path)
        path = self._inside(folder, "the recording folder")
        rec = Recorder(path, self._device)
        x2 = isinstance(self._cam, T.X2)
        self._stream = rec.add_x2(self._cam, self._opts) if x2 else rec.add_x1(self._cam, self._mode[3:], self._opts)
        self._rec = rec
        self._tell_state()
        self.page.message("recording into %s: each capture is a frame" % rec.path, False)

    def _do_record_stop(self):
        if self._rec is None:
            raise ViewerError("no recording is under way")
        rec, stream = self._rec, self._stream
        self._rec = self._stream = None
        self._tell_state()
        self.page.message("recorded %d frames into %s" % (rec.writer.frames(stream.name), rec.path), False)

    def _do_settings_save(self, rel):
        self._need_camera()
        path = self._inside(rel, "the settings file")
        if os.path.lexists(path):
            raise ViewerError("%s exists; choose another name" % path)
        kind = opts_mod.kind_of(self._opts)
        lines = ["# %s capture options, written by tuvo view (tuvo capture --settings reads them)" % kind.upper()]
        for name, value in opts_mod.to_dict(self._opts).items():
            values = value if isinstance(value, list) else [value]
            lines.append("%s = %s" % (name, ", ".join(_text(v) for v in values)))
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        self.page.message("saved the options in %s" % path, False)

    def _do_settings_load(self, rel):
        self._need_camera()
        if self._rec is not None:
            raise ViewerError("the options stay as they are while recording; stop the recording to load others")
        path = self._inside(rel, "the settings file")
        trial = opts_mod.read_settings(path, opts_mod.kind_of(self._opts), _copy(self._opts))
        self._apply(trial)
        self.page.message("loaded the options of %s" % path, False)

    def _do_seek(self, index):
        """Playback: shows frame `index` of the open stream. The device plays forwards only, so
        an earlier frame starts the SDK anew (which rewinds every stream)."""
        self._need_camera()
        if self.playback is None:
            raise ViewerError("only a recording has frames to go to")
        if self._rec is not None:
            raise ViewerError("stop the recording before going to another frame")
        position = self._positions.get(self._mode, 0)  # the frame the next capture yields
        if index == position - 1 and self._shown is not None:
            return
        if index < position:
            self._restart(show=False)
        while self._positions.get(self._mode, 0) < index:
            with self._cond:
                if self._stopping or any(k == "seek" for k, _ in self._pending):
                    return  # a later seek supersedes this one
            check(self._cam.Capture(self._opts), "Capture")
            self._positions[self._mode] = self._positions.get(self._mode, 0) + 1
        self._capture()

    def _do_restart(self):
        self._restart()
        self.page.message("the SDK started anew: devices listed and scenes read again", False)

    def _restart(self, show=True):
        """SystemShutdown and SystemInit (the virtual SDK reads its rig and scenes again), then
        the same camera opened again with the same options."""
        if self._rec is not None:
            raise ViewerError("stop the recording first")
        serial, mode, opts = self._serial, self._mode, self._opts
        self._release()
        self.page.opened(None)
        self._init_sdk()
        devices = self._devices()
        if serial is None or serial not in [d["serial"] for d in devices]:
            serial = devices[0]["serial"] if devices else None
        if serial is not None:
            self._opts = opts
            self._open(serial, mode, show=show)

    # ---- what the pages see ----

    def _tell_state(self):
        with self._cond:
            continuous = self._continuous
        rec = self._rec
        self.page.state({"continuous": continuous, "recording": rec.path if rec else None, "open": self._cam is not None})

    def _virtual(self, serial):
        """On the virtual SDK: the rig in use and the scene the device looks at."""
        if not T.GetVersion().startswith(_VIRTUAL):
            return None
        rig = os.environ.get("TUVO_SIM_RIG") or None
        text, scene = None, None
        if rig:
            try:
                with open(rig, "rb") as f:
                    text = f.read(_MAX_RIG_BYTES).decode("utf-8", "replace")
            except OSError as e:
                text = "(cannot read it: %s)" % e.strerror
            scene = rig_scene(text or "", serial)
            if scene is not None:
                scene = os.path.join(os.path.dirname(os.path.abspath(rig)), scene)
        scene = scene or os.environ.get("TUVO_SIM_SCENE") or None
        return {"rig": rig, "rig_text": text, "scene": scene}


def rig_scene(text, serial):
    """The scene file a rig names for the device `serial` (devices without `sn` are VDEV-000001,
    VDEV-000002, ... in their order), or None."""
    devices = []
    for line in text.splitlines():
        line = line.strip()
        if line == "[device]":
            devices.append({"sn": "VDEV-%06d" % (len(devices) + 1)})
        elif devices and "=" in line and not line.startswith("#"):
            key, value = (p.strip() for p in line.split("=", 1))
            devices[-1][key] = value
    for d in devices:
        if d["sn"] == serial:
            return d.get("scene")
    return None


def _copy(opts):
    """A copy of an option record (the records cannot be pickled)."""
    return opts_mod.from_dict(opts_mod.kind_of(opts), opts_mod.to_dict(opts))


def _text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value) if isinstance(value, float) else str(value)
