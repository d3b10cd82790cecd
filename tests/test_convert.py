"""The tuvo_convert package: valid points, calibration matrices, captures as arrays and Open3D objects."""
import subprocess
import sys

import numpy as np
import pytest

import PyTUVO as T
import tuvo_sim
import tuvo_convert as C


def x1_capture(cam, **options):
    opts = T.X1_CaptureOptions()
    for key, value in options.items():
        setattr(opts, key, value)
    assert cam.Capture(opts), T.GetLastErrorMessage()
    return cam


@pytest.fixture
def x1_colour(gige_device):
    """An X1 on the GigE device's colour camera."""
    cam = T.X1.Create(gige_device, T.CameraID_Left)
    assert cam.Open(), T.GetLastErrorMessage()
    yield x1_capture(cam)
    T.X1.Destroy(cam)


@pytest.fixture
def x2_captured(x2):
    opts = T.X2_CaptureOptions()
    opts.calc_normal = True
    assert x2.Capture(opts), T.GetLastErrorMessage()
    return x2


def made_point_map(points, normals=None):
    """An SDK point map holding `points` (and `normals`), made through the public interface."""
    rows, cols = points.shape[:2]
    size = T.Size()
    size.width, size.height = cols, rows
    pm = T.PointMapCreate(T.PointsNormals if normals is not None else T.PointsOnly, size)
    assert pm.IsValid(), T.GetLastErrorMessage()
    np.asarray(pm)[...] = points
    if normals is not None:
        np.asarray(pm.GetNormalDataPtr())[...] = normals
    return pm


def made_image(kind, pixels):
    size = T.Size()
    size.width, size.height = pixels.shape[1], pixels.shape[0]
    image = T.ImageCreate(kind, size)
    assert image.IsValid(), T.GetLastErrorMessage()
    np.asarray(image)[...] = pixels
    return image


# ---- valid points ----

def test_valid_points_of_a_capture_agree_with_the_views(captured):
    pm, image = captured.GetPointMap(), captured.GetImage()
    try:
        raw, grey = np.asarray(pm), np.asarray(image)
        mask = np.isfinite(raw).all(axis=2)
        assert 0 < mask.sum() < mask.size  # the scene has shadows: some points are missing
        found = C.valid_points(pm, image)
        assert found.points.dtype == np.float64 and found.points.shape == (mask.sum(), 3)
        assert np.isfinite(found.points).all()
        np.testing.assert_array_equal(found.points, raw[mask])
        assert found.pixels.dtype == np.int64 and found.pixels.shape == (mask.sum(), 2)
        np.testing.assert_array_equal(raw[found.pixels[:, 0], found.pixels[:, 1]], found.points)
        # A grey image gives its grey value in all three channels of the point's pixel.
        assert found.colours is not None and found.colours.dtype == np.uint8 and found.colours.shape == (mask.sum(), 3)
        for channel in range(3):
            np.testing.assert_array_equal(found.colours[:, channel], grey[mask])
        assert found.normals is None
        # Copies: they outlive the SDK objects.
        T.PointMap.Destroy(pm)
        assert np.isfinite(found.points).all()
    finally:
        T.PointMap.Destroy(pm)
        T.Image.Destroy(image)


def test_invalid_points_are_dropped_with_their_colours_and_normals(sdk):
    rows, cols = 4, 5
    points = np.arange(rows * cols * 3, dtype=np.float64).reshape(rows, cols, 3) + 1
    normals = -points
    points[0, 1, 0] = np.nan      # one coordinate missing is enough
    points[1, 2, 2] = np.inf
    points[2, 0, :] = np.nan
    points[3, 4, 1] = -np.inf
    colours = np.zeros((rows, cols, 3), np.uint8)
    colours[..., 0] = np.arange(rows * cols).reshape(rows, cols)  # each pixel's colour names it
    colours[..., 2] = 200
    pm = made_point_map(points, normals)
    try:
        found = C.valid_points(pm, colours, normals=True)
        dropped = {(0, 1), (1, 2), (2, 0), (3, 4)}
        kept = [(r, c) for r in range(rows) for c in range(cols) if (r, c) not in dropped]
        assert [tuple(p) for p in found.pixels] == kept
        np.testing.assert_array_equal(found.points, [points[r, c] for r, c in kept])
        np.testing.assert_array_equal(found.normals, [normals[r, c] for r, c in kept])
        np.testing.assert_array_equal(found.colours[:, 0], [r * cols + c for r, c in kept])
        # The same from plain arrays.
        plain = C.valid_points(points, colours, normals=normals)
        for a, b in zip(plain, found):
            np.testing.assert_array_equal(a, b)
    finally:
        T.PointMap.Destroy(pm)


def test_a_capture_without_valid_points_gives_empty_arrays(captured):
    raw = np.asarray(captured.GetPointMap())
    empty = np.full_like(raw, np.nan)
    found = C.valid_points(empty, np.zeros(raw.shape[:2], np.uint8))
    assert found.points.shape == (0, 3) and found.points.dtype == np.float64
    assert found.colours.shape == (0, 3) and found.colours.dtype == np.uint8
    assert found.pixels.shape == (0, 2)


def test_normals_of_a_capture(x1):
    x1_capture(x1, calc_normal=True)
    pm = x1.GetPointMap()
    try:
        mask = np.isfinite(np.asarray(pm)).all(axis=2)
        found = C.valid_points(pm, normals=True)
        np.testing.assert_array_equal(found.normals, np.asarray(pm.GetNormalDataPtr())[mask])
        assert found.normals.shape == found.points.shape and found.normals.dtype == np.float64
        # Unit normals facing the camera (z towards it is negative).
        usable = np.isfinite(found.normals).all(axis=1)
        assert usable.mean() > 0.9
        np.testing.assert_allclose(np.linalg.norm(found.normals[usable], axis=1), 1, atol=1e-6)
        assert (np.einsum("ij,ij->i", found.normals[usable], found.points[usable]) < 0).mean() > 0.99
    finally:
        T.PointMap.Destroy(pm)


def test_normals_asked_of_a_capture_without_them(captured):
    pm = captured.GetPointMap()
    try:
        with pytest.raises(ValueError, match="calc_normal"):
            C.valid_points(pm, normals=True)
    finally:
        T.PointMap.Destroy(pm)


@pytest.mark.parametrize("kind", [T.Mono8, T.RGB8, T.BGR8])
def test_results_are_copies_of_sdk_memory(captured, kind):
    """Every array the package returns stays what it was after the SDK objects are destroyed, and
    writing into it changes nothing in the SDK."""
    pixels = np.arange(3 * 4 * 3, dtype=np.uint8).reshape(3, 4, 3)
    image = made_image(kind, pixels[..., 0] if kind == T.Mono8 else pixels)
    pm = made_point_map(np.ones((3, 4, 3)), normals=np.ones((3, 4, 3)))
    view = np.asarray(image)
    results = {"image_rgb": C.image_rgb(image), "image_rgb of an array": C.image_rgb(view)}
    results.update(("valid_points." + k, v) for k, v in C.valid_points(pm, image, normals=True)._asdict().items())
    results.update(("capture_arrays." + k, v) for k, v in C.capture_arrays(captured).items())
    results["intrinsics"], results["extrinsics"] = C.intrinsics(captured).matrix, C.extrinsics(captured)
    sdk_views = [view, np.asarray(pm), np.asarray(pm.GetNormalDataPtr()), np.asarray(captured.GetDepthMap()),
                 np.asarray(captured.GetConfidenceMap())]
    shared = [name for name, array in results.items() if any(np.shares_memory(array, v) for v in sdk_views)]
    assert shared == []
    before = C.image_rgb(image).copy()
    kept = C.image_rgb(image)
    T.Image.Destroy(image)
    other = made_image(kind, 255 - (pixels[..., 0] if kind == T.Mono8 else pixels))  # may reuse its memory
    try:
        np.testing.assert_array_equal(kept, before)
    finally:
        T.Image.Destroy(other)
        T.PointMap.Destroy(pm)


@pytest.mark.parametrize("kind, order", [(T.RGB8, [0, 1, 2]), (T.BGR8, [2, 1, 0])])
def test_colour_images_give_red_green_blue(sdk, kind, order):
    pixels = np.zeros((3, 4, 3), np.uint8)
    pixels[..., 0], pixels[..., 1], pixels[..., 2] = 10, 20, 30
    image = made_image(kind, pixels)
    try:
        points = np.ones((3, 4, 3))
        found = C.valid_points(points, image)
        np.testing.assert_array_equal(found.colours, np.tile(np.array([10, 20, 30])[order], (12, 1)))
        np.testing.assert_array_equal(C.image_rgb(image), pixels[..., order])
    finally:
        T.Image.Destroy(image)


def test_colour_camera_capture(x1_colour):
    pm, image = x1_colour.GetPointMap(), x1_colour.GetImage()
    try:
        assert image.GetType() in (T.RGB8, T.BGR8)
        found = C.valid_points(pm, image)
        raw = np.asarray(image)
        rgb = raw if image.GetType() == T.RGB8 else raw[..., ::-1]
        np.testing.assert_array_equal(found.colours, rgb[np.isfinite(np.asarray(pm)).all(axis=2)])
        assert len(np.unique(found.colours, axis=0)) > 100  # a real colour picture, not one value
    finally:
        T.PointMap.Destroy(pm)
        T.Image.Destroy(image)


def test_wrong_inputs_to_valid_points(captured, gige_device):
    pm = captured.GetPointMap()
    raw = np.array(pm)
    other = T.X1.Create(gige_device, T.CameraID_Left)
    try:
        assert other.Open() and other.Capture(T.X1_CaptureOptions())
        bigger = other.GetImage()
        with pytest.raises(ValueError, match="1600 x 1200 pixels, the point map 1280 x 1024"):
            C.valid_points(pm, bigger)
        T.Image.Destroy(bigger)
        cases = [
            ((raw.tolist(),), {}, TypeError, "PointMap or a numpy array"),
            ((np.zeros(raw.shape, np.int32),), {}, TypeError, "floating-point"),
            ((raw[..., :2],), {}, ValueError, r"\(rows, cols, 3\)"),
            ((raw[0],), {}, ValueError, r"\(rows, cols, 3\)"),
            ((raw, np.zeros((1024, 1280), np.float64)), {}, TypeError, "uint8"),
            ((raw, np.zeros((1024, 1280, 4), np.uint8)), {}, ValueError, r"\(rows, cols\) or \(rows, cols, 3\)"),
            ((raw, np.zeros((1280, 1024), np.uint8)), {}, ValueError, "1024 x 1280 pixels"),
            ((raw, "picture.png"), {}, TypeError, "PyTUVO.Image or a numpy array"),
            ((raw,), {"normals": True}, TypeError, "pass the normals array"),
            ((raw,), {"normals": raw[:10]}, ValueError, "the normals are"),
            ((raw,), {"normals": 1.0}, TypeError, "NormalData or a numpy array"),
        ]
        for args, kwargs, error, message in cases:
            with pytest.raises(error, match=message):
                C.valid_points(*args, **kwargs)
        T.PointMap.Destroy(pm)
        with pytest.raises(ValueError, match="not valid"):
            C.valid_points(pm)
        with pytest.raises(ValueError, match="not valid"):
            C.image_rgb(T.Image())
    finally:
        T.PointMap.Destroy(pm)
        T.X1.Destroy(other)


# ---- calibration ----

def project(points, lens):
    """Pixel (column, row) of camera-frame points through the camera matrix and distortion."""
    x, y = points[:, 0] / points[:, 2], points[:, 1] / points[:, 2]
    k1, k2, p1, p2, k3 = lens.distortion
    r2 = x * x + y * y
    radial = 1 + k1 * r2 + k2 * r2 ** 2 + k3 * r2 ** 3
    xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
    uvw = np.stack([xd, yd, np.ones_like(xd)], axis=1) @ lens.matrix.T
    return uvw[:, :2]


def test_intrinsics_project_the_points_onto_their_pixels(truth, captured):
    lens = C.intrinsics(captured)
    assert lens.matrix.shape == (3, 3) and lens.matrix.dtype == np.float64
    assert lens.distortion.shape == (5,) and lens.distortion.dtype == np.float64
    ok, k, d = captured.GetIntrinsicParameters()
    np.testing.assert_array_equal(lens.matrix.ravel(), k)
    np.testing.assert_array_equal(lens.distortion, d)
    np.testing.assert_array_equal(lens.matrix[2], [0, 0, 1])
    assert lens.distortion[0] != 0  # the lenses have a barrel distortion
    pm = captured.GetPointMap()
    try:
        found = C.valid_points(pm)
    finally:
        T.PointMap.Destroy(pm)
    uv = project(found.points, lens)
    error = np.hypot(uv[:, 0] - found.pixels[:, 1], uv[:, 1] - found.pixels[:, 0])
    assert np.median(error) < 0.2, np.median(error)


def test_extrinsics_of_the_x2_cameras(x2):
    left, right = C.extrinsics(x2, T.CameraID_Left), C.extrinsics(x2, T.CameraID_Right)
    for m, cid in ((left, T.CameraID_Left), (right, T.CameraID_Right)):
        assert m.shape == (4, 4) and m.dtype == np.float64
        ok, raw = x2.GetExtrinsicMatrix(cid)
        np.testing.assert_array_equal(m.ravel(), raw)
        np.testing.assert_array_equal(m[3], [0, 0, 0, 1])
        np.testing.assert_allclose(m[:3, :3] @ m[:3, :3].T, np.eye(3), atol=1e-5)
    # The cameras sit the rig's baseline apart.
    baseline = np.linalg.norm(np.linalg.inv(left)[:3, 3] - np.linalg.inv(right)[:3, 3])
    assert 20 < baseline < 1000
    lens = C.intrinsics(x2, T.CameraID_Right)
    ok, k, d = x2.GetIntrinsicParameters(T.CameraID_Right)
    np.testing.assert_array_equal(lens.matrix.ravel(), k)
    x1_matrix = C.extrinsics(x2, T.CameraID_Left)
    np.testing.assert_array_equal(x1_matrix, left)


def test_extrinsics_of_an_x1(x1):
    m = C.extrinsics(x1)
    ok, raw = x1.GetExtrinsicMatrix()
    assert m.shape == (4, 4) and ok
    np.testing.assert_array_equal(m.ravel(), raw)


@pytest.mark.parametrize("op, call", [
    ("X1.GetIntrinsicParameters", lambda cam: C.intrinsics(cam)),
    ("X1.GetExtrinsicMatrix", lambda cam: C.extrinsics(cam)),
])
def test_calibration_the_sdk_refuses(x1, op, call):
    tuvo_sim.fail(op, tuvo_sim.ERROR_FAILED, op + ": no calibration stored")
    with pytest.raises(C.SdkError, match="no calibration stored"):
        call(x1)


def test_calibration_of_wrong_x1_arguments(x1):
    with pytest.raises(TypeError, match="takes no camera_id"):
        C.intrinsics(x1, T.CameraID_Left)
    with pytest.raises(TypeError, match="X1 or X2"):
        C.intrinsics("left")


def test_calibration_of_wrong_x2_arguments(x2):
    with pytest.raises(TypeError, match="needs the camera_id"):
        C.extrinsics(x2)
    with pytest.raises(TypeError, match="needs the camera_id"):
        C.extrinsics(x2, 1)


@pytest.mark.parametrize("fn, values, message", [
    (C.intrinsic_matrix, range(8), "takes 9 numbers, not 8"),
    (C.intrinsic_matrix, [1.0] * 10, "takes 9 numbers, not 10"),
    (C.intrinsic_matrix, [1.0] * 8 + [float("nan")], "finite"),
    (C.extrinsic_matrix, [1.0] * 9, "takes 16 numbers, not 9"),
    (C.extrinsic_matrix, [1.0] * 15 + [float("inf")], "finite"),
])
def test_matrices_of_wrong_numbers(fn, values, message):
    with pytest.raises(ValueError, match=message):
        fn(list(values))


def test_matrices_are_row_by_row():
    np.testing.assert_array_equal(C.intrinsic_matrix(range(9)), [[0, 1, 2], [3, 4, 5], [6, 7, 8]])
    assert C.extrinsic_matrix(range(16))[1, 3] == 7


# ---- captures as arrays ----

def test_x1_capture_arrays(x1):
    x1_capture(x1, calc_normal=True)
    live = tuvo_sim.live("pointmap"), tuvo_sim.live("image")
    arrays = C.capture_arrays(x1)
    assert (tuvo_sim.live("pointmap"), tuvo_sim.live("image")) == live  # left to the camera
    assert set(arrays) == {"points", "normals", "depth", "confidence", "image"}
    shapes = {"points": (1024, 1280, 3), "normals": (1024, 1280, 3), "depth": (1024, 1280),
              "confidence": (1024, 1280), "image": (1024, 1280)}
    for key, shape in shapes.items():
        assert arrays[key].shape == shape, key
        assert arrays[key].dtype == (np.uint8 if key == "image" else np.float64), key
    pm, image = x1.GetPointMap(), x1.GetImage()
    try:
        np.testing.assert_array_equal(arrays["points"], np.asarray(pm))
        np.testing.assert_array_equal(arrays["normals"], np.asarray(pm.GetNormalDataPtr()))
        np.testing.assert_array_equal(arrays["image"], np.asarray(image))
    finally:
        T.PointMap.Destroy(pm)
        T.Image.Destroy(image)
    np.testing.assert_array_equal(arrays["depth"], np.asarray(x1.GetDepthMap()))
    np.testing.assert_array_equal(arrays["confidence"], np.asarray(x1.GetConfidenceMap()))
    # Copies: the next capture does not change them.
    before = arrays["depth"].copy()
    tuvo_sim.set("scene.move_z", 30)
    x1_capture(x1)
    np.testing.assert_array_equal(arrays["depth"], before)
    assert not np.array_equal(np.asarray(x1.GetDepthMap()), before, equal_nan=True)
    assert set(C.capture_arrays(x1, images=False)) == {"points", "depth", "confidence"}


def test_capture_arrays_released(captured):
    live = tuvo_sim.live("pointmap"), tuvo_sim.live("image")
    assert live == (1, 1)
    arrays = C.capture_arrays(captured, release=True)
    assert (tuvo_sim.live("pointmap"), tuvo_sim.live("image")) == (0, 0)
    assert not captured.GetPointMap().IsValid() and not captured.GetImage().IsValid()
    assert np.isfinite(arrays["points"]).any() and arrays["image"].shape == (1024, 1280)
    # The SDK sets no error for a point map already taken; an older one must not stand in for it.
    assert not captured.GetBalanceRange(T.BalanceSelector_Red)[0]  # the left camera is monochrome
    stale = T.GetLastErrorMessage()
    assert stale.startswith("X1.GetBalanceRange")
    with pytest.raises(C.SdkError, match="GetPointMap failed: the camera holds no point map.*release=True") as e:
        C.capture_arrays(captured)
    assert stale not in str(e.value) and e.value.code is None


def test_sdk_errors_are_those_of_the_call_made(x1):
    # A failure that sets its own error after an older one: the new one, with its code.
    assert not x1.GetBalanceRange(T.BalanceSelector_Red)[0]
    tuvo_sim.fail("X1.GetIntrinsicParameters", tuvo_sim.ERROR_FAILED, "X1.GetIntrinsicParameters: no calibration")
    with pytest.raises(C.SdkError, match="^X1.GetIntrinsicParameters: no calibration$") as e:
        C.intrinsics(x1)
    assert e.value.code == tuvo_sim.ERROR_FAILED
    # The same failure twice leaves the SDK's last error as it was: still the call's own.
    with pytest.raises(C.SdkError, match="^X1.GetIntrinsicParameters: no calibration$"):
        C.intrinsics(x1)


def test_x2_capture_arrays(x2_captured):
    arrays = C.capture_arrays(x2_captured)
    assert {"points", "normals", "depth", "confidence", "correspond", "image_left", "image_right"} <= set(arrays)
    assert arrays["correspond"].shape == (1024, 1280, 2) and arrays["correspond"].dtype == np.float64
    np.testing.assert_array_equal(arrays["correspond"], np.asarray(x2_captured.GetCorrespondMap()))
    for name, cid in (("left", T.CameraID_Left), ("right", T.CameraID_Right)):
        image = x2_captured.GetImage(cid)
        try:
            np.testing.assert_array_equal(arrays["image_" + name], np.asarray(image))
        finally:
            T.Image.Destroy(image)
    assert not np.array_equal(arrays["image_left"], arrays["image_right"])


def test_capture_arrays_of_a_colour_camera_are_rgb(x1_colour):
    arrays = C.capture_arrays(x1_colour)
    image = x1_colour.GetImage()
    try:
        np.testing.assert_array_equal(arrays["image"], C.image_rgb(image))
        assert arrays["image"].shape == (1200, 1600, 3)
    finally:
        T.Image.Destroy(image)


def test_capture_arrays_without_a_capture(x1):
    with pytest.raises(C.SdkError):
        C.capture_arrays(x1)


def test_capture_arrays_when_the_sdk_fails(captured):
    tuvo_sim.fail("X1.GetPointMap", tuvo_sim.ERROR_FAILED, "X1.GetPointMap: transfer lost")
    with pytest.raises(C.SdkError, match="transfer lost"):
        C.capture_arrays(captured)
    with pytest.raises(TypeError, match="X1 or X2"):
        C.capture_arrays(captured.GetPointMap())


# ---- Open3D ----

def test_open3d_functions_name_the_missing_package(captured, monkeypatch):
    monkeypatch.setitem(sys.modules, "open3d", None)  # as if it were not installed
    pm = captured.GetPointMap()
    try:
        for call in (lambda: C.to_open3d_point_cloud(pm), lambda: C.open3d_intrinsic(captured),
                     lambda: C.to_open3d_rgbd(captured.GetDepthMap(), captured.GetImage())):
            with pytest.raises(ImportError, match="Open3D package.*pip install open3d"):
                call()
    finally:
        T.PointMap.Destroy(pm)


@pytest.mark.parametrize("raises, reason", [
    ("ImportError('libusb-1.0.so.0: cannot open shared object file: No such file or directory')",
     "ImportError: libusb-1.0.so.0: cannot open shared object file"),
    ("ModuleNotFoundError(\"No module named 'sklearn'\", name='sklearn')", "No module named 'sklearn'"),
    ("AttributeError('module numpy has no attribute float_')", "AttributeError: module numpy has no attribute"),
], ids=["library", "dependency", "other"])
def test_open3d_that_fails_to_import_says_why(captured, tmp_path, monkeypatch, raises, reason):
    (tmp_path / "open3d").mkdir()
    (tmp_path / "open3d" / "__init__.py").write_text("raise " + raises + "\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "open3d", raising=False)
    with pytest.raises(ImportError, match="installed but fails to import: .*" + reason) as e:
        C.open3d_intrinsic(captured)
    assert "not installed" not in str(e.value)


@pytest.fixture
def o3d():
    return pytest.importorskip("open3d")


def test_open3d_point_cloud(o3d, x1):
    x1_capture(x1, calc_normal=True)
    pm, image = x1.GetPointMap(), x1.GetImage()
    try:
        found = C.valid_points(pm, image, normals=True)
        cloud = C.to_open3d_point_cloud(pm, image, normals=True)
    finally:
        T.PointMap.Destroy(pm)
        T.Image.Destroy(image)
    assert isinstance(cloud, o3d.geometry.PointCloud)
    np.testing.assert_array_equal(np.asarray(cloud.points), found.points)
    np.testing.assert_allclose(np.asarray(cloud.colors) * 255, found.colours, atol=1e-9)
    np.testing.assert_array_equal(np.asarray(cloud.normals), found.normals)


def test_open3d_point_cloud_survives_a_file(o3d, captured, tmp_path):
    pm = captured.GetPointMap()
    try:
        cloud = C.to_open3d_point_cloud(pm)
        found = C.valid_points(pm)
    finally:
        T.PointMap.Destroy(pm)
    assert not cloud.has_colors() and not cloud.has_normals()
    name = str(tmp_path / "cloud.ply")
    assert o3d.io.write_point_cloud(name, cloud)
    np.testing.assert_array_equal(np.asarray(o3d.io.read_point_cloud(name).points), found.points)


def test_open3d_rgbd_back_to_points(o3d, truth, captured):
    depth = np.array(captured.GetDepthMap())
    image = captured.GetImage()
    try:
        rgbd = C.to_open3d_rgbd(captured.GetDepthMap(), image)
        grey = np.asarray(image).copy()
    finally:
        T.Image.Destroy(image)
    valid = np.isfinite(depth) & (depth > 0)
    metres = np.asarray(rgbd.depth)
    assert metres.shape == depth.shape and metres.dtype == np.float32
    np.testing.assert_allclose(metres[valid], depth[valid] / 1000, rtol=1e-6)
    assert (metres[~valid] == 0).all()
    np.testing.assert_array_equal(np.asarray(rgbd.color), np.repeat(grey[..., None], 3, axis=2))
    # Back-projected through the pinhole model: Open3D's points are the capture's up to the lens
    # distortion, which the pinhole model leaves out.
    intrinsic = C.open3d_intrinsic(captured)
    assert (intrinsic.width, intrinsic.height) == (1280, 1024)
    np.testing.assert_allclose(intrinsic.intrinsic_matrix, C.intrinsics(captured).matrix)
    cloud = o3d.geometry.PointCloud.create_from_rgbd_image(rgbd, intrinsic)
    ours = C.valid_points(np.array(captured.GetPointMap()))
    back = np.asarray(cloud.points) * 1000
    assert len(back) == valid.sum()
    np.testing.assert_allclose(np.sort(back[:, 2]), np.sort(depth[valid]), rtol=1e-6)
    assert abs(np.median(back[:, 0]) - np.median(ours.points[:, 0])) < 0.01 * np.median(ours.points[:, 2])


def test_open3d_rgbd_truncates_and_checks(o3d, captured):
    depth = np.array(captured.GetDepthMap())
    grey = np.zeros(depth.shape, np.uint8)
    near = float(np.nanpercentile(depth, 50))
    metres = np.asarray(C.to_open3d_rgbd(depth, grey, depth_trunc_mm=near).depth)
    assert metres.max() <= near / 1000 + 1e-6 and (metres > 0).sum() < np.isfinite(depth).sum()
    for args, kwargs, error, message in [
        ((depth, grey[:-1]), {}, ValueError, "the depth map"),
        ((np.zeros(depth.shape, np.int64), grey), {}, TypeError, "floating-point"),
        ((depth[None], grey), {}, ValueError, r"\(rows, cols\)"),
        ((depth, grey), {"depth_trunc_mm": float("nan")}, ValueError, "positive"),
        ((depth, grey), {"depth_trunc_mm": 0}, ValueError, "positive"),
        ((depth.tolist(), grey), {}, TypeError, "DepthMap or a numpy array"),
    ]:
        with pytest.raises(error, match=message):
            C.to_open3d_rgbd(*args, **kwargs)


def test_open3d_intrinsic_of_an_x2_camera(o3d, x2):
    intrinsic = C.open3d_intrinsic(x2, T.CameraID_Right)
    np.testing.assert_allclose(intrinsic.intrinsic_matrix, C.intrinsics(x2, T.CameraID_Right).matrix)


# ---- types ----

def test_the_installed_package_type_checks_strictly(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(
        "import numpy as np\nfrom numpy.typing import NDArray\nimport PyTUVO as T\nimport tuvo_convert as C\n\n"
        "def use(cam: T.X1, pm: T.PointMap, image: T.Image) -> None:\n"
        "    points: NDArray[np.float64] = C.valid_points(pm, image, normals=True).points\n"
        "    colours = C.valid_points(pm, image).colours\n"
        "    arrays = C.capture_arrays(cam, release=True)\n"
        "    pose: NDArray[np.float64] = C.extrinsics(cam) @ C.intrinsic_matrix([1.0] * 9)[0]\n"
        "    wrong: NDArray[np.uint8] = C.intrinsics(cam).matrix\n")
    def mypy(*what):
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                               str(tmp_path / "cache"), *what], cwd=tmp_path, capture_output=True, text=True)
    run = mypy(str(script))
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    # The one deliberate mistake, and nothing else: the installed package is typed (py.typed).
    assert len(errors) == 1 and "use.py:11:" in errors[0] and "unsignedinteger" in errors[0], run.stdout + run.stderr
    run = mypy("-p", "tuvo_convert")
    assert run.returncode == 0, run.stdout + run.stderr
