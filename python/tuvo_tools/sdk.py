"""The SDK as tools use it: failures as exceptions, a session that releases what it opened, and
plain-data views of devices and cameras."""
import PyTUVO as T
from tuvo_convert import SdkError, extrinsics, intrinsics
from tuvo_convert.errors import check, failure, last_error

CAMERAS = {"left": T.CameraID_Left, "right": T.CameraID_Right, "extra": T.CameraID_Extra}
PORT_TYPES = {int(T.PortType_USB): "usb", int(T.PortType_GIGE): "gige"}
CAPTURE_MODES = {
    "fast": T.CaptureMode_Fast, "normal": T.CaptureMode_Normal, "ultra": T.CaptureMode_Ultra,
    "robust": T.CaptureMode_Robust, "antiinterreflection": T.CaptureMode_AntiInterReflection,
    "swinglinescan": T.CaptureMode_SwingLineScan, "fixedlinescan": T.CaptureMode_FixedLineScan,
    "linearrayshift": T.CaptureMode_LineArrayShift,
}
COLOURS = {"red": T.ProjectorColor_Red, "green": T.ProjectorColor_Green, "blue": T.ProjectorColor_Blue,
           "white": T.ProjectorColor_White}


# The SDK's Error_NotFound (GetLastError): what the device does not know, such as the calibration
# of a camera a recording did not see.
ERROR_NOT_FOUND = -9


def call(what, fn, *args, explain=None):
    """`fn(*args)`, checked: a bool result must be true, a tuple's first item true (or a status
    of 0 where it is an int), a handle valid. Returns the result."""
    before = last_error()
    result = fn(*args)
    if isinstance(result, tuple):
        ok = result[0] == 0 if isinstance(result[0], int) and not isinstance(result[0], bool) else bool(result[0])
    elif isinstance(result, bool):
        ok = result
    else:
        ok = result.IsValid()
    check(ok, what, before, explain)
    return result


def camera_names(flags):
    return [name for name, cid in CAMERAS.items() if int(flags) & int(cid)]


def flag_names(flags, table):
    return [name for name, value in table.items() if int(flags) & int(value)]


class Session:
    """SystemInit on entry; on exit (also on Ctrl-C) every camera and result it tracked is closed
    and destroyed, then SystemShutdown."""

    def __init__(self):
        self._cleanups = []

    def __enter__(self):
        call("SystemInit", T.SystemInit)
        return self

    def __exit__(self, *exc):
        interrupted = None
        while self._cleanups:
            fn = self._cleanups.pop()
            try:
                fn()
            except KeyboardInterrupt as e:  # Ctrl-C again: the rest is released first
                interrupted = e
            except Exception:  # noqa: BLE001 - releasing the rest matters more
                pass
        T.SystemShutdown()
        if interrupted is not None and exc[0] is None:
            raise interrupted
        return False

    def on_exit(self, fn):
        self._cleanups.append(fn)

    def devices(self):
        return call("SystemListDevices", T.SystemListDevices, T.All)[1]

    def find(self, serial):
        return call("SystemFindDevice", T.SystemFindDevice, serial,
                    explain="no device with serial number %s" % serial)

    def x1(self, device, camera="left"):
        cam = call("X1.Create", T.X1.Create, device, CAMERAS[camera])
        self.on_exit(lambda: T.X1.Destroy(cam))
        call("X1.Open", cam.Open)
        self.on_exit(cam.Close)
        return cam

    def x2(self, device):
        cam = call("X2.Create", T.X2.Create, device)
        self.on_exit(lambda: T.X2.Destroy(cam))
        call("X2.Open", cam.Open)
        self.on_exit(cam.Close)
        return cam


def describe(device):
    """The device's DeviceInfo as a dict keyed by the SDK's field names."""
    _, info = call("Device.GetDeviceInfo", device.GetDeviceInfo)
    return {
        "name": _text(info, "name"), "sn": _text(info, "sn"), "factroydate": _text(info, "factroydate"),
        "port": _text(info, "port"),
        "type": int(info.type), "cameraid": int(info.cameraid), "boardmodel": int(info.boardmodel),
        "support_x1": bool(info.support_x1), "support_x2": bool(info.support_x2),
        "support_protective_cover": bool(info.support_protective_cover),
        "support_extra": bool(info.support_extra), "support_color": int(info.support_color),
        "support_capture_mode": int(info.support_capture_mode),
        "workingdist_near_mm": int(info.workingdist_near_mm), "workingdist_far_mm": int(info.workingdist_far_mm),
    }


def _text(info, field):
    """A text field of DeviceInfo; one that is not UTF-8 (the binding cannot give it) is an SdkError."""
    try:
        return getattr(info, field)
    except UnicodeDecodeError as e:
        raise SdkError("the device's %s is not UTF-8 text (byte %d)" % (field, e.start))


def readable(description):
    """A DeviceInfo dict with its flags spelled out, for people and scripts."""
    d = description
    return {
        "serial": d["sn"], "name": d["name"], "port": d["port"],
        "port_type": PORT_TYPES.get(d["type"], "unknown"), "made": d["factroydate"],
        "cameras": camera_names(d["cameraid"]), "x1": d["support_x1"], "x2": d["support_x2"],
        "protective_cover": d["support_protective_cover"],
        "projector_colours": flag_names(d["support_color"], COLOURS),
        "capture_modes": flag_names(d["support_capture_mode"], CAPTURE_MODES),
        "working_distance_mm": [d["workingdist_near_mm"], d["workingdist_far_mm"]],
    }


def calibration(cam, cid=None):
    """Intrinsics (9), distortion (5) and extrinsic matrix (16) of an X1, or of camera `cid` of an X2.
    SdkError when the SDK has none (its code ERROR_NOT_FOUND where the device does not know it)."""
    lens = intrinsics(cam, cid)
    return {"intrinsics": lens.matrix.ravel().tolist(), "distortion": lens.distortion.tolist(),
            "extrinsic": extrinsics(cam, cid).ravel().tolist()}
