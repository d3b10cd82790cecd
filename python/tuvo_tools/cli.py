"""The `tuvo` command: devices, captures, recordings and their playback from the shell.

Exit status: 0 done, 1 the SDK or a file refused (one line on stderr says why), 2 a usage error,
130 interrupted (Ctrl-C), 141 the reader of the output went away (`tuvo play rec | head`), each
after closing and destroying everything the command opened.
"""
import argparse
import json
import math
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import PyTUVO as T

from . import __version__
from . import options as opts_mod
from . import viewer
from .progress import Progress
from .recorder import Recorder
from .recording import RecordingError, read_manifest
from .sdk import (CAMERAS, CAPTURE_MODES, ERROR_NOT_FOUND, Session, SdkError, calibration, camera_names, check, describe,
                  readable)

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


class Interrupted(Exception):
    """Ctrl-C, after the command released what it opened; carries what it had done."""

    def __init__(self, message):
        super().__init__(message)


# ---- output ----

def _emit(args, data, lines):
    if args.json:
        print(json.dumps(data, indent=1, allow_nan=False))
    elif not args.quiet:
        for line in lines:
            print(line)


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
    ok, projector = cam.GetProjectorTemperature()
    check(ok, "GetProjectorTemperature")
    out["projector"] = round(projector, 2)
    for name in cameras:
        per = {}
        for key, selector in _TEMPERATURES.items():
            ok, celsius = cam.GetCameraTemperature(CAMERAS[name], selector) if x2 else cam.GetCameraTemperature(selector)
            check(ok, "GetCameraTemperature")
            per[key] = round(celsius, 2)
        out[name] = per
    return out


def _known_calibration(cam, cid):
    """A camera's calibration; None for one the device does not know (a playback device knows the
    cameras its recording saw)."""
    try:
        return calibration(cam) if cid is None else calibration(cam, cid)
    except SdkError:
        if T.GetLastError() != ERROR_NOT_FOUND:
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
        ok, size = cam.GetCameraResolution()
        check(ok, "GetCameraResolution")
        ranges = {}
        for key, getter in (("exposure_ms", cam.GetExposureTimeRange), ("gain_db", cam.GetGainRange),
                            ("gamma", cam.GetGammaRange)):
            ok, lo, hi = getter()
            check(ok, getter.__name__)
            ranges[key] = [lo, hi]
        ok, roi = cam.GetRoiRange()
        check(ok, "GetRoiRange")
        ranges["roi"] = {k: getattr(roi, k) for k in ("x_step", "y_step", "width_step", "height_step", "width_min",
                                                       "height_min", "width_max", "height_max")}
        calib = {n: _known_calibration(cam, CAMERAS[n] if x2 else None) for n in cameras}
        temperatures = _temperatures(cam, x2, cameras)
        cover = None
        if d["support_protective_cover"]:
            ok, status = cam.GetProtectiveCoverStatus()
            check(ok, "GetProtectiveCoverStatus")
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
        check(cam.Capture(opts), "Capture")
        point_map = cam.GetPointMap()
        check(point_map.IsValid(), "GetPointMap")
        s.on_exit(lambda: T.PointMap.Destroy(point_map))
        image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
        if image.IsValid():
            s.on_exit(lambda: T.Image.Destroy(image))
        unit = T.Meter if args.metres else T.Millimeter
        if image.IsValid() and not args.no_colour:
            check(point_map.SaveWithImage(args.output, image, unit, not args.ascii), "PointMap.Save")
        else:
            check(point_map.Save(args.output, unit, not args.ascii), "PointMap.Save")
        saved = [args.output]
        if args.image and not image.IsValid():
            raise SdkError(T.GetLastErrorMessage() or "the capture gave no image%s" % (
                "" if opts.enable_2d_in_capture else " (enable_2d_in_capture = false)"))
        if args.image:
            check(image.SaveImage(args.image), "Image.SaveImage")
            saved.append(args.image)
        if args.depth:
            check(cam.GetDepthMap().SaveDepthMap(args.depth, not args.depth_raw), "DepthMap.SaveDepthMap")
            saved.append(args.depth)
        summary = _points_summary(np.asarray(point_map))
    _emit(args, {"saved": saved, **summary}, ["%s; saved %s" % (_summary_text(summary), ", ".join(saved))])
    return 0


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
            rec = Recorder(args.out_dir, device)
            stream = rec.add_x2(cam, opts) if x2 else rec.add_x1(cam, args.camera, opts)
            progress = Progress("record", args.frames, enabled=not args.quiet)
            for i in range(args.frames):
                if i and args.interval:
                    time.sleep(args.interval)
                rec.capture(stream)
                progress.step()
    except KeyboardInterrupt:
        raise Interrupted("interrupted after %d of %d frames%s" % (
            recorded(), args.frames, "; %s holds them" % rec.path if rec else ""))
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
                        check(cam.Capture(), "Capture")
                        report.append(_look(cam, x2, name, i, marker_type, args.save))
                        if not args.json and not args.quiet:
                            r = report[-1]
                            print("%s %4d: %s; %d markers" % (name, i, _summary_text(r), r["markers"]))
                        progress.step()
                finally:
                    progress.close()
                if not x2:
                    cam.Close()
    except KeyboardInterrupt:
        raise Interrupted("interrupted after %d frames" % len(report))
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
    point_map = cam.GetPointMap()
    check(point_map.IsValid(), "GetPointMap")
    image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
    try:
        summary = _points_summary(np.asarray(point_map))
        summary.update(stream=name, frame=index, markers=len(T.DetectCodedCircleMarker(image, marker_type))
                       if image.IsValid() else 0)
        if save:
            base = os.path.join(save, "%s-%06d" % (name, index))
            check(point_map.Save(base + ".ply"), "PointMap.Save")
            if image.IsValid():
                check(image.SaveImage(base + ".png"), "Image.SaveImage")
            check(cam.GetDepthMap().SaveDepthMap(base + "-depth.png", True), "DepthMap.SaveDepthMap")
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
            check(cam.StartFixedLineScan(opts), "StartFixedLineScan")
            s.on_exit(cam.StopFixedLineScan)
            progress = Progress("scan", args.sweeps, enabled=not args.quiet)
            point_map = None
            try:
                for i in range(args.sweeps):
                    if i:
                        time.sleep(args.scan_time / 1000.0)
                    latest = cam.GetFixedLineScanPointMap()
                    check(latest.IsValid(), "GetFixedLineScanPointMap")
                    if point_map is not None:
                        T.PointMap.Destroy(point_map)
                    point_map = latest
                    sweeps.append(_points_summary(np.asarray(point_map)))
                    progress.step()
                if args.output:
                    check(point_map.Save(args.output), "PointMap.Save")
            finally:
                progress.close()
                if point_map is not None:
                    T.PointMap.Destroy(point_map)
    except KeyboardInterrupt:
        raise Interrupted("interrupted after %d sweeps" % len(sweeps))
    lines = ["sweep %d: %s" % (i, _summary_text(x)) for i, x in enumerate(sweeps)]
    if args.output:
        lines.append("saved %s" % args.output)
    _emit(args, {"sweeps": sweeps, "saved": args.output}, lines)
    return 0


def cmd_view(args):
    return viewer.main(args, _capture_options)


# ---- the parser ----

def _seconds(text):
    """A pause: a finite number of seconds, 0 or more."""
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError("takes a number of seconds, 0 or more, not %r" % text)
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
                                            "130 interrupted.")
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
    p.set_defaults(run=cmd_record)

    p = sub.add_parser("play", parents=[common], help="replay a recording through a playback device")
    p.add_argument("recording", metavar="OUT_DIR")
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

    p = sub.add_parser("view", parents=[camera, capture], help="a live viewer in the browser, until Ctrl-C")
    viewer.add_arguments(p)
    p.set_defaults(run=cmd_view)
    return parser


def main(argv=None):
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
        return 130
    except KeyboardInterrupt:
        print("tuvo: interrupted", file=sys.stderr)
        return 130
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
