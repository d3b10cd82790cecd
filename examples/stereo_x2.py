"""Two-camera capture: images from both cameras, and the correspondence map shown as disparity
(near red, far blue, as the depth pictures) with a colour bar in pixels and the depth it means."""
import os

import numpy as np

import PyTUVO as T
from _common import check, out_dir, save, start
from tuvo_tools.pictures import (LEGEND_WIDTH, bar_geometry, colour_bar, colour_scale, font_size, rgb_image,
                                 robust_range, text)


def main() -> None:
    out = out_dir()
    cam = T.X2.Create(start())
    check(cam.IsValid(), "X2.Create")
    check(cam.Open(), "Open")
    opts = T.X2_CaptureOptions()
    opts.correspond2d = True
    check(cam.Capture(opts), "Capture")
    for cid, name in [(T.CameraID_Left, "left"), (T.CameraID_Right, "right")]:
        path = save(cam.GetImage(cid), os.path.join(out, "stereo_%s.png" % name))
        print("saved", path)
    corr = np.asarray(cam.GetCorrespondMap())  # per left pixel: (x, y) in the right image
    depth = np.asarray(cam.GetPointMap())[..., 2]  # mm, in the left camera's frame
    h, w = corr.shape[:2]
    disparity = np.arange(w, dtype=np.float64)[None, :] - corr[..., 0]
    valid = np.isfinite(disparity)
    lo, hi = robust_range(disparity)
    img, view = rgb_image(h, w + LEGEND_WIDTH)
    # A large disparity is near: it takes the near (red) end of the scale, as depth does.
    view[:, :w] = colour_scale((hi - disparity) / (hi - lo))

    def depth_at(d: float) -> str:
        """What a disparity means in depth: the median depth of the pixels with about that disparity."""
        z = depth[valid & (np.abs(disparity - d) < 0.5) & np.isfinite(depth)]
        return "~%.0f mm" % np.median(z) if z.size else ""

    size = font_size(h)
    x, y, bar = bar_geometry(h, w)
    colour_bar(view, x, y, bar, hi, lo, "px", title="disparity", size=size, second=depth_at)
    text(view, 8, 8, "X2 left camera: disparity to the right camera (x left - x right), black where unmatched",
         size=size, box=(255, 255, 255))
    path = save(img, os.path.join(out, "stereo_disparity.png"))
    print("matched %.1f%% of the left pixels, disparity %.0f..%.0f px -> %s" % (100 * valid.mean(), lo, hi, path))
    T.ImageDestroy(img)
    T.X2.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
