"""Pictures that explain themselves, drawn with numpy straight into SDK images: depth and
disparity in colour (near red, far blue, black where nothing was measured), colour bars with
round numbers and units, text, and robust ranges. The `tuvo` command and the examples draw with
these; the text is written with Pillow's default font."""
import math
from typing import Callable, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray
from PIL import Image as PILImage
from PIL import ImageDraw, ImageFont

import PyTUVO as T

# Every picture of depth or disparity uses one convention: near is red (0 on the colour scale), far
# is blue (1), and a colour bar beside the picture has near at its top.
NEAR_TOP = "near"
FAR_BOTTOM = "far"
Colour = Tuple[int, int, int]
MISSING: Colour = (0, 0, 0)  # pixels without a measurement
BAR_GAP = 20  # between a picture and its colour bar
BAR_WIDTH = 30
LEGEND_WIDTH = 190  # room for a colour bar with its numbers right of a picture
MIN_FIGURE_ROWS = 120  # room for the colour bar beside a picture of fewer rows (white below it)


def colour_scale(t: ArrayLike) -> NDArray[np.uint8]:
    """Values 0..1 (NaN allowed) to RGB bytes: 0 (near) red through yellow, green and cyan to
    1 (far) blue; NaN black."""
    values = np.asarray(t, dtype=np.float64)
    missing = np.isnan(values)
    v: NDArray[np.float64] = np.clip(np.nan_to_num(values), 0, 1)
    r = np.clip(1.5 - np.abs(4 * v - 0.5), 0, 1)
    g = np.clip(1.5 - np.abs(4 * v - 2.0), 0, 1)
    b = np.clip(1.5 - np.abs(4 * v - 3.5), 0, 1)
    rgb: NDArray[np.uint8] = (np.stack([r, g, b], axis=-1) * 255).astype(np.uint8)
    rgb[missing] = MISSING
    return rgb


_HEAT = np.array([[25, 15, 70], [120, 30, 120], [215, 70, 60], [250, 170, 40], [252, 245, 160]], dtype=np.float64)


def heat_scale(t: ArrayLike) -> NDArray[np.uint8]:
    """Values 0..1 (NaN allowed) to RGB bytes for magnitudes such as distances: 0 dark violet
    through red and orange to 1 light yellow; NaN mid grey (so it differs from both ends)."""
    values = np.asarray(t, dtype=np.float64)
    missing = np.isnan(values)
    v: NDArray[np.float64] = np.clip(np.nan_to_num(values), 0, 1)
    stops = np.linspace(0, 1, len(_HEAT))
    rgb = np.stack([np.interp(v, stops, _HEAT[:, c]) for c in range(3)], axis=-1).astype(np.uint8)
    rgb[missing] = (128, 128, 128)
    return rgb


def robust_range(values: ArrayLike, low: float = 0.5, high: float = 99.5) -> Tuple[float, float]:
    """The range of the finite values between two percentiles, widened by 5 % on each side, so that
    a few outliers (edge pixels, stray points) neither stretch the colours nor saturate an object."""
    finite = np.asarray(values, dtype=np.float64)[np.isfinite(values)]
    if finite.size == 0:
        return 0.0, 1.0
    # Within +-1e300, which no measurement comes near, the range's width and its ticks stay finite.
    lo, hi = (float(v) for v in np.clip(np.percentile(finite, [low, high]), -1e300, 1e300))
    pad = max(0.05 * (hi - lo), 1e-6 * max(1.0, abs(lo), abs(hi)))  # one value: a range around it
    return lo - pad, hi + pad


def depth_colours(depth: ArrayLike, near: float, far: float) -> NDArray[np.uint8]:
    """A depth map (mm, NaN where missing) in the colours of the shared convention."""
    return colour_scale((np.asarray(depth) - near) / (far - near))


def rgb_image(height: int, width: int, background: int = 255) -> Tuple[T.Image, NDArray[np.uint8]]:
    """A new SDK colour image and a numpy view to draw into (no copy: the view is its memory)."""
    img = T.ImageCreate(T.RGB8, T.Size(width, height))
    view = np.asarray(img)
    view[...] = background
    return img, view


def ring(view: NDArray[np.uint8], x: float, y: float, radius: float, colour: Colour, width: float = 2.0) -> None:
    yy, xx = np.ogrid[:view.shape[0], :view.shape[1]]
    d = np.hypot(xx - x, yy - y)
    view[np.abs(d - radius) < width / 2] = colour


def font_size(height: int) -> int:
    """A text size that reads well on a picture of this many rows."""
    return int(max(12, min(28, height // 45)))


def text(view: NDArray[np.uint8], x: float, y: float, words: str, colour: Colour = (0, 0, 0), size: int = 16,
         anchor: str = "la", box: Optional[Colour] = None) -> Tuple[int, int, int, int]:
    """Write `words` into an RGB numpy view at (x, y) with Pillow's default font (anchor as in
    Pillow: "la" left/top, "rm" right/middle, ...), on a filled box of colour `box` if given.
    Returns the (left, top, right, bottom) the text covers."""
    font = ImageFont.load_default(size=size)
    left, top, right, bottom = (int(v) for v in font.getbbox(words, anchor=anchor))
    pad = 2 if box is not None else 0
    left, top, right, bottom = left - pad, top - pad, right + pad, bottom + pad
    mask = PILImage.new("L", (right - left, bottom - top), 0)
    ImageDraw.Draw(mask).text((-left, -top), words, fill=255, font=font, anchor=anchor)
    alpha = np.asarray(mask, dtype=np.float32)[..., None] / 255
    x0, y0 = int(x) + left, int(y) + top
    # Clip to the view.
    cx0, cy0 = max(x0, 0), max(y0, 0)
    cx1, cy1 = min(x0 + alpha.shape[1], view.shape[1]), min(y0 + alpha.shape[0], view.shape[0])
    if cx0 >= cx1 or cy0 >= cy1:
        return x0, y0, x0, y0
    region = view[cy0:cy1, cx0:cx1]
    a = alpha[cy0 - y0:cy1 - y0, cx0 - x0:cx1 - x0]
    if box is not None:
        region[...] = box
    region[...] = (region * (1 - a) + np.asarray(colour, dtype=np.float32) * a + 0.5).astype(np.uint8)
    return x0, y0, x0 + alpha.shape[1], y0 + alpha.shape[0]


def nice_ticks(a: float, b: float, count: int = 6) -> NDArray[np.float64]:
    """Round numbers (1, 2 or 5 times a power of ten apart) between a and b, about `count` of them."""
    lo, hi = min(a, b), max(a, b)
    if not hi > lo:
        return np.array([lo])
    raw = (hi - lo) / count
    power = 10.0 ** math.floor(math.log10(raw))
    step = min((m * power for m in (1, 2, 5, 10)), key=lambda s: abs(s - raw))
    return step * np.arange(math.ceil(lo / step), math.floor(hi / step + 1e-9) + 1, dtype=np.float64)


def colour_bar(view: NDArray[np.uint8], x: int, y: int, height: int, top_value: float, bottom_value: float, unit: str,
               scale: Callable[[ArrayLike], NDArray[np.uint8]] = colour_scale, top_label: Optional[str] = NEAR_TOP,
               bottom_label: Optional[str] = FAR_BOTTOM, title: Optional[str] = None, size: int = 16,
               second: Optional[Callable[[float], str]] = None) -> None:
    """A vertical colour bar in view[y:y + height, x:x + BAR_WIDTH]: the colour scale's 0 at the top
    (where the value is `top_value`), 1 at the bottom (`bottom_value`), a tick with its number and
    `unit` at round values, the ends named (`top_label`, `bottom_label`) and a title above.
    `second(value)`, if given, is a second text for each tick (e.g. the depth a disparity means)."""
    view[y:y + height, x:x + BAR_WIDTH] = scale(np.linspace(0, 1, height))[:, None, :]
    view[y:y + height, x - 1] = view[y:y + height, x + BAR_WIDTH] = 0
    view[y - 1, x - 1:x + BAR_WIDTH + 1] = view[y + height, x - 1:x + BAR_WIDTH + 1] = 0
    for value in nice_ticks(top_value, bottom_value):
        row = y + int(round((value - top_value) / (bottom_value - top_value) * (height - 1)))
        view[max(row - 1, 0):row + 1, x + BAR_WIDTH:x + BAR_WIDTH + 8] = 0
        number = ("%g" % round(value, 6)) + " " + unit
        text(view, x + BAR_WIDTH + 11, row, number, size=size, anchor="lm")
        if second is not None:
            text(view, x + BAR_WIDTH + 11, row + size, second(value), colour=(90, 90, 90), size=size * 3 // 4,
                 anchor="lm")
    if top_label:
        text(view, x + BAR_WIDTH // 2, y - 4, top_label, size=size, anchor="md")
    if bottom_label:
        text(view, x + BAR_WIDTH // 2, y + height + 4, bottom_label, size=size, anchor="ma")
    if title:
        text(view, x - 4, y - 8 - 3 * size // 2, title, size=size, anchor="ld")


def bar_geometry(height: int, width: int) -> Tuple[int, int, int]:
    """Where `depth_figure` puts the colour bar of a picture of height x width pixels:
    (x, y, bar height). Tests read the colours of the bar from there."""
    size = font_size(height)
    top = 4 * size
    return width + BAR_GAP, top, height - top - 2 * size


def depth_figure(depth: NDArray[np.float64], near: float, far: float,
                 caption: str) -> Tuple[T.Image, NDArray[np.uint8]]:
    """A depth map (mm) in colour, near red to far blue, with its colour bar in mm right of it and
    a caption in its top left corner (at least MIN_FIGURE_ROWS high). Returns the SDK image and its
    numpy view."""
    h, w = depth.shape
    rows = max(h, MIN_FIGURE_ROWS)
    img, view = rgb_image(rows, w + LEGEND_WIDTH)
    view[:h, :w] = depth_colours(depth, near, far)
    size = font_size(rows)
    x, y, bar = bar_geometry(rows, w)
    colour_bar(view, x, y, bar, near, far, "mm", title="depth", size=size)
    text(view, 8, 8, caption, size=size, box=(255, 255, 255))
    return img, view
