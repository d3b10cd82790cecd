"""What the commands that capture share: the capture options their flags make, and the camera they
open."""
from typing import Any, NamedTuple, Optional, Sequence, Tuple

from .. import options as opts_mod
from ..sdk import CAPTURE_MODES, Session, SdkError, camera_names, describe
from .errors import UsageError


class CaptureFlags(NamedTuple):
    """The capture options as the flags give them: a settings file first, then each flag given."""

    settings: Optional[str] = None
    exposure_3d: Optional[int] = None
    exposure_2d: Optional[int] = None
    mode: Optional[str] = None
    normals: bool = False
    roi: Optional[str] = None
    assignments: Sequence[str] = ()  # --set KEY=VALUE, in order

    def options(self, kind: str) -> Any:
        """New options of `kind` ("x1" or "x2") with the flags applied; a UsageError says which
        one the options cannot take."""
        try:
            opts = opts_mod.new_options(kind)
            if self.settings:
                opts_mod.read_settings(self.settings, kind, opts)
            if self.exposure_3d is not None:
                opts_mod.set_option(opts, "exposure_time_3d", self.exposure_3d)
            if self.exposure_2d is not None:
                opts_mod.set_option(opts, "exposure_time_2d", self.exposure_2d)
            if self.mode:
                opts.capture_mode = CAPTURE_MODES[self.mode]
            if self.normals:
                opts.calc_normal = True
            if self.roi:
                opts_mod.set_option(opts, "roi", self.roi)
            for item in self.assignments:
                if "=" not in item:
                    raise opts_mod.OptionsError("--set takes KEY=VALUE, not %r" % item)
                key, value = item.split("=", 1)
                opts_mod.set_option(opts, key.strip(), value)
        except opts_mod.OptionsError as e:
            raise UsageError(str(e))
        return opts


def open_camera(session: Session, device: Any, camera: str, x2: bool) -> Tuple[Any, bool]:
    """The device opened as an X2, or as an X1 on `camera`; and whether it is the X2."""
    if x2:
        return session.x2(device), True
    d = describe(device)
    cameras = camera_names(d["cameraid"])
    if camera not in cameras:
        raise SdkError("the device %s has no %s camera (its camera%s: %s)" % (
            d["sn"], camera, "s" if len(cameras) != 1 else "", ", ".join(cameras) or "none"))
    return session.x1(device, camera), False
