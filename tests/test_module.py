"""The module frame: entry point, registration order, docstrings, signatures, version check."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import PyTUVO as T

pytestmark = pytest.mark.smoke

NAMES = [
    "GetVersion", "GetLastError", "GetLastErrorMessage", "Size", "ROI", "ROIRange",
    "CameraID", "PortType", "CameraTempSelector", "ProjectorColor", "BalanceSelector", "NetworkType",
    "NetworkDevice", "X1CustomTransformCoordinate", "X2CustomTransformCoordinate", "DeviceInfo", "Device",
    "SystemListDeviceTypeEnum", "PointMapUnitEnum", "SystemListDeviceTypeToString", "SystemListDevices",
    "ImageTypeEnum", "ProtectiveCoverStatus", "ImageTypeToString", "ImageTypeGetPixelSize", "ImageCreate",
    "ImageDestroy", "Image", "DepthMap", "ConfidenceMap", "CorrespondMap", "PointMapTypeEnum",
    "PointMapTypeToString", "PointMapCreate", "PointMapDestroy", "PointMap", "NormalData", "SystemInit",
    "SystemIsInited", "SystemShutdown", "SystemFindDevice", "X1_CaptureOptions", "X1_CustomTransformOptions",
    "SmoothnessLevel", "CaptureMode", "X1", "X2_CaptureOptions", "X2_CustomTransformOptions", "X2",
    "Compensator_FixedMarkers", "GetExternalCameraExtrinsicMatrix", "GetExternalCameraPointMap",
    "CodedCircleMarkerType", "CodedCircleMarker", "DetectCodedCircleMarker",
    "GetTwoCameraTransformByCodedCircleMarker", "TransformPointCloud", "TestAccuracy",
]
ENUMS = {
    "CameraID", "PortType", "CameraTempSelector", "ProjectorColor", "BalanceSelector", "NetworkType",
    "NetworkDevice", "X1CustomTransformCoordinate", "X2CustomTransformCoordinate", "SystemListDeviceTypeEnum",
    "PointMapUnitEnum", "ImageTypeEnum", "ProtectiveCoverStatus", "PointMapTypeEnum", "SmoothnessLevel",
    "CaptureMode",
}


def expected_namespace():
    """Module attributes in insertion order: each name, then an exported enumeration's members."""
    order = {}
    for name in NAMES:
        order[name] = True
        if name in ENUMS and name != "ProtectiveCoverStatus":
            for member in getattr(T, name).__members__:
                order.setdefault(member, True)
    return list(order)


def test_registration_order():
    names = [n for n in vars(T) if not n.startswith("__")]
    assert names == expected_namespace()
    assert len(NAMES) == 58


def test_protective_cover_members_stay_on_their_type():
    assert not hasattr(T, "ProtectiveCoverStatus_Open")
    assert T.ProtectiveCoverStatus.ProtectiveCoverStatus_Open.value == 3


@pytest.mark.parametrize("name, doc", [
    ("ImageDestroy", "Destroy the image"),
    ("SystemInit", "Initialize system."),
    ("SystemIsInited", "System Is Inited?"),
    ("SystemShutdown", "Shut down the system."),
    ("SystemFindDevice", "Find the device with serial number."),
])
def test_docstrings(name, doc):
    assert getattr(T, name).__doc__.rstrip().endswith(doc)


@pytest.mark.parametrize("name", ["GetVersion", "SystemListDevices", "ImageCreate", "PointMapCreate"])
def test_other_functions_carry_only_their_signature(name):
    doc = getattr(T, name).__doc__.strip()
    assert doc.startswith(name + "(") and "\n" not in doc


@pytest.mark.parametrize("func, text", [
    (T.ImageCreate, "ImageCreate(arg0: PyTUVO.ImageTypeEnum, arg1: PyTUVO.Size) -> TUVO::Image"),
    (T.ImageDestroy, "ImageDestroy(img: TUVO::Image, no_reuse: bool = True) -> None"),
    (T.PointMapCreate, "PointMapCreate(arg0: PyTUVO.PointMapTypeEnum, arg1: PyTUVO.Size) -> TUVO::PointMap"),
    (T.PointMapDestroy, "PointMapDestroy(arg0: TUVO::PointMap) -> None"),
    (T.PointMap.GetNormalDataPtr, "GetNormalDataPtr(self: PyTUVO.PointMap) -> NormalData"),
    (T.SystemListDevices,
     "SystemListDevices(arg0: PyTUVO.SystemListDeviceTypeEnum) -> Tuple[int, List[PyTUVO.Device]]"),
    (T.Device.GetNetworkConfig,
     "GetNetworkConfig(self: PyTUVO.Device, arg0: PyTUVO.NetworkDevice) -> "
     "Tuple[PyTUVO.NetworkType, bytes, bytes, bytes, int]"),
    (T.SystemFindDevice, "SystemFindDevice(serialNumber: str) -> PyTUVO.Device"),
])
def test_signature_texts(func, text):
    assert func.__doc__.splitlines()[0] == text


@pytest.mark.parametrize("prop, text", [
    (T.DeviceInfo.support_capture_mode, "(self: PyTUVO.DeviceInfo) -> TUVO::CaptureMode"),
    (T.X1_CaptureOptions.smoothness, "(self: PyTUVO.X1_CaptureOptions) -> TUVO::SmoothnessLevel"),
    (T.X1_CaptureOptions.capture_mode, "(self: PyTUVO.X1_CaptureOptions) -> TUVO::CaptureMode"),
    (T.X2_CaptureOptions.capture_mode, "(self: PyTUVO.X2_CaptureOptions) -> PyTUVO.CaptureMode"),
])
def test_field_signatures_name_types_registered_later_by_sdk_name(prop, text):
    assert prop.fget.__doc__.splitlines()[0] == text


# pybind11's own helpers on every enumeration and class name py::handle "handle" in pybind11 2.11
# (CPython 3.9-3.12) and "object" in 2.13 (CPython 3.13), whose enumerations' __str__ also names
# itself; the README lists these differences.
NEW_PYBIND11 = sys.version_info >= (3, 13)
H = "object" if NEW_PYBIND11 else "handle"


@pytest.mark.parametrize("enum", ["CameraID", "ProtectiveCoverStatus", "CaptureMode"])
def test_enum_helper_texts_by_version(enum):
    cls = getattr(T, enum)
    assert cls.name.fget.__doc__.splitlines()[0] == "name(self: %s) -> str" % H
    assert cls.__str__.__doc__.splitlines()[0] == ("__str__" if NEW_PYBIND11 else "name") + "(self: %s) -> str" % H
    assert vars(cls)["__members__"].fget.__doc__.splitlines()[0] == "__members__(arg0: %s) -> dict" % H
    assert vars(cls)["__doc__"].fget.__doc__.splitlines()[0] == "__doc__(arg0: %s) -> str" % H
    assert cls.__doc__.startswith("Members:\n\n  " + next(iter(cls.__members__)))


@pytest.mark.parametrize("cls", ["Size", "Device", "X1", "CameraID"])
def test_conduit_helper_text_by_version(cls):
    with pytest.raises(TypeError) as refused:
        getattr(T, cls)._pybind11_conduit_v1_(None)
    assert "\n    1. (self: %s, arg0: bytes, arg1: capsule, arg2: bytes) -> object\n" % H in str(refused.value)


def test_classes_without_constructor():
    for cls in (T.Device, T.DeviceInfo):
        with pytest.raises(TypeError, match=r"PyTUVO\.%s: No constructor defined!" % cls.__name__):
            cls()


def test_no_registered_base_classes():
    for name in NAMES:
        obj = getattr(T, name)
        if isinstance(obj, type) and name not in ENUMS:
            assert obj.__bases__[0].__name__ == "pybind11_object"


def extension_path():
    return T.__file__


def test_only_entry_point_exported_and_runpath():
    nm = subprocess.run(["nm", "-D", "--defined-only", extension_path()], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_PyTUVO"]
    dyn = subprocess.run(["readelf", "-d", extension_path()], capture_output=True, text=True, check=True).stdout
    assert "[libTUVO.so.1]" in dyn and "[$ORIGIN]" in dyn
    sdk = os.path.join(os.path.dirname(extension_path()), "libTUVO.so.1")
    assert "SONAME" in subprocess.run(["readelf", "-d", sdk], capture_output=True, text=True).stdout
    assert "[libTUVO.so.1]" in subprocess.run(["readelf", "-d", sdk], capture_output=True, text=True).stdout


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
THIS = "%d.%d" % sys.version_info[:2]


def find_python(version):
    """The CPython of that version the build would use, or None."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON"}
    run = subprocess.run([os.path.join(ROOT, "scripts", "find_python.sh"), version], env=env,
                         capture_output=True, text=True)
    return run.stdout.strip() if run.returncode == 0 else None


def loader_accepts(built, runner):
    """Whether the dynamic loader takes a build into another interpreter, so that pybind11's version
    check runs: 3.13 dropped _PyThreadState_UncheckedGet, which the 3.9-3.12 builds (pybind11 2.11)
    use, and the 3.13 build (pybind11 2.13) uses PyThreadState_GetUnchecked, new in 3.13."""
    return "3.13" not in (built, runner)


@pytest.mark.parametrize("other", [v for v in VERSIONS if v != THIS])
def test_other_interpreter_refused(other, tmp_path):
    python = find_python(other)
    if python is None:
        pytest.skip("no CPython %s found" % other)
    shutil.copy(extension_path(), tmp_path / "PyTUVO.so")
    shutil.copy(os.path.join(os.path.dirname(extension_path()), "libTUVO.so.1"), tmp_path / "libTUVO.so.1")
    run = subprocess.run([python, "-c", "import PyTUVO"], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode != 0
    if loader_accepts(THIS, other):
        assert ("ImportError: Python version mismatch: module was compiled for Python %s, but the interpreter "
                "version is incompatible: %s." % (THIS, other)) in run.stderr
    else:
        assert re.search(r"ImportError: \S*PyTUVO\.so: undefined symbol: (_?PyThreadState_\w+|_Py_IsFinalizing)$",
                         run.stderr, re.M), run.stderr


def test_import_calls_nothing_in_the_sdk():
    code = ("import PyTUVO, tuvo_sim; print(tuvo_sim.calls('SystemInit'), tuvo_sim.calls('GetVersion'))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.split() == ["0", "0"]


@pytest.mark.parametrize("method, op", [
    (T.Device.IsValid, "Device.IsValid"), (T.Image.SaveImage, "Image.SaveImage"), (T.PointMap.Clone, "PointMap.Clone"),
    (T.X1.Open, "X1.Open"), (T.X2.GetDepthMap, "X2.GetDepthMap"), (T.ConfidenceMap.GetSize, "ConfidenceMap.GetSize"),
])
def test_none_as_self_is_refused_before_the_sdk(method, op):
    args = [None] + (["x.png"] if op == "Image.SaveImage" else [])
    with pytest.raises(TypeError):
        method(*args)
    import tuvo_sim
    assert tuvo_sim.calls(op) == 0


def test_reference_explains_every_option_and_every_failure():
    """docs/api.md (kept in sync with the module by test_packaging): every field of both option
    records in its record's table with a meaning, unit, range and the module's default, and every
    method and function that can report a failure followed by what it returns then."""
    with open(os.path.join(ROOT, "docs", "api.md")) as f:
        text = f.read()
    sections = {s.split("`")[1]: s for s in text.split("\n## ")[1:]}
    for cls in (T.X1_CaptureOptions, T.X2_CaptureOptions):
        rows = re.findall(r"^\| `(\w+)` \| (.+) \| (.+) \| (.+) \| (.+) \|$", sections[cls.__name__], re.M)
        fields = [name for name, member in vars(cls).items() if isinstance(member, property)]
        assert [row[0] for row in rows] == fields
        defaults = cls()
        for name, meaning, unit, allowed, default in rows:
            value = getattr(defaults, name)
            assert len(meaning) > 10 and unit and allowed, name
            assert default.strip("`") in (str(value), "%g" % value if isinstance(value, float) else "",
                                         getattr(value, "name", "")) or isinstance(value, T.ROI), name
    for name, section in sections.items():
        calls = re.findall(r"^- (?:static )?`(\w+)\(.*-> (\w[\w\[\], .:]*)`$", section, re.M)
        for call, result in calls:
            if call != "__init__" and (result == "bool" or result.startswith("Tuple[bool")):
                assert re.search(r"`%s\(.*\n(    )?- fails: " % call, section), (name, call)
    assert "## function `SystemInit`\n\n- `SystemInit() -> bool`\n- fails: False" in text
