"""Two-camera capture: images from both cameras, and the correspondence map shown as disparity."""
import os

import numpy as np

import PyTUVO as T
from _common import colour_scale, out_dir, rgb_image, start


def main() -> None:
    out = out_dir()
    cam = T.X2.Create(start())
    assert cam.Open(), T.GetLastErrorMessage()
    opts = T.X2_CaptureOptions()
    opts.correspond2d = True
    assert cam.Capture(opts), T.GetLastErrorMessage()
    for cid, name in [(T.CameraID_Left, "left"), (T.CameraID_Right, "right")]:
        path = os.path.join(out, "stereo_%s.png" % name)
        assert cam.GetImage(cid).SaveImage(path)
        print("saved", path)
    corr = np.asarray(cam.GetCorrespondMap())  # per left pixel: (x, y) in the right image
    h, w = corr.shape[:2]
    disparity = np.arange(w)[None, :] - corr[..., 0]
    valid = np.isfinite(disparity)
    lo, hi = np.percentile(disparity[valid], [1, 99])
    img, view = rgb_image(h, w)
    view[...] = colour_scale((disparity - lo) / (hi - lo))
    path = os.path.join(out, "stereo_disparity.png")
    img.SaveImage(path)
    print("matched %.1f%% of the left pixels, disparity %.0f..%.0f px -> %s" % (100 * valid.mean(), lo, hi, path))
    T.ImageDestroy(img)
    T.X2.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
