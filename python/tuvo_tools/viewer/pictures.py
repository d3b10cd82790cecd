"""What the viewer shows of a capture, made from copies of its results: pictures for the page (images,
depth and confidence with their colour bars) and the points for the 3-D view.

The conventions are the examples': near is red, far is blue, black where nothing was measured;
ranges come from robust percentiles, so that a few stray points neither stretch the colours nor
saturate an object."""
import math

import numpy as np
from PIL import Image, ImageDraw, ImageFont

# Pictures are sent at most this wide: the page shows them in a panel, not at full size.
MAX_WIDTH = 640
_BAR_ROOM = 110  # right of a map: the colour bar, its ticks and numbers
_HEAT = np.array([[25, 15, 70], [120, 30, 120], [215, 70, 60], [250, 170, 40], [252, 245, 160]], dtype=np.float64)


def colour_scale(t):
    """Values 0..1 (NaN allowed) to RGB bytes: 0 red through yellow, green and cyan to 1 blue; NaN black."""
    t = np.asarray(t, dtype=np.float64)
    missing = np.isnan(t)
    t = np.clip(np.nan_to_num(t), 0, 1)
    rgb = np.stack([np.clip(1.5 - np.abs(4 * t - c), 0, 1) for c in (0.5, 2.0, 3.5)], axis=-1)
    rgb = (rgb * 255).astype(np.uint8)
    rgb[missing] = 0
    return rgb


def heat_scale(t):
    """Values 0..1 (NaN allowed) to RGB bytes for magnitudes: dark violet through red and orange to
    light yellow; NaN black."""
    t = np.asarray(t, dtype=np.float64)
    missing = np.isnan(t)
    t = np.clip(np.nan_to_num(t), 0, 1)
    stops = np.linspace(0, 1, len(_HEAT))
    rgb = np.stack([np.interp(t, stops, _HEAT[:, c]) for c in range(3)], axis=-1).astype(np.uint8)
    rgb[missing] = 0
    return rgb


def robust_range(values, low=0.5, high=99.5):
    """The range of the finite values between two percentiles, widened by 5 % on each side."""
    values = np.asarray(values)
    finite = values[np.isfinite(values)]
    if finite.size == 0:
        return 0.0, 1.0
    lo, hi = np.percentile(finite, [low, high])
    pad = max(0.05 * (hi - lo), 1e-6)
    return float(lo - pad), float(hi + pad)


def nice_ticks(a, b, count=6):
    """Round numbers (1, 2 or 5 times a power of ten apart) between a and b."""
    lo, hi = min(a, b), max(a, b)
    if not hi > lo:
        return np.array([lo])
    raw = (hi - lo) / count
    power = 10.0 ** math.floor(math.log10(raw))
    step = min((m * power for m in (1, 2, 5, 10)), key=lambda s: abs(s - raw))
    return step * np.arange(math.ceil(lo / step), math.floor(hi / step + 1e-9) + 1, dtype=np.float64)


def shrink(pixels):
    """Every n-th row and column so that the picture is at most MAX_WIDTH wide."""
    step = max(1, -(-pixels.shape[1] // MAX_WIDTH))
    return pixels[::step, ::step]


def image_rgb(pixels):
    """An image (grey, or RGB) as (rows, cols, 3) bytes, shrunk for the page."""
    small = shrink(np.asarray(pixels, dtype=np.uint8))
    if small.ndim == 2:
        small = np.repeat(small[..., None], 3, axis=2)
    return np.ascontiguousarray(small)


def map_figure(values, unit, title, scale, near_top=True):
    """A map (NaN where nothing was measured) in colour with a colour bar, ticks and numbers in
    `unit` right of it. Returns (rows, cols, 3) bytes and the range shown."""
    small = np.asarray(shrink(values), dtype=np.float64)
    small = np.where(np.isfinite(small), small, np.nan)
    lo, hi = robust_range(small)
    rows, cols = small.shape
    size = int(max(11, min(15, rows // 24)))
    figure = np.full((max(rows, 10 * size), cols + _BAR_ROOM, 3), 255, dtype=np.uint8)
    figure[:rows, :cols] = scale((small - lo) / (hi - lo))
    top, bottom = lo if near_top else hi, hi if near_top else lo
    x, y, height = cols + 12, 3 * size, max(rows - 5 * size, 2 * size)
    bar = scale(np.linspace(0, 1, height) if near_top else np.linspace(1, 0, height))
    figure[y:y + height, x:x + 16] = bar[:, None, :]
    picture = Image.fromarray(figure)
    draw = ImageDraw.Draw(picture)
    font = ImageFont.load_default(size=size)
    draw.rectangle([x - 1, y - 1, x + 16, y + height], outline=(0, 0, 0))
    for value in nice_ticks(lo, hi):
        row = y + int(round((value - top) / (bottom - top) * (height - 1)))
        draw.line([x + 16, row, x + 21, row], fill=(0, 0, 0))
        draw.text((x + 24, row), "%g %s" % (round(float(value), 6), unit), fill=(0, 0, 0), font=font, anchor="lm")
    draw.text((x, y - size // 2), title, fill=(0, 0, 0), font=font, anchor="ld")
    return np.asarray(picture), (lo, hi)


def depth_figure(depth):
    """Depth in mm, near red to far blue, with its colour bar in mm (0 and NaN: not measured)."""
    depth = np.asarray(depth, dtype=np.float64)
    return map_figure(np.where(depth > 0, depth, np.nan), "mm", "depth", colour_scale)


def confidence_figure(confidence):
    """Confidence, low dark to high light, with its colour bar (NaN: not measured)."""
    return map_figure(confidence, "", "confidence", heat_scale, near_top=False)


def cloud(points, image, by_depth, max_points):
    """The measured points of a point map (rows, cols, 3, mm) for the 3-D view, at most about
    `max_points` of them (every n-th row and column): (centre in metres, points in metres about
    that centre as float32, colours as (n, 3) bytes, the points' spacing in metres). The colours
    are the image's where it covers the point map pixel for pixel, else (or `by_depth`) the depth's."""
    z = points[..., 2]
    valid = np.isfinite(z)
    count = int(valid.sum())
    step = max(1, int(math.ceil(math.sqrt(count / max(1, max_points)))))
    grid = points[::step, ::step]
    keep = valid[::step, ::step]
    chosen = grid[keep] / 1000.0
    if not chosen.size:
        return np.zeros(3), np.zeros((0, 3), np.float32), np.zeros((0, 3), np.uint8), 0.001
    if not by_depth and image is not None and image.shape[:2] == points.shape[:2]:
        pixels = image[::step, ::step][keep]
        colours = np.repeat(pixels[:, None], 3, axis=1) if pixels.ndim == 1 else pixels
    else:
        lo, hi = robust_range(chosen[:, 2])
        colours = colour_scale((chosen[:, 2] - lo) / (hi - lo))
    centre = np.median(chosen, axis=0)
    across = np.linalg.norm(grid[:, 1:] - grid[:, :-1], axis=-1)
    spacing = float(np.nanmedian(across)) / 1000.0 if np.isfinite(across).any() else 0.001
    return centre, (chosen - centre).astype(np.float32), np.ascontiguousarray(colours, dtype=np.uint8), spacing
