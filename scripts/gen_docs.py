"""Writes the API reference of the built PyTUVO module as Markdown: every name in registration
order, with the signatures as the module renders them, what each call returns when it fails, and
for the capture options what each field means, its unit, range and default. Usage:
gen_docs.py OUTPUT.md"""
import inspect
import pathlib
import re
import sys

import PyTUVO as T

# ---- capture options: meaning, unit and range of each field (the default is read from the module) ----
# "X1:" / "X2:" entries override a shared one for that record.
OPTIONS = {
    "calc_normal": ("compute a unit normal for every point (`PointMap.GetNormalDataPtr`)", "", "True or False"),
    "calc_normal_radius": ("half-size of the pixel neighbourhood a normal is fitted to", "pixels", "1 or more"),
    "light_contrast_threshold": ("fringe swing a pixel needs to be decoded: lower keeps fainter surfaces (noisier "
                                 "points), higher drops them", "grey levels", "0-255"),
    "X1:transform_to_camera": ("True: points in this camera's frame; False: in the device's frame (the left "
                               "camera's)", "", "True or False"),
    "X2:transform_to_camera": ("the camera whose frame the points are given in", "", "`CameraID_Left`, "
                               "`CameraID_Right` or `CameraID_Extra` (a camera the device has)"),
    "filter_range": ("size of the SDK's outlier filter on the point map (the virtual SDK keeps it but does not "
                     "model it)", "pixels", "0 (off) or more"),
    "use_auto_noise_removal": ("drop isolated points and pixels that straddle a depth edge", "", "True or False"),
    "noise_removal_distance": ("how close a neighbour must be to count for noise removal (0: the SDK chooses)",
                               "mm", "0 or more"),
    "noise_removal_point_number": ("points with fewer neighbours than this are removed", "points", "0 or more"),
    "phase_filter_range": ("size of the filter on the decoded phase (the virtual SDK keeps it but does not "
                           "model it)", "pixels", "0 (off) or more"),
    "projector_brightness": ("the projector's light level for the fringes (and a projector-lit 2-D image)",
                             "levels", "1-255"),
    "exposure_time_2d": ("exposure of the 2-D image", "ms", "3-100 (`GetExposureTimeRange`)"),
    "exposure_time_3d": ("exposure of each fringe pattern", "ms", "3-100 (`GetExposureTimeRange`)"),
    "gain_2d": ("sensor gain of the 2-D image: brighter, and noisier alike", "dB", "0-20 (`GetGainRange`)"),
    "gain_3d": ("sensor gain of the fringe patterns: brings faint surfaces over `light_contrast_threshold` but "
                "gives no precision", "dB", "0-20 (`GetGainRange`)"),
    "gamma_2d": ("gamma of the 2-D image", "", "0.5-3 (`GetGammaRange`)"),
    "gamma_3d": ("gamma of the fringe patterns", "", "0.5-3 (`GetGammaRange`)"),
    "hdr_exposure_times": ("number of HDR steps, each with its exposure, gain, scan times and brightness "
                           "(`SetHDR...Content`); per pixel the step that measures best is kept", "steps",
                           "0 (HDR off) to 3"),
    "use_projector_capturing_2d_image": ("light the 2-D image with the projector (else room light only)", "",
                                         "True or False"),
    "smoothness": ("smoothing of the points: lowers the uncorrelated part of the noise", "",
                   "`SmoothnessLevel_Off`, `_Weak`, `_Normal`, `_Strong`"),
    "downsample_distance": ("thin the points to one per cell of this size (the virtual SDK keeps it but does not "
                            "model it)", "mm", "0 (off) or more"),
    "scan_times": ("how often the pattern sequence is repeated and averaged: the noise falls as 1/sqrt of it",
                   "repeats", "1-8"),
    "truncate_z_min": ("points nearer than this are dropped (NaN)", "mm", "any number, below `truncate_z_max`"),
    "truncate_z_max": ("points farther than this are dropped (NaN)", "mm", "any number, above `truncate_z_min`"),
    "use_auto_bilateral_filter": ("let the SDK choose the bilateral filter's sizes", "", "True or False"),
    "bilateral_filter_kernal_size": ("window of the bilateral filter on the depth (more than 1 turns it on)",
                                     "pixels", "0 (off) or more"),
    "bilateral_filter_depth_sigma": ("the bilateral filter's depth scale (0: the SDK chooses)", "mm", "0 or more"),
    "bilateral_filter_space_sigma": ("the bilateral filter's spatial scale (0: the SDK chooses)", "pixels",
                                     "0 or more"),
    "reflection_filter_threshold": ("drop points whose codes disagree as reflections produce them (0: off; the "
                                    "robust and anti-inter-reflection capture modes do this their own way)", "",
                                    "0 or more"),
    "smooth_sigma": ("scale of the smoothing `smoothness` applies", "pixels", "more than 0"),
    "enable_2d_in_capture": ("a 3-D capture also takes the 2-D image (`GetImage`); False leaves the camera's last "
                             "image as it was", "", "True or False"),
    "capture_mode": ("how the fringes are projected and decoded: fast (4 phase steps), normal (12), ultra (24), "
                     "robust and anti-inter-reflection (codes checked against each other), and the line scans",
                     "", "a `CaptureMode_` member the device supports (`DeviceInfo.support_capture_mode`)"),
    "confidence_threshold": ("points whose confidence (`GetConfidenceMap`) is below it are dropped; 0 keeps every "
                             "decoded point", "", "0 or more"),
    "roi": ("region of the image that is measured; elsewhere the point map holds NaN. Width or height 0: the "
            "whole image", "pixels (x, y, width, height)", "inside the image, on the steps of `GetRoiRange` "
            "(`CheckRoi`, `AutoAdjustRoi`)"),
    "edge_noise_reduction_threshold": ("how strongly points at depth edges are removed", "", "0 (off) or more"),
    "correspond2d": ("compute the correspondence map (`GetCorrespondMap`: each left pixel's match in the right "
                     "image)", "", "True or False"),
    "line_scanner_scan_time_ms": ("time of one sweep of the fixed line scan", "ms", "10-60000"),
    "line_scanner_exposure_time_us": ("exposure of each line of the fixed line scan", "us", "10-100000"),
    "line_scanner_min_distance": ("the line scan drops points nearer than this (0: no limit)", "mm",
                                  "0 or more, below `line_scanner_max_distance` when that is set"),
    "line_scanner_max_distance": ("the line scan drops points farther than this (0: no limit)", "mm", "0 or more"),
    "line_scanner_laser_position": ("the laser line's resting position", "steps of the scanner", "0-65535"),
    "line_scanner_brightness_threshold": ("the line scan's minimum line brightness", "grey levels", "0-255"),
    "projector_color": ("colour of the projected fringes", "", "a `ProjectorColor_` member the device has "
                        "(`DeviceInfo.support_color`)"),
    "pointcloud_completion": ("fill points only one camera sees from the projector's view (else both cameras "
                              "must see a point)", "", "True or False"),
}
# The HDR schedules: three steps each, read and written by index (0-2).
HDR = {
    "ExposureTime": ("exposure of HDR step i", "ms", "3-100"),
    "Gain": ("gain of HDR step i", "dB", "0-20"),
    "ScanTimes": ("scan times of HDR step i", "repeats", "2-4 through the setter (captures accept 1-8)"),
    "ProjectorBrightness": ("projector brightness of HDR step i", "levels", "1-240"),
}

# ---- what a call returns when it fails (GetLastError and GetLastErrorMessage then say why) ----
# By name where the result alone does not tell; the rest follows from the result's type (`failure`).
FAILS = {
    "SystemListDevices": "a status other than 0 (an error code) with the devices found so far",
    "SystemShutdown": "nothing: it always succeeds",
    "ImageDestroy": "nothing: an invalid handle is left as it is",
    "PointMapDestroy": "nothing: an invalid handle is left as it is",
    "Destroy": "nothing: an invalid handle is left as it is",
    "Close": "nothing: a closed camera stays closed",
    "Print": "nothing",
    "GetNetworkConfig": "`NetworkType_DHCP`, empty addresses and prefix 0",
    "SetNetworkConfig": "False",
    "AutoAdjustRoi": "`ROI(0, 0, 0, 0)`",
    "GetFixedLineScanPointMap": "an invalid `PointMap` (`IsValid()` False); the form filling a point map: False",
    "CheckRoi": "False (also for a region that does not fit the camera)",
    "IsValid": "False: the answer, not a failure",
    "IsOpen": "False: the answer, not a failure",
    "IsPhysicallyConnected": "False: the answer, not a failure",
    "IsFirmwareMatch": "False: the answer, not a failure",
    "SystemIsInited": "False: the answer, not a failure",
    "GetNormalDataPtr": "an invalid `NormalData` (the point map has no normals: capture with `calc_normal`)",
    "Initialize": "a negative error code; else the number of reference markers recorded",
    "GetTwoCameraTransformByCodedCircleMarker": "a negative error code as the count (fewer than 3 markers matched, "
                                                "unusable images); else the number of markers used",
    "TestAccuracy": "a negative error code as the count; else the number of markers used",
    "DetectCodedCircleMarker": "an empty list (as when there is no marker: GetLastError tells them apart)",
    "TransformPointCloud": "nothing; an invalid point map is left as it is",
    "SetTransform": "nothing; `ValueError` for an array that is not 16 numbers (4 x 4)",
    "GetVersion": "nothing: it always answers",
    "GetLastError": "nothing: 0 when no error was recorded",
    "GetLastErrorMessage": "nothing: empty when no error was recorded",
    "GetHDRExposureTimeContent": "-1 for an index outside 0-2",
    "GetHDRGainContent": "-1.0 for an index outside 0-2",
    "GetHDRScanTimesContent": "-1 for an index outside 0-2",
    "GetHDRProjectorBrightnessContent": "-1 for an index outside 0-2",
    "SetHDRExposureTimeContent": "False for an index outside 0-2 or a value outside the step's range",
    "SetHDRGainContent": "False for an index outside 0-2 or a value outside the step's range",
    "SetHDRScanTimesContent": "False for an index outside 0-2 or a value outside the step's range",
    "SetHDRProjectorBrightnessContent": "False for an index outside 0-2 or a value outside the step's range",
}
HANDLES = {"Image", "PointMap", "DepthMap", "ConfidenceMap", "CorrespondMap", "NormalData", "Device", "X1", "X2"}


def failure(name, signature):
    """What the call `name` of this signature returns when it fails, or None where it cannot fail."""
    if name in FAILS:
        return FAILS[name]
    result = signature.rsplit("->", 1)[-1].strip()
    if result == "bool":
        return "False"
    if result.startswith("Tuple[bool"):
        return "False as the first item (the other items are then not meaningful)"
    bare = result.split(".")[-1].split("::")[-1]
    if bare in HANDLES:
        return "an invalid `%s` (`IsValid()` False)" % bare
    if result in ("str", "int") and ("TypeToString" in name or "GetPixelSize" in name):
        return None  # conversions of enumeration values: no SDK state
    return None


def option_rows(cls):
    """The option table of an option record: field, meaning, unit, range, default."""
    record = cls()
    kind = cls.__name__.split("_")[0]
    rows = ["| field | meaning | unit | range | default |", "|---|---|---|---|---|"]
    for attr, member in vars(cls).items():
        if not isinstance(member, property):
            continue
        meaning, unit, allowed = OPTIONS.get("%s:%s" % (kind, attr)) or OPTIONS[attr]
        rows.append("| `%s` | %s | %s | %s | %s |" % (attr, meaning, unit or "-", allowed, shown(getattr(record, attr))))
    for key, (meaning, unit, allowed) in HDR.items():
        if hasattr(cls, "GetHDR%sContent" % key):
            values = ", ".join(shown(getattr(record, "GetHDR%sContent" % key)(i)) for i in range(3))
            rows.append("| `GetHDR%sContent(i)`, `SetHDR%sContent(i, v)` | %s | %s | %s | %s |" % (
                key, key, meaning, unit, allowed, values))
    return rows


def shown(value):
    """A default as a reader writes it."""
    if isinstance(value, T.ROI):
        return "ROI(%d, %d, %d, %d)" % (value.x, value.y, value.width, value.height)
    if isinstance(value, float):
        return "%g" % value
    if isinstance(value, (bool, int)):
        return str(value)
    return "`%s`" % value.name

def signatures(obj):
    doc = (getattr(obj, "__doc__", None) or "").strip()
    return [line for line in doc.splitlines() if line.strip()]


def is_enum(obj):
    return isinstance(obj, type) and "__members__" in vars(obj)


def document():
    out = ["# PyTUVO API reference", "",
           "Generated from the built module by `scripts/gen_docs.py` (`make docs`); names appear in the order "
           "the module registers them, signatures as the module renders them.", "",
           "SDK failures come back as results, never as exceptions: after each call, \"fails:\" says what it "
           "returns when it fails; `GetLastError()` and `GetLastErrorMessage()` then say why, naming the "
           "operation. They keep the last error until another failure replaces it (a call that succeeds "
           "leaves them as they were), so read them only after a call that failed. Arguments of the wrong "
           "type raise `TypeError` before the SDK is called. The option records list, for each field, "
           "what it means, its unit, the range captures accept (a value outside it makes `Capture` fail "
           "with `Error_InvalidArgument`) and its default.", ""]
    exported = set()
    for name, obj in vars(T).items():
        if name.startswith("__") or name in exported:
            continue
        if is_enum(obj):
            members = list(obj.__members__.items())
            out += ["## enum `%s`" % name, ""]
            out += ["| member | value |", "|---|---|"]
            out += ["| `%s` | %d |" % (m, int(v)) for m, v in members]
            if name != "ProtectiveCoverStatus":
                exported.update(m for m, _ in members)
                out += ["", "Members are also module attributes."]
            out.append("")
        elif isinstance(obj, type):
            out += ["## class `%s`" % name, ""]
            for attr, member in vars(obj).items():
                if attr.startswith("_") and attr != "__init__":
                    continue
                if isinstance(member, property):
                    kind = "read-write" if member.fset else "read-only"
                    sig = signatures(member.fget)[0].split("->")[-1].strip()
                    out.append("- `%s`: %s property, `%s`" % (attr, kind, sig))
                elif attr == "__init__" or callable(member) or isinstance(member, staticmethod):
                    fn = getattr(obj, attr)
                    static = isinstance(inspect.getattr_static(obj, attr), staticmethod)
                    lines = [l for l in signatures(fn) if l != "Overloaded function." and "(*args, **kwargs)" not in l]
                    out.append("- %s`%s`" % ("static " if static else "", lines[0] if len(lines) == 1 else attr))
                    if len(lines) > 1:
                        out += ["    - `%s`" % l.lstrip("0123456789. ") for l in lines]
                    fails = failure(attr, lines[0]) if lines and attr != "__init__" else None
                    if fails:
                        out.append("    - fails: %s" % fails)
            if "__buffer__" in dir(obj) or obj.__name__ in {"Image", "PointMap", "NormalData", "DepthMap",
                                                              "ConfidenceMap", "CorrespondMap"}:
                out.append("- buffer protocol: `numpy.asarray(obj)` is a view of SDK memory")
            if name.endswith("_CaptureOptions"):
                out += [""] + option_rows(obj)
            out.append("")
        elif callable(obj):
            lines = [l for l in signatures(obj) if l != "Overloaded function." and "(*args, **kwargs)" not in l]
            out += ["## function `%s`" % name, ""]
            out += ["- `%s`" % l.lstrip("0123456789. ") for l in lines if l.startswith(name) or l[0].isdigit()]
            rest = [l for l in lines if not (l.startswith(name) or l[0].isdigit())]
            fails = failure(name, next(l for l in lines if l.startswith(name) or l[0].isdigit()))
            if fails:
                out.append("- fails: %s" % fails)
            if rest:
                out += ["", " ".join(rest)]
            out.append("")
    # Defaults that are objects print with their address; show how they are made instead.
    return re.sub(r"<PyTUVO\.(\w+) object at 0x[0-9a-f]+>", r"\1()", "\n".join(out))


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(document())
