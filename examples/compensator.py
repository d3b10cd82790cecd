"""The fixed-marker compensator following a device that moves a little between captures. Writes a
picture of each capture's distance to the reference capture, before and after the correction."""
import os
from typing import List, Tuple

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T
import tuvo_sim
from _common import check, out_dir, save, start
from tuvo_tools.pictures import BAR_GAP, colour_bar, font_size, heat_scale, rgb_image, robust_range, text

Row = Tuple[str, NDArray[np.float64], NDArray[np.float64]]  # a move: its title, distances before and after
BLOCK = 4  # the distances are shown as the median of each 4 x 4 pixel block: the drift, not the noise


def project(points: NDArray[np.float64], camera: T.X1) -> Tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Pixel (column, row) where each point (mm, camera frame) is seen, with the lens distortion."""
    ok, k, d = camera.GetIntrinsicParameters()
    check(ok, "GetIntrinsicParameters")
    matrix = np.reshape(k, (3, 3))
    k1, k2, p1, p2, k3 = d
    with np.errstate(invalid="ignore", divide="ignore"):
        x, y = points[..., 0] / points[..., 2], points[..., 1] / points[..., 2]
    r2 = x * x + y * y
    radial = 1 + k1 * r2 + k2 * r2 ** 2 + k3 * r2 ** 3
    xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
    yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
    return matrix[0, 0] * xd + matrix[0, 1] * yd + matrix[0, 2], matrix[1, 1] * yd + matrix[1, 2]


def distance_to_reference(points: NDArray[np.float64], reference: NDArray[np.float64], normals: NDArray[np.float64],
                          camera: T.X1) -> NDArray[np.float64]:
    """Each point's distance (mm, signed) to the reference surface: to the tangent plane of the
    reference point seen at the pixel the point projects to."""
    h, w = reference.shape[:2]
    u, v = project(points, camera)
    inside = np.isfinite(u) & np.isfinite(v) & (u > -0.5) & (u < w - 0.5) & (v > -0.5) & (v < h - 0.5)
    col = np.clip(np.round(np.nan_to_num(u)), 0, w - 1).astype(int)
    row = np.clip(np.round(np.nan_to_num(v)), 0, h - 1).astype(int)
    distance: NDArray[np.float64] = ((points - reference[row, col]) * normals[row, col]).sum(axis=-1)
    distance[~inside] = np.nan
    return distance


def block_median(values: NDArray[np.float64]) -> NDArray[np.float64]:
    h, w = values.shape
    tiles = values[:h - h % BLOCK, :w - w % BLOCK].reshape(h // BLOCK, BLOCK, w // BLOCK, BLOCK)
    blocks = tiles.transpose(0, 2, 1, 3).reshape(h // BLOCK, w // BLOCK, BLOCK * BLOCK)
    keep = np.isfinite(blocks).sum(axis=2) >= BLOCK * BLOCK // 2
    out = np.full(keep.shape, np.nan)
    out[keep] = np.nanmedian(blocks[keep], axis=1)
    return out


def picture(rows: List[Row], path: str) -> str:
    """One row per move: |distance| before and after the correction, on one scale, with a colour bar."""
    h, w = rows[0][1].shape
    size = font_size(3 * h)
    head = 2 * size
    caption = 4 * size
    height = len(rows) * (h + head) + caption
    img, view = rgb_image(height, 2 * w + 2 * BAR_GAP + 150)
    _, top = robust_range(np.concatenate([np.abs(r[1]).ravel() for r in rows]), 0, 99.5)
    text(view, 8, 8, "distance of each point to the reference capture's surface,", size=size)
    text(view, 8, 8 + 3 * size // 2, "before and after the compensator's correction (median of %d x %d pixels; "
         "grey: no point)" % (BLOCK, BLOCK), size=size)
    for i, (title, before, after) in enumerate(rows):
        y = caption + i * (h + head) + head
        text(view, 0, y - 4, title, size=size, anchor="ld")
        for j, (name, values) in enumerate([("before", before), ("after", after)]):
            x = j * (w + BAR_GAP)
            view[y:y + h, x:x + w] = heat_scale(np.abs(values) / top)
            text(view, x + 4, y + 4, "%s: median %.3f mm" % (name, np.nanmedian(np.abs(values))), size=size,
                 box=(255, 255, 255))
    colour_bar(view, 2 * w + 2 * BAR_GAP, caption + head, height - caption - head - size, 0, top, "mm",
               scale=heat_scale, top_label=None, bottom_label=None, title="distance", size=size)
    return save(img, path)


def main() -> None:
    cam = T.X1.Create(start())
    check(cam.IsValid(), "X1.Create")
    check(cam.Open(), "Open")
    opts = T.X1_CaptureOptions()
    opts.calc_normal = True
    check(cam.Capture(opts), "Capture")
    reference_map = cam.GetPointMap()
    reference = np.array(reference_map)
    normals = np.array(reference_map.GetNormalDataPtr())
    comp = T.Compensator_FixedMarkers()
    found = comp.Initialize(reference_map, cam.GetImage(), 0)
    check(found > 0, "Compensator_FixedMarkers.Initialize")
    print("reference markers:", found)
    rows: List[Row] = []
    for step, (dx, dz) in enumerate([(0.2, 0.0), (0.5, -0.3), (1.0, 0.4)]):
        tuvo_sim.set("scene.move_x", dx)  # the virtual device shifts on its mount
        tuvo_sim.set("scene.move_z", dz)
        check(cam.Capture(), "Capture")
        points = cam.GetPointMap()
        ok, rms = comp.Update(points, cam.GetImage())
        check(ok, "Compensator_FixedMarkers.Update")
        before = block_median(distance_to_reference(np.asarray(points), reference, normals, cam))
        ok, corrected = comp.Apply(points)  # in place: the same point map, now in the reference frame
        check(ok, "Compensator_FixedMarkers.Apply")
        after = block_median(distance_to_reference(np.asarray(corrected), reference, normals, cam))
        rows.append(("the device moved by (%.1f, 0, %.1f) mm" % (dx, dz), before, after))
        print("step %d: moved (%.1f, %.1f) mm, markers drifted %.3f mm RMS, distance to the reference %.3f mm "
              "before and %.3f mm after the correction" % (step, dx, dz, rms, np.nanmedian(np.abs(before)),
                                                           np.nanmedian(np.abs(after))))
    path = picture(rows, os.path.join(out_dir(), "compensator.png"))
    print("->", path)
    del comp
    T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
