"""The fixed line scan: point maps streamed by the SDK while the scan runs, with progress shown, and
a picture of the depth of the last one."""
import os
import time

import numpy as np

import PyTUVO as T
from _common import check, out_dir, save, start
from tuvo_tools.pictures import depth_figure, robust_range


def main(frames: int = 5) -> None:
    cam = T.X2.Create(start())
    check(cam.IsValid(), "X2.Create")
    check(cam.Open(), "Open")
    opts = T.X2_CaptureOptions()
    opts.line_scanner_scan_time_ms = 200
    check(cam.StartFixedLineScan(opts), "StartFixedLineScan")
    points = T.PointMap()
    z = np.empty((0, 0))
    began = time.perf_counter()
    for i in range(frames):
        check(cam.GetFixedLineScanPointMap(points), "GetFixedLineScanPointMap")  # refilled in place
        z = np.asarray(points)[..., 2]
        done = int(20 * (i + 1) / frames)
        print("\r[%s%s] %d/%d  %.1f%% valid, mean z %.1f mm" % ("#" * done, "." * (20 - done), i + 1, frames,
                                                              100 * np.isfinite(z).mean(), np.nanmean(z)), end="")
        time.sleep(0.05)
    print("\n%d point maps in %.2f s" % (frames, time.perf_counter() - began))
    check(cam.StopFixedLineScan(), "StopFixedLineScan")
    near, far = robust_range(z)
    img, _ = depth_figure(z, near, far, "X2 fixed line scan: depth of the last of %d streamed point maps, %.0f%% "
                          "measured (black: no point)" % (frames, 100 * np.isfinite(z).mean()))
    print("depth %.0f..%.0f mm ->" % (near, far), save(img, os.path.join(out_dir(), "line_scan.png")))
    T.ImageDestroy(img)
    T.PointMap.Destroy(points)
    T.X2.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
