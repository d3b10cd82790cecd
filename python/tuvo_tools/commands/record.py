"""`tuvo record`: captures recorded into a folder, with progress."""
import time
from typing import Optional

from ..progress import Progress
from ..recorder import Recorder, Stream
from ..sdk import Session
from .camera import CaptureFlags, open_camera
from .errors import Interrupted, UsageError
from .output import Output


def run(out: Output, serial: str, camera: str, x2: bool, flags: CaptureFlags, out_dir: str, frames: int,
        interval: float = 0.0, compress: bool = False) -> int:
    """`frames` captures, `interval` seconds apart, of the device opened as an X2 or as an X1 on
    `camera`, recorded into `out_dir` (a new folder)."""
    if frames < 1:
        raise UsageError("--frames must be at least 1")
    opts = flags.options("x2" if x2 else "x1")
    progress: Optional[Progress] = None
    rec: Optional[Recorder] = None
    stream: Optional[Stream] = None

    def recorded() -> int:  # what the manifest lists (a frame interrupted while committed is whole)
        return rec.writer.frames(stream.name) if rec and stream else 0
    try:
        with Session() as s:
            device = s.find(serial)
            cam, x2 = open_camera(s, device, camera, x2)
            rec = Recorder(out_dir, device, compress=compress)
            stream = rec.add_x2(cam, opts) if x2 else rec.add_x1(cam, camera, opts)
            progress = Progress("record", frames, enabled=not out.quiet)
            for i in range(frames):
                if i and interval:
                    time.sleep(interval)
                rec.capture(stream)
                progress.step()
            where, name = rec.path, stream.name
    except KeyboardInterrupt as e:
        raise Interrupted(e, "%d of %d frames%s" % (recorded(), frames, "; %s holds them" % rec.path if rec else ""))
    finally:
        if progress:
            progress.close()
    out.emit({"recording": where, "stream": name, "frames": recorded()},
             ["recorded %d frames of %s into %s" % (recorded(), name, where)])
    return 0
