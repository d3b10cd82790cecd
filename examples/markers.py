"""Coded markers: found in an image and drawn onto it; then two cameras registered by the markers
they both see, the result printed next to the rig's own calibration."""
import os

import numpy as np

import PyTUVO as T
from _common import out_dir, ring, start


def main() -> None:
    out = out_dir()
    device = start()
    left, right = T.X1.Create(device, T.CameraID_Left), T.X1.Create(device, T.CameraID_Right)
    assert left.Open() and right.Open() and left.Capture() and right.Capture(), T.GetLastErrorMessage()
    kind = T.CodedCircleMarkerType()
    image = left.GetImage()
    found = T.DetectCodedCircleMarker(image, kind)
    grey = np.asarray(image)
    canvas = T.ImageCreate(T.RGB8, image.GetSize())
    view = np.asarray(canvas)
    view[...] = grey[..., None]
    for m in found:
        ring(view, m.x, m.y, 40, (255, 40, 40), 3)
        view[int(round(m.y)) - 1:int(round(m.y)) + 2, int(round(m.x)) - 12:int(round(m.x)) + 13] = (40, 255, 40)
        view[int(round(m.y)) - 12:int(round(m.y)) + 13, int(round(m.x)) - 1:int(round(m.x)) + 2] = (40, 255, 40)
        print("marker %3d at (%8.2f, %8.2f)" % (m.code, m.x, m.y))
    path = os.path.join(out, "markers.png")
    canvas.SaveImage(path)
    print("%d markers drawn -> %s" % (len(found), path))

    n, rotation, translation = T.GetTwoCameraTransformByCodedCircleMarker(
        left.GetPointMap(), left.GetImage(), right.GetPointMap(), right.GetImage(), kind)
    pose = np.array(right.GetExtrinsicMatrix()[1]).reshape(4, 4)  # right camera in the device frame
    np.set_printoptions(precision=5, suppress=True)
    print("registered with %d markers" % n)
    print("rotation    (markers)\n", rotation, "\n            (calibration)\n", pose[:3, :3].T)
    print("translation (markers)    ", translation, "\n            (calibration)", -pose[:3, :3].T @ pose[:3, 3])
    T.ImageDestroy(canvas)
    for cam in (left, right):
        T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
