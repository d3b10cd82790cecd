"""End to end on the default virtual device: find it, capture, look at the data, save it."""
import os

import numpy as np

import PyTUVO as T
from _common import check, out_dir
from tuvo_tools.pictures import depth_figure, robust_range


def main() -> None:
    out = out_dir()
    print("SDK:", T.GetVersion())
    if not T.SystemInit():
        raise SystemExit("SystemInit failed: " + T.GetLastErrorMessage())
    status, devices = T.SystemListDevices(T.All)
    print("devices found:", len(devices), "(status %d)" % status)
    for device in devices:
        _, info = device.GetDeviceInfo()
        print("  %-16s serial %-11s %s, working distance %d-%d mm" % (
            info.name, info.sn, "USB" if info.type == T.PortType_USB else "GigE",
            info.workingdist_near_mm, info.workingdist_far_mm))

    camera = T.X1.Create(devices[0], T.CameraID_Left)
    check(camera.IsValid(), "X1.Create")
    if not camera.Open():
        raise SystemExit("Open failed: " + T.GetLastErrorMessage())
    _, size = camera.GetCameraResolution()
    print("camera resolution: %d x %d" % (size.width, size.height))

    options = T.X1_CaptureOptions()
    options.exposure_time_3d = 14
    options.calc_normal = True
    if not camera.Capture(options):
        raise SystemExit("Capture failed: " + T.GetLastErrorMessage())

    point_map = camera.GetPointMap()
    image = camera.GetImage()
    points = np.asarray(point_map)  # a view of the SDK's memory, no copy
    pixels = np.asarray(image)
    valid = np.isfinite(points[..., 2])
    print("point map:", points.shape, points.dtype, "valid %.1f%%" % (100 * valid.mean()),
          "z %.1f..%.1f mm" % (np.nanmin(points[..., 2]), np.nanmax(points[..., 2])))
    print("image:", pixels.shape, pixels.dtype, "mean grey %.1f" % pixels.mean())

    ply = os.path.join(out, "demo.ply")
    png = os.path.join(out, "demo.png")
    depth_mm = os.path.join(out, "demo_depth_mm.png")
    depth_png = os.path.join(out, "demo_depth.png")
    check(point_map.SaveWithImage(ply, image), "SaveWithImage")  # points with their colours
    check(image.SaveImage(png), "SaveImage")  # the camera's picture
    depth_map = camera.GetDepthMap()
    check(depth_map.SaveDepthMap(depth_mm, False), "SaveDepthMap")  # 16-bit millimetres, for programs
    # The depth for people: in colour, near red to far blue, with its colour bar in mm.
    depth = np.asarray(depth_map)
    near, far = robust_range(depth)
    picture, _ = depth_figure(depth, near, far, "X1 left camera: depth, black where nothing was measured")
    check(picture.SaveImage(depth_png), "SaveImage")
    T.Image.Destroy(picture)
    print("saved:", *(os.path.relpath(p) for p in (ply, png, depth_mm, depth_png)))

    T.PointMap.Destroy(point_map)
    T.Image.Destroy(image)
    camera.Close()
    T.X1.Destroy(camera)
    T.SystemShutdown()
    print("done")


if __name__ == "__main__":
    main()
