"""A depth picture a person can read: the depth map in colour (near red, far blue) with a colour bar
in millimetres, drawn with numpy straight into an SDK image and saved as PNG."""
import os

import numpy as np

import PyTUVO as T
from _common import check, out_dir, save, start
from tuvo_tools.pictures import depth_figure, robust_range


def main() -> None:
    out = out_dir()
    cam = T.X1.Create(start())
    check(cam.IsValid(), "X1.Create")
    check(cam.Open(), "Open")
    check(cam.Capture(), "Capture")
    depth = np.asarray(cam.GetDepthMap())
    near, far = robust_range(depth)  # robust: a few stray points neither stretch nor saturate it
    img, _ = depth_figure(depth, near, far, "X1 left camera: depth, black where nothing was measured")
    path = save(img, os.path.join(out, "depth_picture.png"))
    print("depth %.0f..%.0f mm -> %s" % (near, far, path))
    T.ImageDestroy(img)
    T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
