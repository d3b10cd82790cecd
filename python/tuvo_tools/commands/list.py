"""`tuvo list`: the devices and their description."""
from ..sdk import Session, describe, readable
from .output import Output


def run(out: Output) -> int:
    with Session() as s:
        devices = [readable(describe(d)) for d in s.devices()]
    lines = ["%-12s %-22s %-4s %-16s %-26s %s" % (d["serial"], d["name"], d["port_type"], d["port"],
                                                  ",".join(d["cameras"]),
                                                  " ".join(k.upper() for k in ("x1", "x2") if d[k]))
             for d in devices] or ["no devices"]
    out.emit({"devices": devices}, lines)
    return 0
