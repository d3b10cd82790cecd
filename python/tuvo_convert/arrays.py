"""Valid points of a point map as flat (N, 3) arrays, with the colours and normals of the same pixels."""
from typing import Any, NamedTuple, Optional, Union, cast

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T

PointsLike = Union[T.PointMap, NDArray[np.float64]]
ImageLike = Union[T.Image, NDArray[np.uint8]]
NormalsLike = Union[bool, T.NormalData, NDArray[np.float64]]


class ValidPoints(NamedTuple):
    """The valid points of a point map, row by row. Row i of every array belongs to the same pixel."""

    points: NDArray[np.float64]
    """(N, 3) x, y, z in the point map's unit (millimetres as captured)."""
    colours: Optional[NDArray[np.uint8]]
    """(N, 3) red, green, blue of each point's pixel; None without an image."""
    normals: Optional[NDArray[np.float64]]
    """(N, 3) the normal of each point (NaN where the SDK has none); None unless asked for."""
    pixels: NDArray[np.int64]
    """(N, 2) row and column of each point's pixel."""


def points_view(point_map: PointsLike) -> NDArray[np.float64]:
    """The (rows, cols, 3) float64 points of a PointMap (a view of SDK memory) or of an array."""
    array = float_array(point_map, T.PointMap, "points", "a PyTUVO.PointMap",
                        "the point map is not valid (destroyed, or taken before a capture)")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError("points must have the shape (rows, cols, 3), not %s" % (array.shape,))
    return array


def image_rgb(image: ImageLike) -> NDArray[np.uint8]:
    """An image as (rows, cols, 3) uint8 red, green, blue: grey repeated in each channel, BGR8
    reordered. An array is taken as grey when (rows, cols) and as RGB when (rows, cols, 3). The
    result is a copy: it stays valid after the image is destroyed."""
    if isinstance(image, T.Image):
        if not image.IsValid():
            raise ValueError("the image is not valid (destroyed, or taken before a capture)")
        kind = image.GetType()
        pixels: NDArray[np.uint8] = np.asarray(image, dtype=np.uint8)
        if kind == T.BGR8:
            pixels = pixels[..., ::-1]
        elif kind not in (T.Mono8, T.RGB8):
            raise ValueError("images of type %s have no RGB form" % T.ImageTypeToString(kind))
    elif isinstance(image, np.ndarray):  # pyright: ignore[reportUnnecessaryIsInstance] (callers may be untyped)
        if image.dtype != np.uint8:
            raise TypeError("image pixels must be uint8, not %s" % image.dtype)
        pixels = image
    else:
        raise TypeError("an image must be a PyTUVO.Image or a numpy array, not %s" % type(image).__name__)
    if pixels.ndim == 2:
        return np.repeat(pixels[:, :, None], 3, axis=2)  # a new array
    if pixels.ndim != 3 or pixels.shape[2] != 3:
        raise ValueError("an image must have the shape (rows, cols) or (rows, cols, 3), not %s" % (pixels.shape,))
    # A copy, never a view of the SDK's memory or of the caller's array.
    copied: NDArray[np.uint8] = np.array(pixels, dtype=np.uint8, order="C")
    return copied


def normals_view(normals: Union[T.NormalData, NDArray[np.float64]]) -> NDArray[np.float64]:
    """The (rows, cols, 3) float64 normals of a NormalData (a view of SDK memory) or of an array."""
    array = float_array(normals, T.NormalData, "normals", "PyTUVO.NormalData",
                        "the point map has no normals (capture with calc_normal = True)")
    if array.ndim != 3 or array.shape[2] != 3:
        raise ValueError("normals must have the shape (rows, cols, 3), not %s" % (array.shape,))
    return array


def valid_points(point_map: PointsLike, image: Optional[ImageLike] = None, *,
                 normals: NormalsLike = False) -> ValidPoints:
    """The points of `point_map` with three finite coordinates, as an (N, 3) float64 array in row
    order; invalid (NaN) points are dropped. With `image` (the capture's image, of the same size)
    the colour of each point's pixel comes along (uint8 RGB); with `normals` True the point map's
    normals (or those of the NormalData or array given) do. The arrays are copies: they stay valid
    after the SDK objects are destroyed."""
    points = points_view(point_map)
    rows, cols = points.shape[:2]
    mask = np.isfinite(points).all(axis=2)
    colours = None
    if image is not None:
        rgb = image_rgb(image)
        if rgb.shape[:2] != (rows, cols):
            raise ValueError("the image is %d x %d pixels, the point map %d x %d" % (
                rgb.shape[1], rgb.shape[0], cols, rows))
        colours = rgb[mask]
    normal_array = None
    if normals is True:
        if not isinstance(point_map, T.PointMap):
            raise TypeError("normals=True takes the normals of a PyTUVO.PointMap; pass the normals array instead")
        normal_array = normals_view(point_map.GetNormalDataPtr())
    elif normals is not False:
        normal_array = normals_view(normals)
    if normal_array is not None and normal_array.shape != points.shape:
        raise ValueError("the normals are %s, the points %s" % (normal_array.shape, points.shape))
    where = np.nonzero(mask)
    return ValidPoints(points=points[mask], colours=colours,
                       normals=None if normal_array is None else normal_array[mask],
                       pixels=np.stack(where, axis=1).astype(np.int64))


def float_array(value: Any, sdk_type: type, what: str, sdk_name: str, invalid: str) -> NDArray[np.float64]:
    """The float64 array of an SDK object of `sdk_type` (a view of SDK memory; ValueError `invalid`
    when it holds nothing) or of a floating-point numpy array."""
    if isinstance(value, sdk_type):
        sdk_object: Any = value
        if not sdk_object.IsValid():
            raise ValueError(invalid)
        return np.asarray(sdk_object, dtype=np.float64)
    if isinstance(value, np.ndarray):
        array = cast("NDArray[Any]", value)
        if array.dtype.kind != "f":
            raise TypeError("%s must be floating-point numbers, not %s" % (what, array.dtype))
        return np.asarray(array, dtype=np.float64)
    raise TypeError("%s must be %s or a numpy array, not %s" % (what, sdk_name, type(value).__name__))
