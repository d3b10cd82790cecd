"""Scenes of the user's own: scene files, meshes in every format, poses, motion between captures,
refusals of bad files, the memory a capture may take, and captures of different scenes at once."""
import json
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import PyTUVO as T
import tuvo_sim
import meshes

ROOT = pathlib.Path(__file__).resolve().parents[1]
SN = "SCENE-1"


def exact():
    """Geometry tests measure the scene itself: the true calibration and no noise."""
    tuvo_sim.set("sim.truth", 1)
    tuvo_sim.set("noise.scale", 0)


def use_scene(path, width=320, height=256, extra=""):
    exact()
    tuvo_sim.set_rig("[device]\nsn = %s\nwidth = %d\nheight = %d\nscene = %s\n%s" % (SN, width, height, path, extra))


def start(path, **kw):
    use_scene(path, **kw)
    assert T.SystemInit(), T.GetLastErrorMessage()
    cam = T.X1.Create(T.SystemFindDevice(SN))
    assert cam.Open(), T.GetLastErrorMessage()
    return cam


def points(cam, **opts):
    o = T.X1_CaptureOptions()
    for k, v in opts.items():
        setattr(o, k, v)
    assert cam.Capture(o), T.GetLastErrorMessage()
    return np.array(cam.GetPointMap())


def valid(pm):
    return pm[np.isfinite(pm[..., 2])]


def scene_file(folder, text, name="scene.toml"):
    path = folder / name
    path.write_text(textwrap.dedent(text))
    return path


def rotation(axis, deg):
    a = np.radians(deg)
    c, s = np.cos(a), np.sin(a)
    i, j = {"x": (1, 2), "y": (2, 0), "z": (0, 1)}[axis]
    r = np.eye(3)
    r[i, i] = r[j, j] = c
    r[i, j], r[j, i] = -s, s
    return r


def fit_sphere(p):
    a = np.c_[2 * p, np.ones(len(p))]
    sol = np.linalg.lstsq(a, (p ** 2).sum(1), rcond=None)[0]
    return sol[:3], np.sqrt(sol[3] + sol[:3] @ sol[:3])


WALL = """
[[object]]
name = "wall"
type = "plane"
position = [0, 0, 900]
"""

# ---- meshes in each format ----

BOX_SIZE = np.array([100.0, 80.0, 60.0])
BOX_AT = np.array([20.0, -10.0, 700.0])
BOX_R = rotation("z", 25) @ rotation("y", -35) @ rotation("x", 20)  # euler_deg [20, -35, 25], order xyz


def box_scene(folder, mesh_name):
    return scene_file(folder, WALL + """
        [[object]]
        name = "part"
        type = "mesh"
        file = "%s"
        position = [20, -10, 700]
        rotation = { euler_deg = [20, -35, 25] }
    """ % mesh_name)


@pytest.mark.parametrize("kind", sorted(meshes.WRITERS))
def test_each_format_renders_the_part_where_it_stands(tmp_path, kind):
    v, f = meshes.box(BOX_SIZE)
    mesh = meshes.write(tmp_path, kind, v, f)
    cam = start(box_scene(tmp_path, mesh.name))
    pm = points(cam, calc_normal=True)
    p = pm[np.isfinite(pm[..., 2])]
    n = np.asarray(cam.GetPointMap().GetNormalDataPtr())[np.isfinite(pm[..., 2])]
    # Every point lies on the wall or on the box's surface (in the box's own frame, one coordinate
    # sits at a face and the others within it).
    local = (p - BOX_AT) @ BOX_R
    outside = (np.abs(local) - BOX_SIZE / 2).max(axis=1)
    on_box = np.abs(outside) < 0.5
    on_wall = np.abs(p[:, 2] - 900) < 0.5
    assert (on_box | on_wall).mean() > 0.995
    assert on_box.sum() > 2000
    # The faces seen cover the box from end to end along each of its axes.
    span = local[on_box].max(axis=0) - local[on_box].min(axis=0)
    np.testing.assert_allclose(span, BOX_SIZE, atol=4.0)
    # Normals on the box are its faces' normals.
    assert (np.abs(n[on_box] @ BOX_R).max(axis=1) > 0.999).mean() > 0.99


@pytest.mark.smoke
def test_all_formats_give_the_same_capture(tmp_path):
    v, f = meshes.box(BOX_SIZE)
    captures = {}
    for kind in meshes.WRITERS:
        folder = tmp_path / kind
        folder.mkdir()
        cam = start(box_scene(folder, meshes.write(folder, kind, v, f).name))
        captures[kind] = points(cam)
        tuvo_sim.reset()
    first = captures["stl"]
    for kind, pm in captures.items():
        np.testing.assert_array_equal(pm, first, err_msg=kind)


# ---- poses, scales and the working range ----

def bar_slope(tmp_path, rotation_text):
    cam = start(scene_file(tmp_path, WALL + """
        [[object]]
        name = "bar"
        type = "box"
        size = [240, 12, 12]
        position = [0, 0, 700]
        rotation = %s
    """ % rotation_text))
    p = valid(points(cam))
    bar = p[p[:, 2] < 800]
    return np.polyfit(bar[:, 0], bar[:, 1], 1)[0]


@pytest.mark.parametrize("text, degrees", [
    ("{ euler_deg = [0, 0, 30] }", 30),
    ("{ euler_deg = [0, 0, -30] }", -30),
    ("{ axis = [0, 0, 1], deg = 30 }", 30),
    ("{ quaternion = [0.9659258262890683, 0, 0, 0.25881904510252074] }", 30),
])
def test_rotations_turn_the_right_way(tmp_path, text, degrees):
    # The device frame has x to the right and y down: +30 degrees about z tilts a bar along x to y = tan(30) x.
    assert bar_slope(tmp_path, text) == pytest.approx(np.tan(np.radians(degrees)), abs=0.01)


def quaternion(r):
    w = np.sqrt(1 + np.trace(r)) / 2
    return [w, (r[2, 1] - r[1, 2]) / (4 * w), (r[0, 2] - r[2, 0]) / (4 * w), (r[1, 0] - r[0, 1]) / (4 * w)]


def test_rotation_forms_and_scales_agree(tmp_path):
    r = rotation("z", 30) @ rotation("y", 20) @ rotation("x", 10)
    q = quaternion(r)
    angle = 2 * np.degrees(np.arccos(q[0]))
    axis = np.array(q[1:]) / np.linalg.norm(q[1:])
    forms = {
        "euler": "rotation = { euler_deg = [10, 20, 30] }\nsize = [100, 80, 60]",
        "intrinsic": 'rotation = { euler_deg = [30, 20, 10], order = "ZYX" }\nsize = [100, 80, 60]',
        "axis": "rotation = { axis = [%.17g, %.17g, %.17g], deg = %.17g }\nsize = [100, 80, 60]" % (*axis, angle),
        "quaternion": "rotation = { quaternion = [%.17g, %.17g, %.17g, %.17g] }\nsize = [100, 80, 60]" % tuple(q),
        "scaled": "rotation = { euler_deg = [10, 20, 30] }\nsize = [50, 40, 30]\nscale = 2",
    }
    captures = {}
    for name, text in forms.items():
        folder = tmp_path / name
        folder.mkdir()
        cam = start(scene_file(folder, WALL + '[[object]]\nname = "b"\ntype = "box"\nposition = [0, 0, 700]\n' + text))
        captures[name] = points(cam)
        tuvo_sim.reset()
    ref = captures["euler"]
    for name, pm in captures.items():
        same = np.isfinite(pm[..., 2]) == np.isfinite(ref[..., 2])
        assert same.mean() > 0.999, name
        both = np.isfinite(pm[..., 2]) & np.isfinite(ref[..., 2])
        assert np.abs(pm[both] - ref[both]).max() < 1e-3, name


def test_mesh_scale_per_axis(tmp_path):
    unit = meshes.write(tmp_path, "ply", *meshes.box([1, 1, 1]), name="unit")
    sized = meshes.write(tmp_path, "ply", *meshes.box(BOX_SIZE), name="sized")
    pose = "position = [20, -10, 700]\nrotation = { euler_deg = [20, -35, 25] }\n"
    a = start(scene_file(tmp_path, WALL + '[[object]]\nname = "p"\ntype = "mesh"\nfile = "unit.ply"\n'
                         'scale = [100, 80, 60]\n' + pose, "a.toml"))
    first = points(a)
    tuvo_sim.reset()
    b = start(scene_file(tmp_path, WALL + '[[object]]\nname = "p"\ntype = "mesh"\nfile = "sized.ply"\n' + pose, "b.toml"))
    second = points(b)
    assert unit.exists() and sized.exists()
    both = np.isfinite(first[..., 2]) & np.isfinite(second[..., 2])
    assert both.mean() > 0.95 and np.abs(first[both] - second[both]).max() < 1e-3


def test_lengths_follow_the_working_range(tmp_path):
    path = scene_file(tmp_path, """
        [scene]
        reference_distance_mm = 880
        [[object]]
        name = "wall"
        type = "plane"
        position = [0, 0, 1000]
        [[object]]
        name = "ball"
        type = "sphere"
        radius = 50
        position = [0, 0, 700]
    """)
    found = {}
    for near, far in [(400, 1200), (600, 2000)]:
        cam = start(path, extra="near_mm = %d\nfar_mm = %d\n" % (near, far))
        p = valid(points(cam))
        k = (near + 0.6 * (far - near)) / 880
        centre, radius = fit_sphere(p[p[:, 2] < 900 * k])
        found[near] = (k, centre, radius)
        tuvo_sim.reset()
    for k, centre, radius in found.values():
        np.testing.assert_allclose(centre, [0, 0, 700 * k], atol=0.2)
        assert radius == pytest.approx(50 * k, abs=0.2)


@pytest.mark.smoke
def test_default_scene_file_is_the_built_in_one(monkeypatch):
    T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("VS3-000101"))
    cam.Open()
    built_in = points(cam)
    truth = tuvo_sim.marker_truth("VS3-000101")
    tuvo_sim.reset()
    monkeypatch.setenv("TUVO_SIM_SCENE", str(ROOT / "sim" / "scenes" / "default.toml"))
    T.SystemInit()
    cam = T.X1.Create(T.SystemFindDevice("VS3-000101"))
    cam.Open()
    np.testing.assert_array_equal(points(cam), built_in)
    assert tuvo_sim.marker_truth("VS3-000101") == truth and len(truth) == 12


def test_a_board_of_the_users_own(tmp_path):
    cam = start(scene_file(tmp_path, WALL + """
        [[object]]
        name = "target"
        type = "board"
        rows = 2
        cols = 3
        spacing = 50
        marker_radius = 5
        position = [10, 0, 600]
        rotation = { euler_deg = [180, 0, 0] }
    """), width=1280, height=1024)
    truth = tuvo_sim.marker_truth(SN)
    assert len(truth) == 6
    centres = np.array([p for _, p in truth])
    np.testing.assert_allclose(sorted(centres[:, 0]), sorted([10 + 50 * c for c in (-1, 0, 1)] * 2), atol=1e-9)
    np.testing.assert_allclose(centres[:, 2], 600, atol=1e-9)
    assert cam.Capture2D()
    found = T.DetectCodedCircleMarker(cam.GetImage(), T.CodedCircleMarkerType())
    assert sorted(m.code for m in found) == sorted(c for c, _ in truth)


def test_materials_reach_the_pictures(tmp_path):
    cam = start(scene_file(tmp_path, WALL + """
        [materials]
        coal = { albedo = 0.01 }
        [[object]]
        name = "black"
        type = "sphere"
        radius = 50
        position = [-70, 0, 700]
        material = "coal"
        [[object]]
        name = "white"
        type = "sphere"
        radius = 50
        position = [70, 0, 700]
        material = { albedo = 0.9 }
    """))
    k = np.array(cam.GetIntrinsicParameters()[1]).reshape(3, 3)
    vv, uu = np.mgrid[0:256, 0:320]

    def disc(x):  # the inner half of a sphere's outline in the image
        u, v = k[0, 0] * x / 700 + k[0, 2], k[1, 2]
        return np.hypot(uu - u, vv - v) < 0.5 * k[0, 0] * 50 / 700
    black, white = disc(-70), disc(70)
    assert cam.Capture2D()
    image = np.asarray(cam.GetImage()).astype(float)
    assert image[black].mean() < 0.2 * image[white].mean()
    pm = points(cam)
    assert np.isfinite(pm[..., 2])[black].mean() < 0.5 * np.isfinite(pm[..., 2])[white].mean()


# ---- motion between captures ----

MOVING = WALL + """
    [device]
    motion = { translate = [0, 0, 10] }
    [[object]]
    name = "ball"
    type = "sphere"
    radius = 40
    position = [80, 0, 700]
    motion = { deg = 30, axis = [0, 0, 1], centre = [0, 0, 700] }
    [[object]]
    name = "crate"
    type = "box"
    size = [40, 40, 40]
    position = [-200, -100, 750]
    motion = { translate = [5, 0, 0] }
"""


def track(cam, captures):
    out = []
    for k in range(captures):
        p = valid(points(cam))
        wall = np.median(p[p[:, 2] > 850 - 10 * k][:, 2])
        centre, _ = fit_sphere(p[(p[:, 2] < 800 - 10 * k) & (np.hypot(p[:, 0], p[:, 1]) < 130)])
        crate = p[(p[:, 2] < 800 - 10 * k) & (p[:, 0] < -150)]
        out.append((wall, centre, crate[:, 0].min()))
    return out


def test_turntable_conveyor_and_moving_device(tmp_path):
    cam = start(scene_file(tmp_path, MOVING))
    first = track(cam, 4)
    for k, (wall, centre, crate_left) in enumerate(first):
        # The device moves 10 mm towards the scene per capture: everything comes 10 mm nearer.
        assert wall == pytest.approx(900 - 10 * k, abs=0.05)
        a = np.radians(30 * k)
        np.testing.assert_allclose(centre, [80 * np.cos(a), 80 * np.sin(a), 700 - 10 * k], atol=0.1)
        assert crate_left == pytest.approx(first[0][2] + 5 * k, abs=2.0)  # a pixel is ~1.7 mm there
    # The pose depends only on how many captures the device made: a fresh start repeats it.
    tuvo_sim.reset()
    cam = start(scene_file(tmp_path, MOVING))
    again = track(cam, 4)
    np.testing.assert_allclose([c for _, c, _ in again], [c for _, c, _ in first], atol=1e-9)


def test_every_capture_of_the_device_is_a_step(tmp_path):
    cam = start(scene_file(tmp_path, MOVING), extra="cameras = left, right\n")
    right = T.X1.Create(T.SystemFindDevice(SN), T.CameraID_Right)
    assert right.Open()
    assert cam.Capture2D() and right.Capture()  # two captures of the device, by two cameras
    p = valid(points(cam))
    assert np.median(p[p[:, 2] > 850][:, 2]) == pytest.approx(880, abs=0.05)


def test_moving_the_device_by_parameters_still_works(tmp_path):
    cam = start(scene_file(tmp_path, WALL))
    before = np.median(valid(points(cam))[:, 2])
    tuvo_sim.set("scene.move_z", 25.0)
    assert np.median(valid(points(cam))[:, 2]) == pytest.approx(before - 25, abs=0.05)


# ---- refusals ----

def special_files(folder):
    os.mkfifo(folder / "fifo.stl")
    os.mkfifo(folder / "fifo.toml")
    (folder / "dir.stl").mkdir()
    (folder / "loop_a.stl").symlink_to(folder / "loop_b.stl")
    (folder / "loop_b.stl").symlink_to(folder / "loop_a.stl")
    (folder / "loop_a.toml").symlink_to(folder / "loop_b.toml")
    (folder / "loop_b.toml").symlink_to(folder / "loop_a.toml")
    meshes.write(folder, "stl", *meshes.box([10, 10, 10]), name="small")
    (folder / "nan.ply").write_text("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                    "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                                    "end_header\n0 0 0\nnan 1 0\n0 1 0\n3 0 1 2\n")
    (folder / "bad_index.ply").write_text("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
                                          "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                                          "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 7\n")
    (folder / "huge.stl").write_bytes(b"\0" * 80 + (10 ** 9).to_bytes(4, "little") + b"\0" * 500)
    (folder / "huge.ply").write_text("ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
                                     "property float y\nproperty float z\nelement face 99999999999\n"
                                     "property list uchar int vertex_indices\nend_header\n")
    (folder / "points.ply").write_text("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                                       "property float z\nend_header\n0 0 0\n")
    (folder / "cycle.gltf").write_text('{"asset": {"version": "2.0"}, "nodes": [{"children": [1]}, {"children": [0]}]}')
    (folder / "deep.gltf").write_text("[" * 10000 + "]" * 10000)
    (folder / "cut.gltf").write_text('{"asset": {"version": "2.0"}, "nodes": [{"children": [')
    (folder / "latin1.gltf").write_bytes(b'{"asset": {"version": "2.0", "generator": "caf\xe9"}}')
    (folder / "big.gltf").write_text('{"asset": {"version": "2.0"}, "buffers": [{"byteLength": 1000000000000}]}')
    (folder / "part.fbx").write_bytes(b"x")
    strip = {"asset": {"version": "2.0"}, "accessors": [{"count": 12000000, "componentType": 5126, "type": "VEC3"}],
             "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "mode": 5}]}]}
    for name, child in [("far", 100000000), ("negative", -1), ("text", "x")]:
        (folder / ("strip_%s.gltf" % name)).write_text(json.dumps(dict(strip, nodes=[{"mesh": 0}, {"children": [child]}])))
    fan = json.loads(json.dumps(strip))
    fan.update(accessors=[{"count": 1, "componentType": 5126, "type": "VEC3"}], nodes=[{"mesh": 0}])
    fan["meshes"][0]["primitives"][0]["mode"] = 6
    (folder / "fan.gltf").write_text(json.dumps(fan))
    (folder / "orphan.gltf").write_text('{"asset": {"version": "2.0"}, "nodes": [{"children": [-1]}]}')
    (folder / "v1.gltf").write_text('{"asset": {"version": "1.0"}, "accessors": {"a": {"count": 4}}, "meshes": {}}')
    (folder / "unversioned.gltf").write_text('{"nodes": []}')
    head = ("ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
            "element face %d\n%send_header\n0 0 0\n10 0 0\n0 10 0\n")
    faces = "property list uchar int vertex_indices\n"
    (folder / "no_face.ply").write_text(head % (1, faces))
    (folder / "bare_face.ply").write_text(head % (1, "") + "3 0 1 2\n")
    (folder / "two_corners.ply").write_text(head % (1, faces) + "2 0 1\n")
    (folder / "long_face.ply").write_text(head % (1, faces) + "3 0 1 2 0\n")
    (folder / "word.ply").write_text(head % (1, faces) + "3 0 one 2\n")
    (folder / "negative.ply").write_text(head % (1, faces) + "3 0 -1 2\n")
    (folder / "more.ply").write_text(head % (1, faces) + "3 0 1 2\n3 0 1 2\n")
    (folder / "no_z.ply").write_text(head.replace("property float z\n", "") % (1, faces) + "3 0 1 2\n")
    binary = (b"ply\nformat binary_big_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
              b"property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n" +
              struct.pack(">9f", 0, 0, 0, 10, 0, 0, 0, 10, 0))
    (folder / "cut.ply").write_bytes(binary + struct.pack(">Bii", 3, 0, 1))
    (folder / "far_index.ply").write_bytes(binary + struct.pack(">Biii", 3, 0, 1, 3))
    (folder / "few_corners.ply").write_bytes(binary + struct.pack(">Bi", 1, 0))
    (folder / "two_formats.ply").write_text((head % (1, faces)).replace(
        "format ascii 1.0\n", "format ascii 1.0\nformat binary_little_endian 1.0\n") + "3 0 1 2\n")
    (folder / "two_vertex_elements.ply").write_text((head % (1, faces)).replace(
        "element face", "element vertex 1\nproperty float x\nproperty float y\nproperty float z\nelement face")
        + "0 0 0\n3 0 1 2\n")
    (folder / "long_format.ply").write_text((head % (1, faces)).replace("1.0\n", "1.0 extra\n") + "3 0 1 2\n")
    triangle = {"asset": {"version": "2.0"}, "meshes": [{"primitives": [{"attributes": {"POSITION": 0}}]}],
                "accessors": [{"count": 3, "componentType": 5126, "type": "VEC3"}]}
    (folder / "skin.gltf").write_text(json.dumps(dict(triangle, nodes=[{"mesh": 0, "skin": 0}, {}],
                                                      skins=[{"joints": [1]}])))
    sparse = {"count": 12000000, "componentType": 5126, "type": "MAT4", "sparse": {"count": 0}}
    (folder / "sparse.gltf").write_text(json.dumps(dict(triangle, accessors=triangle["accessors"] + [sparse] * 2)))
    many = dict(triangle, accessors=[{"count": 3000000, "componentType": 5126, "type": "VEC3"},
                                     {"count": 3, "componentType": 5123, "type": "SCALAR"}])
    many["meshes"] = [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}]
    many["nodes"] = [{"mesh": 0}] * 5
    (folder / "many_nodes.gltf").write_text(json.dumps(many))
    # Faces of many corners, and line ends and continuations the importers take as their own.
    ring = "".join("v %g %g 0\n" % (np.cos(a), np.sin(a)) for a in np.linspace(0, 6, 300))
    (folder / "long_face.obj").write_text(ring + "f " + " ".join(str(i) for i in range(1, 301)) + "\n")
    (folder / "long_face_ascii.ply").write_text(
        (head % (1, faces.replace("uchar", "int"))).replace("vertex 3", "vertex 300").split("end_header\n")[0] +
        "end_header\n" +
        ring.replace("v ", "") + "300 " + " ".join(str(i) for i in range(300)) + "\n")
    v, f = meshes.box([10, 10, 10])
    meshes.obj(folder / "cr.obj", v, f)
    (folder / "cr.obj").write_bytes((folder / "cr.obj").read_bytes().replace(b"\n", b"\r"))
    corners = " \\\n".join(str(i) for i in range(1, 9)) + " \\\n1 2 3 4 5 6\n"  # one face of 14 corners
    (folder / "joined.obj").write_text("".join("v %g %g %g\n" % tuple(p) for p in v) + "f " + corners)
    # Indices the reader takes as many corners, lines it does not join, and primitives it builds only
    # to drop them.
    (folder / "zeros.obj").write_text(ring + "f 1 2 " + "0" * 300 + "3\n")
    (folder / "unjoined.obj").write_text(ring + "#\\\n\\\nf " + " ".join(str(i) for i in range(1, 301)) + "\n")
    box = "".join("v %g %g %g\n" % tuple(p) for p in v) + "f 1 2 3\n"
    (folder / "polyline.obj").write_text(box + "l 1 2 3 4 5 6 7 8 1 2 3\n")
    (folder / "points.obj").write_text(box + "f 1 2\n" * 4 + "p 1 2 3 4 5 6 7\n")
    meshes.stl_ascii(folder / "open_facets.stl", v, f)
    (folder / "open_facets.stl").write_text((folder / "open_facets.stl").read_text().replace("endfacet\n", ""))
    (folder / "far.ply").write_text(head.replace("10 0 0", "1e20 0 0") % (1, faces) + "3 0 1 2\n")
    meshes.stl(folder / "giant.stl", v * 2e9, f)


def obj(body, header=""):
    return header + '[[object]]\nname = "x"\n' + body


MESH = 'type = "mesh"\nfile = "%s"\n'

REFUSALS = [
    # (scene text, or a file name for the scene itself; parameters; what the message holds)
    ('[[object]]\nname = "x"\ntype = \n', {}, ["line 3, column 8", "expected value"]),
    (obj('type = "sphere"\nradius = 5\ncolour = 1\n'), {}, ["line 5", "object 'x'", "unknown key 'colour'"]),
    (obj('type = "sphere"\nradius = "big"\n'), {}, ["line 4", "object 'x'", "radius must be a number, not a string"]),
    (obj('type = "sphere"\nradius = nan\n'), {}, ["line 4", "radius must be a finite number"]),
    (obj('type = "sphere"\nradius = 5\nposition = [0, inf, 0]\n'), {}, ["line 5", "position must be a finite number"]),
    (obj('type = "sphere"\nradius = -5\n'), {}, ["line 4", "radius must be above 0"]),
    (obj('type = "sphere"\nradius = 5\nposition = [1, 2]\n'), {}, ["position must be an array of 3 numbers"]),
    (obj('type = "torus"\n'), {}, ["line 3", "unknown type 'torus'"]),
    (obj('type = "box"\n'), {}, ["object 'x'", "a box needs size"]),
    (obj('type = "sphere"\nradius = 5\n') + obj('type = "box"\nsize = [1, 2, 3]\n'), {},
     ["line 6", "object 'x'", "already used by the object on line 1"]),
    (obj('type = "sphere"\nradius = 5\nmaterial = "steel"\n'), {}, ["unknown material 'steel'"]),
    (obj('type = "sphere"\nradius = 5\nmaterial = { albedo = 1.5 }\n'), {}, ["albedo must be from 0 to 1"]),
    (obj('type = "sphere"\nradius = 5\nrotation = { euler_deg = [1, 2, 3], axis = [0, 0, 1] }\n'), {},
     ["rotation must give exactly one of"]),
    (obj('type = "sphere"\nradius = 5\nrotation = { euler_deg = [1, 2, 3], order = "xxz" }\n'), {}, ["order must be"]),
    (obj('type = "sphere"\nradius = 5\nrotation = { quaternion = [0, 0, 0, 0] }\n'), {}, ["must not be zero"]),
    (obj('type = "sphere"\nradius = 5\nscale = [1, 2, 3]\n'), {}, ["a scale per axis applies to meshes only"]),
    (obj('type = "board"\n') + '[[object]]\nname = "y"\ntype = "board"\n', {}, ["object 'y'", "at most one marker board"]),
    ('[scene]\nreference_distance_mm = 0\n' + obj('type = "sphere"\nradius = 5\n'), {}, ["line 2", "above 0"]),
    ('[scene]\nambient_lux = -5\n' + obj('type = "sphere"\nradius = 5\n'), {},
     ["line 2", "ambient_lux must be from 0 to 200000, not -5"]),
    ('[scene]\n', {}, ["the scene has no objects"]),
    ('[lights]\n' + obj('type = "sphere"\nradius = 5\n'), {}, ["unknown key 'lights'"]),
    ('[' + '.'.join(['a'] * 100000) + ']\n', {}, ["line 1", "more than 16 dotted parts"]),
    ('x = ' + '[' * 10000 + ']' * 10000 + '\n', {}, ["line 1", "nest deeper than 32 levels"]),
    (obj(MESH % "missing.stl"), {}, ["line 4", "object 'x'", "missing.stl: No such file or directory"]),
    (obj(MESH % "/dev/zero.stl"), {}, ["No such file or directory"]),
    (obj(MESH % "/dev/null"), {}, ["unsupported mesh format"]),
    (obj(MESH % "fifo.stl"), {}, ["fifo.stl: is not a regular file"]),
    (obj(MESH % "dir.stl"), {}, ["dir.stl: is not a regular file"]),
    (obj(MESH % "loop_a.stl"), {}, ["loop_a.stl: Too many levels of symbolic links"]),
    (obj('type = "mesh"\nfile = "small\\u0000.stl"\n'), {}, ["line 4", "file contains a NUL character"]),
    (obj(MESH % "part.fbx"), {}, ["unsupported mesh format 'fbx'"]),
    (obj(MESH % "nan.ply"), {}, ["vertex 1 is not a finite number"]),
    (obj(MESH % "bad_index.ply"), {}, ["face 0 refers to vertex 7 of 3"]),
    (obj('type = "plane"\ntexture = { type = "waves", period_mm = [1e-300, 5] }\n'), {}, ["period_mm must hold"]),
    (obj(MESH % "huge.stl"), {}, ["header declares 1000000000 triangles", "file has 584 bytes"]),
    (obj(MESH % "huge.ply"), {}, ["declares 99999999999 triangles, more than the limit of 4000000"]),
    (obj(MESH % "points.ply"), {}, ["has no faces"]),
    (obj(MESH % "cycle.gltf"), {}, ["node hierarchy has a cycle"]),
    (obj(MESH % "strip_far.gltf"), {}, ["nodes place 11999998 triangles, more than the limit of 4000000"]),
    (obj(MESH % "strip_negative.gltf"), {}, ["nodes place 11999998 triangles, more than the limit of 4000000"]),
    (obj(MESH % "strip_text.gltf"), {}, ["nodes place 11999998 triangles, more than the limit of 4000000"]),
    (obj(MESH % "orphan.gltf"), {}, ["node hierarchy is not a tree"]),
    (obj(MESH % "fan.gltf"), {}, ["a triangle strip or fan has fewer than 3 vertices"]),
    (obj(MESH % "v1.gltf"), {}, ["only version 2 files are read"]),
    (obj(MESH % "unversioned.gltf"), {}, ["only version 2 files are read"]),
    (obj(MESH % "no_face.ply"), {}, ["the PLY file ends inside its face elements"]),
    (obj(MESH % "bare_face.ply"), {}, ["faces need one list of vertex indices"]),
    (obj(MESH % "two_corners.ply"), {}, ["face 0 has 2 corners; a face needs at least 3"]),
    (obj(MESH % "long_face.ply"), {}, ["face 0 has more values than its properties"]),
    (obj(MESH % "word.ply"), {}, ["face 0 has a malformed number"]),
    (obj(MESH % "negative.ply"), {}, ["face 0 refers to vertex -1 of 3"]),
    (obj(MESH % "more.ply"), {}, ["goes on after its last element"]),
    (obj(MESH % "no_z.ply"), {}, ["vertices have no z"]),
    (obj(MESH % "two_formats.ply"), {}, ["the PLY header gives its format twice"]),
    (obj(MESH % "two_vertex_elements.ply"), {}, ["the PLY header declares the element vertex twice"]),
    (obj(MESH % "long_format.ply"), {}, ["the PLY header has a malformed line: format ascii 1.0 extra"]),
    (obj(MESH % "skin.gltf"), {}, ["a skin needs joints and inverse bind matrices for each of them"]),
    (obj(MESH % "sparse.gltf"), {}, ["the accessors declare 1536000036 bytes of elements, more than the limit of"]),
    (obj(MESH % "many_nodes.gltf"), {}, ["the scene's nodes place 15000000 vertices, more than the 12000000"]),
    (obj(MESH % "cut.ply"), {}, ["the PLY file ends inside its face elements"]),
    (obj(MESH % "far_index.ply"), {}, ["face 0 refers to vertex 3 of 3"]),
    (obj(MESH % "few_corners.ply"), {}, ["face 0 has 1 corners; a face needs at least 3"]),
    (obj(MESH % "deep.gltf"), {}, ["nests deeper than 64 levels"]),
    (obj(MESH % "cut.gltf"), {}, ["glTF: the JSON text is malformed"]),
    (obj(MESH % "latin1.gltf"), {}, ["glTF: the JSON text is malformed"]),
    (obj(MESH % "big.gltf"), {}, ["buffers declare 1000000000000 bytes"]),
    (obj(MESH % "small.stl"), {"scene.max_mesh_triangles": 11}, ["12 triangles, more than the limit of 11"]),
    (obj(MESH % "small.stl"), {"scene.max_mesh_bytes": 600}, ["is larger than 600 bytes"]),
    (obj(MESH % "long_face.obj"), {}, ["face 1 of the OBJ file has 300 corners, more than the limit of 256"]),
    (obj(MESH % "long_face_ascii.ply"), {}, ["face 0 has 300 corners, more than the limit of 256"]),
    (obj(MESH % "cr.obj"), {"scene.max_mesh_triangles": 11}, ["the OBJ file's faces make at least 12 triangles"]),
    (obj(MESH % "joined.obj"), {"scene.max_mesh_triangles": 11}, ["the OBJ file's faces make at least 12 triangles"]),
    (obj(MESH % "open_facets.stl"), {"scene.max_mesh_triangles": 11}, ["the ASCII STL holds 12 triangles"]),
    (obj(MESH % "zeros.obj"), {}, ["face 1 of the OBJ file has the index '000000000000000000000000...': indices"]),
    (obj(MESH % "unjoined.obj"), {}, ["face 1 of the OBJ file has 300 corners, more than the limit of 256"]),
    (obj(MESH % "polyline.obj"), {"scene.max_mesh_triangles": 11},
     ["the OBJ file's faces, polylines and points make at least 12 triangles"]),
    (obj(MESH % "points.obj"), {"scene.max_mesh_triangles": 11},
     ["the OBJ file's faces, polylines and points make at least 12 triangles"]),
    # Placed geometry beyond what the renderer handles.
    ('[scene]\nreference_distance_mm = 1e-300\n' + obj('type = "sphere"\nradius = 5\n'), {},
     ["line 3: object 'x': placed for this device (lengths times 8.8e+302), it reaches", "beyond the 1000000000 mm"]),
    ('[scene]\nreference_distance_mm = 1e6\n' + obj('type = "sphere"\nradius = 1e-3\n'), {},
     ["object 'x': placed for this device (lengths times 0.00088), it measures 8.8e-07 mm, less than the 0.0001 mm"]),
    (obj(MESH % "far.ply"), {}, ["vertex 1 has a coordinate of 1e+20, beyond the 1e+12 a mesh may hold"]),
    (obj(MESH % "giant.stl" + "scale = 1e6\n"), {}, ["object 'x': placed for this device, it reaches", "beyond the 1000000000 mm"]),
    (obj(MESH % "giant.stl" + "scale = 1e-10\nposition = [0, 0, 900]\n"), {},
     ["it is scaled so small that the device lies", "beyond the 1e+12 Embree handles"]),
    (obj(MESH % "small.stl") + '[[object]]\nname = "y"\ntype = "mesh"\nfile = "nan.ply"\n' +
     '[[object]]\nname = "z"\n' + MESH % "huge.stl", {}, ["object 'y'"]),  # the first fault is reported
    ("/dev/zero", {}, ["scene /dev/zero: is not a regular file"]),
    ("fifo.toml", {}, ["fifo.toml: is not a regular file"]),
    ("loop_a.toml", {}, ["Too many levels of symbolic links"]),
    (".", {}, ["is not a regular file"]),
    ("absent.toml", {}, ["absent.toml: No such file or directory"]),
]


def test_a_mesh_file_replaced_after_its_check_is_not_what_is_imported(tmp_path):
    """The importer reads the bytes that were checked, not a file renamed over the mesh's name since."""
    import meshes
    v, f = meshes.box([10, 10, 10])
    meshes.obj(tmp_path / "part.obj", v, f)
    (tmp_path / "other.obj").write_text("".join("v %g %g %g\n" % tuple(p) for p in v) + "f 1 2 3\n" * 100)
    tuvo_sim.set("scene.max_mesh_triangles", 12)
    use_scene(scene_file(tmp_path, obj(MESH % "part.obj" + "position = [0, 0, 800]\n")))
    done = []
    with tuvo_sim.blocked("scene.import_mesh"):
        t = threading.Thread(target=lambda: done.append((T.SystemInit(), T.GetLastErrorMessage())))
        t.start()
        assert tuvo_sim.wait_entered("scene.import_mesh") == 1
        os.replace(tmp_path / "other.obj", tmp_path / "part.obj")
    t.join()
    assert done == [(True, "")]


def test_a_ply_comment_that_mentions_end_header_ends_nothing(tmp_path):
    (tmp_path / "part.ply").write_text(
        "ply\nformat ascii 1.0\ncomment written before end_header\nelement vertex 3\nproperty float x\n"
        "property float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
        "0 0 800\n50 0 800\n0 50 800\n3 0 1 2\n")
    (tmp_path / "scene.toml").write_text(obj(MESH % "part.ply"))
    start(tmp_path / "scene.toml")


@pytest.mark.parametrize("scene, params, expected", REFUSALS)
def test_bad_scenes_are_refused_with_a_reason(tmp_path, scene, params, expected):
    special_files(tmp_path)
    if "\n" in scene:
        path = tmp_path / "scene.toml"
        path.write_text(scene)
    else:
        path = scene if scene.startswith("/") else tmp_path / scene
    for key, value in params.items():
        tuvo_sim.set(key, value)
    use_scene(path)
    assert T.SystemInit() is False
    assert T.GetLastError() == tuvo_sim.ERROR_INVALID_ARGUMENT
    message = T.GetLastErrorMessage()
    assert message.startswith("SystemInit: device %s: scene %s" % (SN, path))
    for fragment in expected:
        assert fragment in message
    # Nothing is half loaded: the SDK stays down until a good scene comes.
    assert not T.SystemIsInited()
    assert T.SystemListDevices(T.All)[0] == tuvo_sim.ERROR_NOT_INITIALIZED
    use_scene(scene_file(tmp_path, WALL, "good.toml"))
    assert T.SystemInit()


SMALL_STACK = """
    import sys, threading
    import PyTUVO as T
    import tuvo_sim
    tuvo_sim.set_rig("[device]\\nsn = S-1\\nwidth = 64\\nheight = 48\\nscene = %s\\n" % sys.argv[1])
    threading.stack_size(1 << 20)
    out = []
    t = threading.Thread(target=lambda: out.append((T.SystemInit(), T.GetLastErrorMessage())))
    t.start()
    t.join()
    print(out[0][1])
"""


@pytest.mark.parametrize("string", ['"""s"""', '"""s""""', '"""s"""""', "'''s'''", "'''s''''", "'''s'''''",
                                    '"""\\\n s"""""', '"s\\""'])
def test_strings_hide_no_nesting_on_a_small_stack(tmp_path, string):
    """The nesting check reads strings as TOML does, whatever quotes close them: a deep key after
    one is refused, also by SystemInit on a thread with a 1 MB stack."""
    path = scene_file(tmp_path, "[t]\nx = { s = %s, %s = 1 }\n" % (string, ".".join(["a"] * 100000)))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(SMALL_STACK), str(path)], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    line = 3 if "\n" in string else 2
    assert "scene.toml: line %d: a key has more than 16 dotted parts" % line in r.stdout


def test_a_byte_order_mark_hides_no_nesting(tmp_path):
    """toml++ skips a byte order mark: the key right after it is checked as any other."""
    path = tmp_path / "scene.toml"
    path.write_bytes(b"\xef\xbb\xbf" + ".".join(["a"] * 100000).encode() + b" = 1\n")
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(SMALL_STACK), str(path)], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    assert "scene.toml: line 1: a key has more than 16 dotted parts" in r.stdout


def test_scene_named_by_the_environment_and_relative_to_the_rig(tmp_path, monkeypatch):
    folder = tmp_path / "cell"
    folder.mkdir()
    scene_file(folder, WALL.replace("900", "850"), "here.toml")
    (folder / "rig.txt").write_text("[device]\nsn = R-1\nwidth = 160\nheight = 128\nscene = here.toml\n"
                                    "[device]\nsn = R-2\nwidth = 160\nheight = 128\n")
    scene_file(tmp_path, WALL.replace("900", "800"), "env.toml")
    monkeypatch.setenv("TUVO_SIM_RIG", str(folder / "rig.txt"))
    monkeypatch.setenv("TUVO_SIM_SCENE", str(tmp_path / "env.toml"))
    tuvo_sim.set_rig(None)
    exact()
    assert T.SystemInit(), T.GetLastErrorMessage()
    depths = {}
    for sn in ("R-1", "R-2"):
        cam = T.X1.Create(T.SystemFindDevice(sn))
        cam.Open()
        depths[sn] = np.median(valid(points(cam))[:, 2])
    assert depths == {"R-1": pytest.approx(850, abs=0.05), "R-2": pytest.approx(800, abs=0.05)}
    T.SystemShutdown()
    monkeypatch.setenv("TUVO_SIM_SCENE", str(tmp_path / "absent.toml"))
    assert not T.SystemInit() and "device R-2: scene %s" % (tmp_path / "absent.toml") in T.GetLastErrorMessage()


# ---- memory ----

@pytest.mark.parametrize("value", [float("inf"), 1e300, 2.0 ** 64])
def test_memory_beyond_what_can_be_counted_is_no_limit(x1, value):
    tuvo_sim.set("memory.available_mb", value)
    assert x1.Capture(), T.GetLastErrorMessage()


def test_captures_that_cannot_fit_are_refused(x1):
    tuvo_sim.set("memory.available_mb", 100)
    before = tuvo_sim.live("pointmap")
    assert x1.Capture() is False
    assert T.GetLastError() == -10
    assert T.GetLastErrorMessage() == ("X1.Capture(): a 1280 x 1024 capture returns 54 MB and needs up to 208 MB "
                                       "while it runs; 105 MB of memory is available")
    assert tuvo_sim.live("pointmap") == before
    o = T.X1_CaptureOptions()
    o.calc_normal = True
    tuvo_sim.set("memory.available_mb", 200)
    assert x1.Capture() and not x1.Capture(o)  # normals make it bigger
    assert x1.Capture2D()


def test_rlimit_as_is_respected():
    code = textwrap.dedent("""
        import resource, PyTUVO as T, tuvo_sim
        pages = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (pages + (1 << 30), resource.RLIM_INFINITY))
        tuvo_sim.set_rig("[device]\\nsn = BIG\\nwidth = 8192\\nheight = 8192\\ncameras = left, right\\nx2 = yes\\n")
        T.SystemInit()
        cam = T.X2.Create(T.SystemFindDevice("BIG"))
        assert cam.Open()
        print(cam.Capture(), T.GetLastError(), T.GetLastErrorMessage())
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("False -10 X2.Capture(): a 8192 x 8192 capture returns 3.89 GB and needs up to")
    assert run.stdout.rstrip().endswith("of memory is available")


# ---- threads ----

def test_devices_with_own_and_shared_scenes_capture_at_once(tmp_path):
    v, f = meshes.box(BOX_SIZE)
    meshes.write(tmp_path, "obj", v, f)
    box_scene(tmp_path, "part.obj")
    # A and C share one loaded scene (and its mesh), B has one of its own that moves.
    rig = "".join("[device]\nsn = %s\nwidth = 320\nheight = 256\nscene = %s\n" % (sn, path) for sn, path in [
        ("A", tmp_path / "scene.toml"), ("B", scene_file(tmp_path, MOVING, "moving.toml")), ("C", tmp_path / "scene.toml")])

    def run(threads):
        tuvo_sim.reset()
        tuvo_sim.set_rig(rig)
        assert T.SystemInit(), T.GetLastErrorMessage()
        cams = {sn: T.X1.Create(T.SystemFindDevice(sn)) for sn in "ABC"}
        out = {sn: [] for sn in "ABC"}

        def work(sn):
            cams[sn].Open()
            for _ in range(4):
                out[sn].append(points(cams[sn]))
        if threads:
            workers = [threading.Thread(target=work, args=(sn,)) for sn in "ABC"]
            for w in workers:
                w.start()
            for w in workers:
                w.join(60)
        else:
            for sn in "ABC":
                work(sn)
        return out

    alone, together = run(False), run(True)
    for sn in "ABC":
        assert len(together[sn]) == 4
        for a, b in zip(alone[sn], together[sn]):
            np.testing.assert_array_equal(a, b)
    far = [np.nanmedian(pm[..., 2][pm[..., 2] > 850]) for pm in alone["B"][:2]]
    assert far[0] - far[1] == pytest.approx(10, abs=0.05)  # B's scene moves


def test_ray_floor_casts_a_captures_rays(tmp_path):
    cam = start(scene_file(tmp_path, WALL))
    floor = tuvo_sim.ray_floor(SN)
    assert floor["primary_rays"] == 320 * 256 and floor["shadow_rays"] == 320 * 256  # the wall fills the view
    assert floor["primary_s"] > 0 and floor["shadow_s"] > 0
    with pytest.raises(ValueError):
        tuvo_sim.ray_floor(SN, camera=1)
    assert cam.IsOpen()


BOX = WALL + """
[[object]]
name = "box"
type = "box"
size = [120, 120, 60]
position = [0, 0, 760]
"""


@pytest.mark.parametrize("text", [WALL, BOX], ids=["wall", "box before the wall"])
def test_ray_floor_casts_the_edge_and_stereo_rays(tmp_path, text):
    """Besides a ray per pixel and its shadow ray, a capture casts rays over the footprint of each pixel
    at a depth edge, and a two-camera capture casts from each lit point towards the other camera: the
    floor casts them too."""
    path = scene_file(tmp_path, text)
    pixels = 320 * 256  # the wall fills the view
    z = points(start(path))[..., 2]
    # Each row and column across the box steps at least twice, at the pixels on either side of the
    # step; each such pixel casts its own ray again and 9 over its footprint.
    box = z < 800
    steps = 2 * (box.any(axis=1).sum() + box.any(axis=0).sum())
    one = tuvo_sim.ray_floor(SN)
    assert one["primary_rays"] == pixels and one["shadow_rays"] >= pixels + 10 * steps
    assert (steps > 100) == (text == BOX)
    T.SystemShutdown()

    use_scene(path, extra="cameras = left, right\nx2 = yes\n")
    assert T.SystemInit(), T.GetLastErrorMessage()
    x2 = T.X2.Create(T.SystemFindDevice(SN))
    assert x2.Open() and x2.Capture(T.X2_CaptureOptions()), T.GetLastErrorMessage()
    matched = np.isfinite(np.asarray(x2.GetCorrespondMap())[..., 0]).sum()  # seen by both: a ray between
    left, right = tuvo_sim.ray_floor(SN, 0), tuvo_sim.ray_floor(SN, 1)
    assert matched > pixels / 2 and left["shadow_rays"] >= one["shadow_rays"] + matched
    assert right["shadow_rays"] <= pixels  # the right camera gives its image alone
    T.SystemShutdown()


def test_coincident_objects_cost_a_ray_one_test(tmp_path):
    """Objects placed on top of each other are one surface to the rays (the first is seen); the
    others, apart, cost a ray only when it can meet them."""
    sphere = '[[object]]\nname = "s%d"\ntype = "sphere"\nradius = 60\nposition = [0, 0, 700]\nmaterial = { albedo = %g }\n'
    apart = '[[object]]\nname = "a%d"\ntype = "box"\nsize = [2, 2, 2]\nposition = [%d, -400, 600]\n'
    boxes = "".join(apart % (i, 4 * i - 2000) for i in range(1000))
    pictures = []
    for copies in (1, 2000):
        text = WALL + "".join(sphere % (i, 0.5 if i == 0 else 0.9) for i in range(copies)) + boxes
        cam = start(scene_file(tmp_path, text))
        floor = tuvo_sim.ray_floor(SN)
        assert floor["primary_tests"] <= 3 * floor["primary_rays"]
        assert floor["shadow_tests"] <= 3 * floor["shadow_rays"]
        pictures.append((points(cam), np.array(cam.GetImage())))
        T.SystemShutdown()
    np.testing.assert_array_equal(pictures[0][0], pictures[1][0])
    np.testing.assert_array_equal(pictures[0][1], pictures[1][1])  # the first sphere's material is seen


def test_a_mesh_named_in_many_ways_is_read_once(tmp_path):
    meshes.write(tmp_path, "stl", *meshes.box([20, 20, 20]), name="part")
    (tmp_path / "sub").mkdir()
    (tmp_path / "link.stl").symlink_to(tmp_path / "part.stl")
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "part.stl").symlink_to(tmp_path / "part.stl")
    names = ["part.stl", "./part.stl", ".//part.stl", "sub/../part.stl", str(tmp_path / "part.stl"), "link.stl"]
    text = WALL + "".join('[[object]]\nname = "p%d"\ntype = "mesh"\nfile = "%s"\nposition = [%d, 0, 800]\n'
                          % (i, name, 30 * i - 80) for i, name in enumerate(names))
    start(scene_file(tmp_path, text))
    assert tuvo_sim.calls("scene.load_mesh") == 1
    # A file reached through another folder is read again: the files it refers to may differ there.
    T.SystemShutdown()
    start(scene_file(tmp_path, text.replace('"link.stl"', '"other/part.stl"')))
    assert tuvo_sim.calls("scene.load_mesh") == 3


def test_a_mesh_the_size_of_its_limit_loads(tmp_path):
    """Each file counts once against the bytes a mesh may hold, however often the importer opens it."""
    for kind in ("stl", "obj", "gltf", "glb"):
        path = meshes.write(tmp_path, kind, *meshes.box([20, 20, 20]), name="part_" + kind)
        size = path.stat().st_size + (path.with_suffix(".bin").stat().st_size if kind == "gltf" else 0)
        tuvo_sim.set("scene.max_mesh_bytes", size)
        start(scene_file(tmp_path, WALL + obj(MESH % path.name + "position = [0, 0, 800]\n")))
        T.SystemShutdown()
        tuvo_sim.set("scene.max_mesh_bytes", size - 1)
        use_scene(tmp_path / "scene.toml")
        assert not T.SystemInit() and "larger than" in T.GetLastErrorMessage()
