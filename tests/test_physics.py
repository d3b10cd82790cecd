"""The stand-in's sensor model: noise, lost points and errors follow the physics of structured light.

Noise is measured per pixel: the same capture with and without noise (`noise.scale` 0) in truth
mode, where the only difference is the random noise. Depths are compared over a patch of bare
table, normalised by z^2 where the geometry changes the distance."""
import threading
import time

import numpy as np
import pytest

import optics
import PyTUVO as T
import tuvo_sim

SERIAL = "P-1"
MODES = "fast, normal, ultra, robust, antiinterreflection"
TABLE = (slice(224, 256), slice(0, 64))  # bare table at the bottom left of a 320 x 256 image


def open_camera(cid=T.CameraID_Left, x2=False, **keys):
    """A small device (320 x 256) described by rig keys, opened as X1 (or X2)."""
    text = "[device]\nsn = %s\ncameras = left, right, extra\nx2 = yes\nwidth = 320\nheight = 256\n" \
           "capture_modes = %s\n" % (SERIAL, MODES)
    text += "".join("%s = %s\n" % kv for kv in keys.items())
    tuvo_sim.set_rig(text)
    assert T.SystemInit()
    dev = T.SystemFindDevice(SERIAL)
    cam = T.X2.Create(dev) if x2 else T.X1.Create(dev, cid)
    assert cam.Open(), T.GetLastErrorMessage()
    return cam


def capture(cam, **fields):
    """Points (and normals with calc_normal) of one capture, copied."""
    o = T.X2_CaptureOptions() if isinstance(cam, T.X2) else T.X1_CaptureOptions()
    for k, v in fields.items():
        setattr(o, k, v)
    assert cam.Capture(o), T.GetLastErrorMessage()
    pm = cam.GetPointMap()
    normals = np.array(pm.GetNormalDataPtr()) if fields.get("calc_normal") else None
    return np.array(pm), normals


def depth_error(cam, **fields):
    """Truth mode: the exact points and normals, and each pixel's depth error from the noise."""
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)
    exact, normals = capture(cam, calc_normal=True, **fields)
    tuvo_sim.unset("noise.scale")
    noisy, _ = capture(cam, **fields)
    return exact, normals, noisy[..., 2] - exact[..., 2]


def table_noise(cam, **fields):
    """Depth noise over the table patch divided by z^2 (the triangulation's own growth with distance),
    from pixels facing the way the patch does."""
    exact, normals, err = depth_error(cam, **fields)
    patch, n, e = exact[TABLE].reshape(-1, 3), normals[TABLE].reshape(-1, 3), err[TABLE].ravel()
    ok = np.isfinite(e)
    facing = np.median(n[ok], axis=0)
    ok &= np.nan_to_num(n @ facing) > 0.999
    assert ok.sum() > 500
    return np.std(e[ok]) / np.mean(patch[ok, 2]) ** 2


def noise_ratio(first, second):
    """The table noise of `second` over that of `first`, each a pair (rig keys, option fields)."""
    sigma = []
    for keys, fields in (first, second):
        tuvo_sim.reset()
        sigma.append(table_noise(open_camera(**keys), **fields))
    return sigma[1] / sigma[0]


# Where shot noise dominates, gain's excess noise: F^2 = 1 + 0.5 (1 - 1/g) at linear gain g (4 at +12 dB).
EXCESS_12DB = (1 + 0.5 * (1 - 1 / 4)) ** 0.5

# Each factor halved, doubled or switched, and what physics says the noise does.
SWEEPS = [
    ("baseline halved", ({}, {}), ({"baseline_mm": 60}, {}), 2.0),
    ("focal length doubled", ({"focal_px": 400}, {}), ({"focal_px": 800}, {}), 0.5),
    ("exposure x4 (shot noise)", ({}, {"exposure_time_3d": 5}), ({}, {"exposure_time_3d": 20}), 0.5),
    ("brightness x4", ({}, {"projector_brightness": 60}), ({}, {"projector_brightness": 240}), 0.5),
    ("gain +12 dB at the same exposure (excess noise)", ({}, {"exposure_time_3d": 5}),
     ({}, {"exposure_time_3d": 5, "gain_3d": 12.0}), EXCESS_12DB),
    ("exposure instead of gain", ({}, {"exposure_time_3d": 5, "gain_3d": 12.0}), ({}, {"exposure_time_3d": 20}),
     0.5 / EXCESS_12DB),
    ("four scans averaged", ({}, {}), ({}, {"scan_times": 4}), 0.5),
    ("fast mode: 4 phase steps, not 12", ({}, {}), ({}, {"capture_mode": T.CaptureMode_Fast}), 3 ** 0.5),
    ("ultra mode: 24 phase steps", ({}, {}), ({}, {"capture_mode": T.CaptureMode_Ultra}), 0.5 ** 0.5),
]


@pytest.mark.parametrize("first, second, expected", [s[1:] for s in SWEEPS], ids=[s[0] for s in SWEEPS])
def test_depth_noise_follows_the_physics(first, second, expected):
    assert noise_ratio(first, second) == pytest.approx(expected, rel=0.15)


def test_rig_optics_are_reported():
    tuvo_sim.reset()
    cam = open_camera(focal_px=500, baseline_mm=90)
    k, d, _ = optics.calibration(cam)
    assert k[0, 0] == pytest.approx(500, abs=0.05) and tuvo_sim.device_value(SERIAL, "focal_px") == 500
    assert tuvo_sim.device_value(SERIAL, "baseline_mm") == 90 and tuvo_sim.projector(SERIAL)[0] == 45
    assert np.isnan(tuvo_sim.device_value(SERIAL, "bogus")) and np.isnan(tuvo_sim.device_value("nobody", "focal_px"))


def test_noise_grows_with_distance_squared():
    # The whole scene 1.5 times as far: the same pixels see the same surfaces, 2.25 times the noise.
    tuvo_sim.reset()
    exact, _, near = depth_error(open_camera())
    tuvo_sim.reset()
    far_exact, _, far = depth_error(open_camera(near_mm=600, far_mm=1800))
    assert np.nanmean(far_exact[TABLE][..., 2]) / np.nanmean(exact[TABLE][..., 2]) == pytest.approx(1.5, rel=0.01)
    assert np.nanstd(far[TABLE]) / np.nanstd(near[TABLE]) == pytest.approx(2.25, rel=0.15)


def test_gain_lifts_a_faint_surface_and_costs_precision():
    # Gain lets a faint surface pass the decoder's contrast threshold...
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("scene.object.table.albedo", 0.05)
    faint = [np.isfinite(capture(cam, exposure_time_3d=3, gain_3d=g)[0][TABLE][..., 2]).mean() for g in (0.0, 12.0)]
    assert faint[0] < 0.1 and faint[1] > 0.4
    # ... but where shot noise dominates its excess noise costs precision, +6 dB as well.
    assert 1.05 < noise_ratio(({}, {"exposure_time_3d": 8}), ({}, {"exposure_time_3d": 8, "gain_3d": 6.0})) < 1.2


def test_x2_triangulates_over_the_cameras_baseline():
    # Twice the baseline of camera and projector, phase noise from both cameras: 1 / sqrt(2).
    tuvo_sim.reset()
    x1 = table_noise(open_camera())
    tuvo_sim.reset()
    x2 = table_noise(open_camera(x2=True))
    assert x2 / x1 == pytest.approx(0.5 ** 0.5, rel=0.15)


def test_smoothing_lowers_the_noise():
    tuvo_sim.reset()
    cam = open_camera()
    levels = [table_noise(cam, smoothness=s) for s in (T.SmoothnessLevel_Off, T.SmoothnessLevel_Weak,
                                                         T.SmoothnessLevel_Strong)]
    assert levels[0] > levels[1] > levels[2] and levels[2] < levels[0] / 2


# ---- incidence ----

def view_and_light(points, normals):
    """Cosines of the angles between each normal and the directions to the camera and to the projector."""
    to_cam = -points / np.linalg.norm(points, axis=-1, keepdims=True)
    to_proj = np.array(tuvo_sim.projector(SERIAL)) - points
    to_proj /= np.linalg.norm(to_proj, axis=-1, keepdims=True)
    return np.einsum("...i,...i", normals, to_cam), np.einsum("...i,...i", normals, to_proj)


def test_noise_grows_as_surfaces_turn_away():
    # One brightness everywhere, the board away: each surface's noise against its angles. The
    # pixel's footprint grows as 1 / cos(view), the light it gets falls as cos(light) / d^2 (d its
    # distance from the projector), so shot noise grows as d / sqrt(cos(light)). Surfaces within
    # 900 mm of the projector only, where the depth of field hardly changes.
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("scene.board", 0)
    for name in ("table", "sphere", "box", "cylinder"):
        tuvo_sim.set("scene.object.%s.albedo" % name, 0.8)
    exact, normals, err = depth_error(cam)
    d = np.linalg.norm(exact - tuvo_sim.projector(SERIAL), axis=-1)
    ok = np.isfinite(err) & (d < 900)
    cos_view, cos_light = view_and_light(exact[ok], normals[ok])
    scaled = err[ok] / exact[ok][:, 2] ** 2
    model = d[ok] / (cos_view * np.sqrt(cos_light))
    bins = [(0.95, 1.0), (0.8, 0.9), (0.5, 0.7), (0.3, 0.5)]
    ratios, sigma = [], []
    for lo, hi in bins:
        m = (cos_view > lo) & (cos_view <= hi)
        assert m.sum() > 200
        sigma.append(np.std(scaled[m]))
        ratios.append(sigma[-1] / np.mean(model[m]))
    np.testing.assert_allclose(ratios, ratios[0], rtol=0.15)
    assert sigma[3] > 2.5 * sigma[0]  # steep surfaces are the noisy ones


@pytest.mark.parametrize("how", ["parameter", "rig"])
def test_points_drop_out_past_the_angle_limit(how):
    tuvo_sim.reset()
    cam = open_camera(**({"max_angle_deg": 50} if how == "rig" else {}))
    if how == "parameter":
        tuvo_sim.set("sim.max_angle_deg", 50)
    assert tuvo_sim.device_value(SERIAL, "max_angle_deg") == 50
    tuvo_sim.set("sim.truth", 1)
    points, normals = capture(cam, calc_normal=True)
    ok = np.isfinite(points[..., 2])
    angles = np.degrees(np.arccos(np.minimum(*view_and_light(points[ok], normals[ok]))))
    assert angles.max() <= 50.05
    tuvo_sim.set("sim.max_angle_deg", 75)  # the default lets steeper points through
    points, normals = capture(cam, calc_normal=True)
    ok2 = np.isfinite(points[..., 2])
    steep = np.degrees(np.arccos(np.minimum(*view_and_light(points[ok2], normals[ok2]))))
    assert ok2.sum() > ok.sum() and 50.05 < steep.max() <= 75.05


# ---- materials ----

def valid(cam, **fields):
    return np.isfinite(capture(cam, **fields)[0][..., 2])


def test_dark_surfaces_lose_points_at_low_exposure():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("noise.scale", 0)
    matte = valid(cam)
    tuvo_sim.set("scene.object.box.albedo", 0.02)  # black
    lost = matte & ~valid(cam)
    assert lost.sum() > 1000
    assert valid(cam, exposure_time_3d=40)[lost].mean() > 0.95  # a long exposure brings it back


def test_hdr_measures_dark_and_bright_together():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("noise.scale", 0)
    tuvo_sim.set("scene.object.box.albedo", 0.02)
    short, long_ = valid(cam), valid(cam, exposure_time_3d=40)
    hdr = T.X1_CaptureOptions()
    hdr.hdr_exposure_times = 2
    hdr.SetHDRExposureTimeContent(0, 11)
    hdr.SetHDRExposureTimeContent(1, 40)
    assert cam.Capture(hdr)
    both = np.isfinite(np.asarray(cam.GetPointMap())[..., 2])
    assert (short & ~long_).sum() > 10000 and (long_ & ~short).sum() > 1000  # each loses what the other keeps
    assert both[short | long_].mean() > 0.995  # (a few more edges show between them)
    conf = np.asarray(cam.GetConfidenceMap())
    assert np.median(conf[long_ & ~short]) < np.median(conf[short & ~long_])  # the black box measures worse


def test_colour_under_the_blue_projector():
    # The projector's blue light: a red surface is as dark as black paint in 3-D, yet red in colour.
    tuvo_sim.reset()
    cam = open_camera()
    matte = valid(cam)
    tuvo_sim.set("scene.object.sphere.albedo_r", 0.9)
    tuvo_sim.set("scene.object.sphere.albedo_g", 0.05)
    tuvo_sim.set("scene.object.sphere.albedo_b", 0.01)
    lost = matte & ~valid(cam)
    assert lost.sum() > 500
    T.X1.Destroy(cam)
    colour = T.X1.Create(T.SystemFindDevice(SERIAL), T.CameraID_Extra)
    assert colour.Open() and colour.Capture2D()
    rgb = np.asarray(colour.GetImage()).reshape(-1, 3).astype(float)
    reddest = rgb[np.argsort(rgb[:, 0] - rgb[:, 2])[-300:]]
    assert (reddest[:, 0] > 4 * reddest[:, 2] + 20).all()


def test_highlights_saturate_and_lose_points():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)  # the same edges in every capture
    points, normals = capture(cam, calc_normal=True)
    tuvo_sim.set("scene.object.sphere.specular", 0.6)
    tuvo_sim.set("scene.object.sphere.shininess", 40)
    lost = np.isfinite(points[..., 2]) & ~valid(cam)
    assert lost.sum() > 20
    # Lost where the sphere mirrors the projector into the camera: the normal halves the angle
    # between them.
    p, n = points[lost], normals[lost]
    half = -p / np.linalg.norm(p, axis=1, keepdims=True)
    to_proj = np.array(tuvo_sim.projector(SERIAL)) - p
    half += to_proj / np.linalg.norm(to_proj, axis=1, keepdims=True)
    half /= np.linalg.norm(half, axis=1, keepdims=True)
    assert np.degrees(np.arccos(np.einsum("ij,ij->i", n, half))).max() < 12
    assert valid(cam, exposure_time_3d=3)[lost].mean() > 0.5  # shorter exposure: no longer saturated


@pytest.mark.parametrize("mode", [T.CaptureMode_Normal, T.CaptureMode_AntiInterReflection])
def test_plain_surfaces_decode_as_the_general_model_does(mode):
    """Plain matte pixels take a shorter way through the decoder than specular ones; a specular
    share too small to add any light must leave every output bit for bit as it was."""
    tuvo_sim.reset()
    cam = open_camera()
    results = []
    for share in (0, 1e-300):
        for name in ("table", "sphere", "box", "cylinder", "board"):
            tuvo_sim.set("scene.object.%s.specular" % name, share)
        tuvo_sim.set("noise.seed", 7)  # the same noise in both captures
        points, _ = capture(cam, capture_mode=mode)
        results.append((points, np.array(cam.GetConfidenceMap()), np.array(cam.GetImage())))
    assert np.isfinite(results[0][0][..., 2]).mean() > 0.9
    for plain, general in zip(*results):
        assert plain.tobytes() == general.tobytes()


def test_mirrors_give_inter_reflection_outliers():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)
    truth = capture(cam)[0][..., 2]
    tuvo_sim.set("scene.object.table.mirror", 0.9)

    def outliers(mode):
        z = capture(cam, capture_mode=mode)[0][..., 2]
        return np.nan_to_num(np.abs(z - truth)) > 2  # off the true surface

    normal = outliers(T.CaptureMode_Normal)
    assert normal.sum() > 100
    for mode in (T.CaptureMode_Robust, T.CaptureMode_AntiInterReflection):
        assert outliers(mode).sum() < normal.sum() / 3  # codes that disagree are dropped


def test_mixed_pixels_lie_between_the_surfaces():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)
    clean = capture(cam)[0][..., 2]
    mixed = capture(cam, use_auto_noise_removal=False)[0][..., 2]
    edges = np.isfinite(mixed) & ~np.isfinite(clean)  # what noise removal takes away
    assert edges.sum() > 100
    between = []
    for y, x in zip(*np.nonzero(edges)):
        # A footprint reaches past the pixel's centre, and the points next to it may be gone too:
        # the surfaces it covers are looked for three pixels around, give or take 2 mm.
        window = clean[max(0, y - 3):y + 4, max(0, x - 3):x + 4]
        window = window[np.isfinite(window)]
        if window.size and window.max() - window.min() > 8:  # both surfaces in view
            between.append(window.min() - 2 <= mixed[y, x] <= window.max() + 2)
    assert len(between) > 50 and np.mean(between) > 0.97


SHELF = """
[materials]
grey = { albedo = 0.8 }
[[object]]
name = "wall"
type = "plane"
position = [0, 0, 1000]
material = "grey"
[[object]]
name = "shelf"
type = "box"
size = [4000, 2000, 20]
position = [0, -1000, 700]
material = "grey"
"""


def test_an_edge_across_the_view_is_mixed_and_removed_in_nearly_every_column(tmp_path):
    # A shelf in front of a wall: its edge crosses every column, the first and last included. Noise
    # removal keeps the rare mixed point that lies within a fraction of a millimetre of a surface.
    (tmp_path / "shelf.toml").write_text(SHELF)
    tuvo_sim.reset()
    cam = open_camera(scene=tmp_path / "shelf.toml")
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)
    clean = capture(cam)[0][..., 2]
    mixed = capture(cam, use_auto_noise_removal=False)[0][..., 2]
    lost = ~np.isfinite(clean)
    rows = [np.nonzero(lost[:, x])[0] for x in range(lost.shape[1])]
    assert all(len(r) < 2 or list(r) == [r[0], r[0] + 1] for r in rows)  # of the pixels the edge crosses
    assert np.mean([len(r) > 0 for r in rows]) > 0.9
    assert np.isfinite(mixed).all()
    surfaces = np.isclose(clean[~lost], 690, rtol=0, atol=1) | np.isclose(clean[~lost], 1000, rtol=0, atol=1)
    assert surfaces.all()
    assert ((mixed[lost] > 690) & (mixed[lost] < 1000)).all()
    assert (mixed[~lost] == clean[~lost]).all()


# ---- light, decoding and focus: one plane in front of the device ----

def plane(tmp_path, distance, albedo, tilt_deg=0, scene=""):
    """A rig whose device (400-1200 mm, so 880 mm is its working distance) faces one plane at
    `distance` mm, turned by `tilt_deg` about the x axis; `scene`: lines of its [scene] table."""
    path = tmp_path / ("plane_%g_%g_%g_%d.toml" % (distance, albedo, tilt_deg, len(scene)))
    path.write_text("[scene]\n%s\n[[object]]\nname = \"plane\"\ntype = \"plane\"\nposition = [0, 0, %r]\n"
                    "rotation = { euler_deg = [%r, 0, 0] }\nmaterial = { albedo = %r }\n" % (scene, float(distance), float(tilt_deg),
                                                                             float(albedo)))
    tuvo_sim.reset()
    return open_camera(scene=path)


CENTRE = (slice(96, 160), slice(128, 192))  # the middle of a 320 x 256 image


def plane_error(cam, distance, **fields):
    """Truth mode: the depth error of a face-on plane at `distance` (its exact depth) per pixel."""
    tuvo_sim.set("sim.truth", 1)
    return capture(cam, **fields)[0][..., 2] - distance


def same_light(distance):
    """Options that light a surface at `distance` as the defaults light it at 880 mm: the projector
    dimmed nearer, the exposure lengthened farther (so only the focus changes)."""
    f = (distance / 880) ** 2
    return {"projector_brightness": round(240 * f)} if f < 1 else {"exposure_time_3d": round(11 * f)}


def test_projector_light_falls_with_the_square_of_the_distance(tmp_path):
    # The projector's share of the 2-D grey level (with it on, less the room light alone) and the
    # exposure at which half a white plane's points saturate, against the distance from the projector.
    ranges, grey, saturating = [], [], []
    for distance in (450, 650, 900, 1150):
        cam = plane(tmp_path, distance, 0.3)
        tuvo_sim.set("noise.scale", 0)
        ranges.append(np.linalg.norm(np.array([0, 0, distance]) - tuvo_sim.projector(SERIAL)))
        levels = []
        for on in (True, False):
            o = T.X1_CaptureOptions()
            o.use_projector_capturing_2d_image = on
            assert cam.Capture2D(o)
            levels.append(np.array(cam.GetImage())[CENTRE].astype(float).mean())
        grey.append(levels[0] - levels[1])
        if distance in (450, 900):
            cam = plane(tmp_path, distance, 0.9)
            tuvo_sim.set("noise.scale", 0)
            saturating.append(next(ms for ms in range(3, 101)
                                   if np.isfinite(capture(cam, exposure_time_3d=ms)[0][CENTRE][..., 2]).mean() < 0.5))
    ranges = np.array(ranges)
    np.testing.assert_allclose(grey * ranges ** 2, grey[0] * ranges[0] ** 2, rtol=0.05)
    assert saturating[1] / saturating[0] == pytest.approx((ranges[2] / ranges[0]) ** 2, rel=0.2)


def test_room_light_adds_noise_but_no_signal(tmp_path):
    noise, room = [], []
    for lux in (0, 500, 20000):
        cam = plane(tmp_path, 880, 0.3, scene="ambient_lux = %d" % lux)
        noise.append(np.nanstd(plane_error(cam, 880)[CENTRE]))
        o = T.X1_CaptureOptions()
        o.use_projector_capturing_2d_image = False
        assert cam.Capture2D(o)
        room.append(np.array(cam.GetImage())[CENTRE].astype(float).mean())
    assert noise[0] < noise[1] < noise[2] / 1.3  # shot noise of light that carries no fringes
    assert room[0] < 1 < room[1] < room[2]  # in the 2-D image it is the picture


def sweep_valid(tmp_path, factor, values):
    """The valid share of the centre of the plane as one factor changes (each pixel decides at random)."""
    shares = []
    for value in values:
        cam = plane(tmp_path, 880, **({"albedo": value} if factor == "albedo" else {"albedo": 0.8, "tilt_deg": value}))
        shares.append(np.isfinite(capture(cam)[0][CENTRE][..., 2]).mean())
    return np.array(shares)


@pytest.mark.parametrize("factor, values, direction", [
    ("albedo", np.arange(0.005, 0.11, 0.01), 1),  # steps of 1 % reflectance
    ("tilt", np.arange(50, 80, 2.0), -1),         # steps of 2 degrees
])
def test_valid_share_falls_without_a_cliff(tmp_path, factor, values, direction):
    shares = sweep_valid(tmp_path, factor, values)[::direction]  # rising
    assert shares[0] < 0.1 and shares[-1] > 0.9
    steps = np.diff(shares)
    assert steps.min() > -0.03 and steps.max() < 0.5, shares


def test_wrong_period_outliers_at_low_signal_only(tmp_path):
    # Faint fringes: the finest code bit is sometimes read wrong and the point lands a fringe
    # period (here more than 100 mm) off; bright ones never are. Confidence says which is which.
    found = {}
    for albedo in (0.02, 0.3):
        cam = plane(tmp_path, 880, albedo)
        err = np.concatenate([plane_error(cam, 880).ravel() for _ in range(3)])
        err = err[np.isfinite(err)]
        found[albedo] = err.size, np.abs(err) > 10, np.median(np.asarray(cam.GetConfidenceMap())[np.isfinite(
            np.array(cam.GetPointMap())[..., 2])])
    faint, bright = found[0.02], found[0.3]
    assert faint[0] > 1000 and faint[1].mean() > 0.005
    assert bright[0] > 100000 and bright[1].sum() == 0
    assert faint[2] < 0.5 * bright[2]


def test_noise_removal_drops_lone_wrong_period_points(tmp_path):
    # A point a fringe period off its surface stands off every neighbour: noise removal drops it,
    # and leaves the points of the surface.
    cam = plane(tmp_path, 880, 0.05)
    off = {}
    for removal in (False, True):
        tuvo_sim.set("noise.seed", 7)
        err = plane_error(cam, 880, use_auto_noise_removal=removal)
        off[removal] = (np.abs(err) > 10).sum(), np.isfinite(err).sum()
    assert off[False][0] > 20 and off[True][0] < off[False][0] / 5
    assert off[True][1] > 0.95 * (off[False][1] - off[False][0])


def test_noise_rises_towards_the_ends_of_the_working_range(tmp_path):
    # The same light at every distance: what changes is the depth of field. The noise over z^2 is
    # least in the middle and rises towards both ends; points stay well inside the old near clip
    # (340 mm) and truth mode stays exact.
    scaled, valid = {}, {}
    for distance in (330, 880, 1300):
        cam = plane(tmp_path, distance, 0.3)
        err = plane_error(cam, distance, **same_light(distance))[CENTRE]
        scaled[distance] = np.nanstd(err) / distance ** 2
        valid[distance] = np.isfinite(err).mean()
        tuvo_sim.set("noise.scale", 0)
        assert np.nanmax(np.abs(plane_error(cam, distance, **same_light(distance)))) < 1e-6
    assert scaled[330] > 1.3 * scaled[880] and scaled[1300] > 1.1 * scaled[880]
    assert min(valid.values()) > 0.9


# ---- two cameras ----

def test_correspondences_carry_the_depth_noise():
    tuvo_sim.reset()
    x2 = open_camera(x2=True)
    tuvo_sim.set("sim.truth", 1)

    def grab():
        assert x2.Capture(T.X2_CaptureOptions())
        return np.array(x2.GetPointMap())[..., 2], np.array(x2.GetCorrespondMap())

    tuvo_sim.set("noise.scale", 0)
    z, corr = grab()
    tuvo_sim.unset("noise.scale")
    z_noisy, corr_noisy = grab()
    ok = np.isfinite(z) & np.isfinite(z_noisy)
    du = (corr_noisy - corr)[..., 0][ok]
    assert 0.005 < du.std() < 0.2  # sub-pixel noise on the match
    # Disparity to depth: dz = z^2 / (f b) du, pixel by pixel (the right camera sits at +x).
    k, _, _ = optics.calibration(x2, T.CameraID_Left)
    _, _, pose = optics.calibration(x2, T.CameraID_Right)
    predicted = z[ok] ** 2 / (k[0, 0] * np.linalg.norm(pose[:3, 3])) * du
    dz = (z_noisy - z)[ok]
    assert np.corrcoef(dz, predicted)[0, 1] > 0.98
    assert dz.std() / predicted.std() == pytest.approx(1, rel=0.1)


# ---- images ----

def image_noise(cam, **fields):
    """Mean and per-pixel noise of the table in two 2-D captures."""
    o = T.X1_CaptureOptions()
    for k, v in fields.items():
        setattr(o, k, v)
    shots = []
    for _ in range(2):
        assert cam.Capture2D(o)
        shots.append(np.array(cam.GetImage()).astype(float)[TABLE])
    return shots[0].mean(), (shots[0] - shots[1]).std() / np.sqrt(2)


def test_image_noise_grows_with_gain():
    tuvo_sim.reset()
    cam = open_camera()
    mean0, noise0 = image_noise(cam, exposure_time_2d=4)
    mean_g, noise_g = image_noise(cam, exposure_time_2d=4, gain_2d=12.0)
    mean_e, noise_e = image_noise(cam, exposure_time_2d=16)
    assert mean_g / mean0 == pytest.approx(4, rel=0.05) and mean_e / mean0 == pytest.approx(4, rel=0.05)
    assert noise_g / noise0 == pytest.approx(4, rel=0.2)  # gain amplifies the noise with the signal
    assert noise_e / noise0 == pytest.approx(2, rel=0.25)  # more light: shot noise grows as its root


def test_projector_shadow_in_the_image():
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set("noise.scale", 0)
    o = T.X1_CaptureOptions()
    assert cam.Capture2D(o)
    lit = np.array(cam.GetImage()).astype(float)
    o.use_projector_capturing_2d_image = False
    assert cam.Capture2D(o)
    room = np.array(cam.GetImage()).astype(float)
    seen = room > 15
    shadow = seen & (lit < room * 1.1)  # the projector adds nothing there
    assert shadow.sum() > 300 and np.median((lit / np.maximum(room, 1))[seen & ~shadow]) > 2
    points, _ = capture(cam)
    assert (~np.isfinite(points[..., 2]))[shadow].mean() > 0.99  # and no fringes: no points


# ---- timing ----

def test_capture_time_model():
    tuvo_sim.reset()
    cam = open_camera()

    def modelled(**fields):
        capture(cam, **fields)
        return tuvo_sim.capture_time_ms(SERIAL)

    assert tuvo_sim.capture_time_ms(SERIAL) == -1
    t20, t40, t60 = (modelled(exposure_time_3d=e, enable_2d_in_capture=False) for e in (20, 40, 60))
    assert t40 - t20 == pytest.approx(t60 - t40) and t40 > t20  # linear in the exposure
    frames = (t40 - t20) / 20  # exposures per capture
    assert modelled(exposure_time_3d=20, scan_times=3, enable_2d_in_capture=False) - t20 == pytest.approx(
        2 * frames * 20.5, rel=0.01)  # each frame also waits for the projector
    assert modelled(capture_mode=T.CaptureMode_Fast) < modelled() < modelled(capture_mode=T.CaptureMode_Ultra)
    hdr = T.X1_CaptureOptions()
    hdr.hdr_exposure_times = 3
    for i, e in enumerate((20, 40, 60)):
        hdr.SetHDRExposureTimeContent(i, e)
    hdr.enable_2d_in_capture = False
    assert cam.Capture(hdr)
    overhead = t20 - frames * 20.5
    assert tuvo_sim.capture_time_ms(SERIAL) == pytest.approx(t20 + t40 + t60 - 2 * overhead, rel=1e-6)
    assert cam.Capture2D() and tuvo_sim.capture_time_ms(SERIAL) < t20 / 5
    # Realistic timing makes the call take the modelled time.
    tuvo_sim.set("timing.realistic", 1)
    start = time.perf_counter()
    assert cam.Capture()
    assert time.perf_counter() - start >= tuvo_sim.capture_time_ms(SERIAL) / 1000 - 0.002


def test_realistic_timing_from_the_rig():
    tuvo_sim.reset()
    cam = open_camera(realistic_timing="yes")
    start = time.perf_counter()
    assert cam.Capture()
    assert time.perf_counter() - start >= tuvo_sim.capture_time_ms(SERIAL) / 1000 - 0.002 > 0.1


# ---- reproducibility ----

@pytest.mark.smoke
def test_same_seed_same_capture_whatever_ran_before():
    tuvo_sim.set_rig("[device]\nsn = R-1\ncameras = left, right, extra\nx2 = yes\nwidth = 160\nheight = 128\n"
                     "[device]\nsn = R-2\ncameras = left, right, extra\nwidth = 160\nheight = 128\n")
    T.SystemInit()
    one, two = T.SystemFindDevice("R-1"), T.SystemFindDevice("R-2")
    left, right, extra, other = (T.X1.Create(one, T.CameraID_Left), T.X1.Create(one, T.CameraID_Right),
                                 T.X1.Create(one, T.CameraID_Extra), T.X1.Create(two, T.CameraID_Left))
    for c in (left, right, extra, other):
        assert c.Open()

    def shots(cam):
        assert cam.Capture()
        first = np.array(cam.GetPointMap()), np.array(cam.GetImage())
        assert cam.Capture()
        return first, np.array(cam.GetPointMap())

    tuvo_sim.set("noise.seed", 11)
    reference = shots(left)
    for cam in (right, other, extra):  # other cameras and devices, 3-D and 2-D
        cam.Capture()
        cam.Capture2D()
    tuvo_sim.set("noise.seed", 11)
    again = shots(left)
    for a, b in zip((*reference[0], reference[1]), (*again[0], again[1])):
        np.testing.assert_array_equal(a, b)
    assert not np.array_equal(np.nan_to_num(reference[0][0]), np.nan_to_num(reference[1]))  # capture by capture
    tuvo_sim.set("noise.seed", 12)
    assert not np.array_equal(np.nan_to_num(shots(left)[0][0]), np.nan_to_num(reference[0][0]))
    # Another device of the same make sees the same scene with its own noise.
    tuvo_sim.set("noise.seed", 11)
    twin = shots(other)[0][0]
    assert not np.array_equal(np.nan_to_num(twin), np.nan_to_num(reference[0][0]))


def test_noise_does_not_depend_on_threads():
    tuvo_sim.set_rig("[device]\nsn = R-1\nwidth = 160\nheight = 128\n[device]\nsn = R-2\nwidth = 160\nheight = 128\n")
    T.SystemInit()
    cams = [T.X1.Create(T.SystemFindDevice(sn)) for sn in ("R-1", "R-2")]
    for c in cams:
        assert c.Open()

    def run(cam, out):
        for _ in range(3):
            assert cam.Capture()
            out.append(np.array(cam.GetPointMap()))

    tuvo_sim.set("noise.seed", 5)
    tuvo_sim.set("render.threads", 1)
    alone = [[], []]
    for cam, out in zip(cams, alone):
        run(cam, out)
    tuvo_sim.set("noise.seed", 5)
    tuvo_sim.set("render.threads", 2)
    together = [[], []]
    threads = [threading.Thread(target=run, args=(cam, out)) for cam, out in zip(cams, together)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    for a, b in zip(sum(alone, []), sum(together, [])):
        np.testing.assert_array_equal(a, b)


def test_each_camera_has_its_own_noise():
    tuvo_sim.reset()
    cam = open_camera(T.CameraID_Left)
    _, _, left = depth_error(cam)
    T.X1.Destroy(cam)
    right = T.X1.Create(T.SystemFindDevice(SERIAL), T.CameraID_Right)
    assert right.Open()
    _, _, other = depth_error(right)
    both = np.isfinite(left) & np.isfinite(other)
    assert both.sum() > 10000 and abs(np.corrcoef(left[both], other[both])[0, 1]) < 0.05


@pytest.mark.parametrize("key, value", [("noise.seed", float("nan")), ("noise.seed", -1e300),
                                        ("noise.scale", float("nan")), ("noise.scale", 1e300),
                                        ("sim.max_angle_deg", float("nan")), ("sim.max_angle_deg", -5),
                                        ("scene.object.box.albedo", float("inf")),
                                        ("scene.object.sphere.shininess", -1), ("sim.truth", float("nan")),
                                        ("scene.move_x", float("nan")), ("scene.move_z", float("inf")),
                                        ("scene.move_y", -1e300), ("scene.turn_y", float("nan")),
                                        ("scene.turn_x", float("-inf")), ("render.threads", 2 ** 31 - 1),
                                        ("render.threads", float("nan"))])
def test_hostile_sensor_parameters(key, value):
    tuvo_sim.reset()
    cam = open_camera()
    tuvo_sim.set(key, value)
    points, _ = capture(cam)
    ok = np.isfinite(points[..., 2])
    assert np.abs(points[ok]).max(initial=0) < 5000
    assert cam.Capture2D()


@pytest.mark.parametrize("value, seen", [(float("nan"), True), (1e300, False)])
def test_a_device_moved_by_no_number_stays_and_one_moved_beyond_reach_sees_nothing(value, seen):
    cam = open_camera()
    still = np.nanmedian(capture(cam)[0][..., 2])
    tuvo_sim.set("scene.move_z", value)
    depth = capture(cam)[0][..., 2]
    floor = tuvo_sim.ray_floor(SERIAL)  # Embree alone casts what the capture casts
    if seen:
        assert np.nanmedian(depth) == pytest.approx(still, abs=0.5)
        assert floor["shadow_rays"] > 0.5 * floor["primary_rays"]
    else:
        assert np.isnan(depth).all() and floor["shadow_rays"] == 0


# ---- truth and realism on the default device ----

def tool_figures():
    """Marker detection against the truth (pixels), the two-camera transform against the reported
    pose, TestAccuracy and the marker centres' distance from the truth (mm), on the default device."""
    T.SystemInit()
    dev = T.SystemFindDevice("VS3-000101")
    left, right = T.X1.Create(dev, T.CameraID_Left), T.X1.Create(dev, T.CameraID_Right)
    assert left.Open() and right.Open() and left.Capture() and right.Capture()
    truth = tuvo_sim.marker_truth("VS3-000101")
    pixels = dict(zip([c for c, _ in truth], optics.project_device(left, [p for _, p in truth])))
    found = T.DetectCodedCircleMarker(left.GetImage(), T.CodedCircleMarkerType())
    detection = [np.hypot(m.x - pixels[m.code][0], m.y - pixels[m.code][1]) for m in found]
    n, rot, shift = T.GetTwoCameraTransformByCodedCircleMarker(left.GetPointMap(), left.GetImage(),
                                                               right.GetPointMap(), right.GetImage(),
                                                               T.CodedCircleMarkerType())
    _, _, pose = optics.calibration(right)
    transform = np.linalg.norm(shift + pose[:3, :3].T @ pose[:3, 3])
    n, _, board, rms, _ = T.TestAccuracy(left.GetImage(), left.GetPointMap(), 3, 4, 62.0)
    exact = dict(truth)
    centres = np.abs(np.array(board).reshape(12, 3) - [exact[c] for c in sorted(exact)]).max()
    return np.mean(detection), transform, rms, centres


def test_a_handles_optics_follow_the_knobs_between_its_captures():
    """Truth mode and the device's pose set between two captures of one handle take effect at the
    second, and setting them back gives the first capture again, bit for bit."""
    cam = open_camera()
    tuvo_sim.set("noise.seed", 3)
    first, _ = capture(cam)
    reported = optics.calibration(cam)[0]
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("scene.move_z", 40)
    tuvo_sim.set("noise.seed", 3)
    moved, _ = capture(cam)
    assert not np.array_equal(optics.calibration(cam)[0], reported)
    assert np.nanmedian(first[..., 2] - moved[..., 2]) == pytest.approx(40, abs=1)
    tuvo_sim.unset("sim.truth")
    tuvo_sim.unset("scene.move_z")
    tuvo_sim.set("noise.seed", 3)
    again, _ = capture(cam)
    assert np.array_equal(optics.calibration(cam)[0], reported)
    assert np.array_equal(again, first, equal_nan=True)


def test_truth_mode_is_exact_and_the_default_believable():
    tuvo_sim.set("sim.truth", 1)
    exact = tool_figures()
    detection, transform, rms, centres = exact
    assert detection < 0.02 and transform < 0.06 and rms < 0.008 and centres < 0.03
    tuvo_sim.reset()
    detection, transform, rms, centres = tool_figures()
    # Tens of micrometres: a calibration residual of thousandths of a pixel, ripple, bias and
    # correlated noise, none of which averages away over a marker.
    assert detection < 0.1 and 0.03 < transform < 0.5 and 0.01 < rms < 0.06 and 0.02 < centres < 0.2
    assert rms > 2 * exact[2] and transform > 2 * exact[1]


# ---- light between surfaces, edges, heat and translucency ----

CORNER = """
[materials]
matte = { albedo = 0.8 }
[[object]]
name = "left"
type = "plane"
size = [204, 600]
position = [-69.3, 0, 730.7]
rotation = { axis = [0, 1, 0], deg = -45 }
material = "matte"
[[object]]
name = "right"
type = "plane"
size = [204, 600]
position = [69.3, 0, 730.7]
rotation = { axis = [0, 1, 0], deg = 45 }
material = "matte"
"""


def corner_errors(cam, mode):
    """A concave corner's depth error without random noise (against truth mode), near its line and far
    from it, and the share of points kept near it."""
    tuvo_sim.set("noise.scale", 0)
    tuvo_sim.set("sim.truth", 1)
    exact = capture(cam, capture_mode=mode)[0]
    tuvo_sim.unset("sim.truth")
    err = np.abs(capture(cam, capture_mode=mode)[0][..., 2] - exact[..., 2])[64:192]
    x = np.abs(exact[64:192][..., 0])
    near, far = x < 8, (x > 40) & (x < 90)
    return np.nanmean(err[near]), np.nanmean(err[far]), np.isfinite(err[near]).mean()


def test_light_bounced_in_a_corner_pulls_its_points_and_the_modes_against_it_reduce_that(tmp_path):
    (tmp_path / "corner.toml").write_text(CORNER)
    cam = open_camera(scene=tmp_path / "corner.toml")
    normal = corner_errors(cam, T.CaptureMode_Normal)
    assert normal[0] > 3 * normal[1] and normal[2] == 1  # the walls light each other near their meeting
    anti = corner_errors(cam, T.CaptureMode_AntiInterReflection)
    assert anti[0] < 0.6 * normal[0] and anti[2] > 0.9  # high-frequency fringes keep less of it
    robust = corner_errors(cam, T.CaptureMode_Robust)
    assert robust[2] < 0.5 and robust[0] < 0.75 * normal[0]  # codes that disagree: dropped
    for errors in (anti, robust):
        assert errors[1] == pytest.approx(normal[1], rel=0.05)  # far from it nothing changes


STEP = """
[materials]
matte = { albedo = 0.8 }
[[object]]
name = "wall"
type = "plane"
position = [0, 0, 800]
material = "matte"
[[object]]
name = "step"
type = "box"
size = [400, 600, %g]
position = [-200.3, 0, %g]
rotation = { axis = [0, 0, 1], deg = 5 }
material = "matte"
"""


@pytest.mark.parametrize("height", [4, 16])
def test_a_step_of_a_few_millimetres_gives_mixed_pixels_that_noise_removal_mostly_drops(tmp_path, height):
    (tmp_path / "step.toml").write_text(STEP % (height, 800 - height / 2))
    cam = open_camera(scene=tmp_path / "step.toml")
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)

    def mixed(**fields):
        z = capture(cam, **fields)[0][..., 2]
        off = np.isfinite(z) & (np.abs(z - 800) > 0.05) & (np.abs(z - (800 - height)) > 0.05)
        assert ((z[off] > 800 - height) & (z[off] < 800)).all()  # between the surfaces
        return off.sum()

    every = mixed(use_auto_noise_removal=False)
    assert every > 0.8 * 256  # the edge crosses 256 rows: about one per row
    assert 0 < mixed() < every / 2


def test_points_drift_as_the_device_warms_up():
    cam = open_camera()
    tuvo_sim.set("noise.scale", 0)

    def at(seconds):
        tuvo_sim.set("sim.warm_up_s", seconds)
        return cam.GetProjectorTemperature()[1], capture(cam)[0][..., 2]

    (t0, z0), (t1, z1), (t2, z2) = at(0), at(300), at(3600)
    assert 3 < t2 - t0 < 5 and 0.5 < t1 - t0 < t2 - t0
    rates = [np.nanmedian(z - z0) / (t - t0) for t, z in ((t1, z1), (t2, z2))]
    assert 0.002 < abs(rates[1]) < 0.1  # micrometres per degree at the table's distance
    assert rates[0] == pytest.approx(rates[1], rel=0.2)  # in proportion to the temperature
    tuvo_sim.set("sim.truth", 1)  # truth mode: exact, cold or warm
    np.testing.assert_array_equal(at(0)[1], at(3600)[1])


PLATE = """
[[object]]
name = "plate"
type = "plane"
position = [0, 0, 800]
material = { albedo = 0.8, translucency = %g }
"""


def test_translucent_surfaces_measure_below_themselves_and_noisier(tmp_path):
    (tmp_path / "plate.toml").write_text(PLATE % 0.3)
    cam = open_camera(scene=tmp_path / "plate.toml")
    tuvo_sim.set("noise.scale", 0)
    in_file = capture(cam)[0][..., 2]
    tuvo_sim.set("scene.object.plate.translucency", 0)
    surface = capture(cam)[0][..., 2]  # (the device's own bias included)
    bias, noise = [], []
    for t in (0.3, 0.6, 0.9):
        tuvo_sim.set("scene.object.plate.translucency", t)
        tuvo_sim.set("noise.scale", 0)
        clean = capture(cam)[0][..., 2]
        tuvo_sim.unset("noise.scale")
        bias.append(np.nanmean(clean - surface))
        noise.append(np.nanstd(capture(cam)[0][..., 2] - clean))
    assert np.nanmean(in_file - surface) == pytest.approx(bias[0])  # the file's 0.3
    assert 0 < bias[0] < bias[1] < bias[2] < 2 * 2  # at most the depth light comes back from, 2 mm
    assert noise[0] < noise[1] < noise[2]
    tuvo_sim.set("sim.truth", 1)  # truth mode measures the surface itself
    tuvo_sim.set("noise.scale", 0)
    tuvo_sim.set("scene.object.plate.translucency", 0.9)
    exact = capture(cam)[0][..., 2]
    tuvo_sim.set("scene.object.plate.translucency", 0)
    np.testing.assert_array_equal(capture(cam)[0][..., 2], exact)


def test_bounced_light_and_edges_repeat_with_the_seed(tmp_path):
    (tmp_path / "corner.toml").write_text(CORNER)
    cam = open_camera(scene=tmp_path / "corner.toml")
    tuvo_sim.set("noise.scale", 0)

    def shot(seed):
        tuvo_sim.set("noise.seed", seed)
        return capture(cam, use_auto_noise_removal=False)[0]

    first = shot(3)
    assert not np.array_equal(shot(4), first, equal_nan=True)  # the bounce rays follow the seed
    np.testing.assert_array_equal(shot(3), first)
