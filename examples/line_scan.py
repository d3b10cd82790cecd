"""The fixed line scan: point maps streamed by the SDK while the scan runs, with progress shown."""
import time

import numpy as np

import PyTUVO as T
from _common import start


def main(frames: int = 5) -> None:
    cam = T.X2.Create(start())
    assert cam.Open(), T.GetLastErrorMessage()
    opts = T.X2_CaptureOptions()
    opts.line_scanner_scan_time_ms = 200
    assert cam.StartFixedLineScan(opts), T.GetLastErrorMessage()
    points = T.PointMap()
    began = time.perf_counter()
    for i in range(frames):
        assert cam.GetFixedLineScanPointMap(points), T.GetLastErrorMessage()  # refilled in place
        z = np.asarray(points)[..., 2]
        done = int(20 * (i + 1) / frames)
        print("\r[%s%s] %d/%d  %.1f%% valid, mean z %.1f mm" % ("#" * done, "." * (20 - done), i + 1, frames,
                                                              100 * np.isfinite(z).mean(), np.nanmean(z)), end="")
        time.sleep(0.05)
    print("\n%d point maps in %.2f s" % (frames, time.perf_counter() - began))
    assert cam.StopFixedLineScan()
    T.PointMap.Destroy(points)
    T.X2.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
