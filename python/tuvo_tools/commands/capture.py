"""`tuvo capture`: one capture saved as a point cloud (PLY or PCD), and the pictures asked for."""
from typing import Optional

import numpy as np

import PyTUVO as T

from ..clouds import save_cloud
from ..sdk import Session, SdkError, call, check, describe, failure, last_error
from .camera import CaptureFlags, open_camera
from .output import Output, depth_picture, points_summary, summary_text


def run(out: Output, serial: str, camera: str, x2: bool, flags: CaptureFlags, output: str,
        image_path: Optional[str] = None, depth_path: Optional[str] = None, depth_raw: bool = False,
        binary: bool = True, metres: bool = False, colour: bool = True) -> int:
    """Captures once, with the options `flags` make, on the device opened as an X2 or as an X1 on
    `camera`; saves the points to `output` (coloured by the image unless `colour` is false, with
    normals when the flags compute them), the image to `image_path` and the depth to `depth_path`
    (a picture, or 16-bit millimetres when `depth_raw`)."""
    opts = flags.options("x2" if x2 else "x1")
    with Session() as s:
        device = s.find(serial)
        cam, x2 = open_camera(s, device, camera, x2)
        call("Capture", cam.Capture, opts)
        point_map = call("GetPointMap", cam.GetPointMap)
        s.on_exit(lambda: T.PointMap.Destroy(point_map))
        before = last_error()
        image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
        if image.IsValid():
            s.on_exit(lambda: T.Image.Destroy(image))
        unit = T.Meter if metres else T.Millimeter
        colours = image if image.IsValid() and colour else None
        if flags.normals:  # the SDK's files hold no normals: written here, in the same layout
            normals = point_map.GetNormalDataPtr()
            check(normals.IsValid(), "GetNormalDataPtr", explain="the capture computed no normals")
            save_cloud(output, point_map, colours, normals, metres=metres, binary=binary)
        elif colours is not None:
            call("PointMap.SaveWithImage", point_map.SaveWithImage, output, image, unit, binary)
        else:
            call("PointMap.Save", point_map.Save, output, unit, binary)
        saved = [output]
        if image_path and not image.IsValid():
            error = failure("GetImage", before)
            raise error if error.code is not None else SdkError("the capture gave no image%s" % (
                "" if opts.enable_2d_in_capture else " (enable_2d_in_capture = false)"))
        if image_path:
            call("Image.SaveImage", image.SaveImage, image_path)
            saved.append(image_path)
        if depth_path:
            depth = call("GetDepthMap", cam.GetDepthMap)
            if depth_raw:
                call("DepthMap.SaveDepthMap", depth.SaveDepthMap, depth_path, False)
            else:
                info = describe(device)
                depth_picture(np.asarray(depth), depth_path, "%s %s: depth, black where nothing was measured" % (
                    info["sn"], "X2" if x2 else "X1 %s camera" % camera))
            saved.append(depth_path)
        summary = points_summary(np.asarray(point_map))
    out.emit({"saved": saved, **summary}, ["%s; saved %s" % (summary_text(summary), ", ".join(saved))])
    return 0
