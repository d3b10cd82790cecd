"""Installs a PyTUVO wheel into a fresh venv of the running interpreter's version, outside the source
tree, and checks it there: the extension, the SDK and the libraries it brings load from the venv, the
type stubs are installed, and the virtual devices are found, capture and save.
Usage: check_wheel.py WHEEL"""
import pathlib
import subprocess
import sys
import tempfile

# Run by the venv's interpreter, isolated (-I) and from an empty folder: nothing of the source tree
# or the caller's environment can stand in for what the wheel installed.
CHECK = r'''
import os, sys, sysconfig
import numpy as np


def loaded():
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if ".so" in line.split()[-1]}


before = loaded()
import PyTUVO as T

site = os.path.realpath(sysconfig.get_paths()["platlib"])
assert os.path.realpath(T.__file__).startswith(site + os.sep), T.__file__
for stub in ("PyTUVO.pyi", os.path.join("PyTUVO-stubs", "__init__.pyi")):
    assert os.path.isfile(os.path.join(site, stub)), stub

assert T.SystemInit(), T.GetLastErrorMessage()
status, devices = T.SystemListDevices(T.All)
serials = sorted(d.GetDeviceInfo()[1].sn for d in devices)
assert serials == ["VM1-000202", "VS3-000101"], serials
for device in devices:
    sn = device.GetDeviceInfo()[1].sn
    cam = T.X1.Create(device, T.CameraID_Left)
    assert cam.Open() and cam.Capture(T.X1_CaptureOptions()), T.GetLastErrorMessage()
    points, image = cam.GetPointMap(), cam.GetImage()
    assert np.isfinite(np.asarray(points)[..., 2]).mean() > 0.5
    png, ply = sn + ".png", sn + ".ply"
    assert image.SaveImage(png) and points.SaveWithImage(ply, image), T.GetLastErrorMessage()
    again = T.Image.CreateFromFile(png)
    assert np.array_equal(np.asarray(again), np.asarray(image))
    assert os.path.getsize(ply) > np.asarray(points).size * 4
    T.Image.Destroy(again)
    T.PointMap.Destroy(points)
    T.Image.Destroy(image)
    cam.Close()
    T.X1.Destroy(cam)
T.SystemShutdown()

# What PyTUVO loaded came from the venv (libTUVO.so.1 and the libraries vendored for it, such as
# libpng, Embree, TBB and Assimp), or is one of the system libraries every manylinux tag allows.
SYSTEM = {"libc", "libm", "libstdc++", "libgcc_s", "libpthread", "libdl", "librt", "libz", "ld-linux-x86-64"}
brought = {os.path.realpath(p) for p in loaded() - before}
ours = [p for p in brought if p.startswith(site + os.sep)]
outside = [p for p in brought if p not in ours and os.path.basename(p).split(".so")[0] not in SYSTEM]
assert not outside, outside
for name in ("libTUVO.so.1", "libpng16", "libembree3", "libtbb", "libassimp"):
    assert any(os.path.basename(p).startswith(name) for p in ours), (name, brought)
print("checked: %s, %d devices captured and saved" % (os.path.basename(T.__file__), len(devices)))
'''


def main(wheel):
    wheel = pathlib.Path(wheel).resolve()
    with tempfile.TemporaryDirectory(prefix="pytuvo-wheel-") as tmp:
        venv = pathlib.Path(tmp) / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        python = str(venv / "bin" / "python")
        subprocess.run([python, "-m", "pip", "install", "-q", str(wheel)], check=True)
        work = pathlib.Path(tmp) / "work"
        work.mkdir()
        env = {"PATH": "/usr/bin:/bin", "HOME": tmp}
        run = subprocess.run([python, "-I", "-c", CHECK], cwd=work, env=env, capture_output=True, text=True)
        sys.stdout.write(run.stdout)
        if run.returncode != 0:
            sys.exit("check_wheel: %s failed in a fresh venv:\n%s" % (wheel.name, run.stderr))
        # A libTUVO.so.1 that LD_LIBRARY_PATH names answers in place of the wheel's, as the README
        # says: here a copy of the wheel's with another version text, beside the libraries vendored
        # for it.
        site = pathlib.Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                                           check=True, capture_output=True, text=True).stdout.strip())
        other = pathlib.Path(tmp) / "other-sdk"
        other.mkdir()
        ours = (site / "libTUVO.so.1").read_bytes()
        (other / "libTUVO.so.1").write_bytes(ours.replace(b"TUVO virtual SDK", b"TUVO VIRTUAL SDK"))
        (other / "pytuvo.libs").symlink_to(site / "pytuvo.libs")
        run = subprocess.run([python, "-I", "-c", "import PyTUVO as T; print(T.GetVersion())"], cwd=work,
                             env=dict(env, LD_LIBRARY_PATH=str(other)), capture_output=True, text=True)
        if run.returncode != 0 or not run.stdout.startswith("TUVO VIRTUAL SDK"):
            sys.exit("check_wheel: %s does not load the libTUVO.so.1 LD_LIBRARY_PATH names:\n%s%s"
                     % (wheel.name, run.stdout, run.stderr))
        print("checked: LD_LIBRARY_PATH comes first (%s)" % run.stdout.strip())
        # The console script the wheel installs finds the virtual devices too.
        run = subprocess.run([str(venv / "bin" / "tuvo"), "list"], cwd=work, env=env, capture_output=True, text=True)
        if run.returncode != 0 or "VM1-000202" not in run.stdout or "VS3-000101" not in run.stdout:
            sys.exit("check_wheel: the tuvo command of %s failed:\n%s%s" % (wheel.name, run.stdout, run.stderr))
        print("checked: tuvo list")


if __name__ == "__main__":
    main(sys.argv[1])
