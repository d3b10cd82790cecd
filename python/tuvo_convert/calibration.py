"""A camera's calibration as matrices: intrinsics 3x3 with the distortion, extrinsics 4x4."""
from typing import NamedTuple, Optional, Sequence, Union

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T

from .errors import check, last_error

Camera = Union[T.X1, T.X2]


class Intrinsics(NamedTuple):
    """A camera's lens: the camera matrix and the distortion coefficients."""

    matrix: NDArray[np.float64]
    """3x3 [[fx, 0, cx], [0, fy, cy], [0, 0, 1]] in pixels."""
    distortion: NDArray[np.float64]
    """(5,) k1, k2, p1, p2, k3 (the order OpenCV uses)."""


def _matrix(values: Sequence[float], n: int, what: str) -> NDArray[np.float64]:
    array = np.asarray(values, dtype=np.float64)
    if array.size != n * n:
        raise ValueError("%s takes %d numbers, not %d" % (what, n * n, array.size))
    if not np.all(np.isfinite(array)):
        raise ValueError("%s must be finite numbers" % what)
    return array.reshape(n, n).copy()


def intrinsic_matrix(values: Sequence[float]) -> NDArray[np.float64]:
    """The 3x3 camera matrix of the 9 numbers GetIntrinsicParameters gives (row by row)."""
    return _matrix(values, 3, "an intrinsic matrix")


def extrinsic_matrix(values: Sequence[float]) -> NDArray[np.float64]:
    """The 4x4 matrix of the 16 numbers GetExtrinsicMatrix gives (row by row)."""
    return _matrix(values, 4, "an extrinsic matrix")


def _camera_args(camera: Camera, camera_id: Optional[T.CameraID]) -> "tuple[T.CameraID, ...]":
    if isinstance(camera, T.X1):
        if camera_id is not None:
            raise TypeError("an X1 is one camera: it takes no camera_id")
        return ()
    if isinstance(camera, T.X2):  # pyright: ignore[reportUnnecessaryIsInstance] (callers may be untyped)
        if not isinstance(camera_id, T.CameraID):
            raise TypeError("an X2 needs the camera_id of one of its cameras (CameraID_Left, _Right, _Extra)")
        return (camera_id,)
    raise TypeError("camera must be a PyTUVO.X1 or X2, not %s" % type(camera).__name__)


def intrinsics(camera: Camera, camera_id: Optional[T.CameraID] = None) -> Intrinsics:
    """The camera matrix and distortion of an X1, or of camera `camera_id` of an X2. SdkError (with
    the SDK's message) when the SDK has none."""
    args = _camera_args(camera, camera_id)
    before = last_error()
    ok, k, d = camera.GetIntrinsicParameters(*args)
    check(ok, "GetIntrinsicParameters", before, "the SDK has no lens calibration for this camera")
    distortion = np.asarray(d, dtype=np.float64)
    if distortion.shape != (5,):
        raise ValueError("the SDK gave %d distortion coefficients, not 5" % distortion.size)
    return Intrinsics(matrix=intrinsic_matrix(k), distortion=distortion)


def extrinsics(camera: Camera, camera_id: Optional[T.CameraID] = None) -> NDArray[np.float64]:
    """The 4x4 extrinsic matrix of an X1, or of camera `camera_id` of an X2, as the SDK reports it.
    SdkError (with the SDK's message) when the SDK has none."""
    args = _camera_args(camera, camera_id)
    before = last_error()
    ok, e = camera.GetExtrinsicMatrix(*args)
    check(ok, "GetExtrinsicMatrix", before, "the SDK has no extrinsic calibration for this camera")
    return extrinsic_matrix(e)
