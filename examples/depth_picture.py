"""A depth picture a person can read: the depth map in colour with a scale bar, drawn with numpy
straight into an SDK image and saved as PNG."""
import os

import numpy as np

import PyTUVO as T
from _common import colour_scale, out_dir, rgb_image, start


def main() -> None:
    out = out_dir()
    cam = T.X1.Create(start())
    assert cam.Open() and cam.Capture(), T.GetLastErrorMessage()
    depth = np.asarray(cam.GetDepthMap())
    near: float
    far: float
    near, far = np.nanpercentile(depth, [1, 99])
    h, w = depth.shape
    img, view = rgb_image(h, w + 90)
    view[...] = 255
    view[:, :w] = colour_scale((depth - near) / (far - near))
    # The scale bar: near at the top, far at the bottom, a tick every 50 mm.
    bar = np.linspace(0, 1, h)[:, None].repeat(30, axis=1)
    view[:, w + 20:w + 50] = colour_scale(bar)
    for mm in np.arange(np.ceil(near / 50) * 50, far, 50):
        row = int((mm - near) / (far - near) * (h - 1))
        view[max(0, row - 1):row + 2, w + 50:w + 70] = 0
    path = os.path.join(out, "depth_picture.png")
    assert img.SaveImage(path), T.GetLastErrorMessage()
    print("depth %.0f..%.0f mm, ticks every 50 mm -> %s" % (near, far, path))
    T.ImageDestroy(img)
    T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
