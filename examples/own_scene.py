"""A scene of your own: a bin of parts described in examples/scenes/bin_picking.toml (meshes from
OBJ and STL files; black plastic brackets, shiny steel nuts and a ball), captured by the virtual X1.
Writes a picture of the depth, and of the points lost to the parts' materials: those a capture
of the same bin with every part matte grey has and the real one lacks."""
import os
from typing import Tuple

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T
import tuvo_sim
from _common import check, out_dir, save, start
from tuvo_tools.pictures import (LEGEND_WIDTH, bar_geometry, colour_bar, depth_colours, font_size, rgb_image,
                                 robust_range, text)

SCENE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenes", "bin_picking.toml")
PARTS = ["bracket_1", "bracket_2", "bracket_3", "bracket_grey", "nut_1", "nut_2", "nut_3", "ball"]


def capture(cam: T.X1, opts: T.X1_CaptureOptions) -> Tuple[NDArray[np.float64], NDArray[np.uint8]]:
    check(cam.Capture(opts), "Capture")
    return np.array(cam.GetPointMap()), np.array(cam.GetImage())


def main() -> None:
    out = out_dir()
    os.environ["TUVO_SIM_SCENE"] = SCENE  # read by SystemInit: every virtual device now looks at the bin
    cam = T.X1.Create(start())
    check(cam.IsValid(), "X1.Create")
    check(cam.Open(), "Open")
    opts = T.X1_CaptureOptions()
    points, grey = capture(cam, opts)
    # The same bin once more with every part matte grey (a stand-in setting): what it sees and the
    # first capture does not is what the materials cost.
    for name in PARTS:
        for key, value in [("albedo", 0.5), ("specular", 0.0), ("mirror", 0.0)]:
            tuvo_sim.set("scene.object.%s.%s" % (name, key), value)
    matte, _ = capture(cam, opts)
    for name in PARTS:
        for key in ["albedo", "specular", "mirror"]:
            tuvo_sim.unset("scene.object.%s.%s" % (name, key))

    depth = points[..., 2]
    have = np.isfinite(depth)
    lost = ~have & np.isfinite(matte[..., 2])
    near, far = robust_range(depth)  # the bin's rim to its floor, a few stray points left out
    h, w = depth.shape
    gap = LEGEND_WIDTH
    img, view = rgb_image(h, 2 * w + gap)
    size = font_size(h)
    # Left: the depth in colour (near red, far blue) over the grey image where there is no point.
    shade = np.repeat(grey[..., None] if grey.ndim == 2 else grey, 3, axis=2)[..., :3] // 2
    view[:, :w] = np.where(have[..., None], depth_colours(depth, near, far), shade)
    x, y, bar = bar_geometry(h, w)
    colour_bar(view, x, y, bar, near, far, "mm", title="depth", size=size)
    text(view, 8, 8, "depth of the bin (dim grey image where nothing was measured)", size=size, box=(255, 255, 255))
    # Right: the grey image; red where the materials cost a point, dark blue where neither capture has one.
    right = view[:, w + gap:]
    right[...] = shade * 2
    right[lost] = (230, 30, 30)
    right[~have & ~lost] = (20, 20, 90)
    text(right, 8, 8, "points lost to the parts' materials", size=size, box=(255, 255, 255))
    for row, (colour, words) in enumerate([((230, 30, 30), "red: measured when matte grey, lost as made"),
                                           ((20, 20, 90), "dark blue: measured by neither")]):
        text(right, 8, 8 + (row + 1) * 3 * size // 2, words, colour=colour, size=size, box=(255, 255, 255))
    path = save(img, os.path.join(out, "own_scene.png"))
    print("depth %.0f..%.0f mm, %.1f%% of the pixels measured, %d points lost to materials -> %s"
          % (near, far, 100 * have.mean(), lost.sum(), path))
    T.ImageDestroy(img)
    T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
