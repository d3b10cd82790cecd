"""Calibration and measurement tools: markers, two-camera transform, compensator, external camera,
point-cloud transform and the accuracy test."""
import threading

import numpy as np
import pytest

import optics
import PyTUVO as T
import tuvo_sim

pytestmark = pytest.mark.smoke

SERIAL = "VS3-000101"


def members(cls):
    return [n for n in cls.__dict__ if not n.startswith("_")]


def test_records():
    t, m = T.CodedCircleMarkerType(), T.CodedCircleMarker()
    assert (t.N, t.r1_to_r0_ratio, t.r2_to_r0_ratio) == (12, 2.0, 3.0)
    assert (m.x, m.y, m.code) == (0.0, 0.0, 0)
    assert members(T.CodedCircleMarkerType) == ["N", "r1_to_r0_ratio", "r2_to_r0_ratio"]
    assert members(T.CodedCircleMarker) == ["x", "y", "code"]
    assert members(T.Compensator_FixedMarkers) == ["Initialize", "Update", "Apply"]


def truth_pixels(cam, serial=SERIAL):
    truth = tuvo_sim.marker_truth(serial)
    pixels = optics.project_device(cam, [p for _, p in truth])
    return {code: uv for (code, _), uv in zip(truth, pixels)}


@pytest.mark.parametrize("camid", [T.CameraID_Left, T.CameraID_Right, T.CameraID_Extra])
def test_detection_on_rendered_images(usb_device, camid):
    cam = T.X1.Create(usb_device, camid)
    assert cam.Open() and cam.Capture2D()
    img = cam.GetImage()
    found = T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType())
    truth = truth_pixels(cam)
    assert sorted(m.code for m in found) == sorted(truth)
    for m in found:
        assert np.hypot(m.x - truth[m.code][0], m.y - truth[m.code][1]) < 0.3
    # The array form agrees, in every array flavour.
    pixels = np.asarray(img)
    for arr in (pixels, pixels.astype(np.float64), pixels[..., :1] if pixels.ndim == 3 else pixels[..., None]):
        again = T.DetectCodedCircleMarker(arr, T.CodedCircleMarkerType())
        assert sorted(m.code for m in again) == sorted(truth)
    T.X1.Destroy(cam)


def test_detection_with_noise_and_occlusion(x1):
    o = T.X1_CaptureOptions()
    o.gain_2d = 9.0  # brighter and noisier
    assert x1.Capture2D(o)
    pixels = np.array(x1.GetImage())
    truth = truth_pixels(x1)
    rng = np.random.default_rng(3)
    noisy = np.clip(pixels + rng.normal(0, 6, pixels.shape), 0, 255).astype(np.uint8)
    code, (u, v) = sorted(truth.items())[0]
    noisy[int(v) - 40:int(v) + 40, int(u) - 40:int(u) + 40] = 128  # hide one marker
    found = {m.code: m for m in T.DetectCodedCircleMarker(noisy, T.CodedCircleMarkerType())}
    assert set(found) == set(truth) - {code}
    for c, m in found.items():
        assert np.hypot(m.x - truth[c][0], m.y - truth[c][1]) < 0.3


def draw_marker(img, cx, cy, r0, pattern, n=12, turn=0.0):
    yy, xx = np.mgrid[0:img.shape[0], 0:img.shape[1]]
    # 4 x 4 supersampling for clean edges
    acc = np.zeros(img.shape, dtype=float)
    for sy in range(4):
        for sx in range(4):
            dx = xx + (sx + 0.5) / 4 - 0.5 - cx
            dy = -(yy + (sy + 0.5) / 4 - 0.5 - cy)  # viewer coordinates: y up
            r = np.hypot(dx, dy)
            a = (np.arctan2(dy, dx) - turn) % (2 * np.pi)
            sector = (a / (2 * np.pi / n)).astype(int) % n
            ink = (r <= r0) | ((r >= 2 * r0) & (r <= 3 * r0) & (((pattern >> sector) & 1) == 1))
            acc += ink
    img[...] = np.where(acc > 0, 255 - acc / 16 * 235, img).astype(np.uint8)


def smallest_rotation(p, n=12):
    return min(((p >> s) | (p << (n - s))) & ((1 << n) - 1) for s in range(n))


@pytest.mark.parametrize("turn", [0.0, 0.4, 2.0])
def test_detection_on_a_drawn_marker(turn):
    img = np.full((200, 300), 240, dtype=np.uint8)
    pattern = 0b000101101011
    draw_marker(img, 140.3, 95.7, 14.0, pattern, turn=turn)
    found = T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType())
    assert len(found) == 1
    assert found[0].code == smallest_rotation(pattern)
    assert abs(found[0].x - 140.3) < 0.1 and abs(found[0].y - 95.7) < 0.1


def test_no_false_markers(x1):
    tuvo_sim.set("scene.board", 0)
    assert x1.Capture2D()
    assert T.DetectCodedCircleMarker(x1.GetImage(), T.CodedCircleMarkerType()) == []
    rng = np.random.default_rng(0)
    assert T.DetectCodedCircleMarker(rng.integers(0, 256, (300, 400), dtype=np.uint8), T.CodedCircleMarkerType()) == []
    plain = np.full((100, 100), 230, np.uint8)
    yy, xx = np.mgrid[0:100, 0:100]
    plain[np.hypot(xx - 50, yy - 50) < 10] = 20  # a dot without a code ring
    assert T.DetectCodedCircleMarker(plain, T.CodedCircleMarkerType()) == []


@pytest.mark.parametrize("shape, kind", [((48, 64), 1), ((48, 64, 1), 1), ((48, 64, 3), 3)])
def test_array_shapes_give_image_types(shape, kind):
    T.DetectCodedCircleMarker(np.zeros(shape, np.uint8), T.CodedCircleMarkerType())
    args = tuvo_sim.last_args("Image.Create")
    assert (args["type"], args["width"], args["height"], args["own_data"]) == (kind, 64, 48, False)
    assert tuvo_sim.live("image") == 0  # the image made on the array's memory is released


@pytest.mark.parametrize("bad", [np.zeros(10, np.uint8), np.zeros((4, 4, 2), np.uint8), np.zeros((2, 2, 2, 2), np.uint8)])
def test_arrays_an_image_cannot_describe(bad):
    with pytest.raises(ValueError):
        T.DetectCodedCircleMarker(bad, T.CodedCircleMarkerType())


def test_an_array_the_sdk_makes_no_image_of_is_an_error_not_an_empty_answer():
    with pytest.raises(ValueError, match=r"the SDK makes no image of this array \(Image.Create: size 4096x4097"):
        T.DetectCodedCircleMarker(np.zeros((4097, 4096), np.uint8), T.CodedCircleMarkerType())
    tuvo_sim.fail("Image.Create", message="no memory for the image")
    with pytest.raises(ValueError, match=r"no image of this array \(no memory for the image\)"):
        T.DetectCodedCircleMarker(np.zeros((48, 64), np.uint8), T.CodedCircleMarkerType())
    assert tuvo_sim.calls("DetectCodedCircleMarker") == 0


def test_non_contiguous_array_is_read_row_by_row(x1):
    x1.Capture2D()
    pixels = np.array(x1.GetImage())
    wide = np.zeros((pixels.shape[0], pixels.shape[1] * 2), np.uint8)
    wide[:, ::2] = pixels
    a = T.DetectCodedCircleMarker(wide[:, ::2], T.CodedCircleMarkerType())
    b = T.DetectCodedCircleMarker(pixels, T.CodedCircleMarkerType())
    assert [(m.x, m.y, m.code) for m in a] == [(m.x, m.y, m.code) for m in b] and len(a) == 12


def test_crafted_counts():
    img = T.ImageCreate(T.Mono8, T.Size(32, 32))
    tuvo_sim.set("DetectCodedCircleMarker.count", 5)
    found = T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType())
    assert [(m.x, m.y, m.code) for m in found] == [(i, 2 * i, 100 + i) for i in range(5)]
    tuvo_sim.set("DetectCodedCircleMarker.count", 5000)
    assert len(T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType())) == 1000
    tuvo_sim.set("DetectCodedCircleMarker.count", -3)
    assert T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType()) == []


def test_detection_refusals():
    with pytest.raises(TypeError):
        T.DetectCodedCircleMarker(None, T.CodedCircleMarkerType())
    with pytest.raises(TypeError):
        T.DetectCodedCircleMarker(T.Image(), None)
    assert T.DetectCodedCircleMarker(T.Image(), T.CodedCircleMarkerType()) == []
    assert T.GetLastErrorMessage() == "DetectCodedCircleMarker: invalid or destroyed image"
    bad = T.CodedCircleMarkerType()
    bad.N = 2
    assert T.DetectCodedCircleMarker(T.ImageCreate(T.Mono8, T.Size(32, 32)), bad) == []


def stereo_pair(usb_device):
    left, right = T.X1.Create(usb_device, T.CameraID_Left), T.X1.Create(usb_device, T.CameraID_Right)
    assert left.Open() and right.Open() and left.Capture() and right.Capture()
    return left, right


def rotation_degrees(a, b):
    c = (np.trace(a.T @ b) - 1) / 2
    return np.degrees(np.arccos(np.clip(c, -1, 1)))


def test_two_camera_transform_recovers_the_rig(usb_device):
    left, right = stereo_pair(usb_device)
    n, R, t = T.GetTwoCameraTransformByCodedCircleMarker(left.GetPointMap(), left.GetImage(), right.GetPointMap(),
                                                         right.GetImage(), T.CodedCircleMarkerType())
    assert n == 12 and R.shape == (3, 3) and t.shape == (3,) and R.dtype == np.float64
    pose = np.array(right.GetExtrinsicMatrix()[1]).reshape(4, 4)  # right camera -> left camera
    expected_r, expected_t = pose[:3, :3].T, -pose[:3, :3].T @ pose[:3, 3]
    assert rotation_degrees(R, expected_r) < 0.1 and np.linalg.norm(t - expected_t) < 0.5
    # The pair is what TransformPointCloud takes: the left points land on the right camera's frame.
    pm = left.GetPointMap().Clone()
    T.TransformPointCloud(R, t, pm)
    moved = np.asarray(pm)
    original = np.asarray(left.GetPointMap())
    v = np.isfinite(original[..., 2])
    np.testing.assert_allclose(moved[v], original[v] @ R.T + t, atol=1e-9)
    assert np.isnan(moved[~v]).all()


def test_two_camera_transform_failure(usb_device):
    left, right = stereo_pair(usb_device)
    blank = T.ImageCreate(T.Mono8, T.Size(1280, 1024))
    n, R, t = T.GetTwoCameraTransformByCodedCircleMarker(left.GetPointMap(), left.GetImage(), right.GetPointMap(),
                                                         blank, T.CodedCircleMarkerType())
    assert n == tuvo_sim.ERROR_FAILED and (R == 0).all() and (t == 0).all()
    assert "only 0 markers are seen by both cameras" in T.GetLastErrorMessage()
    # Every marker centre in one place, or along one line: no rotation follows from them.
    for flatten in [lambda p: p.__setitem__(Ellipsis, [1.0, 2.0, 3.0]),
                    lambda p: p.__setitem__((Ellipsis, slice(1, 3)), 0.0)]:
        flat = left.GetPointMap().Clone()
        flatten(np.asarray(flat))
        n, R, t = T.GetTwoCameraTransformByCodedCircleMarker(flat, left.GetImage(), right.GetPointMap(),
                                                             right.GetImage(), T.CodedCircleMarkerType())
        assert n == tuvo_sim.ERROR_FAILED and (R == 0).all()
        assert "markers both cameras see lie on one line or in one place" in T.GetLastErrorMessage()
    with pytest.raises(TypeError):
        T.GetTwoCameraTransformByCodedCircleMarker(None, blank, left.GetPointMap(), blank, T.CodedCircleMarkerType())


def test_transform_point_cloud_refusals():
    pm = T.PointMapCreate(T.PointsNormals, T.Size(2, 1))
    np.asarray(pm)[...] = [[1, 2, 3], [np.nan, np.nan, np.nan]]
    np.asarray(pm.GetNormalDataPtr())[...] = [0, 0, 1]
    rot = [[0, -1, 0], [1, 0, 0], [0, 0, 1]]
    assert T.TransformPointCloud(rot, [1, 1, 1], pm) is None
    np.testing.assert_allclose(np.asarray(pm)[0, 0], [-1, 2, 4])
    np.testing.assert_allclose(np.asarray(pm.GetNormalDataPtr())[0, 0], [0, 0, 1])
    assert np.isnan(np.asarray(pm)[0, 1]).all()
    with pytest.raises(ValueError):
        T.TransformPointCloud(np.eye(2), [0, 0, 0], pm)
    with pytest.raises(ValueError):
        T.TransformPointCloud(np.eye(3), [0, 0], pm)
    for rotation, translation in [(np.eye(4), [0, 0, 0]), (np.eye(3, 4), [0, 0, 0]), (np.eye(3), np.zeros((3, 4)))]:
        with pytest.raises(ValueError, match="expected (9|3) values"):  # a 4 x 4 pose is not a rotation
            T.TransformPointCloud(rotation, translation, pm)
    np.testing.assert_allclose(np.asarray(pm)[0, 0], [-1, 2, 4])
    with pytest.raises(TypeError):
        T.TransformPointCloud(np.eye(3), [0, 0, 0], None)
    # Column-major memory is read in row-major order.
    T.TransformPointCloud(np.asfortranarray(np.array(rot, float)).T.T, np.zeros(3), pm)
    np.testing.assert_allclose(np.asarray(pm)[0, 0], [-2, -1, 4])


def marker_centres(cam, pm):
    """3-D marker centres of a capture, by code: a plane through the points around each detected
    centre, evaluated at its sub-pixel position."""
    found = T.DetectCodedCircleMarker(cam.GetImage(), T.CodedCircleMarkerType())
    pts = np.asarray(pm)
    out = {}
    for m in found:
        u0, v0 = int(round(m.x)), int(round(m.y))
        vv, uu = np.mgrid[v0 - 12:v0 + 13, u0 - 12:u0 + 13]
        patch = pts[vv, uu].reshape(-1, 3)
        keep = np.isfinite(patch[:, 2])
        a = np.stack([np.ones(keep.sum()), uu.ravel()[keep] - m.x, vv.ravel()[keep] - m.y], axis=1)
        out[m.code] = np.linalg.lstsq(a, patch[keep], rcond=None)[0][0]
    return out


def test_compensator_follows_a_moved_device(truth, x1):
    comp = T.Compensator_FixedMarkers()
    assert x1.Capture()
    ref_pm = x1.GetPointMap()
    assert comp.Initialize(ref_pm, x1.GetImage(), 0) == 12
    reference = marker_centres(x1, ref_pm)
    tuvo_sim.set("scene.move_x", 0.6)
    tuvo_sim.set("scene.move_z", -0.4)
    assert x1.Capture()
    moved_pm = x1.GetPointMap()
    ok, rms = comp.Update(moved_pm, x1.GetImage())
    assert ok and rms == pytest.approx(np.hypot(0.6, 0.4), abs=0.05)
    before = marker_centres(x1, moved_pm)
    ok, corrected = comp.Apply(moved_pm)
    assert ok and corrected is not moved_pm
    assert np.shares_memory(np.asarray(corrected), np.asarray(moved_pm))
    after = marker_centres(x1, corrected)
    drift = np.mean([np.linalg.norm(before[c] - reference[c]) for c in reference])
    left = np.mean([np.linalg.norm(after[c] - reference[c]) for c in reference])
    assert drift > 0.5 and left < 0.1


def test_apply_after_a_failed_update_uses_no_stale_correction(x1):
    comp = T.Compensator_FixedMarkers()
    assert x1.Capture() and comp.Initialize(x1.GetPointMap(), x1.GetImage(), 0) == 12
    tuvo_sim.set("scene.move_x", 5.0)
    assert x1.Capture() and comp.Update(x1.GetPointMap(), x1.GetImage())[0]
    tuvo_sim.set("scene.board", 0)  # the markers gone: the next Update measures nothing
    assert x1.Capture()
    pm = x1.GetPointMap()
    assert comp.Update(pm, x1.GetImage())[0] is False
    before = np.array(pm)
    assert comp.Apply(pm)[0] is False
    assert T.GetLastErrorMessage().endswith("Update has not measured the markers (not yet, or its last call failed)")
    assert np.array_equal(np.asarray(pm), before, equal_nan=True)


def test_compensator_out_of_order_and_lifetime(x1):
    comp = T.Compensator_FixedMarkers()
    pm = T.PointMapCreate(T.PointsOnly, T.Size(4, 4))
    assert comp.Update(pm, T.ImageCreate(T.Mono8, T.Size(4, 4))) == (False, 0.0)
    assert comp.Apply(pm)[0] is False
    with pytest.raises(TypeError):
        comp.Initialize(None, T.Image(), 0)
    with pytest.raises(TypeError):
        T.Compensator_FixedMarkers(1)
    del comp  # destroyed at once, holding the lock: nothing to observe but no crash


def test_test_accuracy(captured):
    img, pm = captured.GetImage(), captured.GetPointMap()
    n, image_xy, board_xyz, rms, worst = T.TestAccuracy(img, pm, 3, 4, 62.0)
    assert n == 12 and len(image_xy) == 24 and len(board_xyz) == 36
    assert rms < 0.1 and worst < 0.3
    truth = dict(tuvo_sim.marker_truth(SERIAL))
    codes = sorted(truth)
    measured = np.array(board_xyz).reshape(12, 3)
    expected = np.array([truth[c] for c in codes])
    assert np.abs(measured - expected).max() < 0.3  # positions in the code book's order
    n, *_, wrong_rms, _ = T.TestAccuracy(img, pm, 3, 4, 70.0)
    assert n == 12 and wrong_rms > 5 * rms  # a wrong spacing shows up
    grid = [[(c - 1.5) * 62.0, (1 - r) * 62.0] for r in range(3) for c in range(4)]
    same = T.TestAccuracy(img, pm, sum(grid, []), [1.0] * 12, 3, 4, 0.0)
    assert same[0] == 12 and same[3] == pytest.approx(rms, rel=1e-4)
    empty_lists = T.TestAccuracy(img, pm, [], [], 3, 4, 62.0)
    assert empty_lists[3] == rms


GRID = sum([[(c - 1.5) * 62.0, (1 - r) * 62.0] for r in range(3) for c in range(4)], [])


@pytest.mark.parametrize("args, message", [
    ((3, 4, float("inf")), "the marker spacing must be positive and finite"),
    ((3, 4, 1e300), "the marker spacing must be positive and finite"),  # infinite as a float
    (([float("nan")] + GRID[1:], [], 3, 4, 0.0), "the expected position or weight of board marker 0 is not a finite"),
    ((GRID, [1.0] * 11 + [float("inf")], 3, 4, 0.0), "weight of board marker 11 is not a finite number"),
    ((GRID, [0.0] * 12, 3, 4, 0.0), "0 of the 12 board markers measured have a positive weight; 3 are needed"),
    ((GRID, [1.0, 1.0] + [-1.0] * 10, 3, 4, 0.0), "2 of the 12 board markers measured have a positive weight"),
])
def test_test_accuracy_refuses_what_gives_no_figure(captured, args, message):
    n, _, _, rms, worst = T.TestAccuracy(captured.GetImage(), captured.GetPointMap(), *args)
    assert n < 0 and message in T.GetLastErrorMessage()


def test_test_accuracy_sizes():
    img, pm = T.ImageCreate(T.Mono8, T.Size(32, 32)), T.PointMapCreate(T.PointsOnly, T.Size(32, 32))
    n, a, b, rms, worst = T.TestAccuracy(img, pm, 4, 5, 10.0)
    assert len(a) == 40 and len(b) == 60 and n < 0 and (rms, worst) == (0.0, 0.0)
    n, a, b, *_ = T.TestAccuracy(img, pm, 0, 5, 10.0)
    assert a == [] and b == []
    for rows, cols in [(-1, 5), (65536, 65537), (-65536, 65537)]:  # negative, or wrapped in 32 bits
        with pytest.raises(MemoryError):
            T.TestAccuracy(img, pm, rows, cols, 10.0)
    assert tuvo_sim.calls("TestAccuracy") == 2
    with pytest.raises(ValueError):
        T.TestAccuracy(img, pm, [1.0, 2.0], [], 4, 5, 10.0)
    with pytest.raises(TypeError):
        T.TestAccuracy(None, pm, 4, 5, 10.0)


def test_external_camera(usb_device):
    left, right = T.X1.Create(usb_device, T.CameraID_Left), T.X1.Create(usb_device, T.CameraID_Right)
    assert left.Open() and right.Open()
    views = []
    for move, turn in [(0, 0), (40, 0.1), (-30, -0.08)]:
        tuvo_sim.set("scene.move_x", move)
        tuvo_sim.set("scene.turn_y", turn)
        assert left.Capture() and right.Capture2D()
        views += [left.GetImage(), left.GetPointMap(), np.array(right.GetImage())]
    _, k, d = right.GetIntrinsicParameters()
    ok, extrinsic, rms = T.GetExternalCameraExtrinsicMatrix(*views, 1280, 1024, k, d)
    assert ok and len(extrinsic) == 16 and rms < 0.1
    e = np.array(extrinsic).reshape(4, 4)
    pose = np.array(right.GetExtrinsicMatrix()[1]).reshape(4, 4)
    np.testing.assert_allclose(e @ pose, np.eye(4), atol=0.1)
    # The device's points seen from the external camera: its own depth, on its own pixels.
    pm = T.GetExternalCameraPointMap(views[1], 1280, 1024, k, d, extrinsic)
    ext = np.asarray(pm)
    assert pm.IsValid() and ext.shape == (1024, 1280, 3)
    v, u = np.nonzero(np.isfinite(ext[..., 2]))
    uv = optics.project(k, d, ext[v, u])
    assert np.abs(uv[:, 0] - u).max() <= 0.5 + 1e-3 and np.abs(uv[:, 1] - v).max() <= 0.5 + 1e-3
    assert v.size > 0.3 * 1280 * 1024
    # A lens no pose can be solved with: said so, not blamed on the markers the views share.
    for bad_k, bad_d in [([float("nan")] + list(k[1:]), d), ([0.0] * 9, d), (k, [float("inf")] + list(d[1:]))]:
        ok, _, _ = T.GetExternalCameraExtrinsicMatrix(*views, 1280, 1024, bad_k, bad_d)
        assert ok is False and T.GetLastErrorMessage().endswith(
            "the external camera's intrinsics and distortion must be finite, its focal lengths positive")
        assert not T.GetExternalCameraPointMap(views[1], 1280, 1024, bad_k, bad_d, extrinsic).IsValid()
    with pytest.raises(ValueError):
        T.GetExternalCameraExtrinsicMatrix(*views[:-1], np.zeros(10, np.uint8), 1280, 1024, k, d)
    with pytest.raises(ValueError):
        T.GetExternalCameraPointMap(views[1], 10, 10, k[:8], d, extrinsic)


def test_external_camera_failures(captured):
    img, pm = captured.GetImage(), captured.GetPointMap()
    blank = np.zeros((1024, 1280), np.uint8)
    k, d = [1000, 0, 640, 0, 1000, 512, 0, 0, 1], [0.0] * 5
    ok, extrinsic, rms = T.GetExternalCameraExtrinsicMatrix(img, pm, blank, img, pm, blank, img, pm, blank,
                                                            1280, 1024, k, d)
    assert ok is False and extrinsic == [0.0] * 16 and rms == 0.0
    bad = T.GetExternalCameraPointMap(pm, 0, 10, k, d, [0.0] * 16)
    assert isinstance(bad, T.PointMap) and not bad.IsValid()


def test_tools_release_the_lock(captured):
    img = captured.GetImage()
    done = []
    with tuvo_sim.blocked("DetectCodedCircleMarker"):
        worker = threading.Thread(target=lambda: done.append(T.DetectCodedCircleMarker(img, T.CodedCircleMarkerType())))
        worker.start()
        assert tuvo_sim.wait_entered("DetectCodedCircleMarker") == 1
        assert tuvo_sim.inside("DetectCodedCircleMarker") == 1
    worker.join(20)
    assert len(done[0]) == 12
