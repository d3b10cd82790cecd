"""Reliability of data paths under hostile use: point maps projected to the edge of an external
camera, images destroyed while tools read them, objects never initialised, file names with NUL
characters, special and sparse files given to the loaders, saves over links, special and
read-only files, and error messages that echo bytes which are not UTF-8.

Anything that could crash the interpreter runs in a child process, so the suite survives it."""
import os
import shutil
import stat
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import PyTUVO as T
import tuvo_sim

IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
UNIT_K = [1.0, 0, 0, 0, 1.0, 0, 0, 0, 1.0]
NO_DISTORTION = [0.0] * 5


def run_child(code, timeout=120):
    """Runs `code` in a fresh interpreter; returns (exit status, stdout, stderr)."""
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=timeout)
    return r.returncode, r.stdout, r.stderr


# ---- external camera point map: edge pixels and size limit ----

# A point at (u, v, 1) in the external camera's frame projects to (u, v) with a unit camera.
@pytest.mark.parametrize("u, v, pixel", [
    (-0.5, 0.0, None),           # rounds to column -1: outside
    (-0.5, 1.0, None),           # column -1 of row 1 is not the last pixel of row 0
    (-0.5, 3.0, None),
    (0.0, -0.5, None),           # rounds to row -1: outside
    (-0.4999, 0.0, (0, 0)),
    (3.4999, 3.0, (3, 3)),
    (3.5, 0.0, None),            # rounds to column 4 of 4: outside
    (0.0, 3.5, None),
    (-1e300, 0.0, None),
    (2.0, 1e300, None),
])
def test_external_point_map_places_points_by_the_pixel_they_round_to(u, v, pixel):
    code, out, err = run_child(f"""
        import numpy as np, PyTUVO as T
        pm = T.PointMapCreate(T.PointsOnly, T.Size(1, 1))
        np.asarray(pm)[0, 0] = ({u!r}, {v!r}, 1.0)
        ext = T.GetExternalCameraPointMap(pm, 4, 4, {UNIT_K!r}, {NO_DISTORTION!r}, {IDENTITY!r})
        pts = np.asarray(ext)
        print(sorted((int(c), int(r)) for r, c in zip(*np.nonzero(np.isfinite(pts).all(axis=2)))))
        T.PointMapDestroy(ext)
        T.PointMapDestroy(pm)
        print("done")
    """)
    assert code == 0, err
    found, done = out.split("\n")[:2]
    assert done == "done"
    assert found == str([pixel] if pixel else [])


@pytest.mark.parametrize("width, height", [(4097, 4096), (2 ** 24 + 1, 1), (1, 2 ** 24 + 1), (65536, 65536)])
def test_external_point_map_refuses_more_pixels_than_any_map_holds(sdk, width, height):
    pm = T.PointMapCreate(T.PointsOnly, T.Size(2, 2))
    out = T.GetExternalCameraPointMap(pm, width, height, UNIT_K, NO_DISTORTION, IDENTITY)
    assert not out.IsValid()
    assert T.GetLastError() == tuvo_sim.ERROR_INVALID_ARGUMENT
    assert "16777216 pixels" in T.GetLastErrorMessage()
    # The same limit as every other map.
    assert not T.PointMapCreate(T.PointsOnly, T.Size(width, height)).IsValid()


def test_external_extrinsic_refuses_more_pixels_than_any_image_holds(sdk):
    w, h = 4097, 4096
    ext = np.zeros(w * h, np.uint8)
    pm, img = T.PointMapCreate(T.PointsOnly, T.Size(16, 16)), T.ImageCreate(T.Mono8, T.Size(16, 16))
    ok, _, _ = T.GetExternalCameraExtrinsicMatrix(img, pm, ext, img, pm, ext, img, pm, ext, w, h, UNIT_K,
                                                  NO_DISTORTION)
    assert not ok
    assert "16777216 pixels" in T.GetLastErrorMessage()


# ---- images destroyed while a tool detects markers in them ----

CAPTURE = """
    import threading, numpy as np, PyTUVO as T, tuvo_sim
    T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("VS3-000101"), T.CameraID_Left)
    assert cam.Open() and cam.Capture()
    img, pm = cam.GetImage().Clone(), cam.GetPointMap().Clone()
    ext = np.zeros(64 * 64, np.uint8)
    keep = img.Clone()
    compensator = T.Compensator_FixedMarkers()
    assert compensator.Initialize(pm, keep, 0) > 0
"""

# (tool, call on (pm, img)); each detects markers in `img` while the test destroys it.
TOOLS = {
    "Compensator_FixedMarkers.Initialize": "T.Compensator_FixedMarkers().Initialize(pm, img, 0)",
    "Compensator_FixedMarkers.Update": "compensator.Update(pm, img)",
    "GetTwoCameraTransformByCodedCircleMarker": "T.GetTwoCameraTransformByCodedCircleMarker(pm, img, pm, keep, "
                                                "T.CodedCircleMarkerType())[0]",
    "GetExternalCameraExtrinsicMatrix": "T.GetExternalCameraExtrinsicMatrix(img, pm, ext, keep, pm, ext, keep, pm, "
                                        "ext, 64, 64, [1.0] * 9, [0.0] * 5)[0]",
}


@pytest.mark.parametrize("tool", sorted(TOOLS))
def test_tool_keeps_an_image_destroyed_by_another_thread_until_it_is_done(tool):
    code, out, err = run_child(CAPTURE + f"""
    tool = lambda: {TOOLS[tool]}
    expected = repr(tool())
    result = []
    tuvo_sim.block("markers.detect")
    worker = threading.Thread(target=lambda: result.append(repr(tool())))
    worker.start()
    assert tuvo_sim.wait_entered("markers.detect") >= 1
    T.Image.Destroy(img)
    assert not img.IsValid()
    tuvo_sim.unblock("markers.detect")
    worker.join()
    print(result[0] == expected, result[0], expected)
    """)
    assert code == 0, err
    assert out.startswith("True"), out


# ---- objects made by __new__ without __init__ ----

def module_classes():
    return sorted((name, obj) for name, obj in vars(T).items() if isinstance(obj, type) and not name.startswith("_"))


def test_every_bound_class_refuses_an_instance_that_was_never_initialised():
    # Every method and property of every class, called on an instance made by __new__ alone with
    # every arity up to 7: each must raise TypeError, and at least one arity must reach the check.
    code, out, err = run_child("""
        import PyTUVO as T
        T.SystemInit()
        bad = []
        for name, cls in sorted(vars(T).items()):
            if not isinstance(cls, type) or name.startswith("_"):
                continue
            obj = cls.__new__(cls)
            for attr, member in sorted(vars(cls).items()):
                # Python's own object protocol and pybind11's enumeration helpers, which compare or
                # show Python objects, are left out (views have a test of their own below); __int__,
                # __index__ and value read the C++ value.
                if (attr in ("__new__", "__init__", "__doc__", "__module__", "__dict__", "__members__", "__entries",
                            "__weakref__", "__setstate__", "__getstate__", "__eq__", "__ne__", "__hash__", "__repr__",
                            "__str__", "name", "_pybind11_conduit_v1_", "__buffer__", "__release_buffer__")
                        or isinstance(member, staticmethod)):
                    continue
                outcomes = []
                if isinstance(member, property):
                    calls = [lambda: member.fget(obj)]
                    if member.fset:
                        calls.append(lambda: member.fset(obj, 1))
                elif callable(member):
                    calls = [lambda n=n: member(obj, *[None] * n) for n in range(8)]
                else:
                    continue
                for call in calls:
                    try:
                        call()
                        outcomes.append("returned")
                    except TypeError as e:
                        outcomes.append("refused" if "never initialised" in str(e) else "TypeError")
                    except Exception as e:
                        outcomes.append(type(e).__name__)
                if "refused" not in outcomes or set(outcomes) - {"refused", "TypeError"}:
                    bad.append(f"{name}.{attr}: {outcomes}")
        print("\\n".join(bad) or "none")
    """)
    assert code == 0, err
    assert out.strip() == "none", out


def test_module_binds_classes_and_enumerations():
    names = {name for name, _ in module_classes()}
    assert {"Image", "PointMap", "X1", "X2", "Compensator_FixedMarkers", "CameraID", "ImageTypeEnum"} <= names


UNINIT = {name: obj for name, obj in module_classes()}


# Uninitialised objects passed as arguments, not as `self`.
@pytest.mark.parametrize("case, call", [
    ("image to ImageDestroy", lambda o: T.ImageDestroy(o("Image"))),
    ("image to SaveWithImage", lambda o: T.PointMapCreate(T.PointsOnly, T.Size(2, 2)).SaveWithImage("p.ply", o("Image"))),
    ("size to ImageCreate", lambda o: T.ImageCreate(T.Mono8, o("Size"))),
    ("enumeration to ImageCreate", lambda o: T.ImageCreate(o("ImageTypeEnum"), T.Size(2, 2))),
    ("device to X1.Create", lambda o: T.X1.Create(o("Device"))),
    ("camera to X2.Destroy", lambda o: T.X2.Destroy(o("X2"))),
    ("marker type to DetectCodedCircleMarker", lambda o: T.DetectCodedCircleMarker(T.ImageCreate(T.Mono8, T.Size(8, 8)),
                                                                                   o("CodedCircleMarkerType"))),
    ("options to Capture", lambda o: T.X1().Capture(o("X1_CaptureOptions"))),
    ("point map to TransformPointCloud", lambda o: T.TransformPointCloud(np.eye(3), np.zeros(3), o("PointMap"))),
])
def test_uninitialised_arguments_are_refused_before_the_sdk(sdk, case, call):
    before = {op: tuvo_sim.calls(op) for op in ("Image.Destroy", "PointMap.Save", "Image.Create", "X1.Create",
                                                "X2.Destroy", "DetectCodedCircleMarker", "X1.Capture",
                                                "TransformPointCloud")}
    with pytest.raises(TypeError, match="never initialised"):
        call(lambda name: UNINIT[name].__new__(UNINIT[name]))
    # Helper objects may be made along the way; the refused call itself never reached the SDK.
    after = {op: tuvo_sim.calls(op) for op in before}
    reached = {op for op in before if after[op] != before[op]} - {"Image.Create"}
    assert not reached


def test_uninitialised_instances_offer_no_view():
    # Every class of the module asked for a view of an instance made by __new__ alone, through
    # memoryview and, from CPython 3.12 on, its __buffer__ (the interpreter's wrapper of the class's
    # buffer entry point). The classes with the buffer protocol refuse with BufferError, the others
    # have none; nothing crashes.
    code, out, err = run_child("""
        import PyTUVO as T
        for name, cls in sorted(vars(T).items()):
            if not isinstance(cls, type) or name.startswith("_"):
                continue
            for how, ask in (("memoryview", memoryview), ("__buffer__", lambda o: o.__buffer__(0))):
                try:
                    ask(cls.__new__(cls))
                    print(name, how, "gave a view")
                except BufferError as e:
                    print(name, how, "refused" if "never initialised" in str(e) else e)
                except (TypeError, AttributeError):
                    pass
    """)
    assert code == 0, err
    ways = ["memoryview"] + (["__buffer__"] if sys.version_info >= (3, 12) else [])
    views = ["ConfidenceMap", "CorrespondMap", "DepthMap", "Image", "NormalData", "PointMap"]
    assert out.splitlines() == ["%s %s refused" % (name, how) for name in views for how in ways]


def test_initialising_later_makes_a_usable_object():
    c = T.Size.__new__(T.Size)
    with pytest.raises(TypeError):
        c.width
    c.__init__(3, 4)
    assert (c.width, c.height) == (3, 4)


# ---- text with NUL characters ----

def nul_cases():
    """(operation the SDK would see, call) for every text the module hands to the SDK."""
    dev = lambda: T.SystemFindDevice("VS3-000101")
    cases = [
        ("Image.CreateFromFile", lambda x1: T.Image.CreateFromFile("a.png\0.txt")),
        ("Image.SaveImage", lambda x1: T.ImageCreate(T.Mono8, T.Size(4, 4)).SaveImage("a.png\0.txt")),
        ("PointMap.CreateFromFile", lambda x1: T.PointMap.CreateFromFile("a.ply\0x", T.Size(0, 0), T.Millimeter)),
        ("PointMap.Save", lambda x1: T.PointMapCreate(T.PointsOnly, T.Size(2, 2)).Save("a.png\0.txt")),
        ("PointMap.Save", lambda x1: T.PointMapCreate(T.PointsOnly, T.Size(2, 2)).SaveWithImage(
            "a.png\0.txt", T.ImageCreate(T.Mono8, T.Size(2, 2)))),
        ("DepthMap.SaveDepthMap", lambda x1: x1.GetDepthMap().SaveDepthMap("a.png\0.txt", False)),
        ("X1.SaveEncodedImagesData", lambda x1: x1.SaveEncodedImagesData("a.png\0.txt")),
        ("X1.LoadSettingFromFile", lambda x1: x1.LoadSettingFromFile("a.png\0.txt")),
        ("X1.SaveSettingToFile", lambda x1: x1.SaveSettingToFile("a.png\0.txt")),
        ("X2.SaveSettingToFile", lambda x1: T.X2.Create(dev()).SaveSettingToFile("a\0b")),
        ("X2.LoadSettingFromFile", lambda x1: T.X2.Create(dev()).LoadSettingFromFile("a\0b")),
        ("X2.SaveEncodedImagesData", lambda x1: T.X2.Create(dev()).SaveEncodedImagesData("a\0b")),
        ("SystemFindDevice", lambda x1: T.SystemFindDevice("VS3-000101\0junk")),
    ]
    for k in range(3):
        texts = ["192.168.1.2", "255.255.255.0", "192.168.1.1"]
        texts[k] = texts[k] + "\0junk"
        cases.append(("Device.SetNetworkConfig",
                      lambda x1, t=texts: dev().SetNetworkConfig(T.NetworkDevice_LeftCamera, T.NetworkType_STATIC, *t)))
    return cases


@pytest.mark.parametrize("op, call", nul_cases(), ids=[f"{op}-{i}" for i, (op, _) in enumerate(nul_cases())])
def test_text_with_nul_is_refused_before_the_sdk(captured, tmp_path, monkeypatch, op, call):
    monkeypatch.chdir(tmp_path)
    before = tuvo_sim.calls(op)
    with pytest.raises(ValueError, match="embedded null character"):
        call(captured)
    assert tuvo_sim.calls(op) == before
    assert os.listdir(tmp_path) == []


def test_none_still_reaches_the_sdk_as_a_null_name(sdk):
    assert not T.ImageCreate(T.Mono8, T.Size(4, 4)).SaveImage(None)
    assert "null file name" in T.GetLastErrorMessage()


# ---- loaders: special files, sparse files, read only what the header promises ----

def png_1x1():
    import png
    import io
    buf = io.BytesIO()
    png.Writer(1, 1, greyscale=True).write(buf, [[7]])
    return buf.getvalue()


LOADERS = {
    "Image.CreateFromFile": lambda cam, path: T.Image.CreateFromFile(path).IsValid(),
    "PointMap.CreateFromFile": lambda cam, path: T.PointMap.CreateFromFile(path, T.Size(0, 0), T.Millimeter).IsValid(),
    "X1.LoadSettingFromFile": lambda cam, path: cam.LoadSettingFromFile(path),
}


def special_path(kind, tmp_path):
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo")
        return str(tmp_path / "fifo")
    if kind == "folder":
        return str(tmp_path)
    if kind == "link to /dev/zero":
        os.symlink("/dev/zero", tmp_path / "zero")
        return str(tmp_path / "zero")
    if kind == "link loop":
        os.symlink("loop", tmp_path / "loop")
        return str(tmp_path / "loop")
    if kind == "long name":
        return str(tmp_path / ("n" * 300))
    return kind


@pytest.mark.parametrize("loader", sorted(LOADERS))
@pytest.mark.parametrize("kind, reason", [
    ("/dev/zero", "is not a regular file"), ("/dev/null", "is not a regular file"), ("fifo", "is not a regular file"),
    ("folder", "is not a regular file"), ("link to /dev/zero", "is not a regular file"),
    ("link loop", "Too many levels of symbolic links"), ("long name", "File name too long"),
])
def test_loaders_refuse_anything_but_a_regular_file(x1, tmp_path, loader, kind, reason):
    path = special_path(kind, tmp_path)
    assert not LOADERS[loader](x1, path)
    assert T.GetLastError() == tuvo_sim.ERROR_FILE_IO
    assert reason in T.GetLastErrorMessage()


def sparse(path, head, size):
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(size)
    return str(path)


# (loader, what the file starts with, its size): each file is mostly a hole after what its header
# announces; loading must read the header's worth, not the file.
SPARSE = [
    ("Image.CreateFromFile", png_1x1(), 60 << 20),
    ("PointMap.CreateFromFile", b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty double x\n"
                                b"property double y\nproperty double z\nend_header\n" + bytes(24), 256 << 20),
    ("PointMap.CreateFromFile", b"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                                b"property float z\nend_header\n1 2 3\n", 256 << 20),
]


@pytest.mark.parametrize("loader, head, size", SPARSE, ids=["png", "binary ply", "ascii ply"])
def test_loaders_read_only_what_the_header_promises(tmp_path, loader, head, size):
    path = sparse(tmp_path / "sparse", head, size)
    code, out, err = run_child(f"""
        import resource, PyTUVO as T
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if {loader!r} == "Image.CreateFromFile":
            ok = T.Image.CreateFromFile({path!r}).IsValid()
        else:
            ok = T.PointMap.CreateFromFile({path!r}, T.Size(0, 0), T.Millimeter).IsValid()
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(ok, grown, T.GetLastErrorMessage())
    """)
    assert code == 0, err
    ok, grown, message = out.split(" ", 2)
    assert ok == "True", message
    assert int(grown) < 16 * 1024, f"peak memory grew by {grown} kB loading a {size >> 20} MB file"


@pytest.mark.parametrize("name, head, size, reason", [
    ("huge.png", png_1x1(), 200 << 20, "is larger than"),
    ("huge.ply", b"ply\n", (1 << 30) + 1, "is larger than"),
    ("long header.ply", b"ply\nformat ascii 1.0\n" + b"comment x\n" * 7000, 70000, "longer than 65536 bytes"),
    ("cut ascii.ply", b"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                      b"property float z\nend_header\n1 2 " + b"3" * 300, 100000, "more than 64 bytes"),
], ids=["png", "ply", "long header", "long values"])
def test_loaders_refuse_files_beyond_the_formats_limits(sdk, tmp_path, name, head, size, reason):
    path = sparse(tmp_path / name, head, size)
    if name.endswith(".png"):
        assert not T.Image.CreateFromFile(path).IsValid()
    else:
        assert not T.PointMap.CreateFromFile(path, T.Size(0, 0), T.Millimeter).IsValid()
    assert reason in T.GetLastErrorMessage()


def test_png_loader_still_reads_a_whole_image(sdk, tmp_path):
    img = T.ImageCreate(T.RGB8, T.Size(33, 17))
    np.asarray(img)[:] = np.arange(33 * 17 * 3, dtype=np.uint8).reshape(17, 33, 3)
    assert img.SaveImage(str(tmp_path / "i.png"))
    back = T.Image.CreateFromFile(str(tmp_path / "i.png"))
    assert np.array_equal(np.asarray(back), np.asarray(img))
    # Cut short, it is refused.
    data = (tmp_path / "i.png").read_bytes()
    (tmp_path / "cut.png").write_bytes(data[:len(data) // 2])
    assert not T.Image.CreateFromFile(str(tmp_path / "cut.png")).IsValid()
    assert "truncated" in T.GetLastErrorMessage()


# ---- saves: links, modes, read-only, hard links, special files, long names ----

def savers():
    """name -> save(path) -> bool, each on a fresh captured camera's data."""
    return {
        "Image.SaveImage": lambda cam, p: cam.GetImage().SaveImage(p),
        "PointMap.Save": lambda cam, p: cam.GetPointMap().Save(p, T.Millimeter, False),
        "DepthMap.SaveDepthMap": lambda cam, p: cam.GetDepthMap().SaveDepthMap(p, False),
        "X1.SaveSettingToFile": lambda cam, p: cam.SaveSettingToFile(p),
        "X1.SaveEncodedImagesData": lambda cam, p: cam.SaveEncodedImagesData(p),
    }


SAVERS = savers()


@pytest.fixture
def small_cam(sdk):
    tuvo_sim.set_rig("[device]\nsn = S-1\nwidth = 64\nheight = 48\n")
    T.SystemShutdown()
    assert T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("S-1"))
    assert cam.Open() and cam.Capture()
    yield cam
    T.X1.Destroy(cam)


@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_through_a_symbolic_link_writes_its_target(small_cam, tmp_path, saver):
    (tmp_path / "real").write_bytes(b"old")
    os.symlink("real", tmp_path / "link")
    assert SAVERS[saver](small_cam, str(tmp_path / "link")), T.GetLastErrorMessage()
    assert (tmp_path / "link").is_symlink()
    assert (tmp_path / "real").read_bytes() not in (b"old", b"")
    # A dangling link: the file it names is made.
    os.symlink("sub/new", tmp_path / "dangling")
    os.mkdir(tmp_path / "sub")
    assert SAVERS[saver](small_cam, str(tmp_path / "dangling")), T.GetLastErrorMessage()
    assert (tmp_path / "dangling").is_symlink() and (tmp_path / "sub" / "new").stat().st_size > 0


@pytest.mark.parametrize("saver", sorted(SAVERS))
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o664, 0o604])
def test_save_keeps_the_files_mode(small_cam, tmp_path, saver, mode):
    target = tmp_path / "f"
    target.write_bytes(b"old")
    os.chmod(target, mode)
    assert SAVERS[saver](small_cam, str(target)), T.GetLastErrorMessage()
    assert stat.S_IMODE(target.stat().st_mode) == mode
    assert target.read_bytes() != b"old"


@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_refuses_a_read_only_file(small_cam, tmp_path, saver):
    target = tmp_path / "ro"
    target.write_bytes(b"keep")
    os.chmod(target, 0o444)
    assert not SAVERS[saver](small_cam, str(target))
    assert "read-only" in T.GetLastErrorMessage()
    assert target.read_bytes() == b"keep"


@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_keeps_hard_links_together(small_cam, tmp_path, saver):
    (tmp_path / "a").write_bytes(b"old")
    os.link(tmp_path / "a", tmp_path / "b")
    assert SAVERS[saver](small_cam, str(tmp_path / "a")), T.GetLastErrorMessage()
    assert (tmp_path / "a").read_bytes() == (tmp_path / "b").read_bytes() != b"old"
    assert os.path.samefile(tmp_path / "a", tmp_path / "b")


@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_writes_into_a_fifo_with_a_reader_and_refuses_one_without(small_cam, tmp_path, saver):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert not SAVERS[saver](small_cam, str(fifo))
    assert "FIFO without a reader" in T.GetLastErrorMessage()
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    got = []

    def drain():
        # Until a writer has come and gone: before it opens the FIFO, reads find no data.
        data, deadline = b"", time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                chunk = None
            if chunk:
                data += chunk
            elif chunk == b"" and data:
                break
            else:
                time.sleep(0.005)
        got.append(data)

    reader = threading.Thread(target=drain)
    try:
        reader.start()
        assert SAVERS[saver](small_cam, str(fifo)), T.GetLastErrorMessage()
    finally:
        reader.join(10)
        os.close(fd)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert got and len(got[0]) > 0


@pytest.mark.skipif(os.geteuid() != 0, reason="making a device node needs root")
@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_writes_into_a_device_without_replacing_it(small_cam, tmp_path, saver):
    node = tmp_path / "null"
    os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a second /dev/null
    assert SAVERS[saver](small_cam, str(node)), T.GetLastErrorMessage()
    assert stat.S_ISCHR(os.lstat(node).st_mode)


@pytest.mark.parametrize("saver", sorted(SAVERS))
def test_save_refuses_a_folder(small_cam, tmp_path, saver):
    os.mkdir(tmp_path / "d")
    assert not SAVERS[saver](small_cam, str(tmp_path / "d"))
    assert "is a folder" in T.GetLastErrorMessage()
    assert (tmp_path / "d").is_dir()


@pytest.mark.parametrize("saver", sorted(SAVERS))
@pytest.mark.parametrize("length", [250, 255])
def test_save_accepts_every_name_the_file_system_accepts(small_cam, tmp_path, saver, length):
    name = "n" * (length - 4) + (".ply" if saver == "PointMap.Save" else ".png")
    assert SAVERS[saver](small_cam, str(tmp_path / name)), T.GetLastErrorMessage()
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("old_size", [10, 200000])  # shorter and longer than what is saved
@pytest.mark.parametrize("cut", [0, 5000])
def test_an_in_place_save_that_fails_part_way_puts_the_old_bytes_back(small_cam, tmp_path, old_size, cut):
    old = bytes(range(256)) * (old_size // 256) + bytes(old_size % 256)
    (tmp_path / "a.ply").write_bytes(old)
    os.link(tmp_path / "a.ply", tmp_path / "b.ply")  # a second link: rewritten where it is
    tuvo_sim.set("save.fail_after_bytes", cut)  # the disk fails after that many bytes
    assert not small_cam.GetPointMap().Save(str(tmp_path / "a.ply"), T.Millimeter, False)
    assert T.GetLastErrorMessage().endswith(": Input/output error")
    assert (tmp_path / "a.ply").read_bytes() == old and sorted(os.listdir(tmp_path)) == ["a.ply", "b.ply"]
    tuvo_sim.unset("save.fail_after_bytes")
    assert small_cam.GetPointMap().Save(str(tmp_path / "a.ply"), T.Millimeter, False)
    assert (tmp_path / "b.ply").read_bytes().startswith(b"ply\n")


SAVE_TO_STDOUT = """
import sys, PyTUVO as T, tuvo_sim
tuvo_sim.set_rig("[device]\\nsn = S-1\\nwidth = 16\\nheight = 16\\n")
assert T.SystemInit()
cam = T.X1.Create(T.SystemFindDevice("S-1"))
assert cam.Open() and cam.Capture()
print("before", flush=True)
print("after", cam.GetPointMap().Save(sys.argv[1], T.Millimeter, False), T.GetLastErrorMessage())
"""


@pytest.mark.parametrize("name", ["/dev/stdout", "/proc/self/fd/1", "/dev/fd/1"])
@pytest.mark.parametrize("into", ["pipe", "file"])
def test_save_into_the_process_own_output(tmp_path, name, into):
    """The bytes follow what the output already holds, and what comes after follows them: the file
    behind a redirection is neither replaced nor overwritten from its start."""
    args = [sys.executable, "-c", SAVE_TO_STDOUT, name]
    if into == "pipe":
        out = subprocess.run(args, stdout=subprocess.PIPE, timeout=60, check=True).stdout
    else:
        with open(tmp_path / "out.txt", "wb") as f:
            subprocess.run(args, stdout=f, timeout=60, check=True)
        out = (tmp_path / "out.txt").read_bytes()
    assert out.startswith(b"before\nply\nformat ascii 1.0\n") and b"element vertex 256\n" in out
    assert out.endswith(b"\nafter True \n") and out.count(b"\n") == 1 + 10 + 256 + 1


SHARED_SAVE = """
import sys, PyTUVO as T, tuvo_sim
tuvo_sim.set_rig("[device]\\nsn = S-1\\nwidth = 16\\nheight = 16\\n")
assert T.SystemInit()
cam = T.X1.Create(T.SystemFindDevice("S-1"))
assert cam.Open() and cam.Capture()
for path in sys.argv[1:]:
    print(cam.GetPointMap().Save(path, T.Millimeter, False), T.GetLastErrorMessage())
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root to play another user")
def test_save_over_a_group_shared_file_keeps_its_group(tmp_path):
    """A member of a file's group, saving over it: in a folder the group may write the file keeps its
    group; in a folder only its owner writes (or may only search, or holds sticky), the file is
    written where it is."""
    folders = [("open", 0o775), ("closed", 0o755), ("search", 0o711), ("sticky", 0o1777)]
    for folder, mode in folders:
        os.mkdir(tmp_path / folder)
        os.chown(tmp_path / folder, 1000, 100)
        os.chmod(tmp_path / folder, mode)
        (tmp_path / folder / "team.ply").write_bytes(b"old")
        os.chown(tmp_path / folder / "team.ply", 1000, 100)
        os.chmod(tmp_path / folder / "team.ply", 0o664)
    os.chmod(tmp_path, 0o755)
    # Root without its capabilities, in group 100 only: an ordinary member of the group.
    out = subprocess.run(["setpriv", "--bounding-set=-all", "--inh-caps=-all", "--groups=100", sys.executable,
                          "-c", SHARED_SAVE] + [str(tmp_path / f / "team.ply") for f, _ in folders],
                         capture_output=True, text=True, timeout=60)
    assert out.stdout == "True \n" * len(folders), out.stderr
    for folder, _ in folders:
        st = os.stat(tmp_path / folder / "team.ply")
        assert st.st_gid == 100 and stat.S_IMODE(st.st_mode) == 0o664 and st.st_size > 3
        assert sorted(os.listdir(tmp_path / folder)) == ["team.ply"]


def test_save_leaves_no_temporary_file_when_it_fails(small_cam, tmp_path):
    assert small_cam.GetImage().SaveImage(str(tmp_path / "ok.png"))
    assert not small_cam.GetImage().SaveImage(str(tmp_path / "missing" / "x.png"))
    assert os.listdir(tmp_path) == ["ok.png"]


def test_new_file_gets_the_usual_mode(small_cam, tmp_path):
    old = os.umask(0o027)
    try:
        assert small_cam.GetImage().SaveImage(str(tmp_path / "new.png"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.png").stat().st_mode) == 0o640


# ---- error messages stay valid UTF-8 ----

PLY_BAD_TYPE = (b"ply\nformat ascii 1.0\nelement vertex 1\nproperty \xff\xfe x\nproperty float y\n"
                b"property float z\nend_header\n1 2 3\n")


@pytest.mark.parametrize("case, make_failure, shown", [
    ("bytes file name", lambda d: T.Image.CreateFromFile(bytes(d / "\udcff.png")), "\\xFF.png"),
    ("bytes save name", lambda d: T.ImageCreate(T.Mono8, T.Size(2, 2)).SaveImage(b"/no/such/\xe9t\xe9.png"),
     "\\xE9t\\xE9.png"),
    ("PLY contents", lambda d: T.PointMap.CreateFromFile(str(write(d / "t.ply", PLY_BAD_TYPE)), T.Size(0, 0),
                                                         T.Millimeter), "\\xFF\\xFE"),
    ("cut sequence", lambda d: T.Image.CreateFromFile(b"/no/such/\xe2\x82.png"), "\\xE2\\x82.png"),
    ("valid UTF-8 kept", lambda d: T.Image.CreateFromFile("/no/such/\u00e9t\u00e9 \u20ac.png"), "\u00e9t\u00e9 \u20ac.png"),
])
def test_error_messages_always_decode(sdk, tmp_path, case, make_failure, shown):
    make_failure(tmp_path)
    message = T.GetLastErrorMessage()
    assert shown in message


def test_error_message_escapes_bytes_of_settings_files(x1, tmp_path):
    path = write(tmp_path / "s.txt", b"[camera]\n\xff\xfe = 1\n")
    assert not x1.LoadSettingFromFile(str(path))
    assert "\\xFF\\xFE" in T.GetLastErrorMessage()


def write(path, data):
    path.write_bytes(data)
    return path


# ---- no exception leaves the SDK ----

ERROR_OUT_OF_MEMORY = -10
SDK_SOURCES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sim")


def entry_points():
    """(file:line, mapped) for every top-level function of the SDK's sources whose body makes a Call
    (the SDK's entry points): mapped when it is a function-try-block whose handler maps exceptions."""
    out = []
    for folder, _, files in os.walk(SDK_SOURCES):
        for name in sorted(f for f in files if f.endswith(".cpp")):
            lines = open(os.path.join(folder, name)).read().split("\n")
            start = None
            for i, line in enumerate(lines):
                if line.startswith("}"):
                    body = lines[start:i + 1] if start is not None else []
                    if any(b.startswith("    Call call(") for b in body):
                        mapped = any(b.endswith(" try {") for b in body[:6]) and "catch (...) { " in line \
                            and "escaped" in line
                        out.append(("%s:%d" % (name, start + 1), mapped))
                    start = None
                elif line.rstrip().endswith(";") and not line[:1].isspace():
                    start = None
                elif line and not line[0].isspace() and start is None and not line.startswith(
                        ("//", "#", "namespace", "using", "extern")):
                    start = i
    return out


def test_every_entry_point_maps_exceptions_to_errors():
    found = entry_points()
    assert len(found) > 140  # every operation of the interface
    assert [where for where, mapped in found if not mapped] == []


@pytest.mark.parametrize("op, call, failure", [
    ("SystemInit", lambda: T.SystemInit(), False),
    ("X1.Create", lambda: T.X1.Create(T.SystemFindDevice("VS3-000101"), T.CameraID_Left).IsValid(), False),
    ("Image.Create", lambda: T.ImageCreate(T.Mono8, T.Size(4, 4)).IsValid(), False),
    ("Image.Clone", lambda: T.ImageCreate(T.Mono8, T.Size(4, 4)).Clone().IsValid(), False),
    ("PointMap.GetSize", lambda: T.PointMapCreate(T.PointsOnly, T.Size(4, 4)).GetSize().width, 0),
    ("SystemListDevices", lambda: T.SystemListDevices(T.All)[0], ERROR_OUT_OF_MEMORY),
    ("TestAccuracy", lambda: T.TestAccuracy(T.ImageCreate(T.Mono8, T.Size(8, 8)),
                                            T.PointMapCreate(T.PointsOnly, T.Size(8, 8)), 2, 2, 10.0)[0],
     ERROR_OUT_OF_MEMORY),
])
def test_memory_running_out_in_an_operation_is_its_error(sdk, op, call, failure):
    """An allocation failure inside an operation (made at its start here) comes back as the
    operation's failure with Error_OutOfMemory, never as a Python MemoryError."""
    tuvo_sim.set("sim.bad_alloc", op)
    try:
        got = call()
    finally:
        tuvo_sim.unset("sim.bad_alloc")
    assert got == failure
    assert (T.GetLastError(), T.GetLastErrorMessage()) == (ERROR_OUT_OF_MEMORY, op + ": out of memory")
