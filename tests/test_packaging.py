"""Stubs in sync with the module, examples that run and type-check, and a wheel that works anywhere."""
import glob
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ["demo", "depth_picture", "stereo_x2", "line_scan", "markers", "compensator", "record_replay", "own_scene"]


def test_stubs_match_the_module(tmp_path):
    fresh = tmp_path / "PyTUVO.pyi"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "gen_stubs.py"), str(fresh)], check=True)
    assert fresh.read_text() == (ROOT / "stubs" / "PyTUVO.pyi").read_text(), "run `make stubs` and commit"


def test_stubs_are_installed():
    import PyTUVO
    site = pathlib.Path(PyTUVO.__file__).parent
    assert (site / "PyTUVO.pyi").is_file() and (site / "PyTUVO-stubs" / "__init__.pyi").is_file()


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs(name, tmp_path):
    run = subprocess.run([sys.executable, str(ROOT / "examples" / (name + ".py")), str(tmp_path)],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "Warning" not in run.stderr
    pictures = {"depth_picture": ["depth_picture.png"], "stereo_x2": ["stereo_left.png", "stereo_disparity.png"],
                "markers": ["markers.png"], "own_scene": ["own_scene.png"]}
    for picture in pictures.get(name, []):
        assert (tmp_path / picture).stat().st_size > 10000
    if name == "record_replay":
        assert run.stdout.count("same as live") == 2 and (tmp_path / "recording" / "manifest.json").is_file()


def test_examples_type_check():
    files = [str(ROOT / "examples" / (n + ".py")) for n in EXAMPLES]
    run = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-error-summary",
                          "--cache-dir", "/tmp/pytuvo-mypy-cache", *files],
                         cwd=ROOT / "examples", capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr


def test_wheel_loads_from_any_directory(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(wheels),
                    str(ROOT)], check=True, capture_output=True)
    wheel = glob.glob(str(wheels / "*.whl"))
    assert len(wheel) == 1
    somewhere = tmp_path / "somewhere" / "else"
    with zipfile.ZipFile(wheel[0]) as z:
        names = z.namelist()
        z.extractall(somewhere)
        entry_points = [z.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt")]
        metadata = [z.read(n).decode() for n in names if n.endswith(".dist-info/METADATA")]
    assert "tuvo_tools/cli.py" in names and "tuvo_tools/recorder.py" in names
    assert len(entry_points) == 1 and "tuvo = tuvo_tools.cli:main" in entry_points[0]
    assert "Requires-Dist: pypng" in metadata[0]
    assert "libTUVO.so.1" in names and any(n.startswith("PyTUVO.cpython-39") for n in names)
    assert "PyTUVO.pyi" in names and "tuvo_sim.py" in names
    code = "import PyTUVO as T, sys; assert T.__file__.startswith(sys.argv[1]); T.SystemInit(); print(T.GetVersion())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(somewhere)
    run = subprocess.run([sys.executable, "-I", "-c", "import sys; sys.path.insert(0, sys.argv[1]); " + code,
                          str(somewhere)], env=env, capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("TUVO virtual SDK")


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
