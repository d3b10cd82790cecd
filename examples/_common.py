"""Small helpers the examples share: where pictures go, and stopping on a failed SDK call. Their
pictures are drawn with `tuvo_tools.pictures` (installed with PyTUVO), as the `tuvo` command's are."""
import os
import sys

import PyTUVO as T


def out_dir() -> str:
    """The folder pictures are written to: the first argument, else out/ at the project root."""
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out")
    os.makedirs(path, exist_ok=True)
    return path


def check(ok: bool, what: str) -> None:
    """Stop with the SDK's message and exit status 1 when a call failed (unlike `assert`, also
    under `python -O`)."""
    if not ok:
        raise SystemExit("%s failed: %s" % (what, T.GetLastErrorMessage()))


def start() -> T.Device:
    check(T.SystemInit(), "SystemInit")
    status, devices = T.SystemListDevices(T.All)
    if not devices:
        raise SystemExit("no devices (status %d): %s" % (status, T.GetLastErrorMessage()))
    return devices[0]


def save(img: T.Image, path: str) -> str:
    """Save an SDK image as PNG, stopping with the SDK's message if that fails."""
    check(img.SaveImage(path), "SaveImage " + path)
    return path
