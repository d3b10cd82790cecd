"""`tuvo info`: a device's resolution, ranges, calibration, temperatures and protective cover."""
from typing import Any, Dict, List, Optional

import PyTUVO as T

from ..sdk import CAMERAS, ERROR_NOT_FOUND, Session, SdkError, calibration, call, camera_names, describe, readable
from .camera import open_camera
from .output import Output

_TEMPERATURES = {
    "camera": T.CameraTempSelector_Camera, "core_board": T.CameraTempSelector_CoreBoard,
    "fpga_core": T.CameraTempSelector_FpgaCore, "frame_grabber_board": T.CameraTempSelector_Framegrabberboard,
    "sensor": T.CameraTempSelector_Sensor, "sensor_board": T.CameraTempSelector_SensorBoard,
}
_COVER = {
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Unknown): "unknown",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Closed): "closed",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Closing): "closing",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Open): "open",
    int(T.ProtectiveCoverStatus.ProtectiveCoverStatus_Opening): "opening",
}


def run(out: Output, serial: str, camera: Optional[str], x2: bool) -> int:
    """The device opened as an X2 when asked, or when it is one and no camera is named; else as an
    X1 on `camera` (default left)."""
    with Session() as s:
        device = s.find(serial)
        d = describe(device)
        x2 = x2 or (d["support_x2"] and camera is None)
        camera = camera or "left"
        cam, x2 = open_camera(s, device, camera, x2)
        cameras = camera_names(d["cameraid"]) if x2 else [camera]
        _, size = call("GetCameraResolution", cam.GetCameraResolution)
        ranges: Dict[str, Any] = {}
        for key, getter in (("exposure_ms", cam.GetExposureTimeRange), ("gain_db", cam.GetGainRange),
                            ("gamma", cam.GetGammaRange)):
            _, lo, hi = call(getter.__name__, getter)
            ranges[key] = [lo, hi]
        _, roi = call("GetRoiRange", cam.GetRoiRange)
        ranges["roi"] = {k: getattr(roi, k) for k in ("x_step", "y_step", "width_step", "height_step", "width_min",
                                                       "height_min", "width_max", "height_max")}
        calib = {n: _known_calibration(cam, CAMERAS[n] if x2 else None) for n in cameras}
        temperatures = _temperatures(cam, x2, cameras)
        cover = None
        if d["support_protective_cover"]:
            _, status = call("GetProtectiveCoverStatus", cam.GetProtectiveCoverStatus)
            cover = _COVER.get(int(status), "unknown")
    info = readable(d)
    data = {"device": info, "opened_as": "X2" if x2 else "X1 (%s camera)" % camera,
            "resolution": [size.width, size.height], "ranges": ranges, "calibration": calib,
            "temperatures_c": temperatures, "protective_cover": cover}
    lines = ["%s  %s (%s, %s), made %s" % (info["serial"], info["name"], info["port_type"], info["port"], info["made"]),
             "opened as %s, resolution %d x %d" % (data["opened_as"], size.width, size.height),
             "working distance %d-%d mm; capture modes %s" % (tuple(info["working_distance_mm"]) +
                                                             (", ".join(info["capture_modes"]),)),
             "exposure %d-%d ms, gain %g-%g dB, gamma %g-%g" % tuple(ranges["exposure_ms"] + ranges["gain_db"] +
                                                                    ranges["gamma"]),
             "projector %.1f C" % temperatures["projector"]]
    for n in cameras:
        known = calib[n]
        if known is None:
            lines.append("%-5s camera: calibration not known; sensor %.1f C" % (n, temperatures[n]["sensor"]))
            continue
        k, e = known["intrinsics"], known["extrinsic"]
        lines.append("%-5s camera: fx %.2f fy %.2f cx %.2f cy %.2f; at (%.2f, %.2f, %.2f) mm; sensor %.1f C" % (
            n, k[0], k[4], k[2], k[5], e[3], e[7], e[11], temperatures[n]["sensor"]))
    lines.append("protective cover: %s" % (cover or "none"))
    out.emit(data, lines)
    return 0


def _temperatures(cam: Any, x2: bool, cameras: List[str]) -> Dict[str, Any]:
    out: Dict[str, Any] = {}
    _, projector = call("GetProjectorTemperature", cam.GetProjectorTemperature)
    out["projector"] = round(projector, 2)
    for name in cameras:
        per = {}
        for key, selector in _TEMPERATURES.items():
            _, celsius = call("GetCameraTemperature", cam.GetCameraTemperature,
                              *((CAMERAS[name], selector) if x2 else (selector,)))
            per[key] = round(celsius, 2)
        out[name] = per
    return out


def _known_calibration(cam: Any, cid: Any) -> Optional[Dict[str, Any]]:
    """A camera's calibration; None for one the device does not know (a playback device knows the
    cameras its recording saw)."""
    try:
        return calibration(cam) if cid is None else calibration(cam, cid)
    except SdkError as e:
        if e.code != ERROR_NOT_FOUND:
            raise
        return None
