"""`tuvo scan`: the X2's fixed line scan, sweep after sweep, with progress."""
import threading
import time
from typing import Any, Dict, List, Optional

import numpy as np

import PyTUVO as T

from .. import options as opts_mod
from ..progress import Progress
from ..sdk import Session, SdkError, call
from .camera import CaptureFlags
from .errors import Interrupted, UsageError
from .output import Output, points_summary, summary_text


def run(out: Output, serial: str, flags: CaptureFlags, sweeps: int = 3, scan_time: int = 200,
        output: Optional[str] = None) -> int:
    """`sweeps` sweeps of `scan_time` ms each; the last one's points saved to `output`."""
    if sweeps < 1:
        raise UsageError("--sweeps must be at least 1")
    opts = flags.options("x2")
    try:
        opts_mod.set_option(opts, "line_scanner_scan_time_ms", scan_time)
    except opts_mod.OptionsError as e:
        raise UsageError(str(e))
    seen: List[Dict[str, Any]] = []
    try:
        with Session() as s:
            device = s.find(serial)
            cam = s.x2(device)
            call("StartFixedLineScan", cam.StartFixedLineScan, opts)
            s.on_exit(cam.StopFixedLineScan)
            progress = Progress("scan", sweeps, enabled=not out.quiet)
            point_map: Any = None
            try:
                for i in range(sweeps):
                    if i:
                        time.sleep(scan_time / 1000.0)
                    latest = _next_sweep(cam, point_map, scan_time)
                    if point_map is not None:
                        T.PointMap.Destroy(point_map)
                    point_map = latest
                    seen.append(points_summary(np.asarray(point_map)))
                    progress.step()
                if output:
                    call("PointMap.Save", point_map.Save, output)
            finally:
                progress.close()
                if point_map is not None:
                    T.PointMap.Destroy(point_map)
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d sweeps" % len(seen))
    lines = ["sweep %d: %s" % (i, summary_text(x)) for i, x in enumerate(seen)]
    if output:
        lines.append("saved %s" % output)
    out.emit({"sweeps": seen, "saved": output}, lines)
    return 0


def _next_sweep(cam: Any, previous: Any, scan_time_ms: int) -> Any:
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


def _first_sweep(cam: Any) -> Any:
    """GetFixedLineScanPointMap, which waits (up to a minute) for the scan's first sweep, called on a
    helper thread so that Ctrl-C and SIGTERM are taken while it waits: the session's
    StopFixedLineScan then ends the wait."""
    outcome: List[Any] = []

    def fetch() -> None:
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
