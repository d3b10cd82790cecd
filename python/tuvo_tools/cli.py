"""The `tuvo` command: devices, captures, recordings and their playback from the shell.

Exit status: 0 done, 1 the SDK or a file refused (one line on stderr says why), 2 a usage error,
130 interrupted (Ctrl-C), 143 terminated (SIGTERM), 141 the reader of the output went away
(`tuvo play rec | head`), each after closing and destroying everything the command opened.

The flags are parsed here once and turned into the explicit values of the command's `run` (the
commands are in `tuvo_tools.commands`, one module each); `main` is the one place that turns what a
command raises into its exit status and its line on stderr.
"""
import sys

try:  # Ctrl-C while the modules load (numpy, the SDK): nothing is open yet, so stop quietly
    import argparse
    import math
    import os
    import signal

    # numpy before the SDK's module: a Ctrl-C while that module's start loads it would be an ImportError
    import numpy  # noqa: F401
    import PyTUVO as T

    from . import __version__
    from . import viewer
    from .commands import capture, info, play, record, scan, view
    from .commands import list as list_command
    from .commands import options as options_command
    from .commands.camera import CaptureFlags
    from .commands.errors import Interrupted, Terminated, UsageError
    from .commands.output import Output
    from .options import OptionsError
    from .recording import RecordingError
    from .sdk import CAMERAS, CAPTURE_MODES, SdkError
except KeyboardInterrupt:
    raise SystemExit(130)


# ---- the parsed flags as explicit values ----

def _output(args):
    return Output(json=args.json, quiet=args.quiet)


def _flags(args):
    return CaptureFlags(settings=args.settings, exposure_3d=args.exposure_3d, exposure_2d=args.exposure_2d,
                        mode=args.mode, normals=args.normals, roi=args.roi, assignments=tuple(args.set or ()))


def _camera(args):
    """The camera an X1 opens on (default left; an X2 opens both)."""
    return args.camera or "left"


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

    capture_flags = argparse.ArgumentParser(add_help=False)
    g = capture_flags.add_argument_group("capture options (a settings file first, then the flags)")
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
    p.set_defaults(run=lambda a: list_command.run(_output(a)))

    p = sub.add_parser("info", parents=[common, camera], help="resolution, ranges, calibration, temperatures, cover")
    p.add_argument("serial")
    p.set_defaults(run=lambda a: info.run(_output(a), a.serial, a.camera, a.x2))

    p = sub.add_parser("capture", parents=[common, camera, capture_flags],
                       help="one capture saved as PLY or PCD (and pictures)")
    p.add_argument("serial")
    p.add_argument("-o", "--output", required=True, metavar="SCAN.ply", help="the point cloud (.ply or .pcd)")
    p.add_argument("--image", metavar="IMAGE.png", help="also save the image")
    p.add_argument("--depth", metavar="DEPTH.png", help="also save the depth as a colour picture")
    p.add_argument("--depth-raw", action="store_true", help="save the depth as 16-bit millimetres instead")
    p.add_argument("--ascii", action="store_true", help="ASCII instead of binary")
    p.add_argument("--metres", action="store_true", help="in metres instead of millimetres")
    p.add_argument("--no-colour", action="store_true", help="no vertex colours from the image")
    p.set_defaults(run=lambda a: capture.run(
        _output(a), a.serial, _camera(a), a.x2, _flags(a), a.output, image_path=a.image, depth_path=a.depth,
        depth_raw=a.depth_raw, binary=not a.ascii, metres=a.metres, colour=not a.no_colour))

    p = sub.add_parser("record", parents=[common, camera, capture_flags], help="record captures into a folder")
    p.add_argument("serial")
    p.add_argument("out_dir", metavar="OUT_DIR")
    p.add_argument("--frames", type=int, required=True, metavar="N")
    p.add_argument("--interval", type=_seconds, default=0.0, metavar="SECONDS", help="pause between captures")
    p.add_argument("--compress", action="store_true",
                   help="store each frame's numbers compressed (about 30 %% smaller, slower to record and play back)")
    p.set_defaults(run=lambda a: record.run(_output(a), a.serial, _camera(a), a.x2, _flags(a), a.out_dir, a.frames,
                                            interval=a.interval, compress=a.compress))

    p = sub.add_parser("play", parents=[common], help="replay a recording through a playback device")
    p.add_argument("recording", metavar="RECORDING", help="the folder `tuvo record` wrote")
    p.add_argument("--stream", help="only this stream (x1-left, x1-right, x1-extra, x2)")
    p.add_argument("--frames", type=int, metavar="N", help="captures per stream (default: all recorded)")
    p.add_argument("--loop", action="store_true", help="start again after the last frame")
    p.add_argument("--save", metavar="DIR", help="save each frame's points, image and depth picture")
    p.set_defaults(run=lambda a: play.run(_output(a), a.recording, stream=a.stream, frames=a.frames, loop=a.loop,
                                          save=a.save))

    p = sub.add_parser("scan", parents=[common, capture_flags], help="the X2's fixed line scan, with progress")
    p.add_argument("serial")
    p.add_argument("--sweeps", type=int, default=3, metavar="N", help="sweeps to take (default 3)")
    p.add_argument("--scan-time", type=int, default=200, metavar="MS", help="one sweep's time (default 200)")
    p.add_argument("-o", "--output", metavar="SCAN.ply", help="save the last sweep's points")
    p.set_defaults(run=lambda a: scan.run(_output(a), a.serial, _flags(a), sweeps=a.sweeps, scan_time=a.scan_time,
                                          output=a.output))

    p = sub.add_parser("options", parents=[common], help="the capture options --set and --settings take")
    p.add_argument("--x2", action="store_true", help="those of X2 captures (default: X1)")
    p.set_defaults(run=lambda a: options_command.run(_output(a), x2=a.x2))

    p = sub.add_parser("view", parents=[camera, capture_flags], help="a live viewer in the browser, until Ctrl-C")
    viewer.add_arguments(p)
    p.set_defaults(run=lambda a: view.run(_flags(a), a.target, _camera(a), a.x2, host=a.host, port=a.port,
                                          open_page=a.open, out=a.out, max_points=a.max_points))
    return parser


# ---- running a command: its exit status ----

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
    except (SdkError, RecordingError, OptionsError, viewer.ViewerStartError, OSError) as e:
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
