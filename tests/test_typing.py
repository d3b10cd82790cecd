"""Static types: a user's script, the examples, the stand-in's helper and tuvo_convert pass mypy --strict and
pyright's strict mode with no error; both checkers see each buffer view's element type and refuse
what they should; what the stubs accept, the binding takes, and the user's script runs."""
import json
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import PyTUVO as T
import tuvo_convert

ROOT = pathlib.Path(__file__).resolve().parents[1]
USER_SCRIPT = ROOT / "tests" / "typed" / "user_script.py"
# The user's script, the examples and the stand-in's helper; for pyright the conversions package as installed.
CHECKED = [USER_SCRIPT, *sorted((ROOT / "examples").glob("*.py")), ROOT / "sim" / "python" / "tuvo_sim.py"]
CONVERT = sorted(pathlib.Path(tuvo_convert.__file__).parent.glob("*.py"))
STUBS = (ROOT / "stubs" / "PyTUVO.pyi").read_text()
# class name -> the element type its __array__ declares
DECLARED = dict(re.findall(r"(?m)^class (\w+):\n    def __array__\(.*NDArray\[numpy\.(\w+)\]", STUBS))
# numpy <= 2.1 spells float64 and uint8 as aliases of generic types; later numpy as classes.
SPELLED = {"float64": r"(float64|floating\[[\w.]*_64Bit\])", "uint8": r"(uint8|unsignedinteger\[[\w.]*_8Bit\])"}


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    """One cache for this module's strict mypy runs (numpy's stubs analysed once)."""
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(tmp_path, cache, files):
    """mypy --strict over `files`; its report (one line a finding)."""
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
                          "--cache-dir", str(cache), *map(str, files)],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert not run.stderr.strip() or run.returncode in (0, 1), run.stderr
    return run.returncode, run.stdout


def run_pyright(tmp_path, files):
    """pyright in strict mode over `files`, for this interpreter; its diagnostics and full report."""
    # The examples' helpers from source; tuvo_sim through its installed stubs (tuvo_sim-stubs).
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": "%d.%d" % sys.version_info[:2],
                                  "extraPaths": [str(ROOT / "examples")]}))
    run = subprocess.run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
                          "-p", str(config), *map(str, files)], cwd=tmp_path, capture_output=True, text=True,
                         timeout=300)
    try:
        report = json.loads(run.stdout)
    except ValueError:
        pytest.fail("pyright did not run:\n" + run.stdout + run.stderr)
    # Every file checked: paths pyright ignores would pass without a word.
    assert report["summary"]["filesAnalyzed"] >= len(files), run.stdout + run.stderr
    lines = ["%s:%d: %s: %s" % (d["file"], d["range"]["start"]["line"] + 1, d["severity"], d["message"])
             for d in report["generalDiagnostics"]]
    return report["generalDiagnostics"], "\n".join(lines)


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_user_script_and_examples_have_no_type_errors(checker, tmp_path, mypy_cache):
    if checker == "mypy":
        # (test_convert runs mypy --strict over the installed tuvo_convert: mypy takes files or a package.)
        status, report = run_mypy(tmp_path, mypy_cache, CHECKED)
        assert status == 0 and report == "", report
    else:
        diagnostics, report = run_pyright(tmp_path, CHECKED + CONVERT)
        assert diagnostics == [], report


def test_tuvo_sim_stubs_are_installed_and_match_the_module(tmp_path):
    """The stub-only package tuvo_sim-stubs is what checkers read for the installed tuvo_sim, and it
    says what the module has: stubtest compares every name and signature with the module itself."""
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tuvo_sim", "--mypy-config-file", "/dev/null"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    script = tmp_path / "steer.py"
    script.write_text("import tuvo_sim\n\ntuvo_sim.set('noise.seed', 7)\nn: int = tuvo_sim.calls('X1.Capture')\n"
                      "tuvo_sim.fail('X1.Capture', times='once')  # error\n")
    status, report = run_mypy(tmp_path, tmp_path / "cache", [script])
    assert [int(line.split(":")[1]) for line in report.splitlines() if ": error:" in line] == [5], report
    diagnostics, report = run_pyright(tmp_path, [script])
    assert [d["range"]["start"]["line"] + 1 for d in diagnostics] == [5], report


def test_tools_package_has_no_type_errors(tmp_path):
    """tuvo_tools as installed (typed: its recorder's interface is annotated; mypy's default mode
    checks the bodies of annotated functions)."""
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--show-error-codes",
                          "--cache-dir", str(tmp_path / "mypy-cache"), "-p", "tuvo_tools"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout == "", run.stdout + run.stderr


# A snippet whose every line the checkers must see through: the revealed array types, and the
# mistakes (each marked "error") reported on their own lines and nowhere else.
SNIPPET = """\
import numpy as np
from numpy.typing import NDArray
import PyTUVO as T

pm = T.PointMap()
objects = (T.ConfidenceMap(), T.CorrespondMap(), T.DepthMap(), T.Image(), pm.GetNormalDataPtr(), pm)
reveal_type(np.asarray(objects[0]))
reveal_type(np.asarray(objects[1]))
reveal_type(np.asarray(objects[2]))
reveal_type(np.asarray(objects[3]))
reveal_type(np.asarray(objects[4]))
reveal_type(np.asarray(objects[5]))
n, rotation, translation = T.GetTwoCameraTransformByCodedCircleMarker(pm, T.Image(), pm, T.Image(),
                                                                      T.CodedCircleMarkerType())
reveal_type(rotation)
T.TransformPointCloud(rotation, translation.tolist(), pm)
T.X1_CustomTransformOptions().SetTransform(((1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)))
T.TestAccuracy(T.Image(), pm, (1.0, 2.0), np.ones(1, np.float32), 1, 1, 1.0)
points = np.asarray(pm)
wrong: NDArray[np.uint8] = points  # error
T.TransformPointCloud(["1"] * 9, [0.0] * 3, pm)  # error
T.X2_CustomTransformOptions().SetTransform("1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1")  # error
T.DetectCodedCircleMarker("markers.png", T.CodedCircleMarkerType())  # error
T.TestAccuracy(T.Image(), pm, ["1"], [], 1, 1, 1.0)  # error
"""
REVEALED = ["ConfidenceMap", "CorrespondMap", "DepthMap", "Image", "NormalData", "PointMap"]


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_checkers_see_element_types_and_mistakes(checker, tmp_path, mypy_cache):
    snippet = tmp_path / "snippet.py"
    snippet.write_text(SNIPPET)
    lines = SNIPPET.splitlines()
    if checker == "mypy":
        _, report = run_mypy(tmp_path, mypy_cache, [snippet])
        found = [(int(m.group(1)), m.group(2), m.group(3)) for m in
                 re.finditer(r"(?m)^snippet\.py:(\d+): (\w+): (.*)$", report)]
    else:
        diagnostics, report = run_pyright(tmp_path, [snippet])
        found = [(d["range"]["start"]["line"] + 1, d["severity"], d["message"]) for d in diagnostics]
    reveals = [(line, message) for line, severity, message in found if "reveal" in lines[line - 1]]
    errors = sorted({line for line, severity, _ in found if severity == "error"})
    assert errors == [i + 1 for i, text in enumerate(lines) if text.endswith("# error")], report
    expected = [DECLARED[name] for name in REVEALED] + ["float64"]
    assert len(reveals) == len(expected), report
    for (line, message), dtype in zip(reveals, expected):
        assert re.search(r"ndarray\[.*dtype\[(numpy\.)?%s\]\]" % SPELLED[dtype], message), (line, message, report)


def test_every_buffer_view_is_declared_with_its_real_element_type(usb_device):
    """The element type of every view numpy takes of a capture's results, against the stubs."""
    seen = {}
    x1 = T.X1.Create(usb_device, T.CameraID_Left)
    opts = T.X1_CaptureOptions()
    opts.calc_normal = True
    assert x1.Open() and x1.Capture(opts), T.GetLastErrorMessage()
    point_map = x1.GetPointMap()
    for name, obj in [("PointMap", point_map), ("NormalData", point_map.GetNormalDataPtr()),
                      ("DepthMap", x1.GetDepthMap()), ("ConfidenceMap", x1.GetConfidenceMap()),
                      ("Image", x1.GetImage())]:
        array = np.asarray(obj)
        seen[name] = (array.dtype, array.size)
    T.X1.Destroy(x1)
    x2 = T.X2.Create(usb_device)
    x2_opts = T.X2_CaptureOptions()
    x2_opts.correspond2d = True
    assert x2.Open() and x2.Capture(x2_opts), T.GetLastErrorMessage()
    array = np.asarray(x2.GetCorrespondMap())
    seen["CorrespondMap"] = (array.dtype, array.size)
    T.X2.Destroy(x2)
    # Every class of the module whose instances numpy can view is among them.
    with_views = {name for name, cls in vars(T).items() if isinstance(cls, type) and _has_buffer(cls)}
    assert with_views == set(seen) == set(DECLARED)
    assert {name: (str(dtype), size > 0) for name, (dtype, size) in seen.items()} == {
        name: (dtype, True) for name, dtype in DECLARED.items()}


def _has_buffer(cls):
    """Whether the type fills the buffer protocol's slot (CPython's PyObject_CheckBuffer)."""
    import ctypes
    check = ctypes.pythonapi.PyObject_CheckBuffer
    check.argtypes, check.restype = [ctypes.py_object], ctypes.c_int
    try:
        return bool(check(cls()))
    except TypeError:  # no default constructor
        return False


# Each form the stubs' array and sequence aliases admit, taken by the binding.
FLOAT_ARRAYS = [np.eye(4), np.eye(4, dtype=np.float32), np.eye(4, dtype=np.int64), np.eye(4, dtype=bool),
                np.eye(4).ravel().tolist(), np.eye(4).tolist(), tuple(range(16)), [tuple(r) for r in np.eye(4).tolist()]]
BYTE_ARRAYS = [np.zeros((8, 8), np.uint8), np.zeros((8, 8), np.int32), np.zeros((8, 8, 3), np.float64),
               [[0] * 8] * 8, [[[0, 0, 0]] * 8] * 8]
FLOAT_SEQUENCES = [[0.0] * 9, tuple(range(9)), np.zeros(9, np.float32), np.arange(9), np.ones(9, dtype=bool)]


def first(value, n):
    """The same form holding the first n values of `value` (9 as 3 x 3 where the form is nested)."""
    if isinstance(value, np.ndarray):
        return value.ravel()[:n].reshape((3, 3) if n == 9 else (n,))
    flat = np.asarray(value).ravel()[:n].tolist()
    if n == 9 and isinstance(value[0], (list, tuple)):
        return [type(value[0])(flat[3 * r:3 * r + 3]) for r in range(3)]
    return type(value)(flat)


@pytest.mark.parametrize("value", FLOAT_ARRAYS, ids=lambda v: type(v).__name__ + str(getattr(v, "dtype", "")))
def test_transforms_take_every_form_the_stubs_admit(value):
    opts = T.X1_CustomTransformOptions()
    opts.SetTransform(value)
    point_map = T.PointMapCreate(T.PointsOnly, T.Size(2, 1))
    try:
        np.asarray(point_map)[...] = 1.0
        rotation = np.asarray(value, dtype=np.float64).ravel()[:9]
        T.TransformPointCloud(first(value, 9), first(value, 3), point_map)
        expected = rotation.reshape(3, 3) @ np.ones(3) + np.asarray(value, dtype=np.float64).ravel()[:3]
        np.testing.assert_allclose(np.asarray(point_map)[0, 0], expected)
    finally:
        T.PointMapDestroy(point_map)


@pytest.mark.parametrize("value", BYTE_ARRAYS, ids=lambda v: type(v).__name__ + str(getattr(v, "dtype", "")))
def test_marker_detection_takes_every_pixel_form_the_stubs_admit(value):
    assert T.DetectCodedCircleMarker(value, T.CodedCircleMarkerType()) == []


@pytest.mark.parametrize("value", FLOAT_SEQUENCES, ids=lambda v: type(v).__name__ + str(getattr(v, "dtype", "")))
def test_float_lists_take_every_sequence_the_stubs_admit(value):
    point_map = T.PointMapCreate(T.PointsOnly, T.Size(2, 2))
    try:
        seen = T.GetExternalCameraPointMap(point_map, 2, 2, value, list(value)[:5], list(value) * 2)
        T.PointMapDestroy(seen)
    finally:
        T.PointMapDestroy(point_map)


@pytest.mark.parametrize("call", [
    lambda pm: T.TransformPointCloud("123456789", [0.0] * 3, pm),
    lambda pm: T.GetExternalCameraPointMap(pm, 2, 2, np.zeros((3, 3)), [0.0] * 5, [0.0] * 16),
    lambda pm: T.GetExternalCameraPointMap(pm, 2, 2, "123456789", [0.0] * 5, [0.0] * 16),
    lambda pm: T.DetectCodedCircleMarker("markers.png", T.CodedCircleMarkerType()),
], ids=["text as a rotation", "matrix as a list", "text as a list", "file name as pixels"])
def test_what_the_stubs_refuse_the_binding_refuses(call):
    point_map = T.PointMapCreate(T.PointsOnly, T.Size(2, 2))
    try:
        with pytest.raises((TypeError, ValueError)):
            call(point_map)
    finally:
        T.PointMapDestroy(point_map)


def test_the_user_script_runs(tmp_path):
    run = subprocess.run([sys.executable, str(USER_SCRIPT), str(tmp_path)], cwd=tmp_path, capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.rstrip().endswith("done") and (tmp_path / "x1.ply").stat().st_size > 0
