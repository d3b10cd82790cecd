"""Repairs PyTUVO wheels with auditwheel (the libraries libTUVO.so.1 links outside the manylinux
tag's set are vendored into pytuvo.libs/), keeping the loader's order of a source installation:
LD_LIBRARY_PATH before the wheel's own folders, so that `LD_LIBRARY_PATH=/opt/tuvo/lib python ...`
runs on the real SDK. auditwheel writes the folders as DT_RPATH, which the loader searches before
LD_LIBRARY_PATH; here they are written as DT_RUNPATH, searched after it. A DT_RPATH also serves the
libraries loaded for the one that has it, a DT_RUNPATH only that library's own: so every vendored
library gets one too ($ORIGIN, where the libraries it links are vendored beside it). Every library
in the repaired wheels is checked for that.
Usage: repair_wheel.py WHEEL... -w DIR [other options of `auditwheel repair`]"""
import io
import pathlib
import subprocess
import sys
import zipfile

from auditwheel import patcher, repair
from auditwheel.main import main as auditwheel_main
from elftools.elf.elffile import ELFFile


def set_runpath(self, file_name, rpath):
    # auditwheel's own, less --force-rpath: patchelf then writes DT_RUNPATH.
    subprocess.check_call(["patchelf", "--remove-rpath", str(file_name)])
    subprocess.check_call(["patchelf", "--set-rpath", rpath, str(file_name)])


def copy_with_runpath(src_path, dest_dir, elf_patcher):
    # auditwheel's own, and $ORIGIN also for a vendored library that had no run path of its own.
    soname, dest_path = auditwheel_copylib(src_path, dest_dir, elf_patcher)
    elf_patcher.set_rpath(dest_path, "$ORIGIN")
    return soname, dest_path


auditwheel_copylib = repair.copylib


def run_paths(wheel):
    """{library in the wheel: (DT_RPATH, DT_RUNPATH)}, each None when absent."""
    found = {}
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            base = name.rsplit("/", 1)[-1]
            if not (base.endswith(".so") or ".so." in base):
                continue
            elf = ELFFile(io.BytesIO(z.read(name)))
            dynamic = elf.get_section_by_name(".dynamic")
            tags = {tag.entry.d_tag: tag for tag in dynamic.iter_tags()} if dynamic else {}
            found[name] = (getattr(tags.get("DT_RPATH"), "rpath", None),
                           getattr(tags.get("DT_RUNPATH"), "runpath", None))
    return found


def main(args):
    if "-w" not in args:
        sys.exit("repair_wheel: name the output folder with -w DIR")
    out = pathlib.Path(args[args.index("-w") + 1])
    before = {p: p.stat().st_mtime_ns for p in out.glob("*.whl")} if out.is_dir() else {}
    patcher.Patchelf.set_rpath = set_runpath
    repair.copylib = copy_with_runpath
    sys.argv = ["auditwheel", "repair", *args]
    status = auditwheel_main()
    if status:
        sys.exit(status)
    repaired = [p for p in out.glob("*.whl") if before.get(p) != p.stat().st_mtime_ns]
    for wheel in repaired:
        paths = run_paths(wheel)
        wrong = {name: rpath for name, (rpath, runpath) in paths.items()
                 if rpath is not None or (".libs/" in name and runpath != "$ORIGIN")}
        if wrong or not any(runpath for _, runpath in paths.values()):
            sys.exit("repair_wheel: %s has libraries with DT_RPATH or none with DT_RUNPATH: %s" % (wheel.name, paths))
        print("repair_wheel: %s: run paths %s" % (wheel.name, sorted({r for _, r in paths.values() if r})))


if __name__ == "__main__":
    main(sys.argv[1:])
