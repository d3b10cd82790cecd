"""Record a few frames of two cameras, then replay them through a playback device into the marker
tools: the answers match the live ones, without the camera."""
import os
import shutil
from typing import List, Tuple

import numpy as np
from numpy.typing import NDArray

import PyTUVO as T
from _common import check, out_dir, start
from tuvo_tools.recorder import Recorder

FRAMES = 2
Answers = Tuple[List[Tuple[int, float, float]], int, NDArray[np.float64], NDArray[np.float64]]


def marker_answers(left: T.X1, right: T.X1, kind: T.CodedCircleMarkerType) -> Answers:
    """Markers in the left image and the right camera's pose found from them."""
    markers = T.DetectCodedCircleMarker(left.GetImage(), kind)
    n, rotation, translation = T.GetTwoCameraTransformByCodedCircleMarker(
        left.GetPointMap(), left.GetImage(), right.GetPointMap(), right.GetImage(), kind)
    return [(m.code, round(m.x, 3), round(m.y, 3)) for m in markers], n, rotation, translation


def open_pair(device: T.Device) -> Tuple[T.X1, T.X1]:
    left, right = T.X1.Create(device, T.CameraID_Left), T.X1.Create(device, T.CameraID_Right)
    check(left.IsValid() and right.IsValid(), "X1.Create")
    if not (left.Open() and right.Open()):
        raise SystemExit("Open failed: " + T.GetLastErrorMessage())
    return left, right


def main() -> None:
    folder = os.path.join(out_dir(), "recording")
    if os.path.isdir(folder):
        shutil.rmtree(folder)  # the previous run's
    kind = T.CodedCircleMarkerType()

    # On the machine with the camera: record.
    device = start()
    left, right = open_pair(device)
    recorder = Recorder(folder, device)
    streams = recorder.add_x1(left, "left"), recorder.add_x1(right, "right")
    live: List[Answers] = []
    for _ in range(FRAMES):
        if not (left.Capture() and right.Capture()):
            raise SystemExit("Capture failed: " + T.GetLastErrorMessage())
        live.append(marker_answers(left, right, kind))
        for stream in streams:
            recorder.record_current(stream)
    T.SystemShutdown()
    print("recorded %d frames of both cameras into %s" % (FRAMES, folder))

    # Anywhere else: a rig that declares the recording as a device, read at SystemInit.
    rig = os.path.join(out_dir(), "replay.rig")
    with open(rig, "w") as f:
        f.write("[device]\nplayback = recording\n")
    os.environ["TUVO_SIM_RIG"] = rig
    device = start()
    _, info = device.GetDeviceInfo()
    print("playback device %s (%s)" % (info.sn, info.name))
    left, right = open_pair(device)
    for i, (markers, n, rotation, translation) in enumerate(live):
        if not (left.Capture() and right.Capture()):
            raise SystemExit("Capture failed: " + T.GetLastErrorMessage())
        again = marker_answers(left, right, kind)
        same = again[0] == markers and again[1] == n and np.array_equal(again[2], rotation) and \
            np.array_equal(again[3], translation)
        print("frame %d: %d markers, registered with %d, translation %s mm: %s" % (
            i, len(again[0]), again[1], np.array2string(again[3], precision=3), "same as live" if same else "DIFFERS"))
        if not same:
            raise SystemExit("the replayed frame gives other answers")
    T.X1.Destroy(left)
    T.X1.Destroy(right)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
