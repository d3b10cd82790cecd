"""The viewer's page, made with viser: the controls, the 2-D pictures and the 3-D points, shared by
every open page. Controls hand requests to the SDK thread (station.py) and nothing else; what the
thread reports is drawn here, in its thread."""
import html
import time

import numpy as np
import viser

from ..sdk import CAPTURE_MODES
from . import pictures
from .station import mode_label

_MODE_NAMES = {int(v): k for k, v in CAPTURE_MODES.items()}
_HDR_STEPS = ("0", "1", "2", "3")
_BLANK = np.full((48, 64, 3), 235, dtype=np.uint8)


def _roi_text(values):
    return "whole image" if list(values) == [0, 0, 0, 0] else ", ".join(str(v) for v in values)


def _esc(text):
    return html.escape(str(text), quote=True)


class Page:
    """Every control and picture of the viewer, on `server` (a viser.ViserServer); requests go to
    `station` once it is attached."""

    def __init__(self, server, max_points, out_dir):
        self.server = server
        self.station = None
        self.max_points = max_points
        self._serials = {}  # dropdown label -> serial
        self._opened = None
        self._framed = False  # the view was aimed at the points of the camera opened
        self._saves = 0
        gui = server.gui
        gui.configure_theme(control_width="large", show_logo=False, show_share_button=False)
        gui.set_panel_label("tuvo view")
        server.scene.set_up_direction("-y")  # the device's frame: x right, y down, z along the view
        server.scene.add_frame("/device", axes_length=0.05, axes_radius=0.002)
        self.status = gui.add_html(self._status_html("starting", False))

        with gui.add_folder("Device"):
            self.device = gui.add_dropdown("Device", ["(none)"])
            self.mode = gui.add_dropdown("Open as", ["(none)"])
            self.about = gui.add_html("")
            self.rescan = gui.add_button("Rescan devices", hint="start the SDK anew and list the devices again")
        with gui.add_folder("Capture"):
            self.capture = gui.add_button("Capture")
            self.continuous = gui.add_checkbox("Continuous", False)
            self.counts = gui.add_html("<p id='tuvo-counts'>no capture yet</p>")
            self.colour_by = gui.add_dropdown("Colour points by", ["image", "depth"])
        with gui.add_folder("Options"):
            self.preview = gui.add_checkbox("Capture after a change", True,
                                            hint="capture again whenever an option changes")
            self.exposure_3d = gui.add_slider("Exposure 3-D (ms)", 3, 100, 1, 10)
            self.exposure_2d = gui.add_slider("Exposure 2-D (ms)", 3, 100, 1, 10)
            self.gain_3d = gui.add_slider("Gain 3-D (dB)", 0.0, 20.0, 0.1, 0.0)
            self.gain_2d = gui.add_slider("Gain 2-D (dB)", 0.0, 20.0, 0.1, 0.0)
            self.capture_mode = gui.add_dropdown("Capture mode", ["normal"])
            self.noise_removal = gui.add_checkbox("Noise removal", False)
            self.hdr_steps = gui.add_dropdown("HDR steps", _HDR_STEPS)
            self.hdr_exposures = gui.add_text("HDR exposures (ms)", "", hint="one per step, as: 5, 20, 60")
            self.set_hdr = gui.add_button("Set HDR exposures")
            self.roi = gui.add_text("ROI", "whole image", hint="x, y, width, height; or: whole image")
            self.set_roi = gui.add_button("Set ROI")
            self.other = gui.add_text("Other option", "", hint="any capture option, as: smoothness = 2")
            self.set_other = gui.add_button("Set option")
        with gui.add_folder("Files"):
            self.out = gui.add_html("<p>files go to %s</p>" % _esc(out_dir))
            self.save_name = gui.add_text("Save as", "capture-0001")
            self.save = gui.add_button("Save PLY and PNG")
            self.record_folder = gui.add_text("Recording folder", time.strftime("recording-%Y%m%d-%H%M%S"))
            self.record_start = gui.add_button("Start recording")
            self.record_stop = gui.add_button("Stop recording", disabled=True)
            self.settings_file = gui.add_text("Settings file", "settings.txt")
            self.settings_load = gui.add_button("Load settings")
            self.settings_save = gui.add_button("Save settings")
        self.playback = gui.add_folder("Playback", visible=False)
        with self.playback:
            self.frame_slider = gui.add_slider("Frame", 0, 1, 1, 0)
            self.play = gui.add_checkbox("Play", False)
        self.virtual = gui.add_folder("Virtual device", visible=False)
        with self.virtual:
            self.virtual_about = gui.add_html("")
            self.reload = gui.add_button("Reload scene", hint="read the scene and rig files again (SDK started anew)")

        panel = gui.add_panel()
        with panel.add_tab("Image"):
            self.image = gui.add_image(_BLANK, label="left", format="jpeg", jpeg_quality=85)
            self.image_right = gui.add_image(_BLANK, label="right", format="jpeg", jpeg_quality=85, visible=False)
        with panel.add_tab("Depth"):
            self.depth = gui.add_image(_BLANK, label="depth (mm)", format="jpeg", jpeg_quality=92)
        with panel.add_tab("Confidence"):
            self.confidence = gui.add_image(_BLANK, label="confidence", format="jpeg", jpeg_quality=92)
        panel.dock_left()
        panel.set_width(460)
        gui.main_panel.dock_right()
        self._wire()

    # ---- page to station ----

    def _wire(self):
        def on(handle, fn, click=False):
            async def callback(event):
                if event.client is None or self.station is None:  # the viewer's own update
                    return
                try:
                    fn()
                except (KeyError, ValueError, TypeError):  # a value no control of this page sends
                    self.message("a control sent a value it cannot have", True)
            (handle.on_click if click else handle.on_update)(callback)

        ask = lambda *a: self.station.submit(*a)  # noqa: E731
        on(self.device, lambda: ask("open", self._serials.get(self.device.value), self._mode_key(self.mode.value)))
        on(self.mode, lambda: ask("open", self._serials.get(self.device.value), self._mode_key(self.mode.value)))
        on(self.rescan, lambda: ask("restart"), click=True)
        on(self.reload, lambda: ask("restart"), click=True)
        on(self.capture, lambda: ask("capture"), click=True)
        on(self.continuous, lambda: self.station.set_continuous(self.continuous.value))
        on(self.play, lambda: self.station.set_continuous(self.play.value))
        on(self.colour_by, lambda: ask("redraw"))
        on(self.frame_slider, lambda: ask("seek", int(self.frame_slider.value)))
        for handle, name in ((self.exposure_3d, "exposure_time_3d"), (self.exposure_2d, "exposure_time_2d"),
                             (self.gain_3d, "gain_3d"), (self.gain_2d, "gain_2d"),
                             (self.noise_removal, "use_auto_noise_removal")):
            on(handle, lambda h=handle, n=name: ask("option", n, h.value))
        on(self.capture_mode, lambda: ask("option", "capture_mode", int(CAPTURE_MODES[self.capture_mode.value])))
        on(self.hdr_steps, lambda: ask("option", "hdr_exposure_times", int(self.hdr_steps.value)))
        on(self.set_hdr, lambda: ask("option", "hdr_exposure_time_content", self._three(self.hdr_exposures.value)),
           click=True)
        on(self.set_roi, lambda: ask("option", "roi", self._roi(self.roi.value)), click=True)
        on(self.set_other, self._other, click=True)
        on(self.save, lambda: ask("save", self.save_name.value.strip()), click=True)
        on(self.record_start, lambda: ask("record_start", self.record_folder.value.strip()), click=True)
        on(self.record_stop, lambda: ask("record_stop"), click=True)
        on(self.settings_load, lambda: ask("settings_load", self.settings_file.value.strip()), click=True)
        on(self.settings_save, lambda: ask("settings_save", self.settings_file.value.strip()), click=True)

    def _mode_key(self, label):
        for key in (self._opened or {}).get("modes", []):
            if mode_label(key) == label:
                return key
        return "x1-left"

    @staticmethod
    def _three(text):
        """HDR exposures: the steps' values, the rest as they were (3 ms: the shortest)."""
        parts = [p.strip() for p in text.replace(";", ",").split(",") if p.strip()]
        return ", ".join((parts + ["3", "3", "3"])[:3]) if len(parts) <= 3 else text

    @staticmethod
    def _roi(text):
        return "0, 0, 0, 0" if text.strip().lower() in ("", "whole", "whole image") else text

    def _other(self):
        text = self.other.value
        if "=" not in text:
            self.message("an option is set as KEY = VALUE, not %r" % text, True)
            return
        key, value = (p.strip() for p in text.split("=", 1))
        self.station.submit("option", key, value)

    def capture_after_change(self):
        return bool(self.preview.value)

    # ---- station to page ----

    @staticmethod
    def _status_html(text, error):
        colour = "#b00020" if error else "#1b5e20"
        return "<p id='tuvo-status' data-error='%d' style='color:%s;margin:0'>%s</p>" % (
            1 if error else 0, colour, _esc(text))

    def message(self, text, error):
        text = text if len(text) <= 600 else text[:600] + "..."  # names a page typed may be long
        self.status.content = self._status_html(("refused: " if error else "") + text, error)

    def devices(self, devices):
        self._serials = {"%s  %s" % (d["serial"], d["name"]): d["serial"] for d in devices}
        self.device.options = list(self._serials) or ["(none)"]
        if not devices:
            self.message("no devices found; connect one and press Rescan devices", True)

    def opened(self, info, aim=True):
        """The camera open (None: none); `aim` turns the 3-D view to its next points."""
        self._opened = info
        self._framed = self._framed and not aim
        if info is None:
            self.about.content = "<p>no camera is open</p>"
            return
        for label, serial in self._serials.items():
            if serial == info["serial"]:
                self.device.value = label
        self.mode.options = [mode_label(m) for m in info["modes"]]
        self.mode.value = mode_label(info["mode"])
        d = info["device"]
        rows = [("serial", d["serial"]), ("name", d["name"]), ("port", "%s %s" % (d["port_type"], d["port"])),
                ("made", d["made"]), ("cameras", ", ".join(d["cameras"])),
                ("working distance", "%d-%d mm" % tuple(d["working_distance_mm"])),
                ("capture modes", ", ".join(d["capture_modes"])), ("opened as", mode_label(info["mode"]))]
        self.about.content = "<table id='tuvo-device'>%s</table>" % "".join(
            "<tr><td>%s</td><td>%s</td></tr>" % (_esc(k), _esc(v)) for k, v in rows)
        ranges = info["ranges"]
        if ranges.get("exposure_ms"):
            lo, hi = ranges["exposure_ms"]
            for slider in (self.exposure_3d, self.exposure_2d):
                slider.min, slider.max = lo, hi
        if ranges.get("gain_db"):
            lo, hi = ranges["gain_db"]
            for slider in (self.gain_3d, self.gain_2d):
                slider.min, slider.max = float(lo), float(hi)
        self.capture_mode.options = info["capture_modes"] or ["normal"]
        self.image_right.visible = info["kind"] == "x2"
        self.image.label = "left" if info["kind"] == "x2" else "%s camera" % info["mode"][3:]
        frames = info["frames"]
        self.playback.visible = frames is not None
        if frames:
            self.frame_slider.max = max(1, frames - 1)
            self.frame_slider.value = max(0, info["position"] - 1)
        virtual = info["virtual"]
        self.virtual.visible = virtual is not None
        if virtual is not None:
            rig = virtual["rig"]
            parts = ["<p><b>rig</b>: %s</p>" % (_esc(rig) if rig else "the default rig (no TUVO_SIM_RIG)")]
            if virtual["rig_text"]:
                parts.append("<pre style='max-height:12em;overflow:auto'>%s</pre>" % _esc(virtual["rig_text"]))
            parts.append("<p><b>scene</b>: %s</p>" % (_esc(virtual["scene"]) if virtual["scene"] else
                                                       "the built-in default scene (sim/scenes/default.toml)"))
            self.virtual_about.content = "".join(parts)

    def options(self, values):
        for handle, name in ((self.exposure_3d, "exposure_time_3d"), (self.exposure_2d, "exposure_time_2d"),
                             (self.gain_3d, "gain_3d"), (self.gain_2d, "gain_2d"),
                             (self.noise_removal, "use_auto_noise_removal")):
            if name in values:
                handle.value = values[name]
        mode = _MODE_NAMES.get(values.get("capture_mode"))
        if mode in self.capture_mode.options:
            self.capture_mode.value = mode
        steps = str(values.get("hdr_exposure_times", 0))
        if steps in _HDR_STEPS:
            self.hdr_steps.value = steps
        self.hdr_exposures.value = ", ".join(str(v) for v in values.get("hdr_exposure_time_content", []))
        self.roi.value = _roi_text(values.get("roi", [0, 0, 0, 0]))

    def state(self, state):
        self.continuous.value = state["continuous"]
        self.play.value = state["continuous"]
        recording = state["recording"] is not None
        self.record_start.disabled = recording or not state["open"]
        self.record_stop.disabled = not recording
        for handle in (self.exposure_3d, self.exposure_2d, self.gain_3d, self.gain_2d, self.capture_mode,
                       self.noise_removal, self.hdr_steps, self.set_hdr, self.set_roi, self.set_other,
                       self.settings_load, self.device, self.mode, self.rescan, self.reload):
            handle.disabled = recording

    def saved(self, name):
        """The next name to save as: the number at the end of `name` counted on."""
        head = name.rstrip("0123456789")
        digits = name[len(head):]
        if digits:
            self.save_name.value = "%s%0*d" % (head, len(digits), int(digits) + 1)

    def frame(self, frame):
        """A capture's results: points first, then the counts (a page that shows the new counts has
        the new points), then the pictures (made in this thread: JPEG, which encodes a hundred
        times faster than PNG)."""
        images = frame["images"]
        first = images.get("left", next(iter(images.values()), None))
        centre, points, colours, spacing = pictures.cloud(frame["points"], first, self.colour_by.value == "depth",
                                                          self.max_points)
        self.server.scene.add_point_cloud("/points", points, colours, point_size=max(spacing * 1.6, 1e-4),
                                          point_shape="square", precision="float16", position=tuple(centre),
                                          point_shading="flat")
        if not self._framed and len(points):
            self._aim(centre)
        s = frame["stats"]
        parts = ["%s valid points of %s (%.1f %%)" % (format(s["valid"], ","), format(s["total"], ","),
                                                       100.0 * s["valid"] / max(1, s["total"])),
                 "capture %.0f ms" % s["capture_ms"], "%d x %d" % s["size"]]
        if s["z"]:
            parts.append("z %.0f-%.0f mm" % s["z"])
        parts.append("capture %d" % s["count"] if s["index"] is None else "frame %d" % s["index"])
        if s["recorded"] is not None:
            parts.append("%d recorded" % s["recorded"])
        self.counts.content = "<p id='tuvo-counts' data-count='%d' data-valid='%d'>%s</p>" % (
            s["count"], s["valid"], _esc("; ".join(parts)))
        if s["index"] is not None:
            self.frame_slider.value = s["index"]
        if first is not None:
            self.image.image = pictures.image_rgb(first)
        if "right" in images and len(images) > 1:
            self.image_right.image = pictures.image_rgb(images["right"])
        if frame["depth"] is not None:
            self.depth.image = pictures.depth_figure(frame["depth"])[0]
        if frame["confidence"] is not None:
            self.confidence.image = pictures.confidence_figure(frame["confidence"])[0]
        self.message("captured: %s valid points" % format(s["valid"], ","), False)

    def _aim(self, centre):
        """Looks at the points from a little above and beside the device, once per camera opened."""
        self._framed = True
        distance = float(np.linalg.norm(centre)) or 1.0
        position = tuple(float(v) for v in (centre[0] + 0.2 * distance, centre[1] - 0.25 * distance,
                                            centre[2] - 1.0 * distance))
        look = tuple(float(v) for v in centre)
        camera = self.server.initial_camera
        camera.position, camera.look_at, camera.up = position, look, (0.0, -1.0, 0.0)
        for client in self.server.get_clients().values():
            client.camera.position, client.camera.look_at = position, look


__all__ = ["Page", "viser"]
