"""Capture options as plain data: to and from dicts, settings files and `key=value` texts."""
import difflib
import errno
import json
import os
import stat

import PyTUVO as T

# The HDR schedules have no attribute, only per-step accessors.
_HDR = {
    "hdr_exposure_time_content": ("GetHDRExposureTimeContent", "SetHDRExposureTimeContent", int),
    "hdr_gain_content": ("GetHDRGainContent", "SetHDRGainContent", float),
    "hdr_scan_times_content": ("GetHDRScanTimesContent", "SetHDRScanTimesContent", int),
    "hdr_projector_brightness_content": ("GetHDRProjectorBrightnessContent", "SetHDRProjectorBrightnessContent", int),
}
_MAX_SETTINGS_BYTES = 1 << 20


class OptionsError(ValueError):
    """An option name or value that the option record cannot take."""


def new_options(kind):
    """Default options for "x1" or "x2"."""
    return T.X1_CaptureOptions() if kind == "x1" else T.X2_CaptureOptions()


def kind_of(opts):
    return "x1" if isinstance(opts, T.X1_CaptureOptions) else "x2"


def names(opts):
    """The option names of a record, attributes and HDR schedules alike, sorted."""
    cls = type(opts)
    plain = [n for n in dir(cls) if not n.startswith("_") and isinstance(getattr(cls, n), property)]
    return sorted(plain + [n for n, (getter, _, _) in _HDR.items() if hasattr(cls, getter)])


def describe_options(kind):
    """The options of "x1" or "x2" captures, sorted: each {"name", "type", "default"}, the type as
    bool, int, float, roi, 3 ints, 3 floats or the name of an enumeration (the default then the
    member's name)."""
    opts = new_options(kind)
    defaults = to_dict(opts)
    out = []
    for name in names(opts):
        default = defaults[name]
        if name in _HDR:
            type_name = "3 ints" if _HDR[name][2] is int else "3 floats"
        else:
            value = getattr(opts, name)
            if isinstance(value, T.ROI):
                type_name = "roi"
            elif isinstance(value, (bool, int, float)):
                type_name = type(value).__name__
            else:
                type_name, default = type(value).__name__, value.name
        out.append({"name": name, "type": type_name, "default": default})
    return out


def to_dict(opts):
    """Every option as JSON-ready data: numbers, booleans, enumerations as their values, the ROI
    and the HDR schedules as lists."""
    out = {}
    for name in names(opts):
        if name in _HDR:
            getter = getattr(opts, _HDR[name][0])
            out[name] = [getter(i) for i in range(3)]
            continue
        value = getattr(opts, name)
        if isinstance(value, T.ROI):
            out[name] = [value.x, value.y, value.width, value.height]
        elif isinstance(value, (bool, int, float)):
            out[name] = value
        else:  # an enumeration
            out[name] = int(value)
    return out


def _convert(current, name, value):
    """`value` in the type of the option's current value (bool, int, float or an enumeration)."""
    if isinstance(value, str):
        value = _parse_text(value)
    if isinstance(current, bool):
        if isinstance(value, bool):
            return value
        raise OptionsError("%s must be true or false" % name)
    if isinstance(value, bool):
        raise OptionsError("%s must be a number" % name)
    if isinstance(current, int):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if not isinstance(value, int):
            raise OptionsError("%s must be an integer" % name)
        return value
    if isinstance(current, float):
        if not isinstance(value, (int, float)):
            raise OptionsError("%s must be a number" % name)
        return float(value)
    enum = type(current)
    if isinstance(value, str) or isinstance(value, list):
        raise OptionsError("%s must be one of %s" % (name, ", ".join(enum.__members__)))
    if not isinstance(value, int):
        raise OptionsError("%s must be an integer or one of %s" % (name, ", ".join(enum.__members__)))
    return enum(value)


def _parse_text(text):
    """A value as written in a settings file or on the command line."""
    text = text.strip()
    low = text.lower()
    if low in ("true", "yes", "on"):
        return True
    if low in ("false", "no", "off"):
        return False
    if "," in text:
        return [_parse_text(t) for t in text.split(",")]
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def set_option(opts, name, value):
    """Sets one option; `value` may be text ("14", "true", "0,0,640,480", an enumeration member's
    name) or data. Raises OptionsError for an unknown name, a value of the wrong kind, or a number
    the option record cannot hold."""
    known = names(opts)
    if name not in known:
        close = difflib.get_close_matches(name, known, n=1)
        raise OptionsError("unknown option %r for %s captures%s; the options are %s (`tuvo options%s` lists them "
                           "with their types and defaults)" % (
                               name, kind_of(opts).upper(), " (did you mean %s?)" % close[0] if close else "",
                               ", ".join(known), " --x2" if kind_of(opts) == "x2" else ""))
    if isinstance(value, str):
        value = _parse_text(value)
    try:
        _assign(opts, name, value)
    except (TypeError, OverflowError) as e:  # the record's C types refuse the number
        shown = ",".join(str(v) for v in value) if isinstance(value, list) else str(value)
        raise OptionsError("%s cannot be %s: out of range" % (name, shown)) from e


def _assign(opts, name, value):
    if name in _HDR:
        setter, convert = getattr(opts, _HDR[name][1]), _HDR[name][2]
        if not isinstance(value, list) or len(value) != 3:
            raise OptionsError("%s takes three values" % name)
        for v in value:
            if isinstance(v, bool) or not isinstance(v, (int, float)) or (
                    convert is int and isinstance(v, float) and not v.is_integer()):
                raise OptionsError("%s takes three %s" % (name, "integers" if convert is int else "numbers"))
        for i, v in enumerate(value):
            setter(i, convert(v))
        return
    current = getattr(opts, name)
    if isinstance(current, T.ROI):
        if not isinstance(value, list) or len(value) != 4 or not all(
                isinstance(v, int) and not isinstance(v, bool) for v in value):
            raise OptionsError("%s takes four integers: x, y, width, height" % name)
        setattr(opts, name, T.ROI(*value))
        return
    if isinstance(value, str) and not isinstance(current, (bool, int, float)):
        members = type(current).__members__
        if value not in members:
            raise OptionsError("%s must be one of %s" % (name, ", ".join(members)))
        setattr(opts, name, members[value])
        return
    setattr(opts, name, _convert(current, name, value))


def from_dict(kind, data, opts=None):
    """Options for "x1" or "x2" from a dict such as to_dict gives (missing names keep defaults)."""
    opts = opts if opts is not None else new_options(kind)
    for name, value in data.items():
        set_option(opts, name, value)
    return opts


def read_settings(path, kind, opts=None):
    """Options from a settings file: a JSON object, or `key = value` lines (# comments, [sections]
    ignored) as the SDK writes capture options."""
    try:  # opened without waiting (a FIFO), then refused unless a regular file
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as e:
        reason = {errno.ENOENT: "no such file", errno.EISDIR: "is a folder"}.get(e.errno, e.strerror or str(e))
        raise OptionsError("%s: %s" % (path, reason))
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise OptionsError("%s: %s" % (path, "is a folder" if stat.S_ISDIR(mode) else "not a regular file"))
        raw = os.read(fd, _MAX_SETTINGS_BYTES + 1)
        while len(raw) <= _MAX_SETTINGS_BYTES:
            more = os.read(fd, _MAX_SETTINGS_BYTES + 1 - len(raw))
            if not more:
                break
            raw += more
    finally:
        os.close(fd)
    if len(raw) > _MAX_SETTINGS_BYTES:
        raise OptionsError("%s: larger than 1 MiB" % path)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        raise OptionsError("%s: not UTF-8 text (byte %d)" % (path, e.start))
    opts = opts if opts is not None else new_options(kind)
    if text.lstrip().startswith("{"):
        try:
            data = json.loads(text)
        except ValueError as e:
            raise OptionsError("%s: not JSON (%s)" % (path, e))
        except RecursionError:
            raise OptionsError("%s: not JSON (nested too deeply)" % path)
        if not isinstance(data, dict):
            raise OptionsError("%s: must hold a JSON object" % path)
        try:
            return from_dict(kind, data, opts)
        except OptionsError as e:
            raise OptionsError("%s: %s" % (path, e))
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#") or line.startswith("["):
            continue
        if "=" not in line:
            raise OptionsError("%s, line %d: expected key = value" % (path, number))
        key, value = (part.strip() for part in line.split("=", 1))
        try:
            set_option(opts, key, value)
        except OptionsError as e:
            raise OptionsError("%s, line %d: %s" % (path, number, e))
    return opts
