#!/usr/bin/env python3
"""Checks that the stand-in SDK's folders depend on each other in one direction only.

Each folder of sim/ has a rank; a file may include headers of its own folder and of folders of a
lower rank, never of a higher one or of another folder of the same rank. Prints every include that
breaks the rule and exits 1 when there is one.
"""
import pathlib
import re
import sys

# From the bottom up. Folders of one rank are independent of each other.
RANKS = {
    "core": 0,     # errors, handles, files, numbers, text, memory
    "world": 1,    # scene description, loading, placement, Embree acceleration
    "render": 2,   # optics, sensor, measurement, images: a world and parameters in, buffers out
    "replay": 3,   # recordings read back as captures
    "vision": 3,   # markers, registration, compensation, accuracy
    "control": 4,  # the test-control interface: calls, injected failures, the tuvo_sim knobs
    "api": 5,      # the SDK's entry points and the state of devices and cameras
}

# In quotes or in angle brackets: sim/ is on the include path, so <api/camera.h> reaches the same
# header as "api/camera.h".
INCLUDE = re.compile(r'^\s*#\s*include\s+["<]([^">]+)[">]', re.M)


def violations(root):
    root = pathlib.Path(root)
    found = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        folder = path.relative_to(root).parts[0]
        if folder not in RANKS:
            found.append(f"{path.relative_to(root)}: folder {folder!r} has no rank")
            continue
        for m in INCLUDE.finditer(path.read_text(encoding="utf-8")):
            target = m.group(1).split("/")
            if len(target) < 2 or target[0] == folder or target[0] not in RANKS:
                continue  # same folder, or a header outside sim/ (the SDK's own, a library's)
            if RANKS[target[0]] >= RANKS[folder]:
                line = path.read_text(encoding="utf-8").count("\n", 0, m.start()) + 1
                found.append(f"{path.relative_to(root)}:{line}: {folder} includes {m.group(1)}")
    return found


def main(argv):
    root = argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent / "sim"
    found = violations(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
