"""Benchmarks: figures printed side by side in one run (never pass/fail). Also written to out/bench.json."""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import PyTUVO as T
import tuvo_sim

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
RIG = "".join("[device]\nsn = BENCH-%d\nx2 = yes\ncameras = left, right\nwidth = %d\nheight = %d\n"
              % (i, 1280, 1024) for i in range(2))


def side_by_side(*fns, min_time=0.2):
    """Seconds per call of each function: the best of many short timed batches, taken in turns so that a
    busy spell on the machine slows them alike; a batch short enough to run between two interruptions
    gives the undisturbed figure."""
    def batch(fn, n):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        return (time.perf_counter() - start) / n

    counts = []
    for fn in fns:
        n = 1
        while batch(fn, n) * n <= 1e-3:
            n *= 2
        counts.append(n)
    best = [float("inf")] * len(fns)
    spent, start = 0, time.perf_counter()
    while spent < 7 or time.perf_counter() - start < min_time * len(fns):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], batch(fn, counts[i]))
        spent += 1
    return best


def per_call(fn, min_time=0.2):
    return side_by_side(fn, min_time=min_time)[0]


def bench_calls(rows):
    try:
        import bench_bare
    except ImportError:
        rows.append(("bare pybind11 yardstick missing (run through make bench)", float("nan"), ""))
        return
    ours, bare = side_by_side(T.SystemIsInited, bench_bare.SystemIsInited)
    ours_size, bare_size = side_by_side(lambda: T.Size(1, 2), lambda: bench_bare.Size(1, 2))
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


def sheet_geometry(n=709):
    """A wavy sheet of 2 (n - 1)^2 triangles (about a million for n = 709), 1.2 m wide: vertices, triangles."""
    x = np.linspace(-600, 600, n)
    gx, gy = np.meshgrid(x, x * 0.8)
    gz = 30 * np.sin(gx / 40) * np.cos(gy / 55)
    v = np.stack([gx, gy, gz], -1).reshape(-1, 3).astype("<f4")
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1], idx[:-1, 1:], idx[1:, :-1], idx[1:, 1:]
    return v, np.concatenate([np.stack([a, b, d], -1).reshape(-1, 3), np.stack([a, d, c], -1).reshape(-1, 3)])


def sheet_mesh(path, n=709):
    """The sheet of sheet_geometry(n) as binary PLY; returns its count of triangles."""
    v, f = sheet_geometry(n)
    faces = np.zeros(len(f), dtype=[("n", "u1"), ("i", "<i4", 3)])
    faces["n"], faces["i"] = 3, f
    head = ("ply\nformat binary_little_endian 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
            "property float z\nelement face %d\nproperty list uchar int vertex_indices\nend_header\n" % (len(v), len(f)))
    with open(path, "wb") as out:
        out.write(head.encode() + v.tobytes() + faces.tobytes())
    return len(f)


SHEET_SCENE = """
[[object]]
name = "sheet"
type = "mesh"
file = "sheet.ply"
position = [0, 0, 900]
[[object]]
name = "ball"
type = "sphere"
radius = 60
position = [-120, 40, 780]
"""


def cpu_timed(fn):
    """Wall time and the CPU time of the whole process (all its threads) of one call."""
    start, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - start, time.process_time() - cpu


def bench_ray_casting(rows):
    """Captures of the default scene and of a million-triangle scene against Embree alone casting the
    same rays (the floor), on one and on two threads. Times are wall times; on one thread the CPU
    times are given too, which a busy machine disturbs less."""
    rows.append(("machine load (1-minute average, %d cores)" % os.cpu_count(), os.getloadavg()[0], ""))
    with tempfile.TemporaryDirectory() as tmp:
        triangles = sheet_mesh(os.path.join(tmp, "sheet.ply"))
        with open(os.path.join(tmp, "sheet.toml"), "w") as out:
            out.write(SHEET_SCENE)
        tuvo_sim.set_rig("[device]\nsn = DEFAULT\n[device]\nsn = MESH\nscene = %s\n" % os.path.join(tmp, "sheet.toml"))
        load = timed(T.SystemInit)
        rows.append(("load the %d-triangle scene (SystemInit)" % triangles, load * 1e3, "ms"))
        for sn, label in [("DEFAULT", "default scene"), ("MESH", "%.1fM-triangle scene" % (triangles / 1e6))]:
            cam = T.X1.Create(T.SystemFindDevice(sn))
            assert cam.Open(), T.GetLastErrorMessage()
            cam.Capture()
            wall = {}
            captures, floors = {1: [], 2: []}, {1: [], 2: []}
            for _ in range(7):  # all in turns, so a busy spell on the machine slows each alike
                for threads in (1, 2):
                    tuvo_sim.set("render.threads", threads)
                    captures[threads].append(cpu_timed(cam.Capture))
                    floors[threads].append(tuvo_sim.ray_floor(sn))
            for threads in (1, 2):
                captures_n, floors_n = captures[threads], floors[threads]
                capture = min(c[0] for c in captures_n)
                floor = min(f["primary_s"] + f["shadow_s"] for f in floors_n)
                rays = floors_n[0]["primary_rays"] + floors_n[0]["shadow_rays"]
                wall[threads] = (capture, floor)
                name = "X1 capture 1280x1024, %s, %d thread%s" % (label, threads, "" if threads == 1 else "s")
                rows += [
                    (name, capture * 1e3, "ms"),
                    ("  floor: Embree alone, the same %.1fM primary + shadow rays" % (rays / 1e6), floor * 1e3, "ms"),
                    ("  ratio capture / floor (target <= 2)", capture / floor, "x"),
                ]
                if threads == 1:
                    cpu = min(c[1] for c in captures_n)
                    cpu_floor = min(f["primary_cpu_s"] + f["shadow_cpu_s"] for f in floors_n)
                    rows += [
                        ("  CPU time: capture", cpu * 1e3, "ms"),
                        ("  CPU time: floor", cpu_floor * 1e3, "ms"),
                        ("  ratio of CPU times capture / floor", cpu / cpu_floor, "x"),
                    ]
            rows += speed_up_rows(label, wall[1][0] / wall[2][0], wall[1][1] / wall[2][1])
            T.X1.Destroy(cam)
            tuvo_sim.unset("render.threads")
        T.SystemShutdown()
    tuvo_sim.reset()


def cpu_of(fn):
    """The CPU time of the whole process (all its threads) of one call."""
    cpu = time.process_time()
    fn()
    return time.process_time() - cpu


def median_in_turns(fns, rounds=5):
    """The median CPU time of each function, called in turns so that a busy spell slows each alike."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            times[i].append(cpu_of(fn))
    return [statistics.median(t) for t in times]


def euler_rotation(rotation):
    """A scene file's rotation = { euler_deg, order }: lower case about the fixed axes, upper case about the turning ones."""
    if not rotation:
        return np.eye(3)
    order = rotation.get("order", "xyz")
    R = np.eye(3)
    for axis, deg in zip(order, rotation["euler_deg"]):
        i = "xyz".index(axis.lower())
        c, s = np.cos(np.radians(deg)), np.sin(np.radians(deg))
        step = np.eye(3)
        j, k = (i + 1) % 3, (i + 2) % 3
        step[j, j], step[j, k], step[k, j], step[k, k] = c, -s, s, c
        R = step @ R if order.islower() else R @ step
    return R


def tessellated_default_scene(o3d):
    """The default scene's shapes as fine triangle meshes (vertices, triangles), device frame."""
    try:
        import tomllib as toml_reader
    except ImportError:
        import tomli as toml_reader
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sim", "scenes", "default.toml")
    with open(path, "rb") as f:
        scene = toml_reader.load(f)
    G = o3d.geometry.TriangleMesh
    parts = []
    for o in scene["object"]:
        R, t = euler_rotation(o.get("rotation")), np.array(o.get("position", [0, 0, 0]), float)
        kind = o["type"]
        if kind in ("plane", "board"):
            hx = hy = 1e6  # an unbounded plane reaches a kilometre each way
            if kind == "board":
                hx = o["cols"] * o["spacing"] / 2 + o.get("margin", 0)
                hy = o["rows"] * o["spacing"] / 2 + o.get("margin", 0)
            v, f = np.array([[-hx, -hy, 0], [hx, -hy, 0], [hx, hy, 0], [-hx, hy, 0]]), np.array([[0, 1, 2], [0, 2, 3]])
        else:
            if kind == "sphere":
                m = G.create_sphere(o["radius"], resolution=200)
            elif kind == "box":
                m = G.create_box(*o["size"]).translate(-np.array(o["size"], float) / 2)
            else:
                m = G.create_cylinder(o["radius"], o["height"], resolution=400, split=4)
                m.translate((0, 0, o["height"] / 2))
            v, f = np.asarray(m.vertices), np.asarray(m.triangles)
        parts.append((v @ R.T + t, f))
    return parts


def open3d_rays(o3d, parts, sn, floor, width, height):
    """Open3D's RaycastingScene over the same scene and a function casting a capture's rays into it on one
    thread: a primary ray per pixel, then as many shadow rays towards the projector as the floor casts (the
    capture's count, added rays included), made beforehand."""
    scene = o3d.t.geometry.RaycastingScene()
    for v, f in parts:
        mesh = o3d.t.geometry.TriangleMesh()
        mesh.vertex.positions = o3d.core.Tensor(np.ascontiguousarray(v, np.float32))
        mesh.triangle.indices = o3d.core.Tensor(np.ascontiguousarray(f, np.uint32))
        scene.add_triangles(mesh)
    focal = tuvo_sim.device_value(sn, "focal_px")
    xs, ys = np.meshgrid(np.arange(width, dtype=np.float64), np.arange(height, dtype=np.float64))
    d = np.stack([(xs - (width - 1) / 2) / focal, (ys - (height - 1) / 2) / focal, np.ones_like(xs)], -1).reshape(-1, 3)
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    d = np.resize(d, (int(floor["primary_rays"]), 3))
    primary = o3d.core.Tensor(np.concatenate([np.zeros_like(d), d], 1).astype(np.float32))
    t_hit = scene.cast_rays(primary, nthreads=1)["t_hit"].numpy()
    hit = np.isfinite(t_hit)
    p = d[hit] * t_hit[hit, None]
    ab = np.array(tuvo_sim.projector(sn)) - p
    length = np.linalg.norm(ab, axis=1)
    sd = ab / length[:, None]
    # Open3D takes one far bound for all rays, in lengths of each ray's direction: the direction is the
    # segment from half a millimetre off the surface to a millimetre short of the projector.
    shadow = np.concatenate([p + sd * 0.5, sd * (length - 1.0)[:, None]], 1).astype(np.float32)
    shadows = int(floor["shadow_rays"])
    shadow = o3d.core.Tensor(np.resize(shadow, (shadows, 6)))

    def cast():
        scene.cast_rays(primary, nthreads=1)
        if shadows:
            scene.test_occlusions(shadow, tnear=1e-6, tfar=1.0, nthreads=1)
    return cast


def bench_reference_caster(rows):
    """A full X1 capture at 1280x1024 against Open3D's RaycastingScene (Embree underneath) casting as many
    rays (the floor's count: primary, shadow and any added) into the same scene, one thread each, process
    CPU time, in turns, median of 5: the default analytic scene (its shapes tessellated finely), a
    ~40k-triangle mesh and a ~1M-triangle mesh."""
    try:
        import open3d as o3d
    except ImportError:
        rows.append(("Open3D missing (run through make bench)", float("nan"), ""))
        return
    with tempfile.TemporaryDirectory() as tmp:
        rig, meshes = "", {}
        for sn, n in (("O3D-DEFAULT", 0), ("O3D-40K", 144), ("O3D-1M", 709)):
            rig += "[device]\nsn = %s\nwidth = 1280\nheight = 1024\n" % sn
            if n:
                ply = os.path.join(tmp, "%s.ply" % sn)
                sheet_mesh(ply, n)
                meshes[sn] = sheet_geometry(n)
                with open(os.path.join(tmp, "%s.toml" % sn), "w") as out:
                    out.write(SHEET_SCENE.replace('"sheet.ply"', '"%s"' % ply))
                rig += "scene = %s\n" % os.path.join(tmp, "%s.toml" % sn)
        tuvo_sim.set_rig(rig)
        T.SystemInit()
        tuvo_sim.set("render.threads", 1)
        G = o3d.geometry.TriangleMesh
        ball = G.create_sphere(60, resolution=200)
        ball = (np.asarray(ball.vertices) + [-120, 40, 780], np.asarray(ball.triangles))
        for sn in ("O3D-DEFAULT", "O3D-40K", "O3D-1M"):
            if sn in meshes:
                v, f = meshes[sn]
                parts, label = [(v.astype(np.float64) + [0, 0, 900], f), ball], "%d-triangle mesh" % len(f)
            else:
                parts, label = tessellated_default_scene(o3d), "default scene"
            cam = T.X1.Create(T.SystemFindDevice(sn))
            assert cam.Open(), T.GetLastErrorMessage()
            cam.Capture()
            floor = tuvo_sim.ray_floor(sn)
            cast = open3d_rays(o3d, parts, sn, floor, 1280, 1024)
            cast()
            capture, reference = median_in_turns([cam.Capture, cast])
            rays = floor["primary_rays"] + floor["shadow_rays"]
            rows += [
                ("X1 capture 1280x1024, %s, one thread: CPU time" % label, capture * 1e3, "ms"),
                ("  Open3D RaycastingScene, the same %.2fM rays, one thread: CPU time" % (rays / 1e6), reference * 1e3,
                 "ms"),
                ("  ratio capture / Open3D (target <= 1.0)", capture / reference, "x"),
            ]
            T.X1.Destroy(cam)
        T.SystemShutdown()
    tuvo_sim.reset()


def bench_alternating_cameras(rows):
    """Two cameras of one size captured in alternation against one camera captured again and again: CPU time
    per capture (each camera's lens tables are kept for the next capture)."""
    sizes = ((1280, 1024), (2448, 2048))
    tuvo_sim.set_rig("".join("[device]\nsn = ALT-%d-%s\nwidth = %d\nheight = %d\n" % (w, k, w, h)
                             for w, h in sizes for k in "AB"))
    T.SystemInit()
    tuvo_sim.set("render.threads", 1)
    for w, h in sizes:
        a, b = (T.X1.Create(T.SystemFindDevice("ALT-%d-%s" % (w, k))) for k in "AB")
        for cam in (a, b):
            assert cam.Open(), T.GetLastErrorMessage()
            cam.Capture()

        def one():
            a.Capture()  # then the timed one: a camera captured again
            return cpu_of(a.Capture)

        def alternating():
            return (cpu_of(b.Capture) + cpu_of(a.Capture)) / 2
        ones, alts = [], []
        for _ in range(5):
            ones.append(one())
            alts.append(alternating())
        single, alt = statistics.median(ones), statistics.median(alts)
        rows += [
            ("X1 capture %dx%d, one camera: CPU per capture" % (w, h), single * 1e3, "ms"),
            ("  two cameras alternating: CPU per capture", alt * 1e3, "ms"),
            ("  ratio alternating / one camera (target <= 1.1)", alt / single, "x"),
        ]
        T.X1.Destroy(a)
        T.X1.Destroy(b)
    T.SystemShutdown()
    tuvo_sim.reset()


def bench_x2(rows):
    """An X2 capture (both cameras, 1280x1024) against Embree alone casting both cameras' primary and shadow
    rays (the floor of each camera), one thread, process CPU time, in turns, median of 5."""
    tuvo_sim.set_rig("[device]\nsn = X2-BENCH\ncameras = left, right\nx2 = yes\nwidth = 1280\nheight = 1024\n")
    T.SystemInit()
    tuvo_sim.set("render.threads", 1)
    cam = T.X2.Create(T.SystemFindDevice("X2-BENCH"))
    assert cam.Open(), T.GetLastErrorMessage()
    assert cam.Capture(T.X2_CaptureOptions()), T.GetLastErrorMessage()
    floors = []

    def floor():
        floors.append([tuvo_sim.ray_floor("X2-BENCH", c) for c in (0, 1)])
    capture, _ = median_in_turns([lambda: cam.Capture(T.X2_CaptureOptions()), floor])
    cpu = statistics.median(sum(f["primary_cpu_s"] + f["shadow_cpu_s"] for f in fs) for fs in floors)
    rays = sum(f["primary_rays"] + f["shadow_rays"] for f in floors[0])
    rows += [
        ("X2 capture 1280x1024, default scene, one thread: CPU time", capture * 1e3, "ms"),
        ("  floor: Embree alone, both cameras' %.1fM primary + shadow rays: CPU time" % (rays / 1e6), cpu * 1e3, "ms"),
        ("  ratio capture / floor (target <= 2)", capture / cpu, "x"),
    ]
    T.X2.Destroy(cam)
    T.SystemShutdown()
    tuvo_sim.reset()


def speed_up_rows(label, capture, floor):
    """The capture's two-thread speed-up judged against the floor's own in the same run: at least 0.85 of it,
    or at least 1.7 (the figure is the capture's over the lesser of the floor's and 2). A process given one
    core speeds up neither: said so, not judged."""
    rows = [("  %s: capture speed-up 2 threads / 1" % label, capture, "x"),
            ("  %s: floor speed-up 2 threads / 1" % label, floor, "x")]
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    if cores < 2 or floor < 1.15:
        rows.append(("  %s: the floor itself does not speed up (one core for this process): not judged" % label, floor,
                     "x"))
    else:
        rows.append(("  %s: capture speed-up / min(floor's, 2) (target >= 0.85)" % label, capture / min(floor, 2.0),
                     "x"))
    return rows


PEAK = """
import PyTUVO as T, tuvo_sim, numpy as np


def status(key):  # bytes
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024


def capture_peak():  # how far one capture raises the resident size above where it started
    before = status("VmRSS:")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts afresh from the resident size
    assert cam.Capture()
    return status("VmHWM:") - before


tuvo_sim.set_rig("[device]\\nsn = PEAK\\nwidth = 1280\\nheight = 1024\\n")
T.SystemInit()
cam = T.X1.Create(T.SystemFindDevice("PEAK"))
cam.Open()
first = capture_peak()
later = max(capture_peak() for _ in range(3))
pm, img = cam.GetPointMap(), cam.GetImage()
results = sum(np.asarray(m).nbytes for m in (pm, cam.GetDepthMap(), cam.GetConfidenceMap(), img))
print(first, later, results)
"""


def bench_memory(rows):
    """The memory a capture takes at its peak (how far it raises the process's resident size) against the
    bytes of what it returns: points (24), depth (8), confidence (8) and the grey image (1) per pixel. A
    first capture also makes what later ones reuse (the lens's ray tables); a later capture should take
    no more than the results it replaces."""
    run = subprocess.run([sys.executable, "-c", PEAK], capture_output=True, text=True, check=True)
    first, later, results = (int(x) for x in run.stdout.split())
    rows += [
        ("X1 capture 1280x1024: peak memory of a first capture", first / 2 ** 20, "MiB"),
        ("  bytes of the results it returns", results / 2 ** 20, "MiB"),
        ("  ratio peak / results (target <= 2)", first / results, "x"),
        ("X1 capture 1280x1024: peak memory of a later capture", later / 2 ** 20, "MiB"),
        ("  ratio peak / results (target <= 1)", later / results, "x"),
    ]


def in_turns(*fns, rounds=9):
    """Seconds per call of each function: the median of `rounds` calls taken in turns, so that a busy spell on
    the shared machine or disk slows both sides of a ratio alike."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[i].append(time.perf_counter() - start)
    return [float(np.median(t)) for t in times]


def io_camera():
    """An open X1 on a 1280x1024 device and capture options without the image: a frame's numbers only."""
    tuvo_sim.reset()
    tuvo_sim.set_rig("[device]\nsn = IO\nwidth = 1280\nheight = 1024\n")
    assert T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("IO"))
    assert cam.Open()
    options = T.X1_CaptureOptions()
    options.enable_2d_in_capture = False
    return cam, options


def bench_recording(rows, root):
    """Recording a 1280x1024 X1 frame (points, depth, confidence) against np.save of the same arrays into new
    files, each synced, in turns. Returns the recording's folder and the arrays."""
    from tuvo_tools.recorder import Recorder

    cam, options = io_camera()
    rec = Recorder(os.path.join(root, "rec"), T.SystemFindDevice("IO"))
    stream = rec.add_x1(cam, "left", options)
    assert cam.Capture(options)
    got = rec.record_current(stream)
    arrays = [got[key] for key in ("points", "depth", "confidence")]

    def record():
        stream.held = []  # the same results recorded again, as the stream's next frame
        rec.record_current(stream)

    saved = []

    def np_save():
        folder = os.path.join(root, "np-%d" % len(saved))
        saved.append(folder)
        os.makedirs(folder)
        for i, a in enumerate(arrays):
            with open(os.path.join(folder, "%d.npy" % i), "wb") as f:
                np.save(f, a)
                f.flush()
                os.fsync(f.fileno())

    ours, numpy = in_turns(record, np_save)
    rec.close()
    T.SystemShutdown()
    rows += [
        ("record a 1280x1024 X1 frame (points, depth, confidence)", ours * 1e3, "ms"),
        ("  np.save + fsync of the same arrays", numpy * 1e3, "ms"),
        ("  ratio recording / (np.save + fsync) (target <= 1.5)", ours / numpy, "x"),
    ]
    return os.path.join(root, "rec"), arrays


def bench_playback(rows, recording, arrays, root):
    """Playing back the recorded frame (a capture of a playback device) against np.load of the same bytes: the
    frame's depth and confidence files and its points saved as .npy, in turns."""
    frame = os.path.join(recording, "x1-left", "000000")
    files = [os.path.join(frame, name) for name in ("depth.npy", "confidence.npy")]
    files.append(os.path.join(root, "points.npy"))
    np.save(files[-1], arrays[0])
    tuvo_sim.reset()
    tuvo_sim.set_rig("[device]\nplayback = %s\nloop = yes\n" % recording)
    assert T.SystemInit(), T.GetLastErrorMessage()
    cam = T.X1.Create(T.SystemListDevices(T.All)[1][0], T.CameraID_Left)
    assert cam.Open()

    def play():
        assert cam.Capture(), T.GetLastErrorMessage()

    ours, numpy = in_turns(play, lambda: [np.load(f) for f in files])
    T.SystemShutdown()
    tuvo_sim.reset()
    rows += [
        ("play back a recorded 1280x1024 X1 frame", ours * 1e3, "ms"),
        ("  np.load of the same bytes", numpy * 1e3, "ms"),
        ("  ratio playback / np.load (target <= 1.5)", ours / numpy, "x"),
    ]


def bench_recordings(rows):
    root = tempfile.mkdtemp(prefix="tuvo-bench-")
    try:
        recording, arrays = bench_recording(rows, root)
        bench_playback(rows, recording, arrays, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)


TARGET = re.compile(r"\(target (<=|>=) ([0-9.]+)\)")


def meets_target(name, value):
    """Whether a row's figure meets the target its name states ("(target <= 2)"); None without one. A figure
    that could not be measured (NaN) misses it."""
    found = TARGET.search(name)
    if not found:
        return None
    limit = float(found.group(2))
    return bool(value <= limit if found.group(1) == "<=" else value >= limit)


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
    bench_ray_casting(rows)
    bench_reference_caster(rows)
    bench_alternating_cameras(rows)
    bench_x2(rows)
    bench_recordings(rows)
    bench_memory(rows)
    width = max(len(r[0]) for r in rows)
    judged, missed, heading = 0, [], ""
    for name, value, unit in rows:
        heading = heading if name.startswith(" ") else name
        met = meets_target(name, value)
        judged += met is not None
        if met is False:
            missed.append(name.strip() if name is heading else "%s: %s" % (heading, name.strip()))
        print("%-*s %12.3f %s%s" % (width, name, value, unit, {None: "", True: "   ok", False: "   MISSED"}[met]))
    print("\ntargets met: %d of %d" % (judged - len(missed), judged))
    for name in missed:
        print("  MISSED " + name)
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, "bench.json"), "w") as f:
        json.dump([{"name": n, "value": v, "unit": u, "target_met": meets_target(n, v)} for n, v, u in rows], f,
                  indent=1)


if __name__ == "__main__":
    main()
