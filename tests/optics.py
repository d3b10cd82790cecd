"""Camera optics for the tests: the pinhole with the SDK's five lens-distortion coefficients."""
import numpy as np


def project(k, d, points):
    """Pixel positions (..., 2) of points (..., 3) given in a camera's frame, through the camera
    matrix `k` (3 x 3 or 9 values) and the distortion `d` (k1, k2, p1, p2, k3)."""
    k = np.asarray(k, float).reshape(3, 3)
    k1, k2, p1, p2, k3 = (float(c) for c in d)
    points = np.asarray(points, float)
    x, y = points[..., 0] / points[..., 2], points[..., 1] / points[..., 2]
    r2 = x * x + y * y
    radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3))
    xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
    return np.stack([k[0, 0] * xd + k[0, 1] * yd + k[0, 2], k[1, 1] * yd + k[1, 2]], axis=-1)


def calibration(cam, *cid):
    """The camera matrix, distortion and 4 x 4 camera-to-device pose a camera reports (X2: pass
    the CameraID)."""
    ok, k, d = cam.GetIntrinsicParameters(*cid)
    ok2, pose = cam.GetExtrinsicMatrix(*cid)
    assert ok and ok2
    return np.array(k).reshape(3, 3), np.array(d), np.array(pose).reshape(4, 4)


def project_device(cam, points, *cid):
    """Pixels of points given in the device's frame, as the camera's reported calibration sees them."""
    k, d, pose = calibration(cam, *cid)
    local = (np.asarray(points, float) - pose[:3, 3]) @ pose[:3, :3]
    return project(k, d, local)
