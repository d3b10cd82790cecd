"""Open3D point clouds, RGB-D images and camera intrinsics from captures (Open3D is optional)."""
import importlib
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T

from .arrays import ImageLike, NormalsLike, PointsLike, float_array, image_rgb, valid_points
from .calibration import Camera, intrinsics
from .errors import check, last_error

DepthLike = Union[T.DepthMap, NDArray[np.float64]]


def _open3d() -> Any:
    """The open3d module (untyped: its objects are Any to type checkers). ImportError saying
    whether Open3D is missing or installed but failing to import, and why."""
    try:
        return importlib.import_module("open3d")
    except ModuleNotFoundError as e:
        if e.name == "open3d":
            raise ImportError("this conversion needs the Open3D package, which is not installed "
                              "(pip install open3d)") from e
        raise _broken(e) from e
    except Exception as e:  # noqa: BLE001 - whatever its import raises, say it
        raise _broken(e) from e


def _broken(e: BaseException) -> ImportError:
    reason = str(e) or type(e).__name__
    return ImportError("this conversion needs the Open3D package, which is installed but fails to import: "
                       "%s: %s" % (type(e).__name__, reason))


def to_open3d_point_cloud(point_map: PointsLike, image: Optional[ImageLike] = None, *,
                          normals: NormalsLike = False) -> Any:
    """An open3d.geometry.PointCloud of the valid points (see valid_points), in the point map's unit, with
    the image's colours (as 0-1 floats) and the normals where asked for."""
    o3d = _open3d()
    found = valid_points(point_map, image, normals=normals)
    cloud = o3d.geometry.PointCloud()
    cloud.points = o3d.utility.Vector3dVector(found.points)
    if found.colours is not None:
        cloud.colors = o3d.utility.Vector3dVector(found.colours.astype(np.float64) / 255.0)
    if found.normals is not None:
        cloud.normals = o3d.utility.Vector3dVector(found.normals)
    return cloud


def depth_view(depth: DepthLike) -> NDArray[np.float64]:
    """The (rows, cols) float64 depth (millimetres) of a DepthMap (a view of SDK memory) or an array."""
    array = float_array(depth, T.DepthMap, "depth", "a PyTUVO.DepthMap", "the depth map is not valid (taken before a capture)")
    if array.ndim != 2:
        raise ValueError("depth must have the shape (rows, cols), not %s" % (array.shape,))
    return array


def to_open3d_rgbd(depth: DepthLike, image: ImageLike, *, depth_trunc_mm: float = 1e6,
                   convert_rgb_to_intensity: bool = False) -> Any:
    """An open3d.geometry.RGBDImage of a capture's depth (millimetres; NaN, negative and depths beyond
    `depth_trunc_mm` become 0, which Open3D reads as no depth) and its image (as RGB). Open3D holds
    the depth in metres."""
    o3d = _open3d()
    if not depth_trunc_mm > 0:
        raise ValueError("depth_trunc_mm must be a positive number")
    z = depth_view(depth)
    rgb = image_rgb(image)
    if rgb.shape[:2] != z.shape:
        raise ValueError("the image is %d x %d pixels, the depth map %d x %d" % (
            rgb.shape[1], rgb.shape[0], z.shape[1], z.shape[0]))
    with np.errstate(invalid="ignore"):
        usable = np.isfinite(z) & (z > 0) & (z <= depth_trunc_mm)
    millimetres = np.where(usable, z, 0.0).astype(np.float32)
    return o3d.geometry.RGBDImage.create_from_color_and_depth(
        o3d.geometry.Image(rgb), o3d.geometry.Image(millimetres), depth_scale=1000.0,
        depth_trunc=float(depth_trunc_mm) / 1000.0, convert_rgb_to_intensity=convert_rgb_to_intensity)


def open3d_intrinsic(camera: Camera, camera_id: Optional[T.CameraID] = None) -> Any:
    """An open3d.camera.PinholeCameraIntrinsic of an X1, or of camera `camera_id` of an X2, at the camera's
    resolution. Open3D's pinhole model has no distortion: it is left out."""
    o3d = _open3d()
    k = intrinsics(camera, camera_id).matrix
    before = last_error()
    ok, size = camera.GetCameraResolution()
    check(ok, "GetCameraResolution", before)
    return o3d.camera.PinholeCameraIntrinsic(int(size.width), int(size.height), float(k[0, 0]), float(k[1, 1]),
                                             float(k[0, 2]), float(k[1, 2]))


__all__ = ["to_open3d_point_cloud", "to_open3d_rgbd", "open3d_intrinsic", "depth_view"]
