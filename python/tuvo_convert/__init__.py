"""Conversions of PyTUVO results into the arrays and objects other libraries take: valid points with
their colours and normals, calibration as matrices, a camera's captures as a dict of arrays, and
Open3D point clouds and RGB-D images (Open3D is optional: only those functions need it)."""
from .arrays import ValidPoints, image_rgb, valid_points
from .calibration import Intrinsics, extrinsic_matrix, extrinsics, intrinsic_matrix, intrinsics
from .captures import capture_arrays
from .errors import SdkError
from .open3d_io import open3d_intrinsic, to_open3d_point_cloud, to_open3d_rgbd

__all__ = ["SdkError", "ValidPoints", "Intrinsics", "valid_points", "image_rgb", "intrinsic_matrix",
           "extrinsic_matrix", "intrinsics", "extrinsics", "capture_arrays", "to_open3d_point_cloud",
           "to_open3d_rgbd", "open3d_intrinsic"]
