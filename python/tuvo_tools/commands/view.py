"""`tuvo view`: a live viewer in the browser, until Ctrl-C (the viewer itself is `tuvo_tools.viewer`)."""
from typing import Optional

from .. import viewer
from .camera import CaptureFlags


def run(flags: CaptureFlags, target: Optional[str], camera: str, x2: bool, host: str, port: int,
        open_page: bool, out: str, max_points: int) -> int:
    """Serves the viewer of `target` (see viewer.run); the first camera starts with the options
    `flags` make."""
    return viewer.main(target, x2, camera, flags.options, host=host, port=port, open_page=open_page, out=out,
                       max_points=max_points)
