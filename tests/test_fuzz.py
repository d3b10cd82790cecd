"""API fuzzing: every function and method with generated arguments, in every arity. Only the binding's
documented exceptions may come out, and the process must survive. Longer runs: FUZZ_EXAMPLES=N."""
import inspect
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import PyTUVO as T
import tuvo_sim

EXAMPLES = int(os.environ.get("FUZZ_EXAMPLES", "12"))
ALLOWED = (TypeError, ValueError, MemoryError, UnicodeDecodeError)
TINY_RIG = ("[device]\nsn = F-1\ncameras = left, right, extra\nx2 = yes\ncover = yes\nwidth = 64\nheight = 48\n"
            "capture_modes = fast, normal, fixedlinescan\n")


def callables():
    """(name, callable) for every module function, constructor, static and instance method."""
    out = []
    for name, obj in vars(T).items():
        if name.startswith("__"):
            continue
        if isinstance(obj, type) and not issubclass(obj, int) and "__members__" not in vars(obj):
            out.append((name, obj))
            for attr, member in vars(obj).items():
                if attr.startswith("__"):
                    continue
                if callable(member) or isinstance(member, staticmethod):
                    out.append((name + "." + attr, getattr(obj, attr)))
        elif callable(obj) and not isinstance(obj, type):
            out.append((name, obj))
    return out


CALLABLES = callables()


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """A small rig of live objects the generated arguments draw from."""
    os.chdir(tmp_path_factory.mktemp("fuzz"))  # files named by generated texts land here
    tuvo_sim.set_rig(TINY_RIG)
    tuvo_sim.set("cover.travel_ms", 1)
    T.SystemInit()
    device = T.SystemFindDevice("F-1")
    x1 = T.X1.Create(device)
    x1.Open()
    x1.Capture()
    objects = [device, x1, T.X2.Create(device), x1.GetImage(), x1.GetPointMap(), x1.GetDepthMap(),
               x1.GetConfidenceMap(), T.CorrespondMap(), T.ImageCreate(T.RGB8, T.Size(8, 4)),
               T.PointMapCreate(T.PointsNormals, T.Size(4, 4)), T.NormalData(), T.Size(4, 3), T.ROI(0, 0, 64, 48),
               T.ROIRange(), T.X1_CaptureOptions(), T.X2_CaptureOptions(), T.X1_CustomTransformOptions(),
               T.X2_CustomTransformOptions(), T.CodedCircleMarkerType(), T.CodedCircleMarker(),
               T.Compensator_FixedMarkers()]
    objects += [v for v in vars(T).values() if type(v).__name__ in {
        "CameraID", "PortType", "CameraTempSelector", "BalanceSelector", "NetworkType", "NetworkDevice",
        "ImageTypeEnum", "PointMapTypeEnum", "PointMapUnitEnum", "SystemListDeviceTypeEnum", "CaptureMode",
        "SmoothnessLevel", "ProjectorColor", "X2CustomTransformCoordinate"}]
    objects += [T.CameraID(77), T.ImageTypeEnum(9), T.NetworkDevice(2 ** 32 - 1)]
    yield objects
    tuvo_sim.reset()


texts = st.text(alphabet=st.characters(blacklist_characters="/", blacklist_categories=()), max_size=12)
integers = st.sampled_from([0, 1, 2, 3, -1, 7, 64, 1000, 2 ** 31 - 1, -2 ** 31, 2 ** 32, 2 ** 63, -2 ** 70])
floats = st.sampled_from([0.0, 1.0, -1.5, 20.0, 1e300, float("nan"), float("inf"), -float("inf")])
arrays = st.sampled_from([
    np.zeros((4, 4)), np.arange(16.0), np.arange(9.0).reshape(3, 3), np.zeros((0,)), np.zeros((48, 64), np.uint8),
    np.zeros((48, 64, 3), np.uint8), np.full((5, 7, 2), 3, np.int16), np.ones((6, 6))[::2, ::3],
    np.array(["a", "b"]), np.zeros((2, 2), complex), np.float32(3.5), np.zeros((1, 1, 1, 1), np.uint8)])


def values(objects):
    return st.one_of(
        st.none(), st.booleans(), integers, floats, texts, st.binary(max_size=8),
        st.lists(floats, max_size=20), st.lists(integers, max_size=4), arrays,
        st.sampled_from(objects), st.builds(object))


@pytest.mark.parametrize("name, func", CALLABLES, ids=[n for n, _ in CALLABLES])
def test_generated_calls_raise_only_documented_errors(world, name, func):
    @settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(st.lists(values(world), max_size=7))
    def run(args):
        try:
            func(*args)
        except ALLOWED:
            pass

    run()


def test_every_public_name_is_fuzzed():
    names = {n for n, _ in CALLABLES}
    assert {"X1.Capture", "X2.StartFixedLineScan", "DetectCodedCircleMarker", "TestAccuracy", "Image", "PointMap",
            "Device.SetNetworkConfig", "X1_CaptureOptions.SetHDRGainContent"} <= names
    assert len(CALLABLES) > 150


# ---- paths that once crashed or hung: run in a child process, bounded in time ----

def run_child(code, timeout=60, cwd=None):
    import subprocess
    import sys
    import textwrap
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout,
                       cwd=cwd)
    return r.returncode, r.stdout, r.stderr


def test_images_destroyed_while_marker_tools_read_them():
    # Threads run every marker tool on images that another thread keeps destroying and replacing,
    # for about two seconds: the tools answer or fail cleanly, and the process survives.
    code, out, err = run_child("""
        import random, threading, time, numpy as np, PyTUVO as T
        T.SystemInit()
        cam = T.X1.Create(T.SystemFindDevice("VS3-000101"), T.CameraID_Left)
        assert cam.Open() and cam.Capture()
        base_img, pm = cam.GetImage().Clone(), cam.GetPointMap().Clone()
        ext = np.zeros(64 * 64, np.uint8)
        pool = [base_img.Clone() for _ in range(4)]
        comp = T.Compensator_FixedMarkers()
        comp.Initialize(pm, base_img, 0)
        tools = [
            lambda i: T.Compensator_FixedMarkers().Initialize(pm, i, 0),
            lambda i: comp.Update(pm, i),
            lambda i: T.GetTwoCameraTransformByCodedCircleMarker(pm, i, pm, i, T.CodedCircleMarkerType()),
            lambda i: T.GetExternalCameraExtrinsicMatrix(i, pm, ext, i, pm, ext, i, pm, ext, 64, 64, [1.0] * 9,
                                                         [0.0] * 5),
            lambda i: T.DetectCodedCircleMarker(i, T.CodedCircleMarkerType()),
            lambda i: T.TestAccuracy(i, pm, 3, 3, 20.0),
        ]
        stop, calls, errors = time.monotonic() + 2.0, [0], []

        def work(seed):
            rnd = random.Random(seed)
            while time.monotonic() < stop:
                try:
                    rnd.choice(tools)(rnd.choice(pool))
                    calls[0] += 1
                except Exception as e:
                    errors.append(repr(e))

        def destroy(seed):
            rnd = random.Random(seed)
            while time.monotonic() < stop:
                k = rnd.randrange(len(pool))
                old, pool[k] = pool[k], base_img.Clone()
                T.Image.Destroy(old)
                time.sleep(rnd.random() * 0.002)

        threads = [threading.Thread(target=work, args=(s,)) for s in range(3)]
        threads += [threading.Thread(target=destroy, args=(s,)) for s in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(calls[0], errors[:3])
    """)
    assert code == 0, err
    count, errors = out.split(" ", 1)
    assert int(count) > 0 and errors.strip() == "[]", out


def test_special_paths_for_every_loader_and_saver(tmp_path):
    # Every loader and saver against devices, FIFOs, links, folders, NUL characters and over-long
    # names: each answers at once (a FIFO is never waited on), refuses what is not a file it may
    # use, replaces nothing special, and leaves an error message that decodes.
    code, out, err = run_child("""
        import os, stat, PyTUVO as T
        T.SystemInit()
        os.mkfifo("fifo")
        os.mkdir("folder")
        os.symlink("loop", "loop")
        os.symlink("/dev/zero", "zero")
        paths = ["/dev/zero", "/dev/null", "fifo", "folder", "loop", "zero", "folder/", "missing/x", "", "n" * 300,
                 "a\\0b", b"\\xff\\xfe", "n" * 255]
        cam = T.X1.Create(T.SystemFindDevice("VS3-000101"), T.CameraID_Left)
        assert cam.Open() and cam.Capture()
        loaders = {
            "Image.CreateFromFile": lambda p: T.Image.CreateFromFile(p).IsValid(),
            "PointMap.CreateFromFile": lambda p: T.PointMap.CreateFromFile(p, T.Size(0, 0), T.Millimeter).IsValid(),
            "X1.LoadSettingFromFile": lambda p: cam.LoadSettingFromFile(p),
        }
        savers = {
            "Image.SaveImage": lambda p: cam.GetImage().SaveImage(p),
            "PointMap.Save": lambda p: cam.GetPointMap().Save(p),
            "DepthMap.SaveDepthMap": lambda p: cam.GetDepthMap().SaveDepthMap(p, True),
            "X1.SaveSettingToFile": lambda p: cam.SaveSettingToFile(p),
            "X1.SaveEncodedImagesData": lambda p: cam.SaveEncodedImagesData(p),
        }
        bad = []
        for name, op in list(loaders.items()) + list(savers.items()):
            for p in paths:
                if name in savers and p in ("/dev/zero", "/dev/null"):
                    continue  # the system's own devices are not written by tests
                try:
                    ok = op(p)
                except (ValueError, TypeError):
                    continue
                T.GetLastErrorMessage()  # must decode
                # Saves go through a link into the device it names, and any name the file system takes.
                expect_ok = name in savers and p in ("zero", b"\\xff\\xfe", "n" * 255)
                if ok != expect_ok:
                    bad.append(f"{name}({p[:20]!r}) -> {ok}")
        assert stat.S_ISFIFO(os.lstat("fifo").st_mode) and os.path.isdir("folder") and os.path.islink("zero")
        print(bad or "none")
    """, cwd=tmp_path)
    assert code == 0, err
    assert out.strip() == "none", out
# ---- scans, covers and exits under random concurrent use ----

FUZZ_SECONDS = float(os.environ.get("FUZZ_SECONDS", "1.5"))


def run_threads(workers, seconds=FUZZ_SECONDS):
    """Runs each worker(rng, until) in its own thread with its own seeded generator; every thread
    must finish (a hang shows as a thread still alive)."""
    import random
    import threading
    import time
    until = time.monotonic() + seconds
    errors = []

    def guard(k, worker):
        try:
            worker(random.Random(k), until)
        except Exception as e:  # noqa: BLE001 - reported below with the worker's number
            errors.append((k, repr(e)))

    threads = [threading.Thread(target=guard, args=(k, w), daemon=True) for k, w in enumerate(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 30)
    assert not [t for t in threads if t.is_alive()], "a call never returned"
    assert not errors


def test_scans_stopped_closed_and_shut_down_from_threads():
    import time
    tuvo_sim.set_rig(TINY_RIG.replace("cover = yes", "cover = no"))
    assert T.SystemInit()
    cams = [T.X2.Create(T.SystemFindDevice("F-1"))]
    o = T.X2_CaptureOptions()
    o.line_scanner_scan_time_ms = 10

    def worker(rng, until):
        while time.monotonic() < until:
            cam = cams[0]
            op = rng.choice(["open", "start", "get", "get", "stop", "stop", "close", "shutdown", "destroy"])
            if op == "open":
                cam.Open()
            elif op == "start":
                cam.StartFixedLineScan(o)
            elif op == "get":
                pm = cam.GetFixedLineScanPointMap()
                if pm.IsValid():
                    assert np.asarray(pm).shape == (48, 64, 3)
                    T.PointMap.Destroy(pm)
            elif op == "stop":
                cam.StopFixedLineScan()
            elif op == "close":
                cam.Close()
            elif op == "shutdown":
                T.SystemShutdown()
                T.SystemInit()
                cams[0] = T.X2.Create(T.SystemFindDevice("F-1"))
            else:
                T.X2.Destroy(cam)
                cams[0] = T.X2.Create(T.SystemFindDevice("F-1"))

    run_threads([worker] * 4)
    T.SystemShutdown()
    assert tuvo_sim.live("pointmap") == 0 and tuvo_sim.live("map") == 0


def test_covers_driven_from_two_handles():
    import time
    tuvo_sim.set_rig(TINY_RIG)
    tuvo_sim.set("cover.travel_ms", 30)
    tuvo_sim.set("cover.timeout_ms", 300)
    assert T.SystemInit()
    device = T.SystemFindDevice("F-1")
    cams = [T.X1.Create(device, T.CameraID_Left), T.X1.Create(device, T.CameraID_Right)]
    assert all(c.Open() for c in cams)
    moves = ["OpenProtectiveCover", "CloseProtectiveCover", "OpenProtectiveCoverAsync", "CloseProtectiveCoverAsync",
             "ResetProtectiveCover", "GetProtectiveCoverStatus", "Capture"]

    def worker(rng, until):
        while time.monotonic() < until:
            cam = rng.choice(cams)
            start = time.monotonic()
            getattr(cam, rng.choice(moves))()
            assert time.monotonic() - start < 10, "a cover call waited beyond its bound"

    run_threads([worker] * 4)


EXIT_SCRIPT = """
import random, sys, threading, time, PyTUVO as T, tuvo_sim
rng = random.Random(int(sys.argv[1]))
tuvo_sim.set_rig(%r)
tuvo_sim.set("cover.travel_ms", 200)
assert T.SystemInit()
device = T.SystemFindDevice("F-1")
x2 = T.X2.Create(device)
assert x2.Open() and x2.OpenProtectiveCover()
o = T.X2_CaptureOptions()
o.line_scanner_scan_time_ms = rng.choice([10, 50])
assert x2.StartFixedLineScan(o)
x2.GetFixedLineScanPointMap()
x2.CloseProtectiveCoverAsync()
until = time.monotonic() + rng.random() * 0.3
def busy():  # the interpreter waits for these before it exits; the scan and the cover go on
    while time.monotonic() < until:
        pm = rng.choice([x2.GetFixedLineScanPointMap, x2.OpenProtectiveCoverAsync, x2.CloseProtectiveCoverAsync,
                         x2.GetProtectiveCoverStatus])()
for _ in range(3):
    threading.Thread(target=busy).start()
if rng.random() < 0.5:
    raise SystemExit(0)
"""


@pytest.mark.parametrize("seed", range(4))
def test_exit_with_work_under_way(seed):
    import subprocess
    import sys
    r = subprocess.run([sys.executable, "-c", EXIT_SCRIPT % TINY_RIG, str(seed)], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr[-2000:]


# ---- scene files and meshes: generated hostile texts, checked against what the readers must do ----

try:
    import tomllib
except ImportError:  # CPython before 3.11
    import tomli as tomllib

SCENE_HEAD = '[[object]]\nname = "o"\ntype = "sphere"\nradius = 10\nposition = [0, 0, 800]\n[probe]\n'


def scene_rig(path, extra=""):
    tuvo_sim.set_rig("[device]\nsn = F-2\nwidth = 64\nheight = 48\nscene = %s\n%s" % (path, extra))


@st.composite
def toml_strings(draw):
    """A TOML string of any kind: escapes, quotes and brackets inside, line-ending backslashes, and
    multi-line ones closed by runs of three to five quotes."""
    q = draw(st.sampled_from(['"', "'"]))
    multi = draw(st.booleans())
    plain = st.sampled_from(["a", ".", "[", "{", "}", "]", "#", "=", " ", ","] + (["'"] if q == '"' else ['"']))
    pieces = [plain] + ([st.just('\\"'), st.just("\\\\")] if q == '"' else [])
    if multi:
        pieces += [st.just("\n"), st.just(q), st.just(q * 2)] + ([st.just("\\\n  ")] if q == '"' else [])
    body = "".join(draw(st.lists(st.one_of(pieces), max_size=12)))
    if multi:
        tail = draw(st.integers(0, 2))  # quotes before the closing three
        return q * 3 + body + "a" + q * tail + q * 3
    return q + body + q


@settings(max_examples=EXAMPLES * 10, deadline=None, suppress_health_check=list(HealthCheck))
@given(string=toml_strings(), parts=st.integers(1, 20), depth=st.integers(0, 36), crlf=st.booleans())
def test_scene_nesting_check_reads_strings_as_toml_does(tmp_path_factory, string, parts, depth, crlf):
    probe = "t = { s = %s, %s = %s1%s }\n" % (string, ".".join(["k"] * parts), "[" * depth, "]" * depth)
    text = SCENE_HEAD + probe
    if crlf:
        text = text.replace("\r", "").replace("\n", "\r\n")
    try:
        tomllib.loads(text)
    except tomllib.TOMLDecodeError:
        assume(False)
    path = tmp_path_factory.mktemp("toml") / "scene.toml"
    path.write_bytes(text.encode())
    scene_rig(path)
    assert T.SystemInit() is False
    message = T.GetLastErrorMessage()
    line = SCENE_HEAD.count("\n") + 1 + string.count("\n")
    if parts > 16:
        assert "line %d: a key has more than 16 dotted parts" % line in message
    elif depth + 1 > 32:
        assert "line %d: arrays and inline tables nest deeper than 32 levels" % line in message
    else:
        assert "unknown key 'probe'" in message


@settings(max_examples=EXAMPLES * 4, deadline=None, suppress_health_check=list(HealthCheck))
@given(faces=st.lists(st.integers(3, 300), min_size=1, max_size=6), limit=st.integers(1, 600), data=st.data())
def test_obj_faces_are_counted_as_the_importer_reads_them(tmp_path_factory, faces, limit, data):
    """Faces of many corners, CR, CR LF, FF and NUL line ends, and lines joined by backslashes: the
    check before import counts what the importer would build, and refuses it by the limits."""
    folder = tmp_path_factory.mktemp("obj")
    ends = st.sampled_from(["\n", "\r\n", "\r", "\f", "\0"])
    text = "".join("v %g %g 0%s" % (np.cos(a), np.sin(a), data.draw(ends)) for a in np.linspace(0, 6, 300))
    for n in faces:
        corners = [str(i) for i in range(1, n + 1)]
        cuts = sorted(data.draw(st.lists(st.integers(1, n - 1), max_size=3, unique=True)))
        parts = [corners[a:b] for a, b in zip([0] + cuts, cuts + [n])]
        join = data.draw(st.sampled_from([" \\\n", " \\\r\n"]))
        lead = data.draw(st.sampled_from(["", "\\\n"]))  # a line may start by joining the next one
        text += lead + "f " + join.join(" ".join(p) for p in parts) + data.draw(ends)
    (folder / "m.obj").write_bytes(text.encode())
    (folder / "scene.toml").write_text('[[object]]\nname = "m"\ntype = "mesh"\nfile = "m.obj"\nposition = [0, 0, 800]\n')
    tuvo_sim.set("scene.max_mesh_triangles", limit)
    scene_rig(folder / "scene.toml")
    expected, made = None, 0
    for k, n in enumerate(faces):
        made += n - 2
        if n > 256:
            expected = "face %d of the OBJ file has %d corners" % (k + 1, n)
        elif made > limit:
            expected = "the OBJ file's faces make"
        if expected:
            break
    assert T.SystemInit() is (expected is None), T.GetLastErrorMessage()
    if expected:
        assert expected in T.GetLastErrorMessage()
    tuvo_sim.reset()


@settings(max_examples=EXAMPLES * 2, deadline=None, suppress_health_check=list(HealthCheck))
@given(copies=st.lists(st.integers(1, 150), min_size=1, max_size=3), spellings=st.lists(
    st.sampled_from(["part.stl", "./part.stl", ".//part.stl", "sub/../part.stl", "sub//..//./part.stl",
                     "link.stl", "ABS"]), min_size=1, max_size=8), drop=st.booleans())
def test_coincident_objects_and_path_spellings_cost_nothing_more(tmp_path_factory, copies, spellings, drop):
    """Copies of objects placed on top of each other cost a ray no more tests than one of each;
    a mesh named in many ways is read once; an ASCII STL without its end lines is still counted."""
    import meshes
    folder = tmp_path_factory.mktemp("objects")
    v, f = meshes.box([20, 20, 20])
    meshes.stl_ascii(folder / "part.stl", v, f)
    if drop:
        (folder / "part.stl").write_text((folder / "part.stl").read_text().replace("endfacet\n", "").replace(
            "endloop\n", ""))
    (folder / "sub").mkdir()
    (folder / "link.stl").symlink_to(folder / "part.stl")
    text = '[[object]]\nname = "wall"\ntype = "plane"\nposition = [0, 0, 900]\n'
    shapes = ['type = "sphere"\nradius = 40\n', 'type = "box"\nsize = [50, 40, 30]\n',
              'type = "cylinder"\nradius = 20\nheight = 30\n']
    for k, n in enumerate(copies):
        text += "".join('[[object]]\nname = "c%d_%d"\n%sposition = [%d, 0, 700]\n' % (k, i, shapes[k], 60 * k - 60)
                        for i in range(n))
    for i, name in enumerate(spellings):
        name = str(folder / "part.stl") if name == "ABS" else name
        text += '[[object]]\nname = "m%d"\ntype = "mesh"\nfile = "%s"\nposition = [0, 60, 750]\n' % (i, name)
    (folder / "scene.toml").write_text(text)
    tuvo_sim.set("scene.max_mesh_triangles", 12)
    scene_rig(folder / "scene.toml")
    assert T.SystemInit(), T.GetLastErrorMessage()
    assert tuvo_sim.calls("scene.load_mesh") == 1
    floor = tuvo_sim.ray_floor("F-2")
    assert floor["primary_tests"] <= (len(copies) + 2) * floor["primary_rays"]
    assert floor["shadow_tests"] <= (len(copies) + 2) * max(1, floor["shadow_rays"])
    T.SystemShutdown()
    tuvo_sim.set("scene.max_mesh_triangles", 11)
    assert T.SystemInit() is False and "the ASCII STL holds 12 triangles" in T.GetLastErrorMessage()
    tuvo_sim.reset()
