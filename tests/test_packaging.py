"""Stubs in sync with the module (the same on every Python version) and wheels that work anywhere
(test_examples runs the examples, test_typing checks their types)."""
import glob
import os
import pathlib
import platform
import re
import subprocess
import sys
import sysconfig
import zipfile

import pytest

pytestmark = pytest.mark.smoke

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_stubs_match_the_module(tmp_path):
    fresh = tmp_path / "PyTUVO.pyi"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "gen_stubs.py"), str(fresh)], check=True)
    assert fresh.read_text() == (ROOT / "stubs" / "PyTUVO.pyi").read_text(), "run `make stubs` and commit"


def test_stubs_are_installed():
    import PyTUVO
    site = pathlib.Path(PyTUVO.__file__).parent
    assert (site / "PyTUVO.pyi").is_file() and (site / "PyTUVO-stubs" / "__init__.pyi").is_file()


TAG = "cp%d%d" % sys.version_info[:2]
EXTENSION = "PyTUVO" + sysconfig.get_config_var("EXT_SUFFIX")
# Run isolated from an empty folder, with nothing but the unpacked wheel on the path.
LOAD = ("import os, sys; sys.path.insert(0, sys.argv[1]); import PyTUVO as T; "
        "assert T.__file__.startswith(sys.argv[1]); import tuvo_convert; "
        "assert tuvo_convert.__file__.startswith(sys.argv[1]); T.SystemInit(); print(T.GetVersion()); "
        "print(*sorted({l.split()[-1] for l in open('/proc/self/maps') if '.so' in l}), sep='\\n')")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel of this interpreter's version, built as `pip wheel .` builds it."""
    wheels = tmp_path_factory.mktemp("wheels")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(wheels),
                    str(ROOT)], check=True, capture_output=True)
    found = glob.glob(str(wheels / "*.whl"))
    assert len(found) == 1
    return pathlib.Path(found[0])


def load_unpacked(wheel, somewhere, cwd):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        z.extractall(somewhere)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    run = subprocess.run([sys.executable, "-I", "-c", LOAD, str(somewhere)], env=env, capture_output=True, text=True,
                         cwd=cwd)
    assert run.returncode == 0, run.stderr
    version, *libraries = run.stdout.splitlines()
    assert version.startswith("TUVO virtual SDK")
    return names, libraries


def test_wheel_loads_from_any_directory(wheel, tmp_path):
    assert wheel.name == "pytuvo-0.1.0-%s-%s-linux_x86_64.whl" % (TAG, TAG)
    somewhere = tmp_path / "somewhere" / "else"
    names, libraries = load_unpacked(wheel, somewhere, tmp_path)
    assert {"libTUVO.so.1", EXTENSION, "PyTUVO.pyi", "PyTUVO-stubs/__init__.pyi", "tuvo_sim.py",
            "tuvo_tools/cli.py", "tuvo_tools/recorder.py", "tuvo_convert/__init__.py", "tuvo_convert/arrays.py",
            "tuvo_convert/calibration.py", "tuvo_convert/captures.py", "tuvo_convert/open3d_io.py",
            "tuvo_convert/errors.py", "tuvo_convert/py.typed", "tuvo_tools/py.typed"} <= set(names)
    assert str(somewhere / "libTUVO.so.1") in libraries
    with zipfile.ZipFile(wheel) as z:
        entry_points = [z.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")]
        metadata = [z.read(n).decode() for n in names if n.endswith(".dist-info/METADATA")]
    assert len(entry_points) == 1 and "tuvo = tuvo_tools.cli:main" in entry_points[0]
    assert "Requires-Dist: pypng" in metadata[0]


def test_repaired_wheel_brings_the_sdk_libraries(wheel, tmp_path):
    subprocess.run([sys.executable, "-m", "auditwheel", "repair", "-w", str(tmp_path / "fixed"), str(wheel)],
                   check=True, capture_output=True)
    repaired = [p.name for p in (tmp_path / "fixed").iterdir()]
    assert len(repaired) == 1
    match = re.fullmatch(r"pytuvo-0\.1\.0-%s-%s-manylinux_2_(\d+)_x86_64\.whl" % (TAG, TAG), repaired[0])
    assert match, repaired
    # The oldest tag the machine's glibc allows, not newer than that glibc.
    assert int(match.group(1)) <= int(platform.libc_ver()[1].split(".")[1])
    somewhere = tmp_path / "somewhere"
    names, libraries = load_unpacked(tmp_path / "fixed" / repaired[0], somewhere, tmp_path)
    assert {"libTUVO.so.1", EXTENSION, "PyTUVO.pyi", "PyTUVO-stubs/__init__.pyi"} <= set(names)
    # libTUVO.so.1's libraries outside the manylinux set (libpng) are vendored and loaded from the wheel.
    png = [lib for lib in libraries if os.path.basename(lib).startswith("libpng16")]
    assert png and all(lib.startswith(str(somewhere / "pytuvo.libs") + os.sep) for lib in png), libraries


def test_api_reference_matches_the_module(tmp_path):
    fresh = tmp_path / "api.md"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "gen_docs.py"), str(fresh)], check=True)
    assert fresh.read_text() == (ROOT / "docs" / "api.md").read_text(), "run `make docs` and commit"


def test_mypy_reads_the_installed_stubs(tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import PyTUVO as T\nT.SystemInit(5)\nx: int = T.GetVersion()\n")
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir",
                          str(tmp_path / "cache"), str(wrong)], capture_output=True, text=True)
    assert 'Too many arguments for "SystemInit"' in run.stdout
    assert 'expression has type "str", variable has type "int"' in run.stdout


STEER_THROUGH_LOADER = """
import PyTUVO as T, tuvo_sim
print(sorted({line.split()[-1] for line in open("/proc/self/maps") if "libTUVO" in line}))
tuvo_sim.fail("SystemInit", tuvo_sim.ERROR_FAILED, "the copy was steered", times=1)
print(T.SystemInit(), T.GetLastErrorMessage())
"""


def test_an_sdk_named_by_the_loader_path_replaces_the_one_beside_the_extension(tmp_path):
    # Another libTUVO.so.1 is used through LD_LIBRARY_PATH (searched before the extension's run path),
    # and the control helper steers that one, not a second copy of its own.
    import PyTUVO
    other = tmp_path / "libTUVO.so.1"
    other.write_bytes((pathlib.Path(PyTUVO.__file__).parent / "libTUVO.so.1").read_bytes())
    env = dict(os.environ, LD_LIBRARY_PATH=str(tmp_path))
    run = subprocess.run([sys.executable, "-c", STEER_THROUGH_LOADER], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [str([str(other)]), "False the copy was steered"]
