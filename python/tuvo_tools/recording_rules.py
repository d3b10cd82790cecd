"""The table of a recording's rules, recording_rules.json, loaded once: the manifest's fields, types,
ranges and limits, which the virtual SDK's playback compiles in too. The manifest's check and the
frame files' readers both take their rules from here."""
import json
import os
from typing import Any, Dict, List

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "recording_rules.json")
try:  # installed with the package: without it no recording can be read or written
    with open(TABLE, "rb") as _f:
        RULES: Dict[str, Any] = json.loads(_f.read().decode("utf-8"))
    LIMITS: Dict[str, int] = RULES["limits"]
    NEWEST_VERSION: int = RULES["newest_version"]
    CAMERAS: List[str] = RULES["cameras"]
    # Each kind's option fields: name -> the field's type.
    OPTIONS: Dict[str, Dict[str, str]] = {kind: dict(fields) for kind, fields in RULES["options"].items()}
    _NEEDS = {"text": ("max_bytes",), "integer": ("min", "max"), "choice": ("of",), "numbers": ("count", "range"),
              "record": ("of",), "options": ("of",)}
    for _rule in (rule for record in RULES["records"].values() for rule in record):
        for _key in ("key", "type") + _NEEDS.get(_rule["type"], ()):  # each rule with what its type needs
            if _key not in _rule:
                raise KeyError("a %s rule lacks %s" % (_rule["type"], _key))
    # A frame file's header (PLY or .npy) holds at most HEADER_BYTES; the file at most HEADER_ROOM
    # bytes more than its numbers.
    HEADER_BYTES: int = LIMITS["header_bytes"]
except (OSError, ValueError, LookupError, TypeError, AttributeError) as _e:
    raise ImportError("%s: cannot be read (%s: %s): this installation of tuvo_tools is damaged; reinstall it" % (
        TABLE, type(_e).__name__, _e)) from None
HEADER_ROOM = HEADER_BYTES + 16
