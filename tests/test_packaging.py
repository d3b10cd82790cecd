"""Stubs in sync with the module (the same on every Python version) and wheels that work anywhere
(test_examples runs the examples, test_typing checks their types)."""
import glob
import os
import pathlib
import platform
import re
import shutil
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


def version_text():
    import PyTUVO
    return PyTUVO.GetVersion()


OTHER_VERSION = version_text().replace("virtual", "VIRTUAL")


def other_sdk(beside_extension, folder):
    """Another libTUVO.so.1 in `folder`: a copy of the one beside the extension whose version text is
    OTHER_VERSION (with the libraries a repaired wheel vendored for it, where it has them)."""
    data = (beside_extension / "libTUVO.so.1").read_bytes()
    text = version_text().encode() + b"\0"
    assert data.count(text) == 1
    folder.mkdir(parents=True)
    (folder / "libTUVO.so.1").write_bytes(data.replace(text, OTHER_VERSION.encode() + b"\0"))
    if (beside_extension / "pytuvo.libs").is_dir():
        (folder / "pytuvo.libs").symlink_to(beside_extension / "pytuvo.libs")
    return folder


def load_unpacked(wheel, somewhere, cwd):
    """Installs the wheel by unpacking it and loads it: its files, and the version text and libraries
    of the SDK that answers, once as installed and once with LD_LIBRARY_PATH naming another SDK."""
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        z.extractall(somewhere)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    loaded = []
    for library_path in (None, other_sdk(somewhere, cwd / "other-sdk")):
        run = subprocess.run([sys.executable, "-I", "-c", LOAD, str(somewhere)], capture_output=True, text=True,
                             env=dict(env, LD_LIBRARY_PATH=str(library_path)) if library_path else env, cwd=cwd)
        assert run.returncode == 0, run.stderr
        version, *libraries = run.stdout.splitlines()
        loaded.append((version, libraries))
    (version, libraries), (other_version, other_libraries) = loaded
    assert version == version_text() != OTHER_VERSION
    # The loader's path comes before the wheel's own folders, as in a source installation.
    assert other_version == OTHER_VERSION
    assert str(cwd / "other-sdk" / "libTUVO.so.1") in other_libraries
    assert str(somewhere / "libTUVO.so.1") not in other_libraries
    return names, libraries


def test_wheel_loads_from_any_directory(wheel, tmp_path):
    assert wheel.name == "pytuvo-0.1.0-%s-%s-linux_x86_64.whl" % (TAG, TAG)
    somewhere = tmp_path / "somewhere" / "else"
    names, libraries = load_unpacked(wheel, somewhere, tmp_path)
    assert {"libTUVO.so.1", EXTENSION, "PyTUVO.pyi", "PyTUVO-stubs/__init__.pyi", "tuvo_sim.py",
            "tuvo_tools/cli.py", "tuvo_tools/commands/__init__.py", "tuvo_tools/commands/record.py",
            "tuvo_tools/recorder.py", "tuvo_convert/__init__.py", "tuvo_convert/arrays.py",
            "tuvo_convert/calibration.py", "tuvo_convert/captures.py", "tuvo_convert/open3d_io.py",
            "tuvo_convert/errors.py", "tuvo_convert/py.typed", "tuvo_tools/py.typed"} <= set(names)
    assert str(somewhere / "libTUVO.so.1") in libraries
    with zipfile.ZipFile(wheel) as z:
        entry_points = [z.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")]
        metadata = [z.read(n).decode() for n in names if n.endswith(".dist-info/METADATA")]
    assert len(entry_points) == 1 and "tuvo = tuvo_tools.cli:main" in entry_points[0]
    assert "Requires-Dist: pypng" in metadata[0]


def test_repaired_wheel_brings_the_sdk_libraries(wheel, tmp_path):
    subprocess.run([sys.executable, str(ROOT / "scripts" / "repair_wheel.py"), "-w", str(tmp_path / "fixed"),
                    str(wheel)], check=True, capture_output=True)
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


def newest_versions(library):
    """{"GLIBC": (2, 34), "GLIBCXX": (3, 4, 29), ...}: the newest version of each library the file asks for."""
    from elftools.elf.elffile import ELFFile
    newest = {}
    with open(library, "rb") as f:
        for _, auxiliaries in ELFFile(f).get_section_by_name(".gnu.version_r").iter_versions():
            for aux in auxiliaries:
                family, _, number = aux.name.partition("_")
                version = tuple(int(n) for n in number.split("."))
                newest[family] = max(newest.get(family, version), version)
    return newest


def test_own_libraries_need_no_newer_system_than_the_wheels_tag():
    # The wheels are manylinux_2_34 (glibc 2.34, libstdc++ of GCC 11), set by the libraries vendored
    # for libTUVO.so.1 on Debian 12; the extension and the stand-in itself ask for nothing newer.
    import PyTUVO
    for library in (pathlib.Path(PyTUVO.__file__), pathlib.Path(PyTUVO.__file__).parent / "libTUVO.so.1"):
        newest = newest_versions(library)
        assert newest["GLIBC"] <= (2, 34) and newest.get("GLIBCXX", ()) <= (3, 4, 29), (library.name, newest)


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


VERSIONS_NEWEST_FIRST = ["3.9", "3.13", "3.12", "3.11", "3.10"]
RUNNING = "%d.%d" % sys.version_info[:2]


def interpreters(tmp_path, where):
    """The running CPython alone, found on the PATH or through pyenv, beside interpreters of other
    versions that do not run; returns the environment to look in."""
    bin_dir, home = tmp_path / "bin", tmp_path / "home"
    bin_dir.mkdir()
    interpreter = os.path.realpath(sys.executable)
    if where == "path":
        (bin_dir / ("python" + RUNNING)).symlink_to(interpreter)
    else:
        found = home / ".pyenv" / "versions" / (RUNNING + ".99") / "bin"
        found.mkdir(parents=True)
        (found / ("python" + RUNNING)).symlink_to(interpreter)
    for other in VERSIONS_NEWEST_FIRST:
        if other != RUNNING:
            (bin_dir / ("python" + other)).write_text("#!/bin/sh\nexit 1\n")
            (bin_dir / ("python" + other)).chmod(0o755)
    return {"PATH": str(bin_dir), "HOME": str(home)}


@pytest.mark.parametrize("where", ["path", "pyenv"])
def test_setup_builds_for_3_9_else_the_newest_version_found(tmp_path, where):
    env = interpreters(tmp_path, where)
    run = subprocess.run([str(ROOT / "scripts" / "find_python.sh"), "--default", *VERSIONS_NEWEST_FIRST], env=env,
                         capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, RUNNING + "\n"), run.stderr
    said = "no CPython 3.9 found; building for CPython %s (" % RUNNING
    assert (said in run.stderr) == (RUNNING != "3.9"), run.stderr
    # make demo and make test take that version, in its venv.
    run = subprocess.run([shutil.which("make"), "-n", "-C", str(ROOT), "demo"], env=env, capture_output=True, text=True)
    venv = ".venv" if RUNNING == "3.9" else ".venv-" + RUNNING
    assert run.returncode == 0, run.stderr
    assert "%s/bin/python examples/demo.py" % venv in run.stdout.splitlines()
    assert (said in run.stderr) == (RUNNING != "3.9"), run.stderr


def test_setup_without_any_python_installs_the_system_one_first(tmp_path):
    env = {"PATH": str(tmp_path), "HOME": str(tmp_path)}
    run = subprocess.run([shutil.which("make"), "-n", "-C", str(ROOT), "demo"], env=env, capture_output=True, text=True)
    # The Debian packages (python3 among them) first, then make again: here, where -n installs
    # nothing, that make finds no interpreter either and stops instead of going round.
    assert run.returncode != 0
    assert "none of CPython 3.9 3.13 3.12 3.11 3.10 found" in run.stderr
    assert "no supported CPython (3.9 3.10 3.11 3.12 3.13) found, even after installing python3" in run.stderr


def test_stand_in_layers_depend_downwards(tmp_path):
    sys.path.insert(0, str(ROOT / "scripts"))
    try:
        import check_layers
    finally:
        sys.path.pop(0)
    assert check_layers.violations(ROOT / "sim") == []
    # The check sees an upward include in a tree of its own making, in quotes or in angle brackets
    # (sim/ is on the include path, so both reach the same header).
    for folder, text in {"core": '#include "api/camera.h"\n', "api": '#include "core/files.h"\n',
                         "world": '#include <tbb/parallel_for.h>\n#include <render/view.h>\n'}.items():
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "x.cpp").write_text(text)
    assert check_layers.violations(tmp_path) == ["core/x.cpp:1: core includes api/camera.h",
                                                 "world/x.cpp:2: world includes render/view.h"]


def test_every_control_function_is_declared_in_the_control_header():
    sim = ROOT / "sim"
    defined = set()
    for path in sim.rglob("*.cpp"):
        defined |= set(re.findall(r"^[A-Za-z][\w\s*:]*?\b(tuvo_sim_\w+)\([^;{]*\)\s*\{", path.read_text(), re.M))
    declared = set(re.findall(r"^TUVO_SIM_API [^;(]*?\b(tuvo_sim_\w+)\(", (sim / "control" / "control.h").read_text(),
                              re.M))
    assert len(defined) >= 17 and defined == declared


def _knob_rows():
    """The README's rows of the stand-in's knobs, made from the table in sim/core/knobs.cpp: name,
    default, range and what each does."""
    source = (ROOT / "sim" / "core" / "knobs.cpp").read_text()
    fields = re.findall(r'\{"([\w.]+)", ([^,]+), ([^,]+), ([^,]+), "([^"]*)",\s*&Knobs::\w+\}', source)
    assert fields
    rows = []
    for name, default, lo, hi, doc in fields:
        default = "the rig's" if default == "kNaN" else default
        span = "any" if (lo, hi) == ("-kInf", "kInf") else f"{lo} or more" if hi == "kInf" else f"{lo} to {hi}"
        rows.append(f"| `{name}` | {default} | {span} | {doc} |")
    return rows


def test_readme_lists_every_knob_with_its_default_and_range():
    readme = (ROOT / "README.md").read_text().splitlines()
    start = readme.index("| knob | default | range | what it does |") + 2
    end = next(i for i in range(start, len(readme)) if not readme[i].startswith("|"))
    assert readme[start:end] == _knob_rows()

