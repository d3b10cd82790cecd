"""Images, point maps, normals and per-pixel maps: views over SDK memory, files, lifetimes."""
import os
import resource
import signal
import subprocess
import sys

import numpy as np
import plyfile
import png
import pytest

import PyTUVO as T
import tuvo_sim


def is_empty_description(obj):
    view = memoryview(obj)
    return view.ndim == 0 and view.nbytes == 0 and view.format == "" and view.itemsize == 0


# ---- Image ----

@pytest.mark.parametrize("kind, shape, strides", [
    (T.Mono8, (480, 640), (640, 1)),
    (T.BGR8, (480, 640, 3), (1920, 3, 1)),
    (T.RGB8, (480, 640, 3), (1920, 3, 1)),
])
def test_image_views(kind, shape, strides):
    img = T.ImageCreate(kind, T.Size(640, 480))
    a = np.asarray(img)
    assert a.shape == shape and a.strides == strides and a.dtype == np.uint8
    assert a.flags.writeable and not a.any()
    assert T.ImageTypeGetPixelSize(kind) == (1 if kind == T.Mono8 else 3)
    T.ImageDestroy(img)


def test_image_views_share_sdk_memory(tmp_path):
    img = T.ImageCreate(T.Mono8, T.Size(64, 32))
    a, b = np.asarray(img), np.asarray(img)
    assert np.shares_memory(a, b)
    assert a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
    a[10:20, 5:9] = 200
    assert b[15, 6] == 200
    path = str(tmp_path / "grey.png")
    assert img.SaveImage(path)
    loaded = T.Image.CreateFromFile(path)
    assert loaded.GetType() == T.Mono8 and np.array_equal(np.asarray(loaded), a)
    for i in (img, loaded):
        T.Image.Destroy(i)


def test_colour_png_round_trip_and_bgr_order(tmp_path):
    bgr = T.ImageCreate(T.BGR8, T.Size(8, 4))
    np.asarray(bgr)[...] = [10, 20, 30]  # blue, green, red
    path = str(tmp_path / "colour.png")
    assert bgr.SaveImage(path)
    width, height, rows, info = png.Reader(filename=path).read()
    assert (width, height, info["planes"]) == (8, 4, 3)
    assert list(next(iter(rows)))[:3] == [30, 20, 10]  # stored as RGB
    rgb = T.Image.CreateFromFile(path)
    assert rgb.GetType() == T.RGB8 and tuple(np.asarray(rgb)[0, 0]) == (30, 20, 10)


@pytest.mark.parametrize("content", [None, b"", b"\x89PNG\r\n\x1a\n" + b"\0" * 20, b"GIF89a not a png"])
def test_bad_image_files(tmp_path, content):
    path = tmp_path / "bad.png"
    if content is not None:
        path.write_bytes(content)
    img = T.Image.CreateFromFile(str(path))
    assert isinstance(img, T.Image) and not img.IsValid()
    assert T.GetLastErrorMessage().startswith("Image.CreateFromFile: ")


def test_truncated_png(tmp_path):
    good = T.ImageCreate(T.Mono8, T.Size(50, 40))
    np.asarray(good)[...] = np.arange(50, dtype=np.uint8)
    path = str(tmp_path / "t.png")
    good.SaveImage(path)
    data = open(path, "rb").read()
    open(path, "wb").write(data[: len(data) // 2])
    assert not T.Image.CreateFromFile(path).IsValid()


def test_default_image_and_destroyed_image():
    assert not T.Image().IsValid() and is_empty_description(T.Image())
    img = T.ImageCreate(T.Mono8, T.Size(4, 4))
    copy = T.Image.Clone(img)
    T.Image.Destroy(img)
    assert not img.IsValid() and copy.IsValid()
    assert is_empty_description(img)  # a stale handle shows nothing, never freed memory
    assert not img.SaveImage("/tmp/never.png")
    T.Image.Destroy(img)  # harmless
    with pytest.raises(TypeError):
        img.Destroy()


def test_clone_copies_pixels():
    img = T.ImageCreate(T.RGB8, T.Size(3, 2))
    np.asarray(img)[...] = 7
    clone = img.Clone()
    np.asarray(img)[...] = 9
    assert np.asarray(clone).max() == 7 and not np.shares_memory(np.asarray(img), np.asarray(clone))


def test_image_create_refusals():
    assert not T.ImageCreate(getattr(T.ImageTypeEnum, "None"), T.Size(4, 4)).IsValid()
    assert not T.ImageCreate(T.Mono8, T.Size(0, 4)).IsValid()
    assert "size 0x4" in T.GetLastErrorMessage()
    with pytest.raises(TypeError):
        T.ImageCreate(T.Mono8, None)
    assert tuvo_sim.calls("Image.Create") == 2


def test_null_pixels_with_a_size_give_the_empty_description():
    img = T.ImageCreate(T.Mono8, T.Size(4, 4))
    tuvo_sim.set("Image.GetDataPtr", None)
    assert is_empty_description(img)


@pytest.mark.parametrize("size, kind", [((0, 0), T.Mono8), ((5, 0), T.RGB8), ((5, 5), getattr(T.ImageTypeEnum, "None"))])
def test_empty_image_never_asks_for_its_pointer(size, kind):
    tuvo_sim.set("Image.GetSize", tuvo_sim.size(*size))
    tuvo_sim.set("Image.GetType", int(kind))
    assert is_empty_description(T.Image())
    assert tuvo_sim.calls("Image.GetDataPtr") == 0


def test_destroy_flags():
    img = T.ImageCreate(T.Mono8, T.Size(2, 2))
    T.ImageDestroy(img)
    assert tuvo_sim.last_args("Image.Destroy")["no_reuse"] is True
    T.ImageDestroy(img, False)
    assert tuvo_sim.last_args("Image.Destroy")["no_reuse"] is False
    T.ImageDestroy(img=img, no_reuse=None)
    assert tuvo_sim.last_args("Image.Destroy")["no_reuse"] is False
    T.Image.Destroy(img)
    assert tuvo_sim.last_args("Image.Destroy")["no_reuse"] is True
    with pytest.raises(TypeError):
        T.ImageDestroy(img, "yes")


def test_reused_memory_is_zeroed():
    img = T.ImageCreate(T.Mono8, T.Size(16, 16))
    np.asarray(img)[...] = 255
    T.ImageDestroy(img, False)
    again = T.ImageCreate(T.Mono8, T.Size(16, 16))
    assert not np.asarray(again).any()


def test_type_names():
    assert [T.ImageTypeToString(t) for t in (T.Mono8, T.RGB8, T.BGR8)] == ["Mono8", "RGB8", "BGR8"]
    tuvo_sim.set("ImageType.ToString", None)
    assert T.ImageTypeToString(T.Mono8) is None
    assert T.PointMapTypeToString(T.PointsNormals) == "PointsNormals"


# ---- PointMap and NormalData ----

def grid_map(width=4, height=2, normals=False):
    pm = T.PointMapCreate(T.PointsNormals if normals else T.PointsOnly, T.Size(width, height))
    a = np.asarray(pm)
    a[...] = np.arange(a.size, dtype=float).reshape(a.shape)
    return pm, a


def test_point_map_view():
    pm, a = grid_map()
    assert a.shape == (2, 4, 3) and a.strides == (96, 24, 8) and a.nbytes == 192 and a.dtype == np.float64
    assert np.shares_memory(a, np.asarray(pm))
    assert pm.GetSize().width == 4 and pm.GetSize().height == 2


def test_normals():
    without, _ = grid_map()
    nd = without.GetNormalDataPtr()
    assert not nd.IsValid() and is_empty_description(nd) and nd.GetSize().width == 4
    with_normals, _ = grid_map(normals=True)
    nd = with_normals.GetNormalDataPtr()
    n = np.asarray(nd)
    assert nd.IsValid() and n.shape == (2, 4, 3) and n.strides == (96, 24, 8)
    n[...] = 1.0
    assert np.asarray(with_normals.GetNormalDataPtr()).min() == 1.0
    assert not T.NormalData().IsValid() and np.asarray(T.NormalData()).shape == (0, 0, 3)


@pytest.mark.parametrize("end", [T.PointMap.Destroy, T.PointMapDestroy])
def test_normal_data_ends_with_its_point_map(x1, end):
    o = T.X1_CaptureOptions()
    o.calc_normal = True
    assert x1.Capture(o)
    pm = x1.GetPointMap()
    nd = pm.GetNormalDataPtr()
    assert nd.IsValid() and np.isfinite(np.asarray(nd)).any()
    end(pm)
    assert not nd.IsValid() and is_empty_description(nd)
    assert nd.GetSize().width == 1280  # the record itself is kept


def test_normal_data_is_a_snapshot():
    pm, _ = grid_map(normals=True)
    nd = pm.GetNormalDataPtr()
    tuvo_sim.set("PointMap.GetSize", tuvo_sim.size(9, 9))
    assert nd.GetSize().width == 4 and pm.GetSize().width == 9


def test_null_points_give_the_empty_description():
    pm, _ = grid_map()
    tuvo_sim.set("PointMap.GetPointDataPtr", None)
    assert is_empty_description(pm)
    tuvo_sim.set("PointMap.GetNormalDataPtr", None)
    assert not grid_map(normals=True)[0].GetNormalDataPtr().IsValid()


def test_default_point_map():
    assert not T.PointMap().IsValid() and np.asarray(T.PointMap()).shape == (0, 0, 3)


@pytest.mark.parametrize("unit, binary, scale", [
    (T.Millimeter, True, 1.0), (T.Meter, True, 0.001), (T.Millimeter, False, 1.0), (T.Meter, False, 0.001)])
def test_ply_round_trip(tmp_path, unit, binary, scale):
    pm, a = grid_map(5, 3)
    a[1, 2] = np.nan
    path = str(tmp_path / "p.ply")
    assert pm.Save(path, unit, binary)
    ply = plyfile.PlyData.read(path)
    assert ply.text is (not binary)
    xyz = np.stack([ply["vertex"][k] for k in "xyz"], axis=-1)
    np.testing.assert_allclose(xyz, a.reshape(-1, 3) * scale, rtol=1e-7)
    back = T.PointMap.CreateFromFile(path, T.Size(5, 3), T.Millimeter)
    np.testing.assert_allclose(np.asarray(back), a, rtol=1e-7)
    in_metres = T.PointMap.CreateFromFile(path, T.Size(0, 0), T.Meter)
    assert in_metres.GetSize().width == 5
    np.testing.assert_allclose(np.asarray(in_metres), a * 0.001, rtol=1e-7)


def test_save_defaults_and_keywords(tmp_path):
    pm, _ = grid_map()
    pm.Save(str(tmp_path / "a.ply"))
    args = tuvo_sim.last_args("PointMap.Save")
    assert (args["unit"], args["isBinary"], args["image_slot"]) == (1, True, 0)
    pm.Save(filename=str(tmp_path / "b.ply"), unit=T.Meter, isBinary=False)
    args = tuvo_sim.last_args("PointMap.Save")
    assert (args["unit"], args["isBinary"]) == (0, False)


def test_save_with_image_colours_vertices(tmp_path):
    pm, _ = grid_map()
    img = T.ImageCreate(T.BGR8, T.Size(4, 2))
    np.asarray(img)[...] = [1, 2, 3]
    path = str(tmp_path / "c.ply")
    assert pm.SaveWithImage(filename=path, image=img, unit=T.Millimeter, isBinary=True)
    v = plyfile.PlyData.read(path)["vertex"]
    assert (v["red"][0], v["green"][0], v["blue"][0]) == (3, 2, 1)
    small = T.ImageCreate(T.Mono8, T.Size(2, 2))
    assert not pm.SaveWithImage(path, small)
    assert "size differs" in T.GetLastErrorMessage()


def test_write_through_view_reaches_the_file(tmp_path):
    pm, a = grid_map()
    a[0, 0] = (-1.5, 2.5, 700.25)
    path = str(tmp_path / "w.ply")
    pm.Save(path, T.Millimeter, False)
    assert "-1.5 2.5 700.25" in open(path).read()


def read_pcd(path):
    """A small PCD 0.7 reader (ascii and binary, 8-byte floats and a 4-byte packed colour): the header as
    a dict and the fields as arrays of HEIGHT x WIDTH."""
    raw = open(path, "rb").read()
    header, offset = {}, 0
    while "DATA" not in header:
        end = raw.index(b"\n", offset)
        line = raw[offset:end].decode("ascii")
        offset = end + 1
        if line and not line.startswith("#"):
            key, *values = line.split()
            header[key] = values
    names, sizes, types = header["FIELDS"], [int(s) for s in header["SIZE"]], header["TYPE"]
    dtype = np.dtype([(n, {"F": "<f", "U": "<u", "I": "<i"}[t] + str(s)) for n, s, t in zip(names, sizes, types)])
    w, h = int(header["WIDTH"][0]), int(header["HEIGHT"][0])
    assert int(header["POINTS"][0]) == w * h
    if header["DATA"] == ["binary"]:
        data = np.frombuffer(raw, dtype, count=w * h, offset=offset)
        assert len(raw) == offset + dtype.itemsize * w * h
    else:
        rows = raw[offset:].decode("ascii").splitlines()
        assert len(rows) == w * h
        data = np.array([tuple(float(v) if dtype[i].kind == "f" else int(v) for i, v in enumerate(r.split()))
                         for r in rows], dtype)
    return header, {n: data[n].reshape(h, w) for n in names}


@pytest.mark.parametrize("binary", [True, False])
@pytest.mark.parametrize("unit, scale", [(T.Millimeter, 1.0), (T.Meter, 0.001)])
@pytest.mark.parametrize("kind", [None, T.BGR8, T.Mono8])
def test_pcd_is_written_for_a_pcd_name(tmp_path, binary, unit, scale, kind):
    pm, a = grid_map(5, 3)
    a[1, 2] = np.nan
    path = str(tmp_path / "p.pcd")
    if kind is None:
        assert pm.Save(path, unit, binary), T.GetLastErrorMessage()
    else:
        img = T.ImageCreate(kind, T.Size(5, 3))
        if kind == T.Mono8:
            np.asarray(img)[...] = np.arange(15, dtype=np.uint8).reshape(3, 5) * 17
        else:
            np.asarray(img)[...] = [[[10 * x + y, 100 + x, 200 + y] for x in range(5)] for y in range(3)]
        assert pm.SaveWithImage(path, img, unit, binary), T.GetLastErrorMessage()
    assert open(path, "rb").read(5) == b"# .PC"
    header, fields = read_pcd(path)
    assert header["VERSION"] == ["0.7"] and header["DATA"] == ["binary" if binary else "ascii"]
    assert (header["WIDTH"], header["HEIGHT"]) == (["5"], ["3"])
    xyz = np.stack([fields[k] for k in "xyz"], axis=-1)
    assert xyz.dtype == np.float32
    np.testing.assert_array_equal(xyz, (a * scale).astype(np.float32))
    assert np.isnan(xyz[1, 2]).all()
    if kind is None:
        assert "rgb" not in fields
    else:
        packed = fields["rgb"]
        rgb = np.stack([(packed >> 16) & 255, (packed >> 8) & 255, packed & 255], axis=-1)
        view = np.asarray(img)
        want = np.repeat(view[..., None], 3, axis=-1) if kind == T.Mono8 else view[..., ::-1]
        assert np.array_equal(rgb, want)
    try:  # the reader people use, where it is installed
        import open3d as o3d
    except ImportError:
        return
    cloud = o3d.io.read_point_cloud(path, remove_nan_points=True)
    np.testing.assert_allclose(np.asarray(cloud.points), np.delete(a.reshape(-1, 3), 7, axis=0) * scale, rtol=1e-6)
    assert cloud.has_colors() == (kind is not None)


@pytest.mark.parametrize("binary", [True, False])
@pytest.mark.parametrize("saved, loaded, factor", [
    (T.Millimeter, T.Millimeter, 1.0), (T.Meter, T.Millimeter, 1.0), (T.Millimeter, T.Meter, 0.001)])
def test_pcd_round_trip(tmp_path, binary, saved, loaded, factor):
    pm, a = grid_map(5, 3)
    a[1, 2] = np.nan
    a[0, 0] = (-1.5e-3, 2.5e5, 123.456789012345)
    path = str(tmp_path / "p.PCD")
    assert pm.SaveWithImage(path, T.ImageCreate(T.RGB8, T.Size(5, 3)), saved, binary), T.GetLastErrorMessage()
    back = T.PointMap.CreateFromFile(path, T.Size(0, 0), loaded)
    assert back.IsValid(), T.GetLastErrorMessage()
    assert (back.GetSize().width, back.GetSize().height) == (5, 3)
    # Coordinates are stored as 4-byte floats, in text in the fewest digits that give the same float.
    stored = 0.001 if saved == T.Meter else 1.0
    as_float = (a * stored).astype(np.float32)
    if not binary:
        as_float = np.array([float(str(np.float32(v))) for v in as_float.ravel()]).reshape(as_float.shape)
    expected = as_float.astype(float) / stored * factor
    np.testing.assert_allclose(np.asarray(back), expected, rtol=1e-12)


def pcd(fields, sizes, types, width, height, data, body, counts=None, extra=""):
    head = "# .PCD v0.7\nVERSION 0.7\nFIELDS %s\nSIZE %s\nTYPE %s\n" % (fields, sizes, types)
    head += "COUNT %s\n" % counts if counts else ""
    head += "WIDTH %s\nHEIGHT %s\n%sDATA %s\n" % (width, height, extra, data)
    return head.encode() + body


def test_pcd_of_other_writers(tmp_path):
    # float coordinates among other fields, a field with COUNT 3, one row: what other tools write.
    rec = np.dtype([("rgb", "<u4"), ("x", "<f4"), ("n", "<f4", 3), ("y", "<f4"), ("z", "<f4")])
    points = np.zeros(4, rec)
    points["x"], points["y"], points["z"] = [1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, np.nan]
    (tmp_path / "b.pcd").write_bytes(pcd("rgb x normal y z", "4 4 4 4 4", "U F F F F", 4, 1, "binary",
                                         points.tobytes(), counts="1 1 3 1 1", extra="POINTS 4\n"))
    (tmp_path / "t.pcd").write_bytes(pcd("x y z intensity", "8 8 8 2", "F F F U", 2, 2, "ascii",
                                         b"1 5 9 7\n2 6 10 7\r\n3\t7 11 7\n4 8 -nan 7\n"))
    doubles = np.array([[1, 5, 9], [2, 6, 10], [3, 7, 11], [4, 8, np.nan]], "<f8")
    (tmp_path / "d.pcd").write_bytes(pcd("x y z", "08 8 8", "F F F", 2, 2, "binary", doubles.tobytes()))
    for name, shape in [("b.pcd", (1, 4, 3)), ("t.pcd", (2, 2, 3)), ("d.pcd", (2, 2, 3))]:
        back = T.PointMap.CreateFromFile(str(tmp_path / name), T.Size(0, 0), T.Millimeter)
        assert back.IsValid(), T.GetLastErrorMessage()
        got = np.asarray(back)
        assert got.shape == shape
        np.testing.assert_array_equal(got.reshape(-1, 3), [[1, 5, 9], [2, 6, 10], [3, 7, 11], [4, 8, np.nan]])


XYZ = np.arange(6, dtype="<f8").tobytes()


@pytest.mark.parametrize("content, message", [
    (b"", "not a PCD file"),
    (b"ply\nformat ascii 1.0\n", "not a PCD file"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n").replace(b"DATA ascii\n", b""), "unknown line 1 2 3"),
    (b"VERSION 0.7\n" + b"# padding\n" * 7000, "PCD header is longer than 65536 bytes"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", extra="COLOUR red\n"), "unknown line COLOUR red"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", extra="WIDTH 1\n"), "gives WIDTH twice"),
    (pcd("x y z", "8 8", "F F F", 1, 1, "ascii", b"1 2 3\n"), "FIELDS, SIZE, TYPE and COUNT do not agree"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", counts="1 1"), "do not agree"),
    (pcd("x y", "8 8", "F F", 1, 1, "ascii", b"1 2\n"), "no x, y, z fields"),
    (pcd("x y z", "8 8 8", "F U F", 1, 1, "ascii", b"1 2 3\n"), "single floats or doubles"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", counts="1 2 1"), "single floats or doubles"),
    (pcd("x y z", "8 8 3", "F F F", 1, 1, "ascii", b"1 2 3\n"), "field z has an unsupported SIZE, TYPE or COUNT"),
    (pcd("x y z", "8 8 8", "F F D", 1, 1, "ascii", b"1 2 3\n"), "unsupported SIZE, TYPE or COUNT"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", counts="1 1 0"), "unsupported SIZE, TYPE or COUNT"),
    (pcd("x y z", "8 8 8", "F F F", "-1", 1, "ascii", b"1 2 3\n"), "WIDTH or HEIGHT is malformed"),
    (pcd("x y z", "8 8 8", "F F F", 1, "", "ascii", b"1 2 3\n"), "WIDTH or HEIGHT is malformed"),
    (pcd("x y z", "8 8 8", "F F F", 99999999, 99999999, "binary", XYZ), "holds too many points"),
    (pcd("x y z", "8 8 8", "F F F", 999999999999, 1, "binary", XYZ), "holds too many points"),
    (pcd("x y z", "8 8 8", "F F F", 0, 1, "ascii", b""), "holds no points"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3\n", extra="POINTS 2\n"), "POINTS differs"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "binary_compressed", XYZ), "data binary_compressed is not supported"),
    (pcd("x y z", "8 8 8", "F F F", 2, 1, "binary", XYZ[:40]), "PCD file is truncated"),
    (pcd("x y z", "8 8 8", "F F F", 2, 1, "ascii", b"1 2 3\n4 5\n"), "PCD file is truncated"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 two 3\n"), "PCD file has a malformed number"),
    (pcd("x y z", "8 8 8", "F F F", 1, 1, "ascii", b"1 2 3" + b"0" * 70000), "values take more than 64 bytes each"),
    (pcd("x y z", "4 4 4", "F F F", 2, 1, "ascii", b"1 2\n3 4 5\n6 7 8\n"), "a line with too few values"),
    (pcd("x y z", "4 4 4", "F F F", 2, 1, "ascii", b"1 2 3 4\n5 6 7\n"), "a line with too many values"),
    (pcd("x y z", "4 4 4", "F F F", 1, 1, "ascii", b"1-2 3\n"), "malformed number"),
    (pcd("x y z", "4 4 4", "F F F", 1, 1, "ascii", b"1,5 2 3\n"), "malformed number"),
    (pcd("x y z", "4 4 4", "F F F", 1, 1, "ascii", b"1 2 1e400\n"), "a number out of range"),
    (pcd("x y z", "4 4 4", "F F F", 2, 1, "ascii", b"1 2 3\n\0\0\0\0\0\0\0\0\0"), "file is truncated"),
    (pcd("x y z x", "4 4 4 4", "F F F F", 1, 1, "ascii", b"1 2 3 9\n"), "field x is given twice"),
])
def test_bad_pcd_files(tmp_path, content, message):
    path = tmp_path / "bad.pcd"
    path.write_bytes(content)
    assert not T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter).IsValid()
    assert T.GetLastErrorMessage().startswith("PointMap.CreateFromFile: %s: " % path)
    assert message in T.GetLastErrorMessage()


@pytest.mark.parametrize("name, content", [
    ("p.pcd", pcd("x y z", "4 4 4", "F F F", 2, 1, "ascii", b"1 2 3\n+4 5e0 6")),
    ("p.ply", b"ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\nproperty float z\n"
              b"end_header\n1 2 3\n+4 5e0 6")])
def test_text_files_need_no_final_line_break(tmp_path, name, content):
    (tmp_path / name).write_bytes(content)
    back = T.PointMap.CreateFromFile(str(tmp_path / name), T.Size(0, 0), T.Millimeter)
    assert back.IsValid(), T.GetLastErrorMessage()
    assert np.asarray(back).reshape(-1, 3).tolist() == [[1, 2, 3], [4, 5, 6]]


LOCALE_PROBE = """
import locale, sys, numpy as np, PyTUVO as T
locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert locale.localeconv()["decimal_point"] == ","
folder = sys.argv[1]
pm = T.PointMapCreate(T.PointsOnly, T.Size(2, 1))
np.asarray(pm)[...] = [[[1.5, 2.25, 700.125], [-0.5, 1e-3, 1234.5]]]
for name in ("t.ply", "t.pcd"):
    assert pm.Save(folder + "/" + name, T.Millimeter, False), T.GetLastErrorMessage()
    back = T.PointMap.CreateFromFile(folder + "/" + name, T.Size(0, 0), T.Millimeter)
    assert back.IsValid(), T.GetLastErrorMessage()
    print(name, np.asarray(back).reshape(-1).tolist())
"""


@pytest.fixture
def decimal_comma(tmp_path):
    """The environment of a child process that can switch to a locale writing decimal commas."""
    made = subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                          capture_output=True)
    if made.returncode not in (0, 1) or not (tmp_path / "de_DE.UTF-8").exists():
        pytest.skip("no locale definitions to build a decimal-comma locale from")
    return dict(os.environ, LOCPATH=str(tmp_path))


def test_text_files_do_not_depend_on_the_locale(tmp_path, decimal_comma):
    # A program in a locale with decimal commas still writes and reads decimal points.
    run = subprocess.run([sys.executable, "-c", LOCALE_PROBE, str(tmp_path)], env=decimal_comma,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    values = [1.5, 2.25, 700.125, -0.5, 1e-3, 1234.5]
    assert run.stdout.splitlines() == ["t.ply %r" % values, "t.pcd %r" % [float(str(np.float32(v))) for v in values]]
    assert "700.125" in (tmp_path / "t.ply").read_text() and "700.125" in (tmp_path / "t.pcd").read_text()


SETTINGS_PROBE = """
import locale, sys, PyTUVO as T, tuvo_sim
from tuvo_tools.recorder import Recorder
locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert locale.localeconv()["decimal_point"] == ","
folder = sys.argv[1]
assert T.SystemInit()
device = T.SystemFindDevice("VS3-000101")
tuvo_sim.set("sim.max_angle_deg", 62.5)
print("parameter", tuvo_sim.device_value("VS3-000101", "max_angle_deg"))
colour = T.X1.Create(device, T.CameraID_Extra)
assert colour.Open()
colour.SetBalanceRatio(T.BalanceSelector_Blue, 2.5)
assert colour.SaveSettingToFile(folder + "/settings.txt")
colour.SetBalanceRatio(T.BalanceSelector_Blue, 1.0)
print("settings", colour.LoadSettingFromFile(folder + "/settings.txt"), colour.GetBalanceRatio(T.BalanceSelector_Blue))
cam = T.X1.Create(device, T.CameraID_Left)
assert cam.Open()
options = T.X1_CaptureOptions()
options.gain_2d = 1.25
options.noise_removal_distance = 0.75
assert cam.SaveCaptureOptionParameters(options)
ok, back = cam.LoadCaptureOptionParameters()
print("options", ok, back.gain_2d, back.noise_removal_distance)
recorder = Recorder(folder + "/rec", device)
recorder.capture(recorder.add_x1(cam, "left", options))
T.SystemShutdown()
tuvo_sim.reset()
tuvo_sim.set_rig("[device]\\nplayback = %s/rec\\n" % folder)
assert T.SystemInit()
cam = T.X1.Create(T.SystemListDevices(T.All)[1][0], T.CameraID_Left)
assert cam.Open()
print("replay", cam.Capture(options), T.GetLastErrorMessage())
"""


def test_settings_options_parameters_and_recordings_do_not_depend_on_the_locale(tmp_path, decimal_comma):
    run = subprocess.run([sys.executable, "-c", SETTINGS_PROBE, str(tmp_path)], env=decimal_comma,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["parameter 62.5", "settings True (True, 2.5)", "options True 1.25 0.75",
                                       "replay True "]
    assert "balance = 1, 1, 2.5" in (tmp_path / "settings.txt").read_text()


def test_an_invalid_handle_is_reported_before_the_file_name(tmp_path):
    for save, message in [(lambda: T.PointMap().Save(str(tmp_path / "y.xyz")), "invalid or destroyed point map"),
                          (lambda: T.Image().SaveImage(str(tmp_path / "y.jpg")), "invalid or destroyed image")]:
        assert not save()
        assert T.GetLastError() == tuvo_sim.ERROR_INVALID_HANDLE and message in T.GetLastErrorMessage()


@pytest.mark.parametrize("name", ["big.ply", "big.pcd"])
def test_a_whole_capture_in_text_reads_back(tmp_path, name):
    # 1.3 M points written as text and read again: the reader's work grows with the file, not its square.
    pm = T.PointMapCreate(T.PointsOnly, T.Size(1280, 1024))
    a = np.asarray(pm)
    a[...] = np.random.default_rng(1).uniform(-500, 1500, a.shape)
    assert pm.Save(str(tmp_path / name), T.Millimeter, False), T.GetLastErrorMessage()
    back = T.PointMap.CreateFromFile(str(tmp_path / name), T.Size(0, 0), T.Millimeter)
    assert back.IsValid(), T.GetLastErrorMessage()
    tolerance = 5e-6 if name.endswith(".ply") else 1.5e-4  # 9 digits; 4-byte floats
    assert np.abs(np.asarray(back) - a).max() <= tolerance


def test_pcd_reader_reads_no_more_than_the_header_announces(tmp_path):
    # A sparse file of 256 MB whose header announces one point costs one point to open.
    path = tmp_path / "big.pcd"
    with open(path, "wb") as f:
        f.write(pcd("x y z", "8 8 8", "F F F", 1, 1, "binary", XYZ[:24]))
        f.truncate(256 << 20)
    code = ("import resource, PyTUVO as T\nbefore = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "pm = T.PointMap.CreateFromFile(%r, T.Size(0, 0), T.Millimeter)\n"
            "print(pm.IsValid(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n" % str(path))
    valid, grown_kib = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                      check=True).stdout.split()
    assert valid == "True" and int(grown_kib) < 16 << 10


SAVE_FORMATS = {
    # saver -> (save(path) on fresh data, what the file starts with, extensions known)
    "PointMap.Save": (lambda p: grid_map()[0].Save(p, T.Millimeter, False), {"ply": b"ply\n", "pcd": b"# .PCD"}),
    "Image.SaveImage": (lambda p: T.ImageCreate(T.Mono8, T.Size(4, 2)).SaveImage(p), {"png": b"\x89PNG"}),
    "DepthMap.SaveDepthMap": (None, {"png": b"\x89PNG"}),
}


@pytest.fixture
def save_format(request, tmp_path):
    name = request.param
    save, known = SAVE_FORMATS[name]
    if save is None:  # a depth map comes from a capture
        tuvo_sim.set_rig("[device]\nsn = F-1\nwidth = 24\nheight = 16\n")
        T.SystemShutdown()
        assert T.SystemInit()
        cam = T.X1.Create(T.SystemFindDevice("F-1"))
        assert cam.Open() and cam.Capture()
        save = lambda p: cam.GetDepthMap().SaveDepthMap(p, False)  # noqa: E731
    return name, save, known


@pytest.mark.parametrize("save_format", sorted(SAVE_FORMATS), indirect=True)
@pytest.mark.parametrize("name, ext", [
    ("a.{0}", "{0}"), ("A.{1}", "{0}"), ("bare", None), (".hidden", None), ("dir.v2/cloud", None),
    ("a.b.{0}", "{0}")])
def test_save_picks_the_format_from_the_name(sdk, tmp_path, save_format, name, ext):
    op, save, known = save_format
    os.mkdir(tmp_path / "dir.v2")
    for first in known:
        path = str(tmp_path / name.format(first, first.upper()))
        assert save(path), T.GetLastErrorMessage()
        # A name without extension gets the saver's first format.
        assert open(path, "rb").read(8).startswith(known[ext.format(first) if ext else next(iter(known))])


@pytest.mark.parametrize("save_format", sorted(SAVE_FORMATS), indirect=True)
@pytest.mark.parametrize("name, ext", [
    ("a.xyz", ".xyz"), ("a.ply.txt", ".txt"), ("a.jpg", ".jpg"), ("a.PLY2", ".ply2"), ("cloud.", "."),
    ("x.pcd.", ".")])
def test_save_refuses_an_unknown_extension(sdk, tmp_path, save_format, name, ext):
    op, save, known = save_format
    path = tmp_path / name
    assert not save(str(path))
    assert T.GetLastError() == tuvo_sim.ERROR_INVALID_ARGUMENT
    expected = "%s: %s: unknown file extension '%s' (known: %s)" % (
        op, path, ext, ", ".join("." + k for k in known))
    assert T.GetLastErrorMessage() == expected
    assert not path.exists()


@pytest.mark.parametrize("content", [
    b"", b"ply\nformat binary_little_endian 1.0\nelement vertex 10\nproperty double x\nproperty double y\n"
    b"property double z\nend_header\n" + b"\0" * 40, b"solid stl file", b"ply\nformat ascii 1.0\nelement vertex 2\n"
    b"property float x\nproperty float y\nproperty float z\nend_header\n1 2 3\n4 5\n"])
def test_bad_point_map_files(tmp_path, content):
    path = tmp_path / "bad.ply"
    path.write_bytes(content)
    assert not T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter).IsValid()
    assert T.GetLastErrorMessage().startswith("PointMap.CreateFromFile: ")


def ply_header(*lines):
    return b"ply\n" + b"".join(l + b"\n" for l in lines)


XYZ_PROPS = (b"property double x", b"property double y", b"property double z")


@pytest.mark.parametrize("content, message", [
    # The format is checked before the body is read.
    (ply_header(b"format binary_big_endian 1.0", b"element vertex 9000000", *XYZ_PROPS, b"end_header"),
     "PLY format binary_big_endian is not supported"),
    (ply_header(b"element vertex 9000000", *XYZ_PROPS, b"end_header"), "the PLY file has no format line"),
    (ply_header(b"format ascii 1.0", b"format binary_little_endian 1.0", b"element vertex 1", *XYZ_PROPS,
                b"end_header", b"1 2 3"), "the PLY file has two format lines"),
    (ply_header(b"format ascii 9.9", b"element vertex 1", *XYZ_PROPS, b"end_header", b"1 2 3"),
     "PLY format version 9.9 is not supported"),
    (ply_header(b"format binary_little_endian 1.0", b"element vertex 9000000", b"property int x", *XYZ_PROPS[1:],
                b"end_header"), "PLY coordinates must be float or double"),
], ids=["big-endian", "no format", "two formats", "format version", "integer coordinates"])
def test_bad_ply_headers(tmp_path, content, message):
    path = tmp_path / "bad.ply"
    path.write_bytes(content)
    assert not T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter).IsValid()
    assert T.GetLastErrorMessage() == "PointMap.CreateFromFile: %s: %s" % (path, message)


def test_a_ply_comment_may_mention_end_header(tmp_path):
    path = tmp_path / "c.ply"
    path.write_bytes(ply_header(b"format binary_little_endian 1.0", b"comment the header ends at end_header",
                                b"element vertex 2", *XYZ_PROPS, b"end_header") + np.arange(1.0, 7.0).tobytes())
    back = T.PointMap.CreateFromFile(str(path), T.Size(0, 0), T.Millimeter)
    assert back.IsValid(), T.GetLastErrorMessage()
    assert np.asarray(back).reshape(-1, 3).tolist() == [[1, 2, 3], [4, 5, 6]]


def test_size_must_match_file(tmp_path):
    pm, _ = grid_map()
    path = str(tmp_path / "s.ply")
    pm.Save(path)
    assert not T.PointMap.CreateFromFile(path, T.Size(3, 3), T.Millimeter).IsValid()
    assert "holds 8 points" in T.GetLastErrorMessage()


@pytest.mark.parametrize("linked", [False, True])  # a file with a second hard link is rewritten where it is
def test_failed_save_leaves_the_old_file_whole(tmp_path, linked):
    pm, a = grid_map(200, 100)
    path = str(tmp_path / "keep.ply")
    assert pm.Save(path)
    before = open(path, "rb").read()
    if linked:
        os.link(path, tmp_path / "other.ply")
    code = (
        "import resource, signal, PyTUVO as T, numpy as np\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "pm = T.PointMapCreate(T.PointsOnly, T.Size(200, 100))\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        "print(pm.Save(%r, T.Millimeter, False), T.GetLastErrorMessage())\n" % path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("False PointMap.Save: cannot write")
    assert open(path, "rb").read() == before
    assert sorted(os.listdir(tmp_path)) == ["keep.ply"] + ["other.ply"] * linked  # no temporary file left behind


def test_point_map_lifetime():
    pm, _ = grid_map()
    clone = pm.Clone()
    T.PointMapDestroy(pm)
    assert not pm.IsValid() and clone.IsValid()
    assert is_empty_description(pm) is False  # a stale map reports 0 x 0: a view with no elements
    assert np.asarray(pm).size == 0
    T.PointMap.Destroy(pm)
    with pytest.raises(TypeError):
        T.PointMapDestroy(pm, True)
    with pytest.raises(TypeError):
        T.PointMapCreate(T.PointsOnly, None)


# ---- depth, confidence and correspondence maps ----

@pytest.mark.parametrize("cls, dims", [(T.DepthMap, (0, 0)), (T.ConfidenceMap, (0, 0)), (T.CorrespondMap, (0, 0, 2))])
def test_default_maps(cls, dims):
    m = cls()
    assert not m.IsValid() and np.asarray(m).shape == dims


@pytest.mark.parametrize("cls, key, shape, strides", [
    (T.DepthMap, "DepthMap", (480, 640), (5120, 8)),
    (T.ConfidenceMap, "ConfidenceMap", (480, 640), (5120, 8)),
    (T.CorrespondMap, "CorrespondMap", (480, 640, 2), (10240, 16, 8)),
])
def test_map_views_follow_the_sdk_report(cls, key, shape, strides):
    tuvo_sim.set(key + ".GetSize", tuvo_sim.size(640, 480))
    assert is_empty_description(cls())  # a size without memory shows nothing
    tuvo_sim.unset(key + ".GetSize")


def test_captured_maps(captured):
    depth, conf = captured.GetDepthMap(), captured.GetConfidenceMap()
    d, c = np.asarray(depth), np.asarray(conf)
    assert d.shape == (1024, 1280) and d.strides == (10240, 8) and c.shape == d.shape
    assert depth.IsValid() and conf.IsValid()
    assert np.nanmin(d) > 400 and np.nanmax(d) < 1200
    assert (c[np.isfinite(d)] > 0).all() and (c[~np.isfinite(d)] == 0).all()


def test_depth_map_files(captured, tmp_path):
    depth = captured.GetDepthMap()
    raw, pretty = str(tmp_path / "d16.png"), str(tmp_path / "dcol.png")
    assert depth.SaveDepthMap(raw, False) and depth.SaveDepthMap(pretty, True)
    width, height, rows, info = png.Reader(filename=raw).read()
    assert (width, height, info["bitdepth"], info["planes"]) == (1280, 1024, 16, 1)
    mm = np.vstack([np.asarray(r, dtype=np.uint16) for r in rows])
    d = np.asarray(depth)
    valid = np.isfinite(d)
    assert np.abs(mm[valid] - d[valid]).max() <= 0.5 and (mm[~valid] == 0).all()
    assert png.Reader(filename=pretty).read()[3]["planes"] == 3
    with pytest.raises(TypeError):
        depth.SaveDepthMap(raw)
    with pytest.raises(TypeError):
        depth.SaveDepthMap(raw, flag=True)


@pytest.mark.parametrize("key, make", [
    ("Image.GetSize", lambda: T.ImageCreate(T.Mono8, T.Size(4, 4))),
    ("PointMap.GetSize", lambda: T.PointMapCreate(T.PointsOnly, T.Size(4, 4))),
])
def test_negative_sizes_give_the_empty_description(key, make):
    obj = make()
    tuvo_sim.set(key, tuvo_sim.size(-4, 4))
    assert is_empty_description(obj)


def test_file_names_are_positional_and_utf8(tmp_path):
    img = T.ImageCreate(T.Mono8, T.Size(4, 4))
    with pytest.raises(TypeError):
        img.SaveImage(filename=str(tmp_path / "a.png"))
    with pytest.raises(TypeError):
        T.Image.CreateFromFile(filename=str(tmp_path / "a.png"))
    name = tmp_path / "caf\u00e9 \u56fe.png"
    assert img.SaveImage(str(name)) and name.exists()
    assert T.Image.CreateFromFile(str(name)).IsValid()
    # A name that is not UTF-8, as os.listdir gives it, reaches the file's own bytes.
    raw = os.path.join(os.fsencode(tmp_path), b"caf\xe9.png")
    assert img.SaveImage(raw) and os.path.exists(raw)
    listed = [n for n in os.listdir(tmp_path) if n.startswith("caf\udce9")]
    assert listed == ["caf\udce9.png"] and T.Image.CreateFromFile(os.path.join(str(tmp_path), listed[0])).IsValid()
    assert img.SaveImage(str(tmp_path / "twice \udce9.png")) and os.path.exists(os.path.join(os.fsencode(tmp_path),
                                                                                         b"twice \xe9.png"))
    with pytest.raises(TypeError):  # a lone surrogate stands for no byte
        img.SaveImage(str(tmp_path / "lone \ud800.png"))


# ---- special files ----

_READ_SPECIAL = r"""
import sys, PyTUVO as T
T.SystemInit()
kind, path = sys.argv[1], sys.argv[2]
if kind == "image":
    ok = T.Image.CreateFromFile(path).IsValid()
elif kind == "points":
    ok = T.PointMap.CreateFromFile(path, T.Size(0, 0), T.Millimeter).IsValid()
else:
    cam = T.X1.Create(T.SystemFindDevice("VS3-000101"), T.CameraID_Left)
    cam.Open()
    ok = cam.LoadSettingFromFile(path)
print(ok, T.GetLastErrorMessage())
"""


@pytest.fixture(params=["dev-zero", "fifo", "folder"])
def special_file(request, tmp_path):
    if request.param == "dev-zero":
        return "/dev/zero", "is not a regular file"
    if request.param == "fifo":
        path = tmp_path / "pipe"
        os.mkfifo(path)
        return str(path), "is not a regular file"
    return str(tmp_path), "is not a regular file"


@pytest.mark.parametrize("kind", ["image", "points", "settings"])
def test_special_files_are_refused_at_once(kind, special_file):
    # Read in a child so that a reader waiting on a FIFO, or filling memory from /dev/zero, fails
    # the test instead of hanging the suite.
    path, reason = special_file
    done = subprocess.run([sys.executable, "-c", _READ_SPECIAL, kind, path], capture_output=True, text=True,
                          timeout=20)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("False "), done.stdout
    assert f"{path}: {reason}" in done.stdout
