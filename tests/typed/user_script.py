"""A user's script on PyTUVO: find the devices, capture with an X1 and an X2, read every result as a
numpy array, move and re-express the points with plain lists, register two cameras by their
markers and convert with tuvo_convert. tests/test_typing.py type-checks it strictly and runs it.
Usage: user_script.py OUTPUT_FOLDER"""
import os
import sys
from typing import Any, Dict, List, Tuple

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T
import tuvo_convert as C
from tuvo_tools.recorder import Recorder
from tuvo_tools.recording import read_frame, read_manifest


def need(ok: bool, what: str) -> None:
    if not ok:
        raise SystemExit("%s failed: %s" % (what, T.GetLastErrorMessage()))


def find_device() -> T.Device:
    need(T.SystemInit(), "SystemInit")
    status, devices = T.SystemListDevices(T.All)
    if not devices:
        raise SystemExit("no devices (status %d)" % status)
    for device in devices:
        ok, info = device.GetDeviceInfo()
        if ok:
            print("%s %s, %d-%d mm" % (info.sn, info.name, info.workingdist_near_mm, info.workingdist_far_mm))
    return devices[0]


def finite_mean(array: NDArray[np.float64]) -> float:
    finite = array[np.isfinite(array)]
    return float(finite.mean()) if finite.size else float("nan")


def x1_session(device: T.Device, out: str) -> None:
    cam = T.X1.Create(device, T.CameraID_Left)
    need(cam.Open(), "X1.Open")
    opts = T.X1_CaptureOptions()
    opts.calc_normal = True
    opts.exposure_time_3d = 14
    need(cam.Capture(opts), "X1.Capture")

    point_map = cam.GetPointMap()
    image = cam.GetImage()
    points = np.asarray(point_map)  # views of the SDK's memory
    normals = np.asarray(point_map.GetNormalDataPtr())
    depth = np.asarray(cam.GetDepthMap())
    confidence = np.asarray(cam.GetConfidenceMap())
    pixels = np.asarray(image)
    z: NDArray[np.float64] = points[..., 2]
    print("points %s, mean z %.1f mm; normals %s; depth %s, mean %.1f mm; confidence %.2f; image %s %s" % (
        points.shape, finite_mean(z), normals.shape, depth.shape, finite_mean(depth), finite_mean(confidence),
        pixels.shape, pixels.dtype))

    # 10 mm further and back again, with lists and then with an array and a tuple.
    T.TransformPointCloud([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], [0.0, 0.0, 10.0], point_map)
    moved = finite_mean(np.asarray(point_map)[..., 2])
    T.TransformPointCloud(np.eye(3), (0, 0, -10), point_map)
    back = finite_mean(np.asarray(point_map)[..., 2])
    if abs(moved - back - 10.0) > 1e-6:
        raise SystemExit("TransformPointCloud moved the points by %.6f mm" % (moved - back))

    # Points in a frame 5 mm along x from the camera's, as 16 numbers row by row.
    custom = T.X1_CustomTransformOptions()
    custom.coordinate_select = T.CoordinateSelect_Camera
    custom.SetTransform([1.0, 0, 0, 5.0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1])
    need(cam.SetCustomTransformation(custom), "SetCustomTransformation")

    kind = T.CodedCircleMarkerType()
    markers = T.DetectCodedCircleMarker(image, kind)
    again = T.DetectCodedCircleMarker(pixels, kind)
    codes: List[int] = sorted(m.code for m in markers)
    print("%d markers (%d from the array): %s" % (len(markers), len(again), codes))

    found = C.valid_points(point_map, image, normals=True)
    lens = C.intrinsics(cam)
    pose = C.extrinsics(cam)
    centre: NDArray[np.float64] = found.points.mean(axis=0)
    in_device = pose[:3, :3] @ centre + pose[:3, 3]
    print("%d valid points centred at %s, %s in the device's frame; fx %.1f px" % (
        len(found.points), np.round(centre, 1), np.round(in_device, 1), lens.matrix[0, 0]))
    ok, size = cam.GetCameraResolution()
    need(ok, "GetCameraResolution")
    # The same points seen by a camera with this lens and pose (a 1-D array for each list).
    seen = T.GetExternalCameraPointMap(point_map, size.width, size.height, lens.matrix.ravel(), lens.distortion,
                                       pose.ravel())
    print("external view valid:", seen.IsValid())
    need(point_map.SaveWithImage(os.path.join(out, "x1.ply"), image), "SaveWithImage")
    T.PointMap.Destroy(point_map)
    T.Image.Destroy(image)

    need(cam.Capture(opts), "X1.Capture")
    arrays: Dict[str, NDArray[Any]] = C.capture_arrays(cam, release=True)
    print("captured:", ", ".join("%s %s" % (key, value.dtype) for key, value in sorted(arrays.items())))
    cam.Close()
    T.X1.Destroy(cam)


def x2_session(device: T.Device, out: str) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    cam = T.X2.Create(device)
    need(cam.Open(), "X2.Open")
    opts = T.X2_CaptureOptions()
    opts.correspond2d = True
    need(cam.Capture(opts), "X2.Capture")
    correspond = np.asarray(cam.GetCorrespondMap())  # per left pixel: (x, y) in the right image
    left = np.asarray(cam.GetImage(T.CameraID_Left))
    right = np.asarray(cam.GetImage(T.CameraID_Right))
    disparity = np.arange(correspond.shape[1], dtype=np.float64)[None, :] - correspond[..., 0]
    print("disparity %.1f px on average; images %s and %s" % (finite_mean(disparity), left.shape, right.shape))

    custom = T.X2_CustomTransformOptions()
    custom.coordinate_select = T.CoordinateSelect_CameraLeft
    custom.SetTransform(np.eye(4).tolist())  # rows of numbers
    need(cam.SetCustomTransformation(custom), "SetCustomTransformation")

    ok, k, d = cam.GetIntrinsicParameters(T.CameraID_Right)
    need(ok, "GetIntrinsicParameters")
    matrix = C.intrinsic_matrix(k)
    pose = C.extrinsics(cam, T.CameraID_Right)
    print("right camera: f %.1f px, %d distortion coefficients, %.1f mm from the left" % (
        matrix[0, 0], len(d), float(np.linalg.norm(pose[:3, 3]))))
    cam.GetDepthMap().SaveDepthMap(os.path.join(out, "x2_depth.png"), True)
    cam.Close()
    T.X2.Destroy(cam)
    return matrix, pose


def register(device: T.Device) -> None:
    """The right camera's pose from the markers both cameras see, applied to its points."""
    left, right = T.X1.Create(device, T.CameraID_Left), T.X1.Create(device, T.CameraID_Right)
    need(left.Open() and right.Open(), "X1.Open")
    need(left.Capture() and right.Capture(), "X1.Capture")
    kind = T.CodedCircleMarkerType()
    n, rotation, translation = T.GetTwoCameraTransformByCodedCircleMarker(
        left.GetPointMap(), left.GetImage(), right.GetPointMap(), right.GetImage(), kind)
    angle = float(np.degrees(np.arccos(np.clip((np.trace(rotation) - 1) / 2, -1, 1))))
    print("registered with %d markers: %.2f degrees, %.1f mm" % (n, angle, float(np.linalg.norm(translation))))
    points = right.GetPointMap()
    T.TransformPointCloud(rotation, translation, points)
    print("right points in the left camera's frame, mean z %.1f mm" % finite_mean(np.asarray(points)[..., 2]))
    for cam in (left, right):
        T.X1.Destroy(cam)


def record_and_read(device: T.Device, out: str) -> None:
    """A frame recorded, then read back from the recording as arrays."""
    cam = T.X1.Create(device, T.CameraID_Left)
    need(cam.Open(), "X1.Open")
    folder = os.path.join(out, "recording")
    recorder = Recorder(folder, device)
    recorder.capture(recorder.add_x1(cam, "left"))
    manifest = read_manifest(folder)
    frames: List[Dict[str, Any]] = manifest["streams"]["x1-left"]["frames"]
    frame = read_frame(folder, manifest, "x1-left", len(frames) - 1)
    points: NDArray[np.float64] = frame["points"]
    image: NDArray[np.uint8] = frame["images"]["left"]
    depth = frame["depth"]
    print("recorded %s: mean z %.1f mm, image %s, depth %s" % (
        manifest["device"]["sn"], finite_mean(points[..., 2]), image.shape, None if depth is None else depth.shape))
    T.X1.Destroy(cam)


def main() -> None:
    out = sys.argv[1] if len(sys.argv) > 1 else "."
    device = find_device()
    x1_session(device, out)
    matrix, pose = x2_session(device, out)
    print("right camera matrix\n%s\npose\n%s" % (np.round(matrix, 1), np.round(pose, 3)))
    register(device)
    record_and_read(device, out)
    T.SystemShutdown()
    print("done")


if __name__ == "__main__":
    main()
