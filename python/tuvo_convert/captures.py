"""A camera's latest capture as a dict of numpy arrays, copied out of SDK memory."""
from typing import Any, Dict, Union

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T

from .errors import check, last_error

_NO_POINT_MAP = ("the camera holds no point map: it has made no capture since it was opened, or the point map of its "
                 "last capture was destroyed (PointMap.Destroy, or capture_arrays with release=True); capture again")
_X2_CAMERAS = (("left", T.CameraID_Left), ("right", T.CameraID_Right), ("extra", T.CameraID_Extra))


def capture_arrays(camera: Union[T.X1, T.X2], *, images: bool = True,
                   release: bool = False) -> Dict[str, NDArray[Any]]:
    """The results of the capture just made on `camera` as copies:

    - "points": (rows, cols, 3) float64, NaN where invalid (always there);
    - "normals": (rows, cols, 3) float64, when the capture computed them (calc_normal);
    - "depth", "confidence": (rows, cols) float64; "correspond" (X2): (rows, cols, 2) float64;
      each when the SDK has it;
    - with `images`: "image" (X1) or "image_left", "image_right", "image_extra" (X2, the cameras
      that gave one) as uint8, (rows, cols) grey or (rows, cols, 3) in red, green, blue order.

    The point map and images stay the camera's results, as GetPointMap and GetImage leave them;
    with `release` they are destroyed once copied (the camera then has none until the next
    capture). SdkError when the camera has no point map: the SDK's reason, or where it gives none,
    what that means."""
    if not isinstance(camera, (T.X1, T.X2)):  # pyright: ignore[reportUnnecessaryIsInstance] (callers may be untyped)
        raise TypeError("camera must be a PyTUVO.X1 or X2, not %s" % type(camera).__name__)
    out = capture_numbers(camera, release=release)
    if images:
        if isinstance(camera, T.X2):
            for name, cid in _X2_CAMERAS:
                _take_image(out, "image_" + name, camera.GetImage(cid), release)
        else:
            _take_image(out, "image", camera.GetImage(), release)
    return out


def capture_numbers(camera: Union[T.X1, T.X2], *, views: bool = False,
                    release: bool = False) -> Dict[str, NDArray[Any]]:
    """The numbers of capture_arrays: "points", and "normals", "depth", "confidence" and "correspond"
    where the SDK has them. With `views` the points and normals are views of the SDK's memory, valid
    while the point map lives (so not with `release`); the maps, which the camera refreshes in place
    at its next capture, are always copies."""
    out: Dict[str, NDArray[Any]] = {}
    before = last_error()
    point_map = camera.GetPointMap()
    check(point_map.IsValid(), "GetPointMap", before, _NO_POINT_MAP)
    take = np.asarray if views and not release else np.array
    try:
        out["points"] = take(point_map, dtype=np.float64)
        normals = point_map.GetNormalDataPtr()
        if normals.IsValid():
            out["normals"] = take(normals, dtype=np.float64)
    finally:
        if release:
            T.PointMap.Destroy(point_map)
    maps: Dict[str, Union[T.DepthMap, T.ConfidenceMap, T.CorrespondMap]] = {
        "depth": camera.GetDepthMap(), "confidence": camera.GetConfidenceMap()}
    if isinstance(camera, T.X2):
        maps["correspond"] = camera.GetCorrespondMap()
    for key, m in maps.items():
        if m.IsValid():
            out[key] = np.array(m, dtype=np.float64)
    return out


def _take_image(out: Dict[str, NDArray[Any]], key: str, image: T.Image, release: bool) -> None:
    if not image.IsValid():
        return
    try:
        pixels: NDArray[np.uint8] = np.array(image, dtype=np.uint8)
        if image.GetType() == T.BGR8:
            pixels = np.ascontiguousarray(pixels[..., ::-1])
        out[key] = pixels
    finally:
        if release:
            T.Image.Destroy(image)
