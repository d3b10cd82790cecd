"""Writes the API reference of the built PyTUVO module as Markdown: every name in registration
order, with the signatures as the module renders them. Usage: gen_docs.py OUTPUT.md"""
import inspect
import pathlib
import re
import sys

import PyTUVO as T


def signatures(obj):
    doc = (getattr(obj, "__doc__", None) or "").strip()
    return [line for line in doc.splitlines() if line.strip()]


def is_enum(obj):
    return isinstance(obj, type) and "__members__" in vars(obj)


def document():
    out = ["# PyTUVO API reference", "",
           "Generated from the built module by `scripts/gen_docs.py` (`make docs`); names appear in the order "
           "the module registers them, signatures as the module renders them.", ""]
    exported = set()
    for name, obj in vars(T).items():
        if name.startswith("__") or name in exported:
            continue
        if is_enum(obj):
            members = list(obj.__members__.items())
            out += ["## enum `%s`" % name, ""]
            out += ["| member | value |", "|---|---|"]
            out += ["| `%s` | %d |" % (m, int(v)) for m, v in members]
            if name != "ProtectiveCoverStatus":
                exported.update(m for m, _ in members)
                out += ["", "Members are also module attributes."]
            out.append("")
        elif isinstance(obj, type):
            out += ["## class `%s`" % name, ""]
            for attr, member in vars(obj).items():
                if attr.startswith("_") and attr != "__init__":
                    continue
                if isinstance(member, property):
                    kind = "read-write" if member.fset else "read-only"
                    sig = signatures(member.fget)[0].split("->")[-1].strip()
                    out.append("- `%s`: %s property, `%s`" % (attr, kind, sig))
                elif attr == "__init__" or callable(member) or isinstance(member, staticmethod):
                    fn = getattr(obj, attr)
                    static = isinstance(inspect.getattr_static(obj, attr), staticmethod)
                    lines = [l for l in signatures(fn) if l != "Overloaded function." and "(*args, **kwargs)" not in l]
                    out.append("- %s`%s`" % ("static " if static else "", lines[0] if len(lines) == 1 else attr))
                    if len(lines) > 1:
                        out += ["    - `%s`" % l.lstrip("0123456789. ") for l in lines]
            if "__buffer__" in dir(obj) or obj.__name__ in {"Image", "PointMap", "NormalData", "DepthMap",
                                                              "ConfidenceMap", "CorrespondMap"}:
                out.append("- buffer protocol: `numpy.asarray(obj)` is a view of SDK memory")
            out.append("")
        elif callable(obj):
            lines = [l for l in signatures(obj) if l != "Overloaded function." and "(*args, **kwargs)" not in l]
            out += ["## function `%s`" % name, ""]
            out += ["- `%s`" % l.lstrip("0123456789. ") for l in lines if l.startswith(name) or l[0].isdigit()]
            rest = [l for l in lines if not (l.startswith(name) or l[0].isdigit())]
            if rest:
                out += ["", " ".join(rest)]
            out.append("")
    # Defaults that are objects print with their address; show how they are made instead.
    return re.sub(r"<PyTUVO\.(\w+) object at 0x[0-9a-f]+>", r"\1()", "\n".join(out))


if __name__ == "__main__":
    pathlib.Path(sys.argv[1]).write_text(document())
