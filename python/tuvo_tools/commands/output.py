"""What commands print: lines for people or one JSON document for scripts, and the summaries and
pictures of what a capture measured."""
import json
import os
import sys
from typing import Any, Dict, Iterable, NamedTuple

import numpy as np

import PyTUVO as T

from ..sdk import call


class Output(NamedTuple):
    """How a command reports: `json` one JSON document, `quiet` nothing but errors."""

    json: bool = False
    quiet: bool = False

    def emit(self, data: Dict[str, Any], lines: Iterable[str]) -> None:
        """`data` as JSON, or `lines` for people (unless quiet)."""
        if self.json:
            print(json.dumps(data, indent=1, allow_nan=False))
        elif not self.quiet:
            for line in lines:
                try:
                    print(line)
                except UnicodeEncodeError:  # a file name not in the output's encoding: its bytes, as `ls` shows them
                    sys.stdout.flush()
                    sys.stdout.buffer.write(os.fsencode(line) + b"\n")


def points_summary(points: "np.ndarray[Any, Any]") -> Dict[str, Any]:
    """How many points were measured (finite z), and their depth range."""
    z = points[..., 2]
    valid = np.isfinite(z)
    count = int(valid.sum())
    return {"valid_points": count, "valid_fraction": round(count / max(1, z.size), 6),
            "z_min_mm": float(z[valid].min()) if count else None, "z_max_mm": float(z[valid].max()) if count else None}


def summary_text(s: Dict[str, Any]) -> str:
    if not s["valid_points"]:
        return "no valid points"
    return "%d valid points (%.1f%%), z %.1f..%.1f mm" % (s["valid_points"], 100 * s["valid_fraction"], s["z_min_mm"],
                                                        s["z_max_mm"])


def depth_picture(depth: "np.ndarray[Any, Any]", path: str, caption: str) -> None:
    """The depth (mm) as a picture for people, as the examples draw it: near red to far blue over a
    robust range, black where nothing was measured, a colour bar in mm and a caption; saved by the
    SDK (PNG)."""
    from .. import pictures  # Pillow writes the text: loaded only for pictures
    near, far = pictures.robust_range(depth)
    image, _ = pictures.depth_figure(depth, near, far, caption)
    try:
        call("Image.SaveImage", image.SaveImage, path)
    finally:
        T.Image.Destroy(image)
