"""Coded markers: found in an image and drawn onto it; then two cameras registered by the markers
they both see, the result printed next to the rig's own calibration."""
import os

import numpy as np

import PyTUVO as T
from _common import check, out_dir, save, start
from tuvo_tools.pictures import font_size, ring, text


def main() -> None:
    out = out_dir()
    device = start()
    left, right = T.X1.Create(device, T.CameraID_Left), T.X1.Create(device, T.CameraID_Right)
    for cam, name in [(left, "left"), (right, "right")]:
        check(cam.IsValid(), "X1.Create (%s camera)" % name)
        check(cam.Open(), "Open (%s camera)" % name)
        check(cam.Capture(), "Capture (%s camera)" % name)
    kind = T.CodedCircleMarkerType()
    image = left.GetImage()
    found = T.DetectCodedCircleMarker(image, kind)
    grey = np.asarray(image)
    canvas = T.ImageCreate(T.RGB8, image.GetSize())
    view = np.asarray(canvas)
    view[...] = grey[..., None]
    size = font_size(view.shape[0])
    for m in found:
        ring(view, m.x, m.y, 40, (255, 40, 40), 3)
        view[int(round(m.y)) - 1:int(round(m.y)) + 2, int(round(m.x)) - 12:int(round(m.x)) + 13] = (40, 255, 40)
        view[int(round(m.y)) - 12:int(round(m.y)) + 13, int(round(m.x)) - 1:int(round(m.x)) + 2] = (40, 255, 40)
        text(view, m.x, m.y - 44, str(m.code), colour=(200, 0, 0), size=size, anchor="md", box=(255, 255, 255))
        print("marker %3d at (%8.2f, %8.2f)" % (m.code, m.x, m.y))
    text(view, 8, 8, "X1 left camera: %d coded markers found (red ring, green cross at the centre, code above)"
         % len(found), size=size, box=(255, 255, 255))
    path = save(canvas, os.path.join(out, "markers.png"))
    print("%d markers drawn -> %s" % (len(found), path))

    n, rotation, translation = T.GetTwoCameraTransformByCodedCircleMarker(
        left.GetPointMap(), left.GetImage(), right.GetPointMap(), right.GetImage(), kind)
    check(n > 0, "GetTwoCameraTransformByCodedCircleMarker")
    ok, extrinsic = right.GetExtrinsicMatrix()
    check(ok, "GetExtrinsicMatrix")
    pose = np.array(extrinsic).reshape(4, 4)  # right camera in the device frame
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
