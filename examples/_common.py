"""Small helpers the examples share: where pictures go, and drawing into SDK images."""
import os
import sys

import numpy as np

import PyTUVO as T


def out_dir():
    """The folder pictures are written to: the first argument, else out/ at the project root."""
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(path, exist_ok=True)
    return path


def start():
    if not T.SystemInit():
        raise SystemExit("SystemInit failed: " + T.GetLastErrorMessage())
    status, devices = T.SystemListDevices(T.All)
    if not devices:
        raise SystemExit("no devices (status %d)" % status)
    return devices[0]


def colour_scale(t):
    """Values 0..1 (NaN allowed) to RGB bytes, near red through green to far blue."""
    missing = np.isnan(t)
    t = np.clip(np.nan_to_num(t), 0, 1)
    r = np.clip(1.5 - np.abs(4 * t - 0.5), 0, 1)
    g = np.clip(1.5 - np.abs(4 * t - 2.0), 0, 1)
    b = np.clip(1.5 - np.abs(4 * t - 3.5), 0, 1)
    rgb = (np.stack([r, g, b], axis=-1) * 255).astype(np.uint8)
    rgb[missing] = 0
    return rgb


def rgb_image(height, width):
    """A new SDK colour image and a numpy view to draw into (no copy: the view is its memory)."""
    img = T.ImageCreate(T.RGB8, T.Size(width, height))
    return img, np.asarray(img)


def ring(view, x, y, radius, colour, width=2.0):
    yy, xx = np.ogrid[:view.shape[0], :view.shape[1]]
    d = np.hypot(xx - x, yy - y)
    view[np.abs(d - radius) < width / 2] = colour
