"""Devices under hostile use: fixed line scans stopped from several threads at once, cut short by the
interpreter's exit or by exhausted memory; protective covers driven from two handles; memory given
back by shutdown and by point maps of another size; non-finite transformations; malformed PLY
headers; ROI ranges at every sensor size a rig allows. Crashes and hangs run in a child process
with a timeout, so the suite survives the fault it looks for."""
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import PyTUVO as T
import tuvo_sim
from tuvo_tools.recorder import Recorder

ERROR_TIMEOUT = -8
ERROR_OUT_OF_MEMORY = -10
SCAN_RIG = ("[device]\nsn = R-1\ncameras = left, right\nx1 = yes\nx2 = yes\nwidth = %d\nheight = %d\n"
            "capture_modes = normal, fixedlinescan\n")
COVER_RIG = "[device]\nsn = C-1\ncameras = left, right\nx1 = yes\nx2 = yes\ncover = yes\nwidth = 64\nheight = 48\n"


def run_child(body, timeout=30):
    """Runs `body` (after a prelude that imports PyTUVO and tuvo_sim) in a new interpreter; returns
    (return code, stdout, stderr), with None for the code when the child had to be killed."""
    code = "import json, os, sys, threading, time\nimport PyTUVO as T, tuvo_sim\n" + textwrap.dedent(body)
    env = dict(os.environ)
    env.pop("TUVO_SIM_RIG", None)
    try:
        r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or "", e.stderr or ""
    return r.returncode, r.stdout, r.stderr


def child_json(body, timeout=30):
    """run_child for a child that prints one JSON document as its last line and exits with 0."""
    rc, out, err = run_child(body, timeout)
    assert rc == 0, "child ended with %r (None: hung and killed)\n%s\n%s" % (rc, out[-2000:], err[-2000:])
    return json.loads(out.strip().splitlines()[-1])


def scan_options(period_ms=10):
    o = T.X2_CaptureOptions()
    o.line_scanner_scan_time_ms = period_ms
    return o


@pytest.fixture
def scan_cam():
    tuvo_sim.set_rig(SCAN_RIG % (64, 48))
    assert T.SystemInit()
    cam = T.X2.Create(T.SystemFindDevice("R-1"))
    assert cam.Open()
    return cam


# ---- a call that found the camera, then waited while another thread destroyed it ----

@pytest.mark.parametrize("kind", ["X1", "X2"])
@pytest.mark.parametrize("destroy", ["T.{kind}.Destroy(cam)", "T.SystemShutdown(); assert T.SystemInit()"])
@pytest.mark.parametrize("call", ["IsOpen()", "Open()", "Close()"])
def test_a_call_held_while_its_camera_is_destroyed(kind, destroy, call):
    # The call is held between finding the camera and locking it; the camera is destroyed meanwhile,
    # so the held call ends up with the last reference. It used to let go of the camera before its
    # lock, unlocking freed memory: the heap broke and a later allocation crashed.
    body = """
tuvo_sim.set_rig(%r)
assert T.SystemInit()
errors = []
for trial in range(25):
    cam = T.{kind}.Create(*([T.SystemFindDevice("C-1")] + ([T.CameraID_Left] if "{kind}" == "X1" else [])))
    assert cam.Open()
    answer = []
    tuvo_sim.block("camera lock")
    held = threading.Thread(target=lambda: answer.append((cam.{call}, T.GetLastErrorMessage())))
    held.start()
    assert tuvo_sim.wait_entered("camera lock") == 1
    {destroy}
    tuvo_sim.unblock("camera lock")
    held.join()
    if not answer[0][1].endswith(": invalid or destroyed camera handle"):
        errors.append(answer[0])
    for _ in range(4):  # cameras made and dropped where the destroyed one lay
        other = T.{kind}.Create(*([T.SystemFindDevice("C-1")] + ([T.CameraID_Left] if "{kind}" == "X1" else [])))
        T.{kind}.Destroy(other)
print(json.dumps(errors))
""".replace("{destroy}", destroy).replace("{kind}", kind).replace("{call}", call) % COVER_RIG
    assert child_json(body, timeout=60) == []


# ---- the fixed line scan: exit, exhausted memory, concurrent stops ----

SCAN_PRELUDE = """
tuvo_sim.set_rig(%r)
assert T.SystemInit()
cam = T.X2.Create(T.SystemFindDevice("R-1"))
assert cam.Open()
o = T.X2_CaptureOptions()
o.line_scanner_scan_time_ms = 10
"""


@pytest.mark.parametrize("size", [(64, 48), (256, 192)])
@pytest.mark.parametrize("ending, status", [
    ("pass", 0),
    ("raise RuntimeError('the script failed')", 1),
    ("sys.exit(3)", 3),
    ("threading.Thread(target=cam.GetFixedLineScanPointMap, daemon=True).start(); time.sleep(0.02)", 0),
])
def test_exit_while_the_line_scan_runs(size, ending, status):
    body = SCAN_PRELUDE % (SCAN_RIG % size) + """
assert cam.StartFixedLineScan(o)
assert cam.GetFixedLineScanPointMap().IsValid()
""" + ending + "\n"
    for _ in range(3):  # the scanner outliving the SDK's state crashed in about half the runs
        rc, _, err = run_child(body)
        assert rc == status, err[-2000:]


# Targets that hold no reference to the script's globals (a lambda would keep them, and the object
# whose __del__ releases the call, alive through the shutdown).
@pytest.mark.parametrize("op, call", [
    ("SystemIsInited", "T.SystemIsInited"),
    ("DetectCodedCircleMarker",
     "functools.partial(T.DetectCodedCircleMarker, T.ImageCreate(T.Mono8, T.Size(32, 32)), T.CodedCircleMarkerType())"),
    ("GetTwoCameraTransformByCodedCircleMarker",  # the lock released inside the wrapper, not around it
     "functools.partial(T.GetTwoCameraTransformByCodedCircleMarker, T.PointMap(), T.Image(), T.PointMap(), T.Image(), "
     "T.CodedCircleMarkerType())"),
])
def test_a_daemon_thread_back_from_the_sdk_during_exit_leaves_the_exit_alone(op, call):
    """A daemon thread held in the SDK until the interpreter is shutting down cannot have the
    interpreter back: it waits for the process to end, and the exit status stays the script's."""
    body = """
import functools
class ReleaseAtShutdown:
    def __del__(self):  # runs while the interpreter shuts down, when it no longer takes threads back
        tuvo_sim.unblock(%(op)r)
        while tuvo_sim.inside(%(op)r):  # until the call has left the SDK
            time.sleep(0.01)
        time.sleep(0.2)  # and come back to the binding
        os.write(1, b"released\\n")
tuvo_sim.block(%(op)r)
threading.Thread(target=%(call)s, daemon=True).start()
assert tuvo_sim.wait_entered(%(op)r) == 1
keeper = ReleaseAtShutdown()
print("exiting")
""" % {"op": op, "call": call}
    rc, out, err = run_child(body)
    assert (rc, out) == (0, "exiting\nreleased\n") and "Exception ignored" not in err, err[-2000:]


def test_the_main_thread_shuts_down_whoever_imported_the_module():
    """The thread that imports PyTUVO first (and with it threading) may not be the main one; the main
    thread still makes its SDK calls while the interpreter shuts down."""
    code = textwrap.dedent("""
        import _thread, os, time
        done = []
        def worker():
            import PyTUVO  # the first import, in a thread of its own
            done.append(1)
        _thread.start_new_thread(worker, ())
        while not done:
            time.sleep(0.01)
        import PyTUVO as T
        class AtShutdown:
            def __del__(self):
                os.write(1, b"%d\\n" % T.SystemIsInited())
        keeper = AtShutdown()
        print("exiting", flush=True)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stdout) == (0, "exiting\n0\n"), run.stderr[-2000:]


def test_exhausted_memory_in_the_scanner_ends_the_scan_with_an_error(scan_cam):
    assert scan_cam.StartFixedLineScan(scan_options())
    first = scan_cam.GetFixedLineScanPointMap()
    assert first.IsValid()
    tuvo_sim.set("scan.fail_alloc", 1)  # the scanner's next allocation fails
    deadline = time.monotonic() + 10
    pm = scan_cam.GetFixedLineScanPointMap()
    while pm.IsValid() and time.monotonic() < deadline:  # the last published map comes until the next sweep
        T.PointMap.Destroy(pm)
        time.sleep(0.005)
        pm = scan_cam.GetFixedLineScanPointMap()
    assert not pm.IsValid()
    assert T.GetLastError() == ERROR_OUT_OF_MEMORY
    assert T.GetLastErrorMessage() == "X2.GetFixedLineScanPointMap(pm): the fixed line scan ended: out of memory"
    assert not scan_cam.GetFixedLineScanPointMap().IsValid()  # the scan stays ended
    assert scan_cam.Capture()  # the cameras are free again
    assert not scan_cam.StopFixedLineScan() and T.GetLastError() == ERROR_OUT_OF_MEMORY
    assert scan_cam.StartFixedLineScan(scan_options())  # a new scan works
    assert scan_cam.GetFixedLineScanPointMap().IsValid()
    assert scan_cam.StopFixedLineScan()


@pytest.mark.parametrize("kind", ["x1", "x2"])
@pytest.mark.parametrize("before", [0, 1])
def test_a_capture_that_runs_out_of_memory_leaves_its_maps_showing_nothing(kind, before):
    """The maps are made, or kept in place, for the measurement to write whole: one that runs out
    of memory part-way fails the capture, and what it leaves shows nothing measured."""
    cam = x_cam(kind)
    for _ in range(before):
        assert cam.Capture()
    views = [np.asarray(cam.GetDepthMap())] if before else []
    tuvo_sim.set("capture.fail_alloc", 1)
    assert not cam.Capture() and T.GetLastError() == ERROR_OUT_OF_MEMORY
    assert not cam.GetPointMap().IsValid()
    maps = [np.asarray(cam.GetDepthMap())] + views + ([np.asarray(cam.GetCorrespondMap())] if kind == "x2" else [])
    assert all(np.isnan(m).all() for m in maps)
    assert not np.asarray(cam.GetConfidenceMap()).any()
    assert tuvo_sim.live("pointmap") == 0 and tuvo_sim.live("image") == 0  # what it made goes with it
    assert cam.Capture()  # the next capture measures again
    assert np.isfinite(np.asarray(cam.GetDepthMap())).any()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator ends the process when memory runs out, by design")
def test_exhausted_address_space_in_the_scanner_does_not_end_the_process():
    body = SCAN_PRELUDE % (SCAN_RIG % (8192, 8192)) + """
import resource
with open("/proc/self/statm") as f:
    vm = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 30), resource.RLIM_INFINITY))  # far below one sweep
assert not cam.StartFixedLineScan(o) and "of memory is available" in T.GetLastErrorMessage()
tuvo_sim.set("memory.available_mb", 1e6)  # the up-front check told there is room: the sweep runs out
assert cam.StartFixedLineScan(o)
pm = cam.GetFixedLineScanPointMap()
got = [pm.IsValid(), T.GetLastError(), T.GetLastErrorMessage()]
print(json.dumps(got + [cam.StopFixedLineScan()]))
"""
    assert child_json(body) == [False, ERROR_OUT_OF_MEMORY,
                                "X2.GetFixedLineScanPointMap(pm): the fixed line scan ended: out of memory", False]


RACERS = {
    "stop": "cam.StopFixedLineScan()",
    "close": "cam.Close()",
    "shutdown": "T.SystemShutdown()",
    "destroy": "T.X2.Destroy(handles[k])",
}


@pytest.mark.parametrize("racers", [("stop", "stop"), ("stop", "close"), ("stop", "shutdown"), ("close", "shutdown"),
                                    ("stop", "stop", "stop", "close"), ("stop", "destroy", "close", "shutdown")])
def test_concurrent_stops_of_a_scan(racers):
    body = SCAN_PRELUDE % (SCAN_RIG % (64, 48)) + """
racers = %r
answers = []
for round in range(15):
    T.SystemShutdown()
    assert T.SystemInit()
    cam = T.X2.Create(T.SystemFindDevice("R-1"))
    assert cam.Open() and cam.StartFixedLineScan(o), T.GetLastErrorMessage()
    first = cam.GetFixedLineScanPointMap()
    assert first.IsValid()
    T.PointMap.Destroy(first)
    handles = [cam] * len(racers)
    gate = threading.Barrier(len(racers))
    def run(k, what):
        gate.wait()
        r = eval(what)
        if what.startswith("cam.Stop"):
            answers.append(r)
    threads = [threading.Thread(target=run, args=(k, w)) for k, w in enumerate(racers)]
    for t in threads: t.start()
    for t in threads: t.join()
    T.SystemShutdown()
    assert tuvo_sim.live("pointmap") == 0, tuvo_sim.live("pointmap")
print(json.dumps(answers))
""" % ([RACERS[r] for r in racers],)
    answers = child_json(body, timeout=60)
    if racers == ("stop", "stop"):
        assert answers.count(True) >= 15  # in each round at least one stop stopped the scan


@pytest.mark.parametrize("stop", ["StopFixedLineScan", "Close"])
def test_a_call_waiting_for_the_first_sweep_hears_of_a_stop(scan_cam, stop):
    tuvo_sim.block("scan publish")  # the first sweep is held before it is published
    assert scan_cam.StartFixedLineScan(scan_options())
    assert tuvo_sim.wait_entered("scan publish") == 1
    got = []
    waiter = threading.Thread(target=lambda: got.append(
        (scan_cam.GetFixedLineScanPointMap().IsValid(), T.GetLastError(), T.GetLastErrorMessage())))
    waiter.start()
    deadline = time.monotonic() + 10
    while tuvo_sim.device_value("R-1", "scan_waiters") < 1 and time.monotonic() < deadline:
        time.sleep(0.005)  # until it waits for the sweep (a stop can only come after that)
    stopper = threading.Thread(target=getattr(scan_cam, stop))
    stopper.start()  # the stop wakes the waiter, then waits for the held sweep
    while tuvo_sim.device_value("R-1", "scan_waiters") > 0 and time.monotonic() < deadline:
        time.sleep(0.005)
    tuvo_sim.unblock("scan publish")
    stopper.join(10)
    waiter.join(10)
    assert got == [(False, tuvo_sim.ERROR_FAILED,
                    "X2.GetFixedLineScanPointMap(pm): the fixed line scan was stopped before a point map arrived")]


def test_a_stop_waits_for_the_stop_under_way(scan_cam):
    """The second of two stops returns once the scan has stopped, not before."""
    assert scan_cam.StartFixedLineScan(scan_options(5000))
    assert scan_cam.GetFixedLineScanPointMap().IsValid()
    with tuvo_sim.blocked("PointMap.Destroy"):  # the first stop is held while it releases the last map
        first = threading.Thread(target=scan_cam.StopFixedLineScan)
        first.start()
        assert tuvo_sim.wait_entered("PointMap.Destroy")
        second = []
        t = threading.Thread(target=lambda: second.append(scan_cam.StopFixedLineScan()))
        t.start()
        t.join(0.3)
        assert t.is_alive()  # waiting for the first
    first.join(10)
    t.join(10)
    assert second == [True] and not first.is_alive()
    assert not scan_cam.StopFixedLineScan()  # a later one finds nothing to stop


# ---- protective covers driven from two handles ----

COVER_PRELUDE = """
tuvo_sim.set_rig(%r)
assert T.SystemInit()
dev = T.SystemFindDevice("C-1")
a, b = T.X1.Create(dev, T.CameraID_Left), T.X1.Create(dev, T.CameraID_Right)
assert a.Open() and b.Open()
results = {}
def waiting(name, call):
    results[name] = (call(), T.GetLastError(), T.GetLastErrorMessage())
def moving(cam):
    S = T.ProtectiveCoverStatus
    deadline = time.monotonic() + 5
    while cam.GetProtectiveCoverStatus()[1] not in (S.ProtectiveCoverStatus_Opening, S.ProtectiveCoverStatus_Closing):
        assert time.monotonic() < deadline, "the cover never moved"
        time.sleep(0.005)
""" % COVER_RIG


@pytest.mark.parametrize("move, reverse, message", [
    ("CloseProtectiveCover", "OpenProtectiveCoverAsync",
     "X1.CloseProtectiveCover: another handle reversed the protective cover: it is opening"),
    ("OpenProtectiveCover", "CloseProtectiveCoverAsync",
     "X1.OpenProtectiveCover: another handle reversed the protective cover: it is closing"),
    ("OpenProtectiveCover", "ResetProtectiveCover",
     "X1.OpenProtectiveCover: another handle reversed the protective cover: it is closed"),
])
def test_a_cover_reversed_by_another_handle(move, reverse, message):
    body = COVER_PRELUDE + """
tuvo_sim.set("cover.travel_ms", 400)
if %(move)r == "OpenProtectiveCover":
    assert a.ResetProtectiveCover()  # closed
t = threading.Thread(target=waiting, args=("a", a.%(move)s))
t.start()
moving(b)
assert b.%(reverse)s()
t.join()
print(json.dumps(results["a"]))
""" % {"move": move, "reverse": reverse}
    assert child_json(body) == [False, -11, message]


def test_a_cover_wait_blocks_neither_its_camera_nor_shutdown():
    body = COVER_PRELUDE + """
tuvo_sim.set("cover.travel_ms", 3000)
assert a.ResetProtectiveCover()
t = threading.Thread(target=waiting, args=("a", a.OpenProtectiveCover))
t.start()
moving(a)  # the same camera answers meanwhile
status = a.GetProtectiveCoverStatus()
resolution = a.GetCameraResolution()
still = t.is_alive()
T.SystemShutdown()
t.join()
print(json.dumps([status[0], int(status[1]), resolution[0], still, results["a"][0], results["a"][1]]))
"""
    opening = int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Opening)
    ok, status, resolution, still_waiting, moved, code = child_json(body)
    assert (ok, status, resolution, still_waiting) == (True, opening, True, True)
    assert moved is False and code != 0  # the camera went away: the wait ends without the cover


@pytest.mark.parametrize("travel, timeout, opened", [
    ("30", "nan", True),  # not a number: the default wait (10 s)
    ("nan", "nan", True),  # and the default travel (400 ms)
    ("30", "inf", True),  # held to an hour
    ("30", "-1e300", False),  # held to no wait at all
])
def test_cover_times_that_are_not_numbers_or_out_of_range(travel, timeout, opened):
    body = COVER_PRELUDE + """
tuvo_sim.set("cover.travel_ms", float(%r))
tuvo_sim.set("cover.timeout_ms", float(%r))
assert a.ResetProtectiveCover()
waiting("a", a.OpenProtectiveCover)
print(json.dumps(results["a"][:2]))
""" % (travel, timeout)
    assert child_json(body) == ([True, 0] if opened else [False, ERROR_TIMEOUT])


def test_a_cover_that_does_not_arrive_in_time():
    body = COVER_PRELUDE + """
tuvo_sim.set("cover.travel_ms", 60000)
tuvo_sim.set("cover.timeout_ms", 200)
assert a.CloseProtectiveCoverAsync()
waiting("a", a.OpenProtectiveCover)
print(json.dumps(results["a"]))
"""
    assert child_json(body) == [False, ERROR_TIMEOUT,
                                "X1.OpenProtectiveCover: the protective cover did not arrive within 200 ms"]


# ---- memory given back ----

@pytest.mark.parametrize("kind, maps_per_camera", [("x1", 2), ("x2", 3)])
def test_shutdown_frees_the_cameras_maps(kind, maps_per_camera):
    tuvo_sim.set_rig(SCAN_RIG % (64, 48))
    for _ in range(5):
        assert T.SystemInit()
        device = T.SystemFindDevice("R-1")
        cam = T.X2.Create(device) if kind == "x2" else T.X1.Create(device, T.CameraID_Left)
        assert cam.Open() and cam.Capture()
        depth = cam.GetDepthMap()
        assert depth.IsValid() and tuvo_sim.live("map") == maps_per_camera
        T.SystemShutdown()
        assert tuvo_sim.live("map") == 0 and not depth.IsValid()


@pytest.mark.parametrize("make", [
    lambda: T.PointMapCreate(T.PointsOnly, T.Size(4, 4)),
    lambda: T.PointMapCreate(T.PointsNormals, T.Size(64, 47)),
    lambda: T.PointMapCreate(T.PointsOnly, T.Size(48, 64)),
])
def test_a_scan_map_of_another_size_replaces_the_callers_map(scan_cam, make):
    assert scan_cam.StartFixedLineScan(scan_options())
    for _ in range(10):
        pm = make()
        assert scan_cam.GetFixedLineScanPointMap(pm) is True
        assert np.asarray(pm).shape == (48, 64, 3)
        T.PointMap.Destroy(pm)  # the map the call handed over
    assert scan_cam.StopFixedLineScan()
    assert tuvo_sim.live("pointmap") == 0  # the maps the calls replaced were given back


# ---- custom transformations ----

def x_cam(kind, extra=True):
    cameras = "left, right, extra" if extra else "left, right"
    tuvo_sim.set_rig("[device]\nsn = X-1\ncameras = %s\nx2 = yes\nwidth = 64\nheight = 48\n" % cameras)
    assert T.SystemInit()
    device = T.SystemFindDevice("X-1")
    cam = T.X2.Create(device) if kind == "x2" else T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    return cam


def transform_options(kind, select, matrix):
    t = T.X2_CustomTransformOptions() if kind == "x2" else T.X1_CustomTransformOptions()
    t.coordinate_select = type(t.coordinate_select)(select)
    t.SetTransform(matrix)
    return t


def with_value(index, value):
    m = np.eye(4)
    m.flat[index] = value
    return m


@pytest.mark.parametrize("kind", ["x1", "x2"])
@pytest.mark.parametrize("matrix", [with_value(0, np.nan), with_value(3, np.inf), with_value(14, -np.inf),
                                    with_value(15, np.nan), np.full((4, 4), np.nan)])
def test_a_non_finite_transformation_is_refused(kind, matrix):
    cam = x_cam(kind)
    shift = with_value(3, 25.0)
    assert cam.SetCustomTransformation(transform_options(kind, 1, shift))
    assert not cam.SetCustomTransformation(transform_options(kind, 1, matrix))
    assert T.GetLastErrorMessage() == "%s.SetCustomTransformation: the transformation holds a value that is not finite" % (
        kind.upper())
    ok, kept = cam.GetCustomTransformation()
    assert ok and int(kept.coordinate_select) == 1
    assert tuvo_sim.last_args("%s.SetCustomTransformation" % kind.upper())["t3"] != 25.0
    assert cam.Capture() and np.isfinite(np.asarray(cam.GetPointMap())[..., 2]).any()  # the kept one still works


SETTINGS = "[camera]\ntransform_select = %s\ntransform = %s\n"
IDENTITY = "1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1"


@pytest.mark.parametrize("kind, extra, select, transform, why", [
    ("x1", True, "1", IDENTITY.replace("1, 0, 0, 0", "nan, 0, 0, 0", 1), "line 3: the transformation holds a value that is not finite"),
    ("x2", True, "1", IDENTITY.replace("0, 0, 0, 1", "0, 0, 0, inf"), "line 3: the transformation holds a value that is not finite"),
    ("x1", True, "1", IDENTITY.replace("1, 0, 0, 0", "1e999, 0, 0, 0", 1), "line 3: the transformation holds a value that is not finite"),
    ("x1", True, "3", IDENTITY, "line 2: transform_select must be an integer from 0 to 2"),
    ("x1", True, "1.5", IDENTITY, "line 2: transform_select must be an integer from 0 to 2"),
    ("x2", False, "4", IDENTITY, "line 2: transform_select must be an integer from 0 to 3"),
    ("x2", True, "5", IDENTITY, "line 2: transform_select must be an integer from 0 to 4"),
    ("x2", True, "-0.5", IDENTITY, "line 2: transform_select must be an integer from 0 to 4"),
])
def test_settings_files_with_a_bad_transformation_are_refused(tmp_path, kind, extra, select, transform, why):
    cam = x_cam(kind, extra)
    path = tmp_path / "s.txt"
    path.write_text(SETTINGS % (select, transform))
    assert not cam.LoadSettingFromFile(str(path))
    assert T.GetLastErrorMessage() == "%s.LoadSettingFromFile: %s: %s" % (kind.upper(), path, why)
    ok, kept = cam.GetCustomTransformation()
    assert ok and int(kept.coordinate_select) == 0


@pytest.mark.parametrize("kind, select", [("x1", 2), ("x2", 3), ("x2", 4)])
def test_settings_files_with_the_largest_selection_load(tmp_path, kind, select):
    cam = x_cam(kind)
    path = tmp_path / "s.txt"
    path.write_text(SETTINGS % (select, IDENTITY))
    assert cam.LoadSettingFromFile(str(path)), T.GetLastErrorMessage()
    ok, kept = cam.GetCustomTransformation()
    assert ok and int(kept.coordinate_select) == select


# ---- PLY headers ----

PLY_VERTEX = "property double x\nproperty double y\nproperty double z\n"
PLY_BAD_HEADERS = [
    ("element face 1\nproperty list uchar int vertex_indices\nelement vertex 2\n" + PLY_VERTEX,
     "the vertex element must come first"),
    ("element vertex\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex many\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex 2 3\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex -2\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex 99999999999999999999999\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex 2\n" + PLY_VERTEX + "element vertex 2\n" + PLY_VERTEX, "the PLY file has two vertex elements"),
    ("element vertex 0\n" + PLY_VERTEX, "the PLY file holds no points"),
]


@pytest.mark.parametrize("binary", [True, False])
@pytest.mark.parametrize("header, why", PLY_BAD_HEADERS)
def test_malformed_ply_headers_are_refused(tmp_path, binary, header, why):
    path = tmp_path / "bad.ply"
    fmt = "binary_little_endian" if binary else "ascii"
    body = np.arange(12.0).tobytes() if binary else b"1 2 3\n4 5 6\n3\n0 1 0\n"
    path.write_bytes(("ply\nformat %s 1.0\n%send_header\n" % (fmt, header)).encode() + body * 2)
    pm = T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter)
    assert not pm.IsValid()
    assert T.GetLastErrorMessage() == "PointMap.CreateFromFile: %s: %s" % (path, why)


def test_ply_vertices_followed_by_faces_load(tmp_path):
    path = tmp_path / "mesh.ply"
    header = "ply\nformat binary_little_endian 1.0\nelement vertex 2\n" + PLY_VERTEX + \
             "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
    path.write_bytes(header.encode() + np.arange(6.0).tobytes() + b"\x03" + np.int32([0, 1, 0]).tobytes())
    pm = T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter)
    assert pm.IsValid() and np.array_equal(np.asarray(pm).reshape(-1), np.arange(6.0))


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """A one-frame X1 recording of a small live device."""
    path = tmp_path_factory.mktemp("rec") / "rec"
    tuvo_sim.reset()
    tuvo_sim.set_rig(SCAN_RIG % (64, 48))
    assert T.SystemInit()
    device = T.SystemFindDevice("R-1")
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    rec = Recorder(str(path), device)
    rec.capture(rec.add_x1(cam, "left", None))
    tuvo_sim.reset()
    return path


@pytest.mark.parametrize("header, why", [
    ("element face 1\nproperty list uchar int vertex_indices\nelement vertex 3072\n" + PLY_VERTEX,
     "the PLY file must hold vertices only"),
    ("element vertex\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
    ("element vertex many\n" + PLY_VERTEX, "the PLY vertex count is malformed"),
])
def test_malformed_ply_headers_in_a_recording_are_refused(tmp_path, recording, header, why):
    root = tmp_path / "rec"
    shutil.copytree(recording, root)
    ply, = root.rglob("*.ply")
    body = ply.read_bytes().split(b"end_header\n", 1)[1]
    ply.write_bytes(("ply\nformat binary_little_endian 1.0\n%send_header\n" % header).encode() + body)
    tuvo_sim.set_rig("[device]\nplayback = %s\n" % root)
    assert T.SystemInit(), T.GetLastErrorMessage()
    cam = T.X1.Create(T.SystemListDevices(T.All)[1][0], T.CameraID_Left)
    assert cam.Open()
    assert not cam.Capture()
    assert T.GetLastErrorMessage().endswith("%s: %s" % (ply, why))


# ---- ROI ranges at every sensor size ----

ROI_SIZES = [(16, 16), (17, 17), (31, 63), (48, 40), (63, 65), (64, 64), (65, 33), (100, 66), (1280, 1024),
             (8192, 8192)]
ROI_ASKED = [(0, 0, 0, 0), (0, 0, 1, 1), (5, 7, 64, 64), (-50, -50, 99999, 99999), (2 ** 31 - 1, 2 ** 31 - 1, 16, 2),
             (3, 3, -5, -5), (40, 30, 20, 20)]


@pytest.mark.parametrize("kind", ["x1", "x2"])
@pytest.mark.parametrize("width, height", ROI_SIZES)
def test_roi_range_adjust_and_check_agree(kind, width, height):
    tuvo_sim.set_rig(SCAN_RIG % (width, height))
    assert T.SystemInit()
    device = T.SystemFindDevice("R-1")
    cam = T.X2.Create(device) if kind == "x2" else T.X1.Create(device, T.CameraID_Left)
    assert cam.Open()
    ok, r = cam.GetRoiRange()
    assert ok
    assert 0 < r.width_min <= r.width_max <= width and 0 < r.height_min <= r.height_max <= height
    for v, step in [(r.width_min, r.width_step), (r.width_max, r.width_step), (r.height_min, r.height_step),
                    (r.height_max, r.height_step)]:
        assert v % step == 0
    for roi in (T.ROI(0, 0, r.width_min, r.height_min), T.ROI(0, 0, r.width_max, r.height_max)):
        assert cam.CheckRoi(roi)
    for asked in ROI_ASKED:
        got = cam.AutoAdjustRoi(T.ROI(*asked))
        assert cam.CheckRoi(got), (asked, (got.x, got.y, got.width, got.height))
        assert got.x + got.width <= width and got.y + got.height <= height
    if width * height <= 128 * 128:  # a capture on the smallest ROI the camera takes
        o = T.X2_CaptureOptions() if kind == "x2" else T.X1_CaptureOptions()
        o.roi = cam.AutoAdjustRoi(T.ROI(0, 0, 1, 1))
        assert cam.Capture(o), T.GetLastErrorMessage()
