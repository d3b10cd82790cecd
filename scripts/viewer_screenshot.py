"""The README's picture of `tuvo view`, made from the virtual device, and the time from a click on
Capture to the new points on the page.

    python scripts/viewer_screenshot.py [docs/viewer.png] [--clicks N] [--max-points N]

Starts `tuvo view` on a 1280 x 1024 virtual device (a rig of its own; its colour camera), opens the page in headless
Chromium (Debian's, driven by Playwright), waits for the points, then clicks Capture N times, each
time timing in the page from the click until the page has the new capture's counts (sent after its
points) and has drawn two frames since; prints the times and the capture times the page shows, and
saves the screenshot as a small palette PNG.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

from PIL import Image
from playwright.sync_api import sync_playwright

RIG = ("# a 1280 x 1024 stereo device, as the default rig's VS3-000101\n[device]\nname = Viewer picture\n"
       "sn = VIEW-1280\ncameras = left, right, extra\nx2 = yes\ncover = no\nwidth = 1280\nheight = 1024\n")
CLICK = """async (n) => {
  const button = [...document.querySelectorAll('button')].find(b => b.textContent.trim() === 'Capture');
  const shown = () => Number((document.getElementById('tuvo-counts') || {dataset: {}}).dataset.count || 0);
  const start = performance.now();
  button.click();
  await new Promise(done => { const look = () => shown() > n ? done() : requestAnimationFrame(look); look(); });
  const counted = performance.now() - start;
  await new Promise(done => requestAnimationFrame(() => requestAnimationFrame(done)));
  return [counted, performance.now() - start, shown()];
}"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "docs", "viewer.png"))
    parser.add_argument("--clicks", type=int, default=5)
    parser.add_argument("--max-points", type=int, default=None)
    args = parser.parse_args()
    chromium = shutil.which("chromium")
    if not chromium:
        sys.exit("Debian's chromium is needed (make test installs it)")
    folder = tempfile.mkdtemp(prefix="tuvo-view-picture-")
    with open(os.path.join(folder, "picture.rig"), "w") as f:
        f.write(RIG)
    env = dict(os.environ, TUVO_SIM_RIG=os.path.join(folder, "picture.rig"))
    extra = ["--max-points", str(args.max_points)] if args.max_points else []
    viewer = subprocess.Popen([sys.executable, "-m", "tuvo_tools", "view", "VIEW-1280", "--camera", "extra", "--out", folder, *extra],
                              env=env, stdout=subprocess.PIPE, text=True)
    try:
        line = viewer.stdout.readline()
        if not line.startswith("tuvo view: http"):
            sys.exit("tuvo view did not start")
        url = line.split()[2]
        with sync_playwright() as p:
            browser = p.chromium.launch(executable_path=chromium, headless=True,
                                        args=["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"])
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            page.goto(url)
            page.wait_for_function("() => Number((document.getElementById('tuvo-counts') || {dataset: {}})"
                                   ".dataset.count || 0) >= 1", timeout=120000)
            page.wait_for_timeout(1500)
            for note in page.locator(".mantine-Notification-closeButton").all():  # the software-WebGL notice
                note.click()
            shown = int(page.locator("#tuvo-counts").get_attribute("data-count"))
            counted, drawn, captures = [], [], []
            for _ in range(args.clicks):
                c, d, shown = page.evaluate(CLICK, shown)
                counted.append(c)
                drawn.append(d)
                text = page.locator("#tuvo-counts").text_content()
                captures.append(float(text.split("capture ")[1].split(" ms")[0]))
            print("click to new points drawn (ms): median %.0f, min %.0f, max %.0f over %d clicks" % (
                statistics.median(drawn), min(drawn), max(drawn), len(drawn)))
            print("click to new counts (ms): median %.0f; SDK capture (ms): median %.0f" % (
                statistics.median(counted), statistics.median(captures)))
            page.get_by_role("tab", name="Depth").click()
            page.wait_for_timeout(1500)
            raw = os.path.join(folder, "raw.png")
            page.screenshot(path=raw)
            browser.close()
        picture = Image.open(raw).convert("RGB").resize((1024, 640), Image.LANCZOS)
        picture.quantize(colors=96, method=Image.Quantize.MEDIANCUT).save(args.output, optimize=True)
        print("saved %s (%d bytes)" % (args.output, os.path.getsize(args.output)))
    finally:
        viewer.send_signal(signal.SIGINT)
        viewer.wait(timeout=60)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
