"""End to end on the default virtual device: find it, capture, look at the data, save it."""
import os

import numpy as np

import PyTUVO as T

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")


def main() -> None:
    os.makedirs(OUT, exist_ok=True)
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

    ply = os.path.join(OUT, "demo.ply")
    png = os.path.join(OUT, "demo.png")
    depth_png = os.path.join(OUT, "demo_depth.png")
    print("saved:", point_map.SaveWithImage(ply, image), image.SaveImage(png),
          camera.GetDepthMap().SaveDepthMap(depth_png, True))
    print("  ", os.path.relpath(ply), os.path.relpath(png), os.path.relpath(depth_png))

    T.PointMap.Destroy(point_map)
    T.Image.Destroy(image)
    camera.Close()
    T.X1.Destroy(camera)
    T.SystemShutdown()
    print("done")


if __name__ == "__main__":
    main()
