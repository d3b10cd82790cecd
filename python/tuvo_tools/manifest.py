"""A recording's manifest checked by the rules of recording_rules.json, the table the virtual SDK's
playback compiles in: the same fields, types, ranges and limits, checked in the same order, so that
both refuse the same manifests with the same message."""
import json
import math
import re
from typing import Any, Dict, List, Optional

import numpy as np

from .reading import RecordingError, inside
from .recording_rules import CAMERAS, LIMITS, NEWEST_VERSION, OPTIONS, RULES

_FLOAT_MAX = float(np.finfo(np.float32).max)
_STRING = re.compile(rb'"(?:[^"\\]|\\.)*"', re.S)
_OPTION_NAME = re.compile(r"[a-z0-9_]{1,64}\Z")
# The integer kinds of option fields: their range and how a message names them.
_INTEGERS = {"int32": (-2147483648, 2147483647, "a 32-bit integer"), "ints3": (-2147483648, 2147483647, "32-bit integer"),
             "roi": (-2147483648, 2147483647, "32-bit integer"),
             "uint32": (0, 4294967295, "an unsigned 32-bit integer"), "uint16": (0, 65535, "an integer from 0 to 65535")}


class Fault(Exception):
    """The first fault found: where in the manifest (a path such as streams.x2.frames[3].dir) and what."""

    def __init__(self, path: str, what: str):
        super().__init__(path + ": " + what)


def _choices(values: List[str]) -> str:
    return ", ".join(values[:-1]) + " or " + values[-1] if len(values) > 1 else values[0]


def _integer(v: Any) -> bool:
    """A JSON integer the SDK's parser keeps as one (64 bits)."""
    return isinstance(v, int) and not isinstance(v, bool) and -(1 << 63) <= v < (1 << 64)


def _number(v: Any) -> Optional[float]:
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        return None
    try:
        return float(v)
    except OverflowError:
        return math.inf


def check_record(obj: Any, path: str, record: str) -> None:
    """Checks the fields of `obj` by the table's record `record`, in the table's order."""
    if not isinstance(obj, dict):
        raise Fault(path, "must be an object")
    for rule in RULES["records"][record]:
        key = rule["key"]
        where = path + "." + key
        if key not in obj or (obj[key] is None and rule.get("optional")):
            if not rule.get("optional"):
                raise Fault(path, 'lacks "%s"' % key)
            continue
        v, kind = obj[key], rule["type"]
        if kind == "text":
            if not isinstance(v, str):
                raise Fault(where, "must be a text")
            if len(v.encode("utf-8", "surrogatepass")) > rule["max_bytes"]:
                raise Fault(where, "is longer than %d bytes" % rule["max_bytes"])
            if "\0" in v:
                raise Fault(where, "holds a NUL character")
        elif kind == "integer":
            if not _integer(v):
                raise Fault(where, "must be an integer")
            if not rule["min"] <= v <= rule["max"]:
                raise Fault(where, "must be %d to %d" % (rule["min"], rule["max"]))
        elif kind == "bool":
            if not isinstance(v, bool):
                raise Fault(where, "must be true or false")
        elif kind == "choice":
            if not isinstance(v, str) or v not in rule["of"]:
                raise Fault(where, "must be " + _choices(rule["of"]))
        elif kind == "numbers":
            if not isinstance(v, list) or len(v) != rule["count"]:
                raise Fault(where, "must be a list of %d numbers" % rule["count"])
            for x in v:
                f = _number(x)
                if f is None:
                    raise Fault(where, "must hold numbers only")
                if not math.isfinite(f):
                    raise Fault(where, "must hold finite numbers")
                if rule["range"] == "float32" and abs(f) > _FLOAT_MAX:
                    raise Fault(where, "holds a number out of the range of a 32-bit float")
        elif kind == "record":
            check_record(v, where, rule["of"])
        elif kind == "object":
            if not isinstance(v, dict):
                raise Fault(where, "must be an object")
        elif kind == "list":
            if not isinstance(v, list):
                raise Fault(where, "must be a list")
            if len(v) > LIMITS["frames"]:
                raise Fault(where, "holds more than {:,} frames".format(LIMITS["frames"]))
        elif kind == "options":
            check_options(v, where, rule["of"])
        elif kind == "folder":
            if not isinstance(v, str):
                raise Fault(where, "must be a text")
            if len(v.encode("utf-8", "surrogatepass")) > 255:
                raise Fault(where, "is longer than 255 bytes")
            if "\0" in v:
                raise Fault(where, "holds a NUL character")
            if not inside(v, 2):
                raise Fault(where, "is not a folder inside the recording")
        elif kind == "file":
            if not isinstance(v, str) or not inside(v, 1):
                raise Fault(where, "is not a file name inside the frame's folder")
        else:
            raise AssertionError("recording_rules.json: unknown type " + kind)


def check_options(obj: Any, path: str, kind: str) -> None:
    """Every key a field of the option record of `kind`, every value of the field's type and range."""
    if not isinstance(obj, dict):
        raise Fault(path, "must be an object")
    table = OPTIONS[kind]
    for key in sorted(obj):
        if key not in table:
            raise Fault(path, "unknown option " + key if _OPTION_NAME.match(key) else "has a malformed option name")
        v, field, where = obj[key], table[key], path + "." + key
        if field == "bool":
            if not isinstance(v, bool):
                raise Fault(where, "must be true or false")
            continue
        count = {"ints3": 3, "floats3": 3, "roi": 4}.get(field)
        if count and (not isinstance(v, list) or len(v) != count):
            raise Fault(where, "must be a list of %d %s" % (count, "numbers" if field == "floats3" else "integers"))
        for x in v if count else [v]:
            f = _number(x)
            if f is None or not math.isfinite(f):
                raise Fault(where, "must hold finite numbers" if count else "must be a finite number")
            if field in ("float32", "floats3"):
                if abs(f) > _FLOAT_MAX:
                    raise Fault(where, "is out of the range of a 32-bit float")
            elif field != "float64":
                lo, hi, what = _INTEGERS[field]
                if math.floor(f) != f or not lo <= f <= hi:
                    raise Fault(where, "must hold %ss" % what if count else "must be " + what)


def extent(data: bytes):
    """How deep the text nests arrays and objects and how many values it holds (each container and
    each comma outside texts), as the SDK counts them before parsing."""
    text = _STRING.sub(b"s", data)
    if b'"' in text:  # a text left open holds the rest
        text = text[:text.index(b'"')]
    bare = np.frombuffer(text, np.uint8)
    step = (np.isin(bare, (0x5B, 0x7B)).astype(np.int32) - np.isin(bare, (0x5D, 0x7D)))
    depth = int(np.cumsum(step).max()) if bare.size else 0
    values = int(np.count_nonzero(bare == 0x2C) + np.count_nonzero(np.isin(bare, (0x5B, 0x7B))))
    return depth, values


def _no_constant(name: str):
    raise ValueError("%s is not JSON" % name)


def _json_float(text: str) -> float:
    """A JSON number as the SDK's parser reads it: one beyond the range of a double is refused."""
    value = float(text)
    if math.isinf(value):
        raise ValueError("number overflow parsing %s" % text[:40])
    return value


def _json_int(text: str) -> int:
    if len(text) > 300:  # beyond 64 bits the SDK's parser reads a double, which may overflow
        _json_float(text)
    return int(text)


def parse(data: bytes, name: str) -> Dict[str, Any]:
    """The manifest's text parsed and checked; a RecordingError names `name` and the first fault."""
    if b"\0" in data:
        raise RecordingError("%s: holds a NUL character" % name)
    depth, values = extent(data)
    if depth > LIMITS["manifest_depth"]:
        raise RecordingError("%s: nests deeper than a recording's manifest" % name)
    if values > LIMITS["manifest_values"]:
        raise RecordingError("%s: holds more than {:,} values".format(LIMITS["manifest_values"]) % name)
    try:
        # A byte order mark is skipped, as the SDK's parser skips it.
        manifest = json.loads(data.decode("utf-8-sig"), parse_constant=_no_constant, parse_float=_json_float,
                              parse_int=_json_int)
        # Half of a UTF-16 surrogate pair (a lone "\\ud800") is text no UTF-8 reader can hold.
        json.dumps(manifest, ensure_ascii=False, check_circular=False).encode("utf-8")
    except (ValueError, RecursionError) as e:
        raise RecordingError("%s: not JSON (%s)" % (name, e))
    except MemoryError:
        raise RecordingError("%s: out of memory while it was read" % name)
    if not isinstance(manifest, dict) or manifest.get("format") != RULES["format"]:
        raise RecordingError('%s: not a TUVO recording ("format" is not "%s")' % (name, RULES["format"]))
    try:
        check_record(manifest, "manifest", "version")  # first: a newer version may differ in all else
        if manifest["version"] > NEWEST_VERSION:
            raise RecordingError("%s: recording format version %d is newer than this reader reads (%d)" % (
                name, manifest["version"], NEWEST_VERSION))
        check_manifest(manifest)
    except Fault as e:
        raise RecordingError("%s: %s" % (name, e))
    return manifest


def check_manifest(m: Dict[str, Any]) -> None:
    """The whole manifest: each record by the table, then what relates fields to one another, in the
    order the SDK checks them."""
    check_record(m, "manifest", "manifest")
    d = m["device"]
    if not d["sn"]:
        raise Fault("device.sn", "is empty")
    if d["workingdist_near_mm"] >= d["workingdist_far_mm"]:
        raise Fault("device", "workingdist_near_mm must be below workingdist_far_mm")
    if not d["cameraid"] & 1:
        raise Fault("device.cameraid", "names no left camera")
    for key in sorted(m["cameras"]):
        where = "cameras." + key
        if key not in CAMERAS:
            raise Fault(where, "names no camera (left, right or extra)")
        if not d["cameraid"] & (1 << CAMERAS.index(key)):
            raise Fault(where, "is a camera the device lacks")
        check_camera(m["cameras"][key], where)
    for key in sorted(m["streams"]):
        if key not in RULES["streams"]:
            raise Fault("streams." + key, "is not a stream name (%s)" % _choices(RULES["streams"]))
        check_stream(m, key, frames=True)


def check_camera(c: Any, where: str) -> None:
    check_record(c, where, "camera")
    if c["width"] * c["height"] > LIMITS["pixels"]:
        raise Fault(where, "has more than {:,} pixels".format(LIMITS["pixels"]))
    k = np.asarray(c["intrinsics"], np.float64).astype(np.float32)
    if not (k[0] > 0 and k[4] > 0):
        raise Fault(where + ".intrinsics", "has no positive focal length")
    if not _invertible(np.asarray(c["extrinsic"], np.float64).astype(np.float32).astype(np.float64).reshape(4, 4)):
        raise Fault(where + ".extrinsic", "is not invertible")


def _invertible(a: "np.ndarray[Any, Any]") -> bool:
    """Full-pivoting elimination, as Eigen's FullPivLU decides invertibility: every pivot above
    4 machine epsilons of the largest."""
    a = a.copy()
    pivots = []
    for i in range(4):
        sub = np.abs(a[i:, i:])
        r, c = (int(x) for x in np.unravel_index(int(np.argmax(sub)), sub.shape))
        pivots.append(float(sub[r, c]))
        if sub[r, c] == 0:
            break
        a[[i, i + r]] = a[[i + r, i]]
        a[:, [i, i + c]] = a[:, [i + c, i]]
        a[i + 1:, i:] -= np.outer(a[i + 1:, i] / a[i, i], a[i, i:])
    biggest = max(pivots)
    return len(pivots) == 4 and all(p > 4 * np.finfo(np.float64).eps * biggest for p in pivots)


def check_stream(m: Dict[str, Any], name: str, frames: bool, only: Optional[int] = None) -> None:
    """Stream `name` by its kind's record; its frames too when `frames` is set (all, or the one at
    index `only`)."""
    p, s = "streams." + name, m["streams"][name]
    check_record(s, p, "stream_kind")
    x2 = s["kind"] == "x2"
    cams = m["cameras"]
    if x2:
        if name != "x2":
            raise Fault(p, "an X2 stream must be named x2")
        if "left" not in cams or "right" not in cams:
            raise Fault(p, "needs the calibration of the left and right cameras")
    check_record(s, p, "x2_stream" if x2 else "x1_stream")
    camera = "left" if x2 else s["camera"]
    if not x2:
        if name != "x1-" + camera:
            raise Fault(p + ".camera", "must be left, right or extra, as the stream's name says")
        if not m["device"]["cameraid"] & (1 << CAMERAS.index(camera)):
            raise Fault(p + ".camera", "is a camera the device lacks")
        if camera not in cams:
            raise Fault(p, "needs the calibration of its camera")
    w, h = s["width"], s["height"]
    if w * h > LIMITS["pixels"]:
        raise Fault(p, "has more than {:,} pixels".format(LIMITS["pixels"]))
    cal = cams[camera]
    if (w, h) != (cal["width"], cal["height"]):
        raise Fault(p, "is %d x %d pixels, its camera's calibration %d x %d" % (w, h, cal["width"], cal["height"]))
    t = s["custom_transform"]
    if t["coordinate_select"] != 0 and t.get("matrix") is None:
        raise Fault(p + ".custom_transform.matrix", "is needed with a coordinate_select other than 0")
    if frames:
        indices = range(len(s["frames"])) if only is None else [only]
        for i in indices:
            check_frame(m, name, s, i)


def check_frame(m: Dict[str, Any], name: str, s: Dict[str, Any], i: int) -> None:
    p = "streams.%s.frames[%d]" % (name, i)
    f = s["frames"][i]
    check_record(f, p, "frame")
    x2 = s["kind"] == "x2"
    for key in sorted(f.get("images") or {}):
        where = p + ".images." + key
        if key not in CAMERAS:
            raise Fault(where, "names no camera (left, right or extra)")
        if not m["device"]["cameraid"] & (1 << CAMERAS.index(key)):
            raise Fault(where, "is a camera the device lacks")
        if key not in m["cameras"]:
            raise Fault(where, "is a camera whose calibration is not recorded")
        if not x2 and key != s["camera"]:
            raise Fault(where, "is not the X1's camera")
        check_record(f["images"][key], where, "image")
    if not x2 and f.get("correspond") is not None:
        raise Fault(p + ".correspond", "belongs to X2 captures only")
    if f.get("compression") is not None and m["version"] < RULES["compressed_from_version"]:
        raise Fault(p + ".compression", "needs recording format version %d" % RULES["compressed_from_version"])
