"""The `tuvo` command: devices, captures, recordings and their playback from the shell.

Exit status: 0 done, 1 the SDK or a file refused (one line on stderr says why), 2 a usage error,
130 interrupted (Ctrl-C), 143 terminated (SIGTERM), 141 the reader of the output went away
(`tuvo play rec | head`), each after closing and destroying everything the command opened.
"""
import sys

try:  # Ctrl-C while the modules load (numpy, the SDK): nothing is open yet, so stop quietly
    import argparse
    import json
    import math
    import os
    import shutil
    import signal
    import tempfile
    import threading
    import time

    import numpy as np

    import PyTUVO as T

    from . import __version__
    from . import options as opts_mod
    from . import viewer
    from .clouds import save_cloud
    from .progress import Progress
    from .recorder import Recorder
    from .recording import RecordingError, read_manifest
    from .sdk import (CAMERAS, CAPTURE_MODES, ERROR_NOT_FOUND, Session, SdkError, calibration, call, camera_names, check,
                      describe, failure, last_error, readable)
except KeyboardInterrupt:
    raise SystemExit(130)

_TEMPERATURES = {
    "camera": T.CameraTempSelector_Camera, "core_board": T.CameraTempSelector_CoreBoard,
    "fpga_core": T.CameraTempSelector_FpgaCore, "frame_grabber_board": T.CameraTempSelector_Framegrabberboard,
    "sensor": T.CameraTempSelector_Sensor, "sensor_board": T.CameraTempSelector_SensorBoard,
}
_COVER = {
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Unknown): "unknown",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Closed): "closed",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Closing): "closing",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Open): "open",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Opening): "opening",
}


class Terminated(KeyboardInterrupt):
    """SIGTERM (what `timeout`, `kill` and service managers send), raised where Ctrl-C would be so
    that the same clean-up runs."""


class Interrupted(Exception):
    """Ctrl-C or SIGTERM, after the command released what it opened; says what it had done."""

    def __init__(self, cause, done):
        self.status = 143 if isinstance(cause, Terminated) else 130
        super().__init__("%s after %s" % ("terminated" if self.status == 143 else "interrupted", done))


# ---- output ----

def _emit(args, data, lines):
    if args.json:
        print(json.dumps(data, indent=1, allow_nan=False))
    elif not args.quiet:
        for line in lines:
            try:
                print(line)
            except UnicodeEncodeError:  # a file name not in the output's encoding: its bytes, as `ls` shows them
                sys.stdout.flush()
                sys.stdout.buffer.write(os.fsencode(line) + b"\n")


def _points_summary(points):
    z = points[..., 2]
    valid = np.isfinite(z)
    count = int(valid.sum())
    return {"valid_points": count, "valid_fraction": round(count / max(1, z.size), 6),
            "z_min_mm": float(z[valid].min()) if count else None, "z_max_mm": float(z[valid].max()) if count else None}


def _summary_text(s):
    if not s["valid_points"]:
        return "no valid points"
    return "%d valid points (%.1f%%), z %.1f..%.1f mm" % (s["valid_points"], 100 * s["valid_fraction"], s["z_min_mm"],
                                                        s["z_max_mm"])


# ---- options from flags ----

def _capture_options(args, kind):
    try:
        opts = opts_mod.new_options(kind)
        if args.settings:
            opts_mod.read_settings(args.settings, kind, opts)
        if args.exposure_3d is not None:
            opts_mod.set_option(opts, "exposure_time_3d", args.exposure_3d)
        if args.exposure_2d is not None:
            opts_mod.set_option(opts, "exposure_time_2d", args.exposure_2d)
        if args.mode:
            opts.capture_mode = CAPTURE_MODES[args.mode]
        if args.normals:
            opts.calc_normal = True
        if args.roi:
            opts_mod.set_option(opts, "roi", args.roi)
        for item in args.set or []:
            if "=" not in item:
                raise opts_mod.OptionsError("--set takes KEY=VALUE, not %r" % item)
            key, value = item.split("=", 1)
            opts_mod.set_option(opts, key.strip(), value)
    except opts_mod.OptionsError as e:
        raise UsageError(str(e))
    return opts


class UsageError(Exception):
    pass


def _open_camera(session, device, args):
    if args.x2:
        return session.x2(device), True
    d = describe(device)
    cameras = camera_names(d["cameraid"])
    if args.camera not in cameras:
        raise SdkError("the device %s has no %s camera (its camera%s: %s)" % (
            d["sn"], args.camera, "s" if len(cameras) != 1 else "", ", ".join(cameras) or "none"))
    return session.x1(device, args.camera), False


# ---- commands ----

def cmd_list(args):
    with Session() as s:
        devices = [readable(describe(d)) for d in s.devices()]
    lines = ["%-12s %-22s %-4s %-16s %-26s %s" % (d["serial"], d["name"], d["port_type"], d["port"],
                                                  ",".join(d["cameras"]),
                                                  " ".join(k.upper() for k in ("x1", "x2") if d[k]))
             for d in devices] or ["no devices"]
    _emit(args, {"devices": devices}, lines)
    return 0


def _temperatures(cam, x2, cameras):
    out = {}
    _, projector = call("GetProjectorTemperature", cam.GetProjectorTemperature)
    out["projector"] = round(projector, 2)
    for name in cameras:
        per = {}
        for key, selector in _TEMPERATURES.items():
            _, celsius = call("GetCameraTemperature", cam.GetCameraTemperature,
                              *((CAMERAS[name], selector) if x2 else (selector,)))
            per[key] = round(celsius, 2)
        out[name] = per
    return out


def _known_calibration(cam, cid):
    """A camera's calibration; None for one the device does not know (a playback device knows the
    cameras its recording saw)."""
    try:
        return calibration(cam) if cid is None else calibration(cam, cid)
    except SdkError as e:
        if e.code != ERROR_NOT_FOUND:
            raise
        return None


def cmd_info(args):
    with Session() as s:
        device = s.find(args.serial)
        d = describe(device)
        x2 = args.x2 or (d["support_x2"] and args.camera is None)
        args.x2, args.camera = x2, args.camera or "left"
        cam, x2 = _open_camera(s, device, args)
        cameras = camera_names(d["cameraid"]) if x2 else [args.camera]
        _, size = call("GetCameraResolution", cam.GetCameraResolution)
        ranges = {}
        for key, getter in (("exposure_ms", cam.GetExposureTimeRange), ("gain_db", cam.GetGainRange),
                            ("gamma", cam.GetGammaRange)):
            _, lo, hi = call(getter.__name__, getter)
            ranges[key] = [lo, hi]
        _, roi = call("GetRoiRange", cam.GetRoiRange)
        ranges["roi"] = {k: getattr(roi, k) for k in ("x_step", "y_step", "width_step", "height_step", "width_min",
                                                       "height_min", "width_max", "height_max")}
        calib = {n: _known_calibration(cam, CAMERAS[n] if x2 else None) for n in cameras}
        temperatures = _temperatures(cam, x2, cameras)
        cover = None
        if d["support_protective_cover"]:
            _, status = call("GetProtectiveCoverStatus", cam.GetProtectiveCoverStatus)
            cover = _COVER.get(int(status), "unknown")
    info = readable(d)
    data = {"device": info, "opened_as": "X2" if x2 else "X1 (%s camera)" % args.camera,
            "resolution": [size.width, size.height], "ranges": ranges, "calibration": calib,
            "temperatures_c": temperatures, "protective_cover": cover}
    lines = ["%s  %s (%s, %s), made %s" % (info["serial"], info["name"], info["port_type"], info["port"], info["made"]),
             "opened as %s, resolution %d x %d" % (data["opened_as"], size.width, size.height),
             "working distance %d-%d mm; capture modes %s" % (tuple(info["working_distance_mm"]) +
                                                             (", ".join(info["capture_modes"]),)),
             "exposure %d-%d ms, gain %g-%g dB, gamma %g-%g" % tuple(ranges["exposure_ms"] + ranges["gain_db"] +
                                                                    ranges["gamma"]),
             "projector %.1f C" % temperatures["projector"]]
    for n in cameras:
        if calib[n] is None:
            lines.append("%-5s camera: calibration not known; sensor %.1f C" % (n, temperatures[n]["sensor"]))
            continue
        k, e = calib[n]["intrinsics"], calib[n]["extrinsic"]
        lines.append("%-5s camera: fx %.2f fy %.2f cx %.2f cy %.2f; at (%.2f, %.2f, %.2f) mm; sensor %.1f C" % (
            n, k[0], k[4], k[2], k[5], e[3], e[7], e[11], temperatures[n]["sensor"]))
    lines.append("protective cover: %s" % (cover or "none"))
    _emit(args, data, lines)
    return 0


def cmd_capture(args):
    opts = _capture_options(args, "x2" if args.x2 else "x1")
    with Session() as s:
        device = s.find(args.serial)
        cam, x2 = _open_camera(s, device, args)
        call("Capture", cam.Capture, opts)
        point_map = call("GetPointMap", cam.GetPointMap)
        s.on_exit(lambda: T.PointMap.Destroy(point_map))
        before = last_error()
        image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
        if image.IsValid():
            s.on_exit(lambda: T.Image.Destroy(image))
        unit = T.Meter if args.metres else T.Millimeter
        colours = image if image.IsValid() and not args.no_colour else None
        if args.normals:  # the SDK's files hold no normals: written here, in the same layout
            normals = point_map.GetNormalDataPtr()
            check(normals.IsValid(), "GetNormalDataPtr", explain="the capture computed no normals")
            save_cloud(args.output, point_map, colours, normals, metres=args.metres, binary=not args.ascii)
        elif colours is not None:
            call("PointMap.SaveWithImage", point_map.SaveWithImage, args.output, image, unit, not args.ascii)
        else:
            call("PointMap.Save", point_map.Save, args.output, unit, not args.ascii)
        saved = [args.output]
        if args.image and not image.IsValid():
            error = failure("GetImage", before)
            raise error if error.code is not None else SdkError("the capture gave no image%s" % (
                "" if opts.enable_2d_in_capture else " (enable_2d_in_capture = false)"))
        if args.image:
            call("Image.SaveImage", image.SaveImage, args.image)
            saved.append(args.image)
        if args.depth:
            depth = call("GetDepthMap", cam.GetDepthMap)
            if args.depth_raw:
                call("DepthMap.SaveDepthMap", depth.SaveDepthMap, args.depth, False)
            else:
                info = describe(device)
                _depth_picture(np.asarray(depth), args.depth, "%s %s: depth, black where nothing was measured" % (
                    info["sn"], "X2" if x2 else "X1 %s camera" % args.camera))
            saved.append(args.depth)
        summary = _points_summary(np.asarray(point_map))
    _emit(args, {"saved": saved, **summary}, ["%s; saved %s" % (_summary_text(summary), ", ".join(saved))])
    return 0


def _depth_picture(depth, path, caption):
    """The depth (mm) as a picture for people, as the examples draw it: near red to far blue over a
    robust range, black where nothing was measured, a colour bar in mm and a caption; saved by the
    SDK (PNG)."""
    from . import pictures  # Pillow writes the text: loaded only for pictures
    near, far = pictures.robust_range(depth)
    image, _ = pictures.depth_figure(depth, near, far, caption)
    try:
        call("Image.SaveImage", image.SaveImage, path)
    finally:
        T.Image.Destroy(image)


def cmd_record(args):
    if args.frames < 1:
        raise UsageError("--frames must be at least 1")
    opts = _capture_options(args, "x2" if args.x2 else "x1")
    progress, rec, stream = None, None, None

    def recorded():  # what the manifest lists (a frame interrupted while committed is whole)
        return rec.writer.frames(stream.name) if stream else 0
    try:
        with Session() as s:
            device = s.find(args.serial)
            cam, x2 = _open_camera(s, device, args)
            rec = Recorder(args.out_dir, device, compress=args.compress)
            stream = rec.add_x2(cam, opts) if x2 else rec.add_x1(cam, args.camera, opts)
            progress = Progress("record", args.frames, enabled=not args.quiet)
            for i in range(args.frames):
                if i and args.interval:
                    time.sleep(args.interval)
                rec.capture(stream)
                progress.step()
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d of %d frames%s" % (recorded(), args.frames, "; %s holds them" % rec.path if rec else ""))
    finally:
        if progress:
            progress.close()
    _emit(args, {"recording": rec.path, "stream": stream.name, "frames": recorded()},
          ["recorded %d frames of %s into %s" % (recorded(), stream.name, rec.path)])
    return 0


def _write_rig(folder, path, loop):
    """A rig in `folder` that declares the recording at `path` as a playback device; returns its name.
    A rig line holds any name but one with a line break or white space at its end: such a
    recording is reached through a symbolic link beside the rig."""
    target = os.fsencode(os.path.abspath(path))
    if b"\n" in target or b"\r" in target or target != target.rstrip(b" \t"):
        os.symlink(target, os.path.join(folder, "recording"))
        target = b"recording"
    rig = os.path.join(folder, "play.rig")
    with open(rig, "wb") as f:
        f.write(b"# written by tuvo play\n[device]\nplayback = " + target + b"\nloop = " +
                (b"yes" if loop else b"no") + b"\n")
    return rig


def cmd_play(args):
    if args.frames is not None and args.frames < 1:
        raise UsageError("--frames must be at least 1")
    manifest = read_manifest(args.recording)
    streams = list(manifest["streams"])
    if args.stream:
        if args.stream not in streams:
            raise UsageError("the recording holds no stream %s (it holds %s)" % (args.stream, ", ".join(streams)))
        streams = [args.stream]
    if args.save:
        os.makedirs(args.save, exist_ok=True)
    marker_type = T.CodedCircleMarkerType()
    folder = tempfile.mkdtemp(prefix="tuvo-play-")
    previous = os.environ.get("TUVO_SIM_RIG")
    report = []
    try:
        # Playback devices are read from the rig at SystemInit.
        os.environ["TUVO_SIM_RIG"] = _write_rig(folder, args.recording, args.loop)
        with Session() as s:
            serial = manifest["device"]["sn"]
            device = T.SystemFindDevice(serial)
            if not device.IsValid():
                raise SdkError("the SDK in use (%s) offers no playback device %s: recordings play back on the "
                               "virtual SDK installed with PyTUVO" % (T.GetVersion(), serial))
            for name in streams:
                x2 = name == "x2"
                cam = s.x2(device) if x2 else s.x1(device, name[3:])
                count = args.frames or len(manifest["streams"][name]["frames"])
                progress = Progress("play " + name, count, enabled=not args.quiet and not args.json)
                try:
                    for i in range(count):
                        call("Capture", cam.Capture)
                        report.append(_look(cam, x2, name, i, marker_type, args.save))
                        if not args.json and not args.quiet:
                            r = report[-1]
                            print("%s %4d: %s; %d markers" % (name, i, _summary_text(r), r["markers"]))
                        progress.step()
                finally:
                    progress.close()
                if not x2:
                    cam.Close()
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d frames" % len(report))
    finally:
        if previous is None:
            os.environ.pop("TUVO_SIM_RIG", None)
        else:
            os.environ["TUVO_SIM_RIG"] = previous
        shutil.rmtree(folder, ignore_errors=True)
    if args.json:
        print(json.dumps({"recording": os.path.abspath(args.recording), "frames": report}, indent=1, allow_nan=False))
    return 0


def _look(cam, x2, name, index, marker_type, save):
    """What one played-back frame shows: its points, and the markers in its first image."""
    point_map = call("GetPointMap", cam.GetPointMap)
    image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
    try:
        summary = _points_summary(np.asarray(point_map))
        summary.update(stream=name, frame=index, markers=len(T.DetectCodedCircleMarker(image, marker_type))
                       if image.IsValid() else 0)
        if save:
            base = os.path.join(save, "%s-%06d" % (name, index))
            call("PointMap.Save", point_map.Save, base + ".ply")
            if image.IsValid():
                call("Image.SaveImage", image.SaveImage, base + ".png")
            depth = call("GetDepthMap", cam.GetDepthMap)
            _depth_picture(np.asarray(depth), base + "-depth.png", "%s frame %d: depth, black where nothing was "
                                                                   "measured" % (name, index))
    finally:
        T.PointMap.Destroy(point_map)
        if image.IsValid():
            T.Image.Destroy(image)
    return summary


def cmd_scan(args):
    if args.sweeps < 1:
        raise UsageError("--sweeps must be at least 1")
    opts = _capture_options(args, "x2")
    try:
        opts_mod.set_option(opts, "line_scanner_scan_time_ms", args.scan_time)
    except opts_mod.OptionsError as e:
        raise UsageError(str(e))
    sweeps = []
    try:
        with Session() as s:
            device = s.find(args.serial)
            cam = s.x2(device)
            call("StartFixedLineScan", cam.StartFixedLineScan, opts)
            s.on_exit(cam.StopFixedLineScan)
            progress = Progress("scan", args.sweeps, enabled=not args.quiet)
            point_map = None
            try:
                for i in range(args.sweeps):
                    if i:
                        time.sleep(args.scan_time / 1000.0)
                    latest = _next_sweep(cam, point_map, args.scan_time)
                    if point_map is not None:
                        T.PointMap.Destroy(point_map)
                    point_map = latest
                    sweeps.append(_points_summary(np.asarray(point_map)))
                    progress.step()
                if args.output:
                    call("PointMap.Save", point_map.Save, args.output)
            finally:
                progress.close()
                if point_map is not None:
                    T.PointMap.Destroy(point_map)
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d sweeps" % len(sweeps))
    lines = ["sweep %d: %s" % (i, _summary_text(x)) for i, x in enumerate(sweeps)]
    if args.output:
        lines.append("saved %s" % args.output)
    _emit(args, {"sweeps": sweeps, "saved": args.output}, lines)
    return 0


def _next_sweep(cam, previous, scan_time_ms):
    """The scan's next sweep: GetFixedLineScanPointMap gives the latest complete one, which is the
    one already seen when the scanner has not finished another since (a sweep may take longer than
    its scan time). Asks again until the points differ from `previous` (a new sweep's noise differs
    in every measured point), for up to ten scan times and at least 5 s."""
    deadline = time.monotonic() + max(5.0, 10 * scan_time_ms / 1000.0)
    pause = min(max(scan_time_ms / 20000.0, 0.002), 0.05)
    while True:
        latest = _first_sweep(cam) if previous is None else call("GetFixedLineScanPointMap",
                                                                  cam.GetFixedLineScanPointMap)
        if previous is None or not np.array_equal(np.asarray(latest), np.asarray(previous), equal_nan=True):
            return latest
        T.PointMap.Destroy(latest)
        if time.monotonic() > deadline:
            raise SdkError("the fixed line scan gave no new sweep within %.1f s (GetFixedLineScanPointMap returned the "
                           "previous sweep's points)" % max(5.0, 10 * scan_time_ms / 1000.0))
        time.sleep(pause)


def _first_sweep(cam):
    """GetFixedLineScanPointMap, which waits (up to a minute) for the scan's first sweep, called on a
    helper thread so that Ctrl-C and SIGTERM are taken while it waits: the session's
    StopFixedLineScan then ends the wait."""
    outcome = []

    def fetch():
        try:
            outcome.append(call("GetFixedLineScanPointMap", cam.GetFixedLineScanPointMap))
        except SdkError as e:
            outcome.append(e)
    worker = threading.Thread(target=fetch, name="tuvo first sweep", daemon=True)
    worker.start()
    while worker.is_alive():
        worker.join(0.05)  # wakes to take a signal, whichever thread the system gave it to
    if isinstance(outcome[0], SdkError):
        raise outcome[0]
    return outcome[0]


def cmd_options(args):
    kind = "x2" if args.x2 else "x1"
    listed = opts_mod.describe_options(kind)
    lines = ["%-34s %-9s %s" % (o["name"], o["type"], o["default"]) for o in listed]
    _emit(args, {"kind": kind.upper(), "options": listed},
          ["%s capture options (name, type, default; set them with --set NAME=VALUE or a --settings file):"
           % kind.upper()] + lines)
    return 0


def cmd_view(args):
    return viewer.main(args, _capture_options)


# ---- the parser ----

MAX_INTERVAL_S = 7 * 86400  # a week between captures


def _seconds(text):
    """A pause: a finite number of seconds from 0 to a week."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not math.isfinite(value) or not 0 <= value <= MAX_INTERVAL_S:
        raise argparse.ArgumentTypeError("takes a number of seconds from 0 to %d (a week), not %r" % (MAX_INTERVAL_S,
                                                                                                     text))
    return value


def _parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    common.add_argument("--json", action="store_true", help="print one JSON document for scripts")

    camera = argparse.ArgumentParser(add_help=False)
    group = camera.add_mutually_exclusive_group()
    group.add_argument("--camera", choices=list(CAMERAS), default=None, help="open this camera as an X1 (default left)")
    group.add_argument("--x2", action="store_true", help="open the device as a two-camera X2")

    capture = argparse.ArgumentParser(add_help=False)
    g = capture.add_argument_group("capture options (a settings file first, then the flags)")
    g.add_argument("--settings", metavar="FILE", help="capture options: `key = value` lines or a JSON object")
    g.add_argument("--exposure-3d", type=int, metavar="MS")
    g.add_argument("--exposure-2d", type=int, metavar="MS")
    g.add_argument("--mode", choices=list(CAPTURE_MODES), help="capture mode")
    g.add_argument("--normals", action="store_true", help="compute normals")
    g.add_argument("--roi", metavar="X,Y,W,H", help="region of interest")
    g.add_argument("--set", action="append", metavar="KEY=VALUE", help="any capture option (repeatable)")

    parser = argparse.ArgumentParser(prog="tuvo", description="Work with TUVO 3-D cameras: list, inspect, capture, "
                                     "record and play back, line-scan.",
                                     epilog="Exit status: 0 done, 1 failed (the SDK's reason on stderr), 2 usage, "
                                            "130 interrupted, 143 terminated.")
    parser.add_argument("--version", action="version", version="tuvo %s (PyTUVO SDK %s)" % (__version__,
                                                                                          T.GetVersion()))
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = sub.add_parser("list", parents=[common], help="devices and their description")
    p.set_defaults(run=cmd_list)

    p = sub.add_parser("info", parents=[common, camera], help="resolution, ranges, calibration, temperatures, cover")
    p.add_argument("serial")
    p.set_defaults(run=cmd_info)

    p = sub.add_parser("capture", parents=[common, camera, capture], help="one capture saved as PLY or PCD (and pictures)")
    p.add_argument("serial")
    p.add_argument("-o", "--output", required=True, metavar="SCAN.ply", help="the point cloud (.ply or .pcd)")
    p.add_argument("--image", metavar="IMAGE.png", help="also save the image")
    p.add_argument("--depth", metavar="DEPTH.png", help="also save the depth as a colour picture")
    p.add_argument("--depth-raw", action="store_true", help="save the depth as 16-bit millimetres instead")
    p.add_argument("--ascii", action="store_true", help="ASCII instead of binary")
    p.add_argument("--metres", action="store_true", help="in metres instead of millimetres")
    p.add_argument("--no-colour", action="store_true", help="no vertex colours from the image")
    p.set_defaults(run=cmd_capture)

    p = sub.add_parser("record", parents=[common, camera, capture], help="record captures into a folder")
    p.add_argument("serial")
    p.add_argument("out_dir", metavar="OUT_DIR")
    p.add_argument("--frames", type=int, required=True, metavar="N")
    p.add_argument("--interval", type=_seconds, default=0.0, metavar="SECONDS", help="pause between captures")
    p.add_argument("--compress", action="store_true",
                   help="store each frame's numbers compressed (about 30 %% smaller, slower to record and play back)")
    p.set_defaults(run=cmd_record)

    p = sub.add_parser("play", parents=[common], help="replay a recording through a playback device")
    p.add_argument("recording", metavar="RECORDING", help="the folder `tuvo record` wrote")
    p.add_argument("--stream", help="only this stream (x1-left, x1-right, x1-extra, x2)")
    p.add_argument("--frames", type=int, metavar="N", help="captures per stream (default: all recorded)")
    p.add_argument("--loop", action="store_true", help="start again after the last frame")
    p.add_argument("--save", metavar="DIR", help="save each frame's points, image and depth picture")
    p.set_defaults(run=cmd_play)

    p = sub.add_parser("scan", parents=[common, capture], help="the X2's fixed line scan, with progress")
    p.add_argument("serial")
    p.add_argument("--sweeps", type=int, default=3, metavar="N", help="sweeps to take (default 3)")
    p.add_argument("--scan-time", type=int, default=200, metavar="MS", help="one sweep's time (default 200)")
    p.add_argument("-o", "--output", metavar="SCAN.ply", help="save the last sweep's points")
    p.set_defaults(run=cmd_scan)

    p = sub.add_parser("options", parents=[common], help="the capture options --set and --settings take")
    p.add_argument("--x2", action="store_true", help="those of X2 captures (default: X1)")
    p.set_defaults(run=cmd_options)

    p = sub.add_parser("view", parents=[camera, capture], help="a live viewer in the browser, until Ctrl-C")
    viewer.add_arguments(p)
    p.set_defaults(run=cmd_view)
    return parser


def main(argv=None):
    """Runs the command; returns its exit status. SIGTERM is taken as Ctrl-C while it runs."""
    previous = _catch_sigterm()
    try:
        return _main(argv)
    except KeyboardInterrupt as e:  # before or after a command's own handling
        print("tuvo: %s" % ("terminated" if isinstance(e, Terminated) else "interrupted"), file=sys.stderr)
        return 143 if isinstance(e, Terminated) else 130
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _terminate(signum, frame):
    raise Terminated()


def _catch_sigterm():
    """Turns SIGTERM into Terminated for the command's run; the handler it replaced, or None where
    signals cannot be handled (a thread other than the main one)."""
    try:
        return signal.signal(signal.SIGTERM, _terminate)
    except ValueError:
        return None


def _main(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if not getattr(args, "run", None):
        parser.print_help(sys.stderr)
        return 2
    if getattr(args, "camera", None) is None and hasattr(args, "x2") and not args.x2 and args.run is not cmd_info:
        args.camera = "left"
    try:
        status = args.run(args)
        sys.stdout.flush()  # a reader gone shows here, not at the interpreter's exit
        return status
    except BrokenPipeError:
        return _reader_gone()
    except UsageError as e:
        parser.exit(2, "tuvo %s: error: %s\n" % (args.command, e))
    except Interrupted as e:
        print("tuvo: %s" % e, file=sys.stderr)
        return e.status
    except (SdkError, RecordingError, opts_mod.OptionsError, OSError) as e:
        print("tuvo: error: %s" % e, file=sys.stderr)
        return 1


def _reader_gone():
    """The reader of the output went away (`tuvo play rec | head -1`): stop quietly, as a shell
    command killed by SIGPIPE would, with the rest of the output sent nowhere."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):  # no file behind sys.stdout
        pass
    return 141
