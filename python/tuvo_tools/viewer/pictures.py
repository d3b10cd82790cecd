"""What the viewer shows of a capture, made from copies of its results: pictures for the page (images,
depth and confidence with their colour bars) and the points for the 3-D view.

The colours, ranges and colour bars are those of tuvo_tools.pictures (near red, far blue, robust
ranges); what is the viewer's own is the size the pictures are sent at and the points it sends."""
import math

import numpy as np

from ..pictures import BAR_GAP, colour_bar, colour_scale, heat_scale, robust_range

# Pictures are sent at most this wide: the page shows them in a panel, not at full size.
MAX_WIDTH = 640
_BAR_ROOM = 150  # right of a map: the gap, the colour bar, its ticks and numbers


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
    `unit` right of it; the scale's 0 (the low values) at the bar's top when `near_top`, else at
    its bottom. Returns (rows, cols, 3) bytes and the range shown."""
    small = np.asarray(shrink(values), dtype=np.float64)
    small = np.where(np.isfinite(small), small, np.nan)
    lo, hi = robust_range(small)
    rows, cols = small.shape
    size = int(max(11, min(15, rows // 24)))
    figure = np.full((max(rows, 11 * size), cols + _BAR_ROOM, 3), 255, dtype=np.uint8)
    figure[:rows, :cols] = scale((small - lo) / (hi - lo))
    y = 4 * size  # room for the title above the bar
    height = max(rows - 6 * size, 2 * size)
    if near_top:
        colour_bar(figure, cols + BAR_GAP, y, height, lo, hi, unit, scale=scale, top_label=None, bottom_label=None,
                   title=title, size=size)
    else:
        colour_bar(figure, cols + BAR_GAP, y, height, hi, lo, unit, scale=lambda t: scale(1 - np.asarray(t)),
                   top_label=None, bottom_label=None, title=title, size=size)
    return figure, (lo, hi)


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
