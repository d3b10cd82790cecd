"""Steer the virtual TUVO SDK (the stand-in libTUVO.so.1) from tests and scripts.

Every SDK operation has a name such as "SystemInit", "Device.GetDeviceInfo" or "X1.Capture".
With this module a test can make an operation fail, replace what it answers, read back the
arguments it received, slow it down or hold it until released, and describe the rig of virtual
devices. None of this is part of PyTUVO itself.
"""
import contextlib
import ctypes
import json
import os
import struct
from typing import Any, Dict, Generator, List, Optional, Tuple, Union

import PyTUVO


def _sdk() -> ctypes.CDLL:
    """The libTUVO.so.1 PyTUVO runs on: the one the loader gave it (beside the extension, or wherever
    LD_LIBRARY_PATH led), never a second copy loaded beside it."""
    try:
        lib = ctypes.CDLL("libTUVO.so.1", mode=os.RTLD_NOLOAD)
    except OSError:  # not found by its name alone: the copy beside the extension
        lib = ctypes.CDLL(os.path.join(os.path.dirname(os.path.abspath(PyTUVO.__file__)), "libTUVO.so.1"))
    if not hasattr(lib, "tuvo_sim_reset"):
        raise ImportError("tuvo_sim steers the virtual SDK only; the libTUVO.so.1 PyTUVO runs on is another "
                          "implementation (it has no tuvo_sim_ control interface)")
    return lib


_lib = _sdk()


def _fn(name: str, restype: Any, *argtypes: Any) -> Any:
    f = getattr(_lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


_c = ctypes.c_char_p
_fail = _fn("tuvo_sim_fail", None, _c, ctypes.c_int, _c, ctypes.c_int)
_clear = _fn("tuvo_sim_clear", None, _c)
_set_bytes = _fn("tuvo_sim_set_bytes", None, _c, ctypes.c_char_p, ctypes.c_longlong)
_unset = _fn("tuvo_sim_unset", None, _c)
_last_args = _fn("tuvo_sim_last_args", ctypes.c_char_p, _c)
_call_count = _fn("tuvo_sim_call_count", ctypes.c_longlong, _c)
_delay = _fn("tuvo_sim_delay", None, _c, ctypes.c_int)
_block = _fn("tuvo_sim_block", None, _c)
_unblock = _fn("tuvo_sim_unblock", None, _c)
_inside = _fn("tuvo_sim_inside", ctypes.c_int, _c)
_wait_entered = _fn("tuvo_sim_wait_entered", ctypes.c_int, _c, ctypes.c_int)
_reset = _fn("tuvo_sim_reset", None)
_set_rig = _fn("tuvo_sim_set_rig", ctypes.c_int, _c)
_live = _fn("tuvo_sim_live", ctypes.c_longlong, _c)

# Error codes of the SDK (GetLastError).
ERROR_NOT_INITIALIZED = -1
ERROR_INVALID_HANDLE = -2
ERROR_INVALID_ARGUMENT = -3
ERROR_NOT_OPEN = -4
ERROR_FILE_IO = -5
ERROR_NOT_SUPPORTED = -6
ERROR_BUSY = -7
ERROR_FAILED = -11


Text = Union[str, bytes]


def _b(text: Text) -> bytes:
    return text.encode() if isinstance(text, str) else text


def reset() -> None:
    """Back to defaults: no overrides, SDK shut down, objects released, default rig."""
    _set_rig(None)
    _reset()


def fail(op: Text, code: int = ERROR_FAILED, message: Text = "injected failure", times: int = 0) -> None:
    """Make `op` fail with `code` and `message` (the next `times` calls, or all when 0)."""
    _fail(_b(op), code, _b(message), times)


def clear(op: Text) -> None:
    """Undo fail, delay and block for `op`."""
    _clear(_b(op))


def set(key: Text, value: Union[None, bool, int, float, str, bytes]) -> None:
    """Put an answer or scene parameter under `key`.

    None stands for a null pointer; bytes are passed as they are; str as UTF-8; bool, int and
    float as their decimal text.
    """
    if value is None:
        _set_bytes(_b(key), None, -1)
        return
    if isinstance(value, bool):
        data = b"1" if value else b"0"
    elif isinstance(value, (int, float)):
        data = repr(value).encode()
    else:
        data = _b(value)
    _set_bytes(_b(key), data, len(data))


def unset(key: Text) -> None:
    _unset(_b(key))


def last_args(op: Text) -> Optional[Dict[str, Any]]:
    """The arguments of the last finished call of `op` as a dict, or None if it was never called."""
    text = _last_args(_b(op))
    if not text:
        return None
    args: Dict[str, Any] = json.loads(text.decode("latin-1"))
    return args


def calls(op: Text) -> int:
    """How many times `op` has been entered."""
    return int(_call_count(_b(op)))


def delay(op: Text, ms: float) -> None:
    _delay(_b(op), int(ms))


def inside(op: Text) -> int:
    """How many calls of `op` are inside the SDK right now."""
    return int(_inside(_b(op)))


def wait_entered(op: Text, timeout: float = 5.0) -> int:
    """Wait until a call of `op` is inside the SDK; returns how many are."""
    return int(_wait_entered(_b(op), int(timeout * 1000)))


def block(op: Text) -> None:
    _block(_b(op))


def unblock(op: Text) -> None:
    _unblock(_b(op))


@contextlib.contextmanager
def blocked(op: Text) -> Generator[None, None, None]:
    """Hold every call of `op` inside the SDK until the block ends (at most 10 s)."""
    block(op)
    try:
        yield
    finally:
        unblock(op)


def set_rig(text: Optional[Text]) -> None:
    """Describe the virtual devices (read at the next SystemInit); None restores the default rig."""
    if _set_rig(None if text is None else _b(text)) != 0:
        raise ValueError(PyTUVO.GetLastErrorMessage())


def live(kind: Text) -> int:
    """Live SDK objects of a kind: "image", "pointmap" or "map"."""
    return int(_live(_b(kind)))


def device_info(name: Text = b"", sn: Text = b"", factroydate: Text = b"", port: Text = b"", type: int = 0,
                cameraid: int = 0, boardmodel: int = 0, support_x2: bool = False, support_color: int = 0,
                workingdist_near_mm: int = 0, workingdist_far_mm: int = 0, support_capture_mode: int = 0,
                support_x1: bool = False, support_protective_cover: bool = False,
                support_extra: bool = False) -> bytes:
    """The 292 bytes of an SDK DeviceInfo record, for the "Device.GetDeviceInfo.info" answer."""
    def text(v: Text) -> bytes:
        v = _b(v)
        if len(v) > 32:
            raise ValueError("texts hold at most 32 bytes")
        return v.ljust(32, b"\0")
    head = b"".join(text(v) for v in (name, sn, factroydate, port))
    mid = struct.pack("<IIi?3xIii", type, cameraid, boardmodel, support_x2, support_color,
                      workingdist_near_mm, workingdist_far_mm)
    tail = struct.pack("<I???x", support_capture_mode, support_x1, support_protective_cover,
                       support_extra)
    record = head + mid + bytes(128) + tail
    assert len(record) == 292
    return record


def size(width: int, height: int) -> bytes:
    """The 8 bytes of an SDK Size, for the "*.GetSize" answers."""
    return struct.pack("<ii", width, height)


_marker_truth = _fn("tuvo_sim_marker_truth", ctypes.c_int, _c, ctypes.c_int,
                    ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int))


def marker_truth(serial: Text) -> List[Tuple[int, Tuple[float, float, float]]]:
    """The board's markers as the scene holds them: a list of (code, (x, y, z)) in the device's
    frame at rest, in millimetres (after SystemInit)."""
    out: List[Tuple[int, Tuple[float, float, float]]] = []
    k = 0
    while True:
        xyz = (ctypes.c_double * 3)()
        code = ctypes.c_int()
        n = _marker_truth(_b(serial), k, xyz, ctypes.byref(code))
        if n < 0:
            return out
        out.append((code.value, (xyz[0], xyz[1], xyz[2])))
        k += 1


_ray_floor = _fn("tuvo_sim_ray_floor", ctypes.c_int, _c, ctypes.c_int, ctypes.POINTER(ctypes.c_double),
                 ctypes.POINTER(ctypes.c_longlong))


def ray_floor(serial: Text, camera: int = 0) -> Dict[str, float]:
    """Embree alone casting the rays of one capture of a device's camera (0 left, 1 right, 2 extra)
    as it stands now: a primary ray per pixel, then a shadow ray from each hit towards the
    projector, rows in parallel as a capture casts them (render.threads applies), and counted with
    the shadow rays every other ray the capture casts: the light bounced between surfaces, the rays
    over the footprints of pixels at depth edges and, on a two-camera device (x2), camera 0's rays
    from each lit point towards camera 1 (camera 1 there casts its image's rays alone). Returns
    {"primary_s", "shadow_s", "primary_cpu_s", "shadow_cpu_s", "primary_rays", "shadow_rays",
    "primary_tests", "shadow_tests"}: the time of each pass, the CPU time the process spent in it,
    the rays cast, and how often each pass tested a ray against one of the scene's primitive objects
    (spheres, boxes, cylinders, planes, boards): the work Embree's acceleration structure leaves to
    them (after SystemInit)."""
    seconds = (ctypes.c_double * 4)()
    rays = (ctypes.c_longlong * 4)()
    if _ray_floor(_b(serial), camera, seconds, rays) != 0:
        raise ValueError("no camera %d on device %r" % (camera, serial))
    return {"primary_s": seconds[0], "shadow_s": seconds[1], "primary_cpu_s": seconds[2], "shadow_cpu_s": seconds[3],
            "primary_rays": rays[0], "shadow_rays": rays[1], "primary_tests": rays[2], "shadow_tests": rays[3]}
_device_value = _fn("tuvo_sim_device_value", ctypes.c_double, _c, _c)


def device_value(serial: Text, key: Text) -> float:
    """A figure of a device's sensor model (after SystemInit), NaN when unknown: "focal_px",
    "baseline_mm", "max_angle_deg", "projector_x", "projector_y", "projector_z" (the projector's
    true centre in the device's frame, mm), "capture_ms", or "scan_waiters" (calls waiting for a
    fixed line scan's first point map; with block("scan publish"), which holds each sweep before it
    is published, tests order a scan's events exactly)."""
    return float(_device_value(_b(serial), _b(key)))


def capture_time_ms(serial: Text) -> float:
    """The modelled duration of the device's latest capture in milliseconds (-1 before any)."""
    return device_value(serial, "capture_ms")


def projector(serial: Text) -> Tuple[float, float, float]:
    """The projector's true centre in the device's frame, mm."""
    return (device_value(serial, "projector_x"), device_value(serial, "projector_y"),
            device_value(serial, "projector_z"))
