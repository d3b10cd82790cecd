"""`tuvo options`: the capture options `--set` and `--settings` take, with their types and defaults."""
from .. import options as opts_mod
from .output import Output


def run(out: Output, x2: bool = False) -> int:
    kind = "x2" if x2 else "x1"
    listed = opts_mod.describe_options(kind)
    lines = ["%-34s %-9s %s" % (o["name"], o["type"], o["default"]) for o in listed]
    out.emit({"kind": kind.upper(), "options": listed},
             ["%s capture options (name, type, default; set them with --set NAME=VALUE or a --settings file):"
              % kind.upper()] + lines)
    return 0
