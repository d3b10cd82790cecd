"""`tuvo play`: a recording replayed through a playback device of the virtual SDK."""
import contextlib
import json
import os
import shutil
import tempfile
from typing import Any, Dict, Iterator, List, Optional

import numpy as np

import PyTUVO as T

from ..progress import Progress
from ..recording import read_manifest
from ..sdk import Session, SdkError, call
from .errors import Interrupted, UsageError
from .output import Output, depth_picture, points_summary, summary_text


def run(out: Output, recording: str, stream: Optional[str] = None, frames: Optional[int] = None, loop: bool = False,
        save: Optional[str] = None) -> int:
    """Plays `recording` (each stream, or only `stream`), `frames` captures per stream (default: all
    recorded), from the start again after the last frame when `loop`; saves each frame's points,
    image and depth picture into `save`."""
    if frames is not None and frames < 1:
        raise UsageError("--frames must be at least 1")
    manifest = read_manifest(recording)
    streams = list(manifest["streams"])
    if stream:
        if stream not in streams:
            raise UsageError("the recording holds no stream %s (it holds %s)" % (stream, ", ".join(streams)))
        streams = [stream]
    if save:
        os.makedirs(save, exist_ok=True)
    marker_type = T.CodedCircleMarkerType()
    report: List[Dict[str, Any]] = []
    try:
        with playback_rig(recording, loop), Session() as s:
            serial = manifest["device"]["sn"]
            device = T.SystemFindDevice(serial)
            if not device.IsValid():
                raise SdkError("the SDK in use (%s) offers no playback device %s: recordings play back on the "
                               "virtual SDK installed with PyTUVO" % (T.GetVersion(), serial))
            for name in streams:
                x2 = name == "x2"
                cam = s.x2(device) if x2 else s.x1(device, name[3:])
                count = frames or len(manifest["streams"][name]["frames"])
                progress = Progress("play " + name, count, enabled=not out.quiet and not out.json)
                try:
                    for i in range(count):
                        call("Capture", cam.Capture)
                        report.append(_look(cam, x2, name, i, marker_type, save))
                        if not out.json and not out.quiet:
                            r = report[-1]
                            print("%s %4d: %s; %d markers" % (name, i, summary_text(r), r["markers"]))
                        progress.step()
                finally:
                    progress.close()
                if not x2:
                    cam.Close()
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d frames" % len(report))
    if out.json:
        print(json.dumps({"recording": os.path.abspath(recording), "frames": report}, indent=1, allow_nan=False))
    return 0


@contextlib.contextmanager
def playback_rig(recording: str, loop: bool, prefix: str = "tuvo-play-") -> Iterator[None]:
    """While the block runs, TUVO_SIM_RIG names a rig (in a temporary folder named from `prefix`)
    that declares `recording` as a playback device, which the SDK reads at SystemInit; afterwards
    TUVO_SIM_RIG is as it was and the folder is gone."""
    folder = tempfile.mkdtemp(prefix=prefix)
    previous = os.environ.get("TUVO_SIM_RIG")
    try:
        os.environ["TUVO_SIM_RIG"] = _write_rig(folder, recording, loop)
        yield
    finally:
        if previous is None:
            os.environ.pop("TUVO_SIM_RIG", None)
        else:
            os.environ["TUVO_SIM_RIG"] = previous
        shutil.rmtree(folder, ignore_errors=True)


def _write_rig(folder: str, path: str, loop: bool) -> str:
    """A rig in `folder` that declares the recording at `path` as a playback device; returns its name.
    A rig line holds any name but one with a line break or white space at its end: such a
    recording is reached through a symbolic link beside the rig."""
    target = os.fsencode(os.path.abspath(path))
    if b"\n" in target or b"\r" in target or target != target.rstrip(b" \t"):
        os.symlink(target, os.path.join(folder, "recording"))
        target = b"recording"
    rig = os.path.join(folder, "play.rig")
    with open(rig, "wb") as f:
        f.write(b"# written by tuvo play\n[device]\nplayback = " + target + b"\nloop = " +
                (b"yes" if loop else b"no") + b"\n")
    return rig


def _look(cam: Any, x2: bool, name: str, index: int, marker_type: Any, save: Optional[str]) -> Dict[str, Any]:
    """What one played-back frame shows: its points, and the markers in its first image."""
    point_map = call("GetPointMap", cam.GetPointMap)
    image = cam.GetImage(T.CameraID_Left) if x2 else cam.GetImage()
    try:
        summary = points_summary(np.asarray(point_map))
        summary.update(stream=name, frame=index, markers=len(T.DetectCodedCircleMarker(image, marker_type))
                       if image.IsValid() else 0)
        if save:
            base = os.path.join(save, "%s-%06d" % (name, index))
            call("PointMap.Save", point_map.Save, base + ".ply")
            if image.IsValid():
                call("Image.SaveImage", image.SaveImage, base + ".png")
            depth = call("GetDepthMap", cam.GetDepthMap)
            depth_picture(np.asarray(depth), base + "-depth.png", "%s frame %d: depth, black where nothing was "
                                                                  "measured" % (name, index))
    finally:
        T.PointMap.Destroy(point_map)
        if image.IsValid():
            T.Image.Destroy(image)
    return summary
