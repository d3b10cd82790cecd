"""`tuvo view`: a live viewer of one device (or a recording) in the browser, on the public PyTUVO
interface. It needs viser, the optional extra `pytuvo[viewer]`; this module loads it only when the
viewer starts, so the rest of tuvo_tools works without it."""
import argparse
import contextlib
import errno
import io
import ipaddress
import os
import signal
import socket
import sys
import threading

HOW_TO_GET = ('tuvo view needs viser, which is not installed: pip install "pytuvo[viewer]" '
              '(from a source tree: pip install ".[viewer]", or make demo)')
_DEFAULT_MAX_POINTS = 300000


class ViewerStartError(Exception):
    """The viewer cannot start (an address it cannot listen on, an output folder that is none)."""


def main(target, x2, camera, initial_options, host="127.0.0.1", port=0, open_page=False, out=".",
         max_points=_DEFAULT_MAX_POINTS):
    """`tuvo view` (see run): the exit status; a ViewerStartError when it cannot start, viser
    missing among the reasons."""
    missing = viser_missing()
    if missing is not None:
        raise ViewerStartError(missing)
    return run(target, x2, camera, initial_options, host, port, open_page, out, max_points)


def viser_missing():
    """None when viser can be imported, else what to tell the user."""
    try:
        import viser  # noqa: F401
    except ImportError:
        return HOW_TO_GET
    return None


def _check_address(host, port):
    """Refuses an address the server could not listen on, with the system's reason, before viser
    tries (viser would try the next ports instead). Returns whether every address the host names
    is a loopback one."""
    try:
        found = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except (socket.gaierror, UnicodeError, ValueError) as e:
        raise ViewerStartError("cannot listen on %s: %s" % (host, e))
    loopback = True
    for family, kind, proto, _, address in found:
        try:
            loopback = loopback and ipaddress.ip_address(address[0].split("%")[0]).is_loopback
        except ValueError:
            loopback = False
    family, kind, proto, _, address = found[0]
    with socket.socket(family, kind, proto) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(address)
        except OSError as e:
            reason = "the port is in use" if e.errno == errno.EADDRINUSE else e.strerror
            raise ViewerStartError("cannot listen on %s port %d: %s" % (host, port, reason))
    return loopback


def _url(host, port):
    shown = "127.0.0.1" if host in ("0.0.0.0", "") else "[::1]" if host == "::" else host
    if ":" in shown and not shown.startswith("["):
        shown = "[%s]" % shown
    return "http://%s:%d/" % (shown, port)


def run(target, x2, camera, initial_options, host, port, open_page, out, max_points):
    """Serves the viewer of `target` (a device's serial, a recording's folder, or None: the first
    device found), opened as an X2 or as an X1 on `camera`, on `host` and `port` (0: any free one)
    until Ctrl-C (or SIGTERM); returns the exit status. `initial_options(kind)` gives the options the
    first camera starts with (from the command's flags); saves go to the folder `out`; a capture
    sends at most `max_points` points to the page; `open_page` opens the page in the browser."""
    import viser

    import PyTUVO as T

    from ..commands.errors import Terminated  # SIGTERM ends the viewer as it ends every other command
    from ..commands.play import playback_rig
    from ..recording import read_manifest
    from ..sdk import SdkError
    from .page import Page
    from .station import Station

    out_dir = os.path.abspath(out)
    if not os.path.isdir(out_dir):
        raise ViewerStartError("--out %s: not a folder" % out)
    loopback = _check_address(host, port)

    playback = None
    rig = contextlib.ExitStack()  # the playback device's rig, while the viewer runs
    station = server = None
    stop = threading.Event()
    handlers = {}

    def interrupt(signum, frame):
        raise Terminated() if signum == signal.SIGTERM else KeyboardInterrupt()
    try:
        for signum in (signal.SIGTERM, signal.SIGHUP):  # as Ctrl-C: everything released first
            handlers[signum] = signal.signal(signum, interrupt)
        if target is not None and os.path.isdir(target):
            playback = read_manifest(target)
            if not T.GetVersion().startswith("TUVO virtual SDK"):
                raise SdkError("the SDK in use (%s) offers no playback device: recordings play back on the "
                               "virtual SDK installed with PyTUVO" % T.GetVersion())
            rig.enter_context(playback_rig(target, False, prefix="tuvo-view-"))
            serial = playback["device"].get("sn") if isinstance(playback["device"].get("sn"), str) else None
            modes = [m for m in ("x2", "x1-left", "x1-right", "x1-extra") if m in playback["streams"]]
            mode = "x2" if x2 else ("x1-" + camera if "x1-" + camera in modes else
                                    (modes[0] if modes else "x1-left"))
        else:
            serial, mode = target, "x2" if x2 else "x1-" + camera

        with contextlib.redirect_stdout(io.StringIO()):  # viser's own banner: the address is told below
            server = viser.ViserServer(host=host, port=port, verbose=False)
        served = server.get_port()
        if port and served != port:  # taken between the check and viser's own try
            raise ViewerStartError("cannot listen on %s port %d: the port is in use" % (host, port))
        page = Page(server, max_points, out_dir)
        station = Station(page, out_dir, serial, mode, initial_options, playback)
        page.station = station
        station.start()
        station.ready.wait()
        if station.failure is not None:
            raise station.failure
        url = _url(host, served)
        if not loopback:
            print("tuvo view: listening on %s, not on this machine alone: whoever reaches port %d can watch and "
                  "drive the camera and write files in %s" % (host, served, out_dir), file=sys.stderr)
        print("tuvo view: %s (Ctrl-C stops)" % url, flush=True)
        if open_page:
            import webbrowser
            webbrowser.open(url)
        while not stop.wait(3600):
            pass
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)
        if station is not None:
            try:
                station.stop()
            except KeyboardInterrupt:  # Ctrl-C again: the SDK call under way still ends first
                station.stop()
        if server is not None:
            with contextlib.redirect_stdout(io.StringIO()):
                server.stop()
        rig.close()
    return 0


def _number(lo, hi, what):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or not lo <= value <= hi:
            raise argparse.ArgumentTypeError("takes %s, not %r" % (what, text))
        return value
    return parse


def add_arguments(parser):
    parser.add_argument("target", nargs="?", metavar="SERIAL | RECORDING_DIR",
                        help="the device to open (default: the first found), or a recording to play")
    parser.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (default 127.0.0.1: this machine alone)")
    parser.add_argument("--port", type=_number(0, 65535, "0 (any free port) to 65535"), default=0, help="the port (default: any free one)")
    parser.add_argument("--open", action="store_true", help="open the page in the browser")
    parser.add_argument("--out", default=".", metavar="DIR",
                        help="the folder saves, recordings and settings files go to and come from (default: here)")
    parser.add_argument("--max-points", type=_number(1000, 1 << 24, "1000 to 16777216"), default=_DEFAULT_MAX_POINTS, metavar="N",
                        help="points sent to the page per capture, at most (default %d)" % _DEFAULT_MAX_POINTS)
