"""The examples: each runs (also under `python -O`) and writes the pictures it promises; a failing SDK
call stops it with the SDK's message and a non-zero status; depth and disparity pictures share one
colour convention (near at the top of the colour bar)."""
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

import PyTUVO as T
from tuvo_tools.recorder import Recorder

from tuvo_tools import pictures  # the examples' drawing: where it puts the colour bar

ROOT = pathlib.Path(__file__).resolve().parents[1]

# The pictures each example writes into the folder given as its argument, (rows, columns) of each.
CAMERA = (1024, 1280)
PICTURES = {
    "demo": {"demo.png": CAMERA, "demo_depth_mm.png": CAMERA, "demo_depth.png": (1024, 1280 + pictures.LEGEND_WIDTH)},
    "depth_picture": {"depth_picture.png": (1024, 1280 + pictures.LEGEND_WIDTH)},
    "stereo_x2": {"stereo_left.png": CAMERA, "stereo_right.png": CAMERA,
                  "stereo_disparity.png": (1024, 1280 + pictures.LEGEND_WIDTH)},
    "line_scan": {"line_scan.png": (1024, 1280 + pictures.LEGEND_WIDTH)},
    "markers": {"markers.png": CAMERA},
    "compensator": {"compensator.png": None},
    "record_replay": {},
    "own_scene": {"own_scene.png": (1024, 2 * 1280 + pictures.LEGEND_WIDTH)},
}
EXAMPLES = sorted(PICTURES)


def run_example(name, folder, optimise=False, env=None):
    flags = ["-O"] if optimise else []
    return subprocess.run([sys.executable, *flags, str(ROOT / "examples" / (name + ".py")), str(folder)],
                          cwd=folder, capture_output=True, text=True, timeout=300, env=env)


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Each example run once per mode, on demand: {(name, optimise): (run, folder)}."""
    done = {}

    def get(name, optimise):
        if (name, optimise) not in done:
            folder = tmp_path_factory.mktemp(name + ("-O" if optimise else ""))
            done[name, optimise] = run_example(name, folder, optimise), folder
        return done[name, optimise]
    return get


def read_png(path):
    with Image.open(path) as picture:
        return np.asarray(picture)


@pytest.mark.parametrize("optimise", [pytest.param(False, marks=pytest.mark.smoke), True], ids=["python", "python-O"])
@pytest.mark.parametrize("name", EXAMPLES)
def test_example_runs_and_writes_its_pictures(name, optimise, runs):
    run, folder = runs(name, optimise)
    assert run.returncode == 0, run.stderr
    assert "Warning" not in run.stderr
    written = {p.name for p in folder.glob("*.png")}
    assert written == set(PICTURES[name]), run.stdout
    for picture, shape in PICTURES[name].items():
        pixels = read_png(folder / picture)
        if shape is not None:
            assert pixels.shape[:2] == shape, picture
        # Something was drawn: no picture is a single colour.
        assert len(np.unique(pixels.reshape(-1, pixels.shape[-1] if pixels.ndim == 3 else 1), axis=0)) > 50, picture
    if name == "record_replay":
        assert run.stdout.count("same as live") == 2 and (folder / "recording" / "manifest.json").is_file()


@pytest.fixture
def no_camera_rig(tmp_path):
    """A rig whose only device is neither an X1 nor an X2: every example's first camera fails."""
    rig = tmp_path / "none.rig"
    rig.write_text("[device]\nsn = NONE-1\nx1 = no\nx2 = no\n")
    return rig


@pytest.mark.parametrize("name", EXAMPLES)
def test_example_stops_on_a_failed_call_under_O(name, tmp_path, no_camera_rig, monkeypatch):
    monkeypatch.setenv("TUVO_SIM_RIG", str(no_camera_rig))
    run = run_example(name, tmp_path, optimise=True)
    assert run.returncode == 1, run.stdout + run.stderr
    assert re.search(r"^X[12]\.Create.* failed: X[12]\.Create: the device cannot be used as X[12]$", run.stderr,
                     re.M), run.stderr
    assert "Traceback" not in run.stderr
    assert not list(tmp_path.glob("*.png"))


def test_compensator_stops_when_a_capture_fails_midway(tmp_path, monkeypatch):
    """A playback device with one frame: the compensator's second capture fails ("end of recording")
    and, under -O too, the example says so and exits with status 1 instead of going on."""
    assert T.SystemInit()
    device = T.SystemFindDevice("VS3-000101")
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open(), T.GetLastErrorMessage()
    opts = T.X1_CaptureOptions()
    opts.calc_normal = True  # as the compensator captures its reference
    rec = Recorder(str(tmp_path / "one-frame"), device)
    rec.capture(rec.add_x1(cam, "left", opts))
    T.SystemShutdown()
    (tmp_path / "replay.rig").write_text("[device]\nplayback = one-frame\n")
    monkeypatch.setenv("TUVO_SIM_RIG", str(tmp_path / "replay.rig"))
    run = run_example("compensator", tmp_path, optimise=True)
    assert run.returncode == 1, run.stdout + run.stderr
    assert "reference markers: 12" in run.stdout
    assert "Capture failed: X1.Capture" in run.stderr and "end of recording" in run.stderr, run.stderr
    assert "step 0" not in run.stdout and not (tmp_path / "compensator.png").exists()


def bar_position(picture, colours, width):
    """Where along the colour bar of a picture `width` columns wide before its legend each colour
    lies: 0 at the bar's top, 1 at its bottom (the nearest colour of the bar)."""
    x, y, height = pictures.bar_geometry(picture.shape[0], width)
    bar = picture[y:y + height, x + pictures.BAR_WIDTH // 2].astype(np.int32)
    d = ((colours.astype(np.int32)[:, None, :] - bar[None, :, :]) ** 2).sum(axis=2)
    return d.argmin(axis=1) / (height - 1), bar


def near_and_far_pixels(depth):
    """Pixels among the nearest and among the farthest few percent of the measured ones."""
    valid = np.isfinite(depth)
    lo, near_edge, far_edge, hi = np.percentile(depth[valid], [1, 5, 95, 99])
    with np.errstate(invalid="ignore"):
        return (valid & (depth > lo) & (depth < near_edge)), (valid & (depth > far_edge) & (depth < hi))


def test_depth_and_disparity_pictures_share_the_colour_convention(runs):
    """The nearest objects take the colour at the top of each picture's bar, the farthest the colour
    at its bottom, and both bars run the same way (near red, far blue)."""
    assert T.SystemInit()
    device = T.SystemFindDevice("VS3-000101")
    x1 = T.X1.Create(device, T.CameraID_Left)
    assert x1.Open() and x1.Capture(), T.GetLastErrorMessage()
    x1_depth = np.array(x1.GetDepthMap())
    T.X1.Destroy(x1)
    x2 = T.X2.Create(device)
    assert x2.Open() and x2.Capture(), T.GetLastErrorMessage()
    x2_depth = np.array(x2.GetPointMap())[..., 2]  # the disparity picture's pixels are the left camera's
    T.X2.Destroy(x2)
    ends = []
    for name, picture_name, depth in [("depth_picture", "depth_picture.png", x1_depth),
                                      ("stereo_x2", "stereo_disparity.png", x2_depth)]:
        run, folder = runs(name, False)
        assert run.returncode == 0, run.stderr
        picture = read_png(folder / picture_name)
        h, w = depth.shape
        near, far = near_and_far_pixels(depth)
        assert near.sum() > 1000 and far.sum() > 1000
        near_at, bar = bar_position(picture, picture[:h, :w][near], w)
        far_at, _ = bar_position(picture, picture[:h, :w][far], w)
        assert np.median(near_at) < 0.4 and np.median(far_at) > 0.6, (picture_name, np.median(near_at),
                                                                          np.median(far_at))
        ends.append((bar[0], bar[-1]))
    (top1, bottom1), (top2, bottom2) = ends
    assert np.array_equal(top1, top2) and np.array_equal(bottom1, bottom2)
    assert top1[0] > 200 and top1[2] < 50 and bottom1[2] > 200 and bottom1[0] < 50  # near red, far blue
