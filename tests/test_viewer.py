"""`tuvo view` in a real browser: the command serves the virtual device, headless Chromium (Debian's,
driven by Playwright) opens the page, presses its buttons and reads what it shows."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import urllib.request

import numpy as np
import pytest
from PIL import Image
from playwright.sync_api import sync_playwright

import PyTUVO as T
import tuvo_sim
from tuvo_tools.recording import read_manifest
from tuvo_tools.viewer import pictures

RIG = "[device]\nname = View bench\nsn = V-1\ncameras = left, right\nx2 = yes\nwidth = 320\nheight = 256\n"
WAIT_MS = 60000  # a page's first load under a loaded machine (software WebGL)


def tuvo(args, env, cwd, **kw):
    return subprocess.Popen([sys.executable, "-m", "tuvo_tools", *args], env=env, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kw)


@pytest.fixture
def env(tmp_path):
    (tmp_path / "bench.rig").write_text(RIG)
    return dict(os.environ, TUVO_SIM_RIG=str(tmp_path / "bench.rig"))


@pytest.fixture(scope="module")
def browser():
    chromium = shutil.which("chromium")
    assert chromium, "Debian's chromium is missing (the Makefile's DEB_PACKAGES install it)"
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=chromium, headless=True,
                              args=["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"])
        yield b
        b.close()


class Viewer:
    """`tuvo view ARGS` running; its address is the first line it prints."""

    def __init__(self, args, env, cwd):
        self.process = tuvo(["view", *args, "--out", str(cwd)], env, cwd)
        line = self.process.stdout.readline()
        assert line.startswith("tuvo view: http://127.0.0.1:"), line + self.process.stderr.read()
        self.url = line.split()[2]

    def stop(self, signum=signal.SIGINT):
        """Ctrl-C (or another signal): the exit status and what it said."""
        self.process.send_signal(signum)
        out, err = self.process.communicate(timeout=60)
        return self.process.returncode, err


def open_page(browser, url, count=1):
    page = browser.new_page(viewport={"width": 1280, "height": 900})
    page.goto(url)
    counts(page, count)
    return page


def counts(page, at_least):
    """Waits until the page shows capture `at_least` (or a later one); returns the one it shows."""
    page.wait_for_function("n => { const e = document.getElementById('tuvo-counts');"
                           " return e && Number(e.dataset.count) >= n; }", arg=at_least, timeout=WAIT_MS)
    return int(page.locator("#tuvo-counts").get_attribute("data-count"))


def status(page, text):
    page.wait_for_function("t => (document.getElementById('tuvo-status') || {}).textContent.includes(t)", arg=text,
                           timeout=WAIT_MS)
    return page.locator("#tuvo-status")


def click(page, name):
    page.get_by_role("button", name=name, exact=True).click()


def field(page, label, kind="input"):
    """The control of the row labelled `label` (the labels do not name their inputs' ids)."""
    name = page.locator("label").filter(has_text=re.compile("^%s$" % re.escape(label)))
    return page.locator("div.mantine-Flex-root", has=name).last.locator(kind).last


def fill(page, label, value):
    field(page, label).fill(str(value))


def slider(page, label, value):
    """Types into the number box beside a slider."""
    box = field(page, label, "input[inputmode=decimal]")
    box.fill(str(value))
    box.press("Enter")


def tick(page, label, on):
    box = field(page, label, "input[type=checkbox]")
    box.check() if on else box.uncheck()


def shot(locator):
    path = "/dev/shm/tuvo-view-%d.png" % os.getpid()
    locator.screenshot(path=path)
    with Image.open(path) as im:
        pixels = np.asarray(im.convert("RGB"), dtype=np.int16)
    os.remove(path)
    return pixels


def mean_ratio(before, after):
    """How much brighter `after` is than `before`, over pixels that neither noise nor saturation hide."""
    a, b = (np.asarray(Image.open(p), dtype=np.float64) for p in (before, after))
    use = (a > 20) & (a < 110)
    return b[use].mean() / a[use].mean()


def sdk_refusal(rig, **options):
    """The message the SDK gives, in this process, for an X1 capture with `options`."""
    tuvo_sim.set_rig(rig)
    assert T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("V-1"), T.CameraID_Left)
    assert cam.Open()
    opts = T.X1_CaptureOptions()
    for k, v in options.items():
        setattr(opts, k, v)
    assert not cam.Capture(opts)
    return T.GetLastErrorMessage()


@pytest.mark.parametrize("args, prelude, status_, says", [
    (["view"], "import sys; sys.modules['viser'] = None", 1, 'pip install "pytuvo[viewer]"'),
    (["view", "--port", "70000"], "", 2, "--port: takes 0 (any free port) to 65535"),
    (["view", "--host", "no-such-host.invalid"], "", 1, "cannot listen on no-such-host.invalid"),
    (["view", "--port", "{busy}"], "", 1, "the port is in use"),
    (["view", "{damaged}"], "", 1, "manifest.json: not JSON"),
    (["view", "NO-SUCH-1"], "", 1, "tuvo: error: "),
])
def test_view_refuses_to_start(args, prelude, status_, says, env, tmp_path):
    (tmp_path / "damaged").mkdir()
    (tmp_path / "damaged" / "manifest.json").write_text('{"format": "tuvo-recording", ')
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        args = [a.format(busy=busy.getsockname()[1], damaged=tmp_path / "damaged") for a in args]
        code = prelude + "\nimport sys\nfrom tuvo_tools.cli import main\nsys.exit(main(%r))" % args
        r = subprocess.run([sys.executable, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True,
                           timeout=120)
    assert r.returncode == status_ and says in r.stderr and r.stdout == "", r.stderr


def test_depth_of_one_huge_value_is_drawn():
    """A depth map of one value, however large (a damaged recording's), in one colour with its bar."""
    figure, (near, far) = pictures.depth_figure(np.full((20, 30), 1e300))
    assert near < 1e300 < far and (figure[:20, :30] == pictures.colour_scale(0.5)).all()


@pytest.mark.smoke
def test_view_serves_the_page_until_ctrl_c(env, tmp_path):
    viewer = Viewer(["V-1", "--host", "0.0.0.0"], env, tmp_path)
    try:
        with urllib.request.urlopen(viewer.url, timeout=60) as r:
            served = r.read().decode("utf-8", "replace")
    finally:
        code, err = viewer.stop(signal.SIGTERM)
    assert "<html" in served.lower() and code == 143 and "tuvo: terminated" in err, err
    assert "listening on 0.0.0.0, not on this machine alone" in err


def test_live_device(browser, env, tmp_path):
    viewer = Viewer(["V-1", "--exposure-2d", "10"], env, tmp_path)
    try:
        page = open_page(browser, viewer.url)
        # The points are drawn, and the image panel shows the scene.
        canvas = page.locator("canvas").first
        pixels = shot(canvas)
        assert (np.abs(pixels - pixels[0, 0]).sum(axis=2) > 30).mean() > 0.02
        page.wait_for_function("() => [...document.querySelectorAll(\"img[src^='blob:']\")]"
                               ".some(i => i.naturalWidth > 64)", timeout=WAIT_MS)
        image = shot(page.locator("img[src^='blob:']").first)
        assert image.std() > 10 and image.shape[0] > 50

        # One capture after another; the 2-D exposure doubled brightens the next capture's image as
        # the sensor model says (linear in the exposure, then gamma).
        n = counts(page, 1)
        fill(page, "Save as", "before")
        click(page, "Save PLY and PNG")
        status(page, "saved before.ply")
        slider(page, "Exposure 2-D (ms)", 20)
        n = counts(page, n + 1)
        click(page, "Capture")
        n = counts(page, n + 1)
        fill(page, "Save as", "after")
        click(page, "Save PLY and PNG")
        status(page, "saved after.ply")
        gamma = T.X1_CaptureOptions().gamma_2d
        assert mean_ratio(tmp_path / "before.png", tmp_path / "after.png") == pytest.approx(2 ** (1 / gamma), rel=0.08)
        assert {"before.ply", "before-depth.png", "after.ply"} <= set(os.listdir(tmp_path))

        # An option the SDK refuses: its message in the page, the options back as they were.
        exposure = field(page, "Exposure 3-D (ms)", "input[inputmode=decimal]")
        was = exposure.input_value()
        fill(page, "Other option", "exposure_time_3d = 500")
        click(page, "Set option")
        expected = sdk_refusal(RIG, exposure_time_3d=500)
        assert status(page, expected).get_attribute("data-error") == "1" and exposure.input_value() == was

        # Names that lead out of the output folder; the rig shown, and the scene read again.
        fill(page, "Recording folder", "../elsewhere")
        click(page, "Start recording")
        status(page, "leads outside")
        # The last capture saved after a refused one, wholly or not at all: the cloud's and the
        # image's names fit, the depth's does not.
        fill(page, "Save as", "L" * 248)
        click(page, "Save PLY and PNG")
        status(page, "SaveDepthMap")
        assert not [f for f in os.listdir(tmp_path) if f.startswith("LL")]
        assert page.get_by_text(env["TUVO_SIM_RIG"]).count() == 1
        click(page, "Reload scene")
        status(page, "the SDK started anew")
        n = counts(page, n + 1)

        # A recording of two captures; a second page sees the same device and the same captures,
        # also when both press capture at once, and while the first one closes mid-capture.
        fill(page, "Recording folder", "rec")
        click(page, "Start recording")
        status(page, "recording into")
        other = open_page(browser, viewer.url, n)
        click(page, "Capture")
        click(other, "Capture")
        click(other, "Stop recording")
        shown = [int(status(p, "recorded").page.locator("#tuvo-counts").get_attribute("data-count"))
                 for p in (page, other)]
        frames = len(read_manifest(tmp_path / "rec")["streams"]["x1-left"]["frames"])
        assert frames in (1, 2) and shown == [n + frames] * 2
        n += frames
        tick(page, "Continuous", True)
        counts(other, n + 2)
        page.close()
        n = counts(other, n + 4)
        tick(other, "Continuous", False)
    finally:
        code, err = viewer.stop()
    assert code == 130 and "interrupted" in err, err


def test_recording_plays_back(browser, env, tmp_path):
    made = tuvo(["record", "V-1", "rec", "--frames", "3", "-q"], env, tmp_path)
    assert made.wait(timeout=120) == 0, made.stderr.read()
    viewer = Viewer([str(tmp_path / "rec")], env, tmp_path)
    try:
        page = open_page(browser, viewer.url)
        assert "frame 0" in page.locator("#tuvo-counts").text_content()
        # Play runs to the last frame, where the device says the recording has ended.
        tick(page, "Play", True)
        status(page, "end of recording")
        assert "frame 2" in page.locator("#tuvo-counts").text_content()
        # Back to the first frame through the slider.
        before = counts(page, 1)
        slider(page, "Frame", 0)
        counts(page, before + 1)
        assert "frame 0" in page.locator("#tuvo-counts").text_content()
        # Options the recording was not made with: the playback device's refusal in the page.
        slider(page, "Exposure 3-D (ms)", 50)
        assert status(page, "the recording was made with exposure_time_3d").get_attribute("data-error") == "1"
    finally:
        code, err = viewer.stop()
    assert code == 130, err
