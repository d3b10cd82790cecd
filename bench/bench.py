"""Benchmarks: figures printed side by side in one run (never pass/fail). Also written to out/bench.json."""
import json
import os
import threading
import time

import numpy as np

import PyTUVO as T
import tuvo_sim

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
RIG = "".join("[device]\nsn = BENCH-%d\nx2 = yes\ncameras = left, right\nwidth = %d\nheight = %d\n"
              % (i, 1280, 1024) for i in range(2))


def per_call(fn, min_time=0.2):
    """Seconds per call: the best of several timed batches."""
    n = 1
    while True:
        start = time.perf_counter()
        for _ in range(n):
            fn()
        took = time.perf_counter() - start
        if took > min_time / 5:
            break
        n *= 4
    best = took / n
    for _ in range(4):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - start) / n)
    return best


def bench_calls(rows):
    try:
        import bench_bare
    except ImportError:
        rows.append(("bare pybind11 yardstick missing (run through make bench)", float("nan"), ""))
        return
    ours = per_call(T.SystemIsInited)
    bare = per_call(bench_bare.SystemIsInited)
    ours_size = per_call(lambda: T.Size(1, 2))
    bare_size = per_call(lambda: bench_bare.Size(1, 2))
    rows += [
        ("SystemIsInited() PyTUVO", ours * 1e9, "ns"),
        ("SystemIsInited() bare pybind11", bare * 1e9, "ns"),
        ("  ratio PyTUVO / bare (target <= 1.2)", ours / bare, "x"),
        ("Size(1, 2) PyTUVO", ours_size * 1e9, "ns"),
        ("Size(1, 2) bare pybind11", bare_size * 1e9, "ns"),
        ("  ratio PyTUVO / bare (target <= 1.2)", ours_size / bare_size, "x"),
    ]


def bench_views(rows):
    small = T.PointMapCreate(T.PointsOnly, T.Size(640, 480))
    large = T.PointMapCreate(T.PointsOnly, T.Size(2592, 2048))
    small_img = T.ImageCreate(T.Mono8, T.Size(640, 480))
    large_img = T.ImageCreate(T.Mono8, T.Size(2592, 2048))
    t_small = per_call(lambda: np.asarray(small))
    t_large = per_call(lambda: np.asarray(large))
    t_copy = per_call(lambda: np.array(large), min_time=0.5)
    t_img_small = per_call(lambda: np.asarray(small_img))
    t_img_large = per_call(lambda: np.asarray(large_img))
    rows += [
        ("np.asarray(PointMap) 0.3 MP", t_small * 1e6, "us"),
        ("np.asarray(PointMap) 5.3 MP", t_large * 1e6, "us"),
        ("  ratio 5.3 MP / 0.3 MP (1 = size-independent)", t_large / t_small, "x"),
        ("np.array(PointMap) copy 5.3 MP", t_copy * 1e3, "ms"),
        ("  ratio copy / view at 5.3 MP", t_copy / t_large, "x"),
        ("np.asarray(Image) 0.3 MP / 5.3 MP", t_img_large / t_img_small, "x"),
    ]
    for h in (small, large):
        T.PointMapDestroy(h)
    for h in (small_img, large_img):
        T.ImageDestroy(h)


def bench_capture(rows, count=6):
    tuvo_sim.set_rig(RIG)
    T.SystemInit()
    cams = []
    for i in range(2):
        cam = T.X1.Create(T.SystemFindDevice("BENCH-%d" % i))
        assert cam.Open(), T.GetLastErrorMessage()
        cams.append(cam)
    opts = T.X1_CaptureOptions()
    cams[0].Capture(opts)  # warm up

    def run(cam):
        for _ in range(count):
            assert cam.Capture(opts)
            T.PointMap.Destroy(cam.GetPointMap())
            T.Image.Destroy(cam.GetImage())

    start = time.perf_counter()
    run(cams[0])
    one = count / (time.perf_counter() - start)
    threads = [threading.Thread(target=run, args=(c,)) for c in cams]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = 2 * count / (time.perf_counter() - start)
    rows += [
        ("X1 capture 1280x1024, one thread", one, "captures/s"),
        ("X1 capture 1280x1024, two threads, two devices", two, "captures/s"),
        ("  ratio two threads / one thread", two / one, "x"),
    ]
    for c in cams:
        T.X1.Destroy(c)
    T.SystemShutdown()
    tuvo_sim.reset()


def in_threads(n, work):
    """Runs `work` in n threads at once; returns the wall time."""
    threads = [threading.Thread(target=work) for _ in range(n)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def bench_stand_in(rows):
    """The stand-in SDK's own costs: capture against writing its output once, detection at 5 MP."""
    tuvo_sim.set_rig("[device]\nsn = BIG\ncameras = left, right\nx2 = yes\nwidth = 2592\nheight = 2048\n"
                     "[device]\nsn = STD\ncameras = left, right\nx2 = yes\n")
    T.SystemInit()
    std = T.X1.Create(T.SystemFindDevice("STD"))
    std.Open()
    std.Capture()
    capture = min(timed(std.Capture) for _ in range(3))
    out_bytes = 1280 * 1024 * (24 + 8 + 8 + 1)  # points, depth, confidence, image
    buffer = np.empty(out_bytes, np.uint8)
    floor = per_call(lambda: buffer.fill(1))
    rows += [
        ("stand-in capture 1280x1024", capture * 1e3, "ms"),
        ("  floor: writing its %d MB of output once" % (out_bytes // 2 ** 20), floor * 1e3, "ms"),
        ("  ratio capture / floor", capture / floor, "x"),
    ]
    big = T.X1.Create(T.SystemFindDevice("BIG"))
    big.Open()
    big.Capture2D()
    image = big.GetImage()
    kind = T.CodedCircleMarkerType()
    found = T.DetectCodedCircleMarker(image, kind)
    detect = min(timed(lambda: T.DetectCodedCircleMarker(image, kind)) for _ in range(3))
    one = in_threads(1, lambda: [T.DetectCodedCircleMarker(image, kind) for _ in range(4)])
    two = in_threads(2, lambda: [T.DetectCodedCircleMarker(image, kind) for _ in range(4)])
    rows += [
        ("marker detection 2592x2048 (%d markers)" % len(found), detect * 1e3, "ms"),
        ("  detection throughput two threads / one", 2 * one / two, "x"),
    ]
    left, right = T.X1.Create(T.SystemFindDevice("STD"), T.CameraID_Right), std
    left.Open()

    def registration():
        left.Capture()
        right.Capture()
        T.GetTwoCameraTransformByCodedCircleMarker(right.GetPointMap(), right.GetImage(), left.GetPointMap(),
                                                   left.GetImage(), kind)
    rows.append(("two-camera transform end to end (two captures + fit)", timed(registration) * 1e3, "ms"))
    T.SystemShutdown()
    tuvo_sim.reset()


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    rows = []
    bench_calls(rows)
    bench_views(rows)
    bench_capture(rows)
    bench_stand_in(rows)
    width = max(len(r[0]) for r in rows)
    for name, value, unit in rows:
        print("%-*s %12.3f %s" % (width, name, value, unit))
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "bench.json"), "w") as f:
        json.dump([{"name": n, "value": v, "unit": u} for n, v, u in rows], f, indent=1)


if __name__ == "__main__":
    main()
