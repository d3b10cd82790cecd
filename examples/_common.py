"""Small helpers the examples share: where pictures go, and drawing into SDK images."""
import os
import sys
from typing import Any, Tuple

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T


def out_dir() -> str:
    """The folder pictures are written to: the first argument, else out/ at the project root."""
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(path, exist_ok=True)
    return path


def start() -> T.Device:
    if not T.SystemInit():
        raise SystemExit("SystemInit failed: " + T.GetLastErrorMessage())
    status, devices = T.SystemListDevices(T.All)
    if not devices:
        raise SystemExit("no devices (status %d)" % status)
    return devices[0]


def colour_scale(t: NDArray[Any]) -> NDArray[np.uint8]:
    """Values 0..1 (NaN allowed) to RGB bytes, near red through green to far blue."""
    missing = np.isnan(t)
    t = np.clip(np.nan_to_num(t), 0, 1)
    r = np.clip(1.5 - np.abs(4 * t - 0.5), 0, 1)
    g = np.clip(1.5 - np.abs(4 * t - 2.0), 0, 1)
    b = np.clip(1.5 - np.abs(4 * t - 3.5), 0, 1)
    rgb: NDArray[np.uint8] = (np.stack([r, g, b], axis=-1) * 255).astype(np.uint8)
    rgb[missing] = 0
    return rgb


def rgb_image(height: int, width: int) -> Tuple[T.Image, NDArray[np.uint8]]:
    """A new SDK colour image and a numpy view to draw into (no copy: the view is its memory)."""
    img = T.ImageCreate(T.RGB8, T.Size(width, height))
    return img, np.asarray(img)


def ring(view: NDArray[np.uint8], x: float, y: float, radius: float, colour: Tuple[int, int, int],
         width: float = 2.0) -> None:
    yy, xx = np.ogrid[:view.shape[0], :view.shape[1]]
    d = np.hypot(xx - x, yy - y)
    view[np.abs(d - radius) < width / 2] = colour
