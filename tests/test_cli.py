"""The `tuvo` command through a subprocess: subcommands, output for people and scripts, exit status,
one-line errors and Ctrl-C."""
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import plyfile
import pytest

import PyTUVO as T
import tuvo_sim
from tuvo_tools import cli
from tuvo_tools.recording import read_manifest

RIG = ("[device]\nname = Bench S3\nsn = S-1\ncameras = left, right, extra\nx2 = yes\ncover = yes\n"
       "capture_modes = fast, normal, fixedlinescan\nwidth = 320\nheight = 256\n"
       "[device]\nname = Bench M1\nsn = M-1\nport_type = gige\nport = 10.1.2.3\nwidth = 320\nheight = 256\n")
TUVO = os.path.join(os.path.dirname(sys.executable), "tuvo")


@pytest.fixture
def env(tmp_path):
    (tmp_path / "bench.rig").write_text(RIG)
    e = dict(os.environ, TUVO_SIM_RIG=str(tmp_path / "bench.rig"))
    return e


def run(args, env, cwd, timeout=120):
    return subprocess.run([sys.executable, "-m", "tuvo_tools", *args], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


def test_console_script_and_help(env, tmp_path):
    r = subprocess.run([TUVO, "--help"], env=env, capture_output=True, text=True)
    assert r.returncode == 0
    for command in ("list", "info", "capture", "record", "play", "scan"):
        assert command in r.stdout
    r = subprocess.run([TUVO, "record", "--help"], env=env, capture_output=True, text=True)
    assert r.returncode == 0 and "--frames N" in r.stdout and "--settings FILE" in r.stdout
    assert run([], env, tmp_path).returncode == 2
    r = run(["record", "S-1"], env, tmp_path)
    assert r.returncode == 2 and "required" in r.stderr
    r = run(["--version"], env, tmp_path)
    assert r.returncode == 0 and "TUVO virtual SDK" in r.stdout


def test_list(env, tmp_path):
    r = run(["list"], env, tmp_path)
    assert r.returncode == 0 and r.stderr == ""
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("S-1") and "X1 X2" in lines[0] and "gige" in lines[1]
    data = json.loads(run(["list", "--json"], env, tmp_path).stdout)
    assert [d["serial"] for d in data["devices"]] == ["S-1", "M-1"]
    assert data["devices"][0]["cameras"] == ["left", "right", "extra"] and data["devices"][1]["x2"] is False
    assert run(["list", "-q"], env, tmp_path).stdout == ""


def test_info(env, tmp_path):
    data = json.loads(run(["info", "S-1", "--json"], env, tmp_path).stdout)
    assert data["opened_as"] == "X2" and data["resolution"] == [320, 256]
    assert set(data["calibration"]) == {"left", "right", "extra"}
    assert data["calibration"]["right"]["extrinsic"][3] == pytest.approx(120, abs=0.05)
    assert data["ranges"]["exposure_ms"] == [3, 100] and data["protective_cover"] == "open"
    assert set(data["temperatures_c"]["left"]) >= {"sensor", "camera"} and data["temperatures_c"]["projector"] > 20
    data = json.loads(run(["info", "S-1", "--camera", "right", "--json"], env, tmp_path).stdout)
    assert data["opened_as"] == "X1 (right camera)" and list(data["calibration"]) == ["right"]
    r = run(["info", "M-1"], env, tmp_path)
    assert r.returncode == 0 and "protective cover: none" in r.stdout and "X1 (left camera)" in r.stdout


@pytest.mark.parametrize("args, status, message", [
    (["info", "NOPE"], 1, "tuvo: error: SystemFindDevice: no device with serial number NOPE\n"),
    (["capture", "M-1", "-o", "x.ply", "--x2"], 1, "tuvo: error: X2.Create: the device cannot be used as X2\n"),
    (["capture", "S-1", "-o", "x.ply", "--exposure-3d", "500"], 1,
     "tuvo: error: X1.Capture: exposure_time_3d must be 3..100, projector_brightness 1..255 and scan_times 1..8\n"),
    (["capture", "S-1", "-o", "x.ply", "--set", "warp=1"], 2, "tuvo capture: error: unknown option 'warp' for X1 captures\n"),
    (["capture", "S-1", "-o", "x.ply", "--settings", "missing.txt"], 2, "missing.txt: not a regular file\n"),
    (["capture", "S-1", "-o", "no/such/folder/x.ply"], 1, "tuvo: error: PointMap.Save: cannot write no/such/folder/x.ply"),
    (["scan", "M-1"], 1, "tuvo: error: X2.Create: the device cannot be used as X2\n"),
    (["capture", "S-1", "-o", "x.xyz"], 1,
     "tuvo: error: PointMap.Save: x.xyz: unknown file extension '.xyz' (known: .ply, .pcd)\n"),
    (["capture", "S-1", "-o", "x.ply", "--image", "i.png", "--set", "enable_2d_in_capture=false"], 1,
     "tuvo: error: the capture gave no image (enable_2d_in_capture = false)\n"),
    (["play", "nowhere"], 1, "tuvo: error: nowhere/manifest.json: is missing\n"),
    (["record", "S-1", "out", "--frames", "0"], 2, "--frames must be at least 1"),
    (["play", "nowhere", "--frames", "-2"], 2, "--frames must be at least 1"),
    # numbers the option records cannot hold, and pauses time.sleep cannot take
    (["capture", "S-1", "-o", "x.ply", "--exposure-3d", "99999999999"], 2,
     "tuvo capture: error: exposure_time_3d cannot be 99999999999: out of range\n"),
    (["capture", "S-1", "-o", "x.ply", "--exposure-2d", "-99999999999"], 2, "exposure_time_2d cannot be -99999999999"),
    (["capture", "S-1", "-o", "x.ply", "--set", "exposure_time_3d=4294967296"], 2, "exposure_time_3d cannot be"),
    (["capture", "S-1", "-o", "x.ply", "--set", "calc_normal_radius=-1"], 2, "calc_normal_radius cannot be -1"),
    (["capture", "S-1", "-o", "x.ply", "--set", "hdr_exposure_time_content=1,2,99999999999"], 2,
     "hdr_exposure_time_content cannot be"),
    (["capture", "S-1", "-o", "x.ply", "--roi", "0,0,99999999999,1"], 2, "roi cannot be"),
    (["scan", "S-1", "--scan-time", "100000000000"], 2, "line_scanner_scan_time_ms cannot be 100000000000"),
    (["record", "S-1", "out", "--frames", "2", "--interval", "-1"], 2, "argument --interval: "),
    (["record", "S-1", "out", "--frames", "2", "--interval", "nan"], 2, "argument --interval: "),
    (["record", "S-1", "out", "--frames", "2", "--interval", "inf"], 2, "argument --interval: "),
])
def test_errors_are_one_line_and_a_status(env, tmp_path, args, status, message):
    r = run(args, env, tmp_path)
    assert r.returncode == status
    usage = r.stderr.startswith("usage: ")  # argparse's own: the usage, then one line
    assert message in r.stderr.splitlines()[-1] + "\n" and "Traceback" not in r.stderr
    assert usage or r.stderr.count("\n") == 1


@pytest.mark.smoke
def test_capture_writes_the_scan_and_pictures(env, tmp_path):
    (tmp_path / "roi.txt").write_text("roi = 0, 0, 160, 128\n")
    r = run(["capture", "S-1", "-o", "scan.ply", "--image", "img.png", "--depth", "depth.png", "--json"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    whole = json.loads(r.stdout)
    assert whole["saved"] == ["scan.ply", "img.png", "depth.png"] and whole["valid_fraction"] > 0.5
    ply = plyfile.PlyData.read(str(tmp_path / "scan.ply"))
    assert ply["vertex"].count == 320 * 256 and "red" in ply["vertex"].data.dtype.names
    assert T.Image.CreateFromFile(str(tmp_path / "img.png")).GetSize().width == 320
    r = run(["capture", "S-1", "-o", "scan.pcd", "--ascii"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    header = (tmp_path / "scan.pcd").read_text().split("DATA ascii\n")[0]
    assert "FIELDS x y z rgb\n" in header and "WIDTH 320\nHEIGHT 256\n" in header
    r = run(["capture", "S-1", "-o", "part.ply", "--settings", "roi.txt", "--x2", "--json"], env, tmp_path)
    part = json.loads(r.stdout)
    assert 0 < part["valid_points"] < whole["valid_points"] / 3  # the ROI of the settings file was used
    r = run(["capture", "S-1", "-o", "scan.ply", "--camera", "right", "--mode", "fast", "--set", "scan_times=2"], env,
            tmp_path)
    assert r.returncode == 0 and r.stdout.startswith("%d valid points" % json.loads(run(
        ["capture", "S-1", "-o", "b.ply", "--camera", "right", "--mode", "fast", "--set", "scan_times=2", "--json"],
        env, tmp_path).stdout)["valid_points"])


def test_record_then_play(env, tmp_path):
    r = run(["record", "S-1", "rec", "--frames", "3", "--x2"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    assert "recorded 3 frames of x2 into %s" % (tmp_path / "rec") in r.stdout
    assert "record: 3/3" in r.stderr  # progress
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 1  # not written over
    r = run(["play", "rec", "--json", "--save", "seen"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    frames = json.loads(r.stdout)["frames"]
    assert [f["frame"] for f in frames] == [0, 1, 2] and all(f["valid_points"] > 1000 for f in frames)
    assert sorted(os.listdir(tmp_path / "seen"))[:3] == ["x2-000000-depth.png", "x2-000000.ply", "x2-000000.png"]
    saved = np.asarray(T.PointMap.CreateFromFile(str(tmp_path / "seen" / "x2-000001.ply"), T.Size(320, 256),
                                                 T.Millimeter))
    recorded = plyfile.PlyData.read(str(tmp_path / "rec" / "x2" / "000001" / "points.ply"))["vertex"]
    assert np.array_equal(saved[..., 2].ravel(), recorded["z"], equal_nan=True)
    r = run(["play", "rec", "--frames", "4", "-q"], env, tmp_path)
    assert r.returncode == 1 and "end of recording: all 3 frames of the X2 have been played" in r.stderr
    r = run(["play", "rec", "--frames", "5", "--loop"], env, tmp_path)
    assert r.returncode == 0 and r.stdout.count("x2 ") == 5
    r = run(["play", "rec", "--stream", "x1-left"], env, tmp_path)
    assert r.returncode == 2 and "the recording holds no stream x1-left (it holds x2)" in r.stderr


def test_scan(env, tmp_path):
    r = run(["scan", "S-1", "--sweeps", "2", "--scan-time", "50", "-o", "line.ply", "--json"], env, tmp_path)
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    assert len(data["sweeps"]) == 2 and data["sweeps"][1]["valid_points"] > 1000 and data["saved"] == "line.ply"
    assert (tmp_path / "line.ply").stat().st_size > 320 * 256 * 24


def test_ctrl_c_during_record_stops_cleanly(env, tmp_path):
    p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", "record", "S-1", "rec", "--frames", "1000"], env=env,
                         cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    manifest = tmp_path / "rec" / "manifest.json"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if manifest.exists() and '"dir": "x1-left/000001"' in manifest.read_text():
            break
        time.sleep(0.05)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=60)
    assert p.returncode == 130, err
    assert "Traceback" not in err and "tuvo: interrupted after" in err and "of 1000 frames" in err
    recorded = read_manifest(str(tmp_path / "rec"))["streams"]["x1-left"]["frames"]
    assert 2 <= len(recorded) < 1000 and "interrupted after %d of 1000 frames" % len(recorded) in err
    assert sorted(os.listdir(tmp_path / "rec" / "x1-left")) == ["%06d" % i for i in range(len(recorded))]
    r = run(["play", "rec", "--json"], env, tmp_path)
    assert r.returncode == 0 and len(json.loads(r.stdout)["frames"]) == len(recorded)


def test_ctrl_c_releases_what_the_command_opened(tmp_path, monkeypatch, capsys):
    tuvo_sim.set_rig(RIG)
    from tuvo_tools import recorder
    real = recorder.Recorder.capture
    calls = []

    def capture(self, stream):
        calls.append(1)
        if len(calls) == 2:
            assert tuvo_sim.live("map") > 0
            raise KeyboardInterrupt
        return real(self, stream)
    monkeypatch.setattr(recorder.Recorder, "capture", capture)
    assert cli.main(["record", "S-1", str(tmp_path / "rec"), "--frames", "5", "--x2"]) == 130
    assert "interrupted after 1 of 5 frames" in capsys.readouterr().err
    assert not T.SystemIsInited()
    assert (tuvo_sim.live("image"), tuvo_sim.live("pointmap"), tuvo_sim.live("map")) == (0, 0, 0)


@pytest.mark.parametrize("command, name, content, status, message", [
    ("capture", "latin1.txt", b"exposure_time_3d = 19 # \xe9t\xe9\n", 2, "latin1.txt: not UTF-8 text"),
    ("capture", "deep.json", b'{"a":' * 100000, 2, "deep.json: not JSON (nested too deeply)"),
    ("play", "manifest.json", b'{"format": "tuvo-recording", "device": ' + b"[" * 100000, 1,
     "manifest.json: nests deeper than a recording's manifest"),
], ids=["latin-1 settings", "deep settings", "deep manifest"])
def test_hostile_settings_and_manifests_are_one_line_errors(env, tmp_path, command, name, content, status, message):
    (tmp_path / name).write_bytes(content)
    args = ["capture", "S-1", "-o", "x.ply", "--settings", name] if command == "capture" else ["play", "."]
    r = run(args, env, tmp_path)
    assert r.returncode == status
    assert message in r.stderr and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr


@pytest.mark.parametrize("name", [b"non-utf8-\xff", b"trailing space ", b"new\nline", b"[device]", b"hash#mark"])
def test_play_takes_any_folder_name(env, tmp_path, name):
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 0
    os.rename(tmp_path / "rec", os.path.join(os.fsencode(tmp_path), name))
    (tmp_path / "tmp").mkdir()
    r = subprocess.run([sys.executable, "-m", "tuvo_tools", "play", name, "--json"], env=dict(env, TMPDIR=str(tmp_path / "tmp")),
                       cwd=tmp_path, capture_output=True)
    assert r.returncode == 0, r.stderr
    assert len(json.loads(r.stdout)["frames"]) == 1
    assert os.listdir(tmp_path / "tmp") == []  # the rig written for the playback is gone


def test_a_closed_pipe_ends_the_command_quietly(env, tmp_path):
    assert run(["record", "S-1", "rec", "--frames", "2", "-q"], env, tmp_path).returncode == 0
    # A reader that stops after one line (`tuvo play rec | head -1`).
    p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", "play", "rec", "--loop", "--frames", "100000"],
                         env=dict(env, PYTHONUNBUFFERED="1"), cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert p.stdout.readline().startswith(b"x1-left    0: ")
    p.stdout.close()
    err = p.stderr.read().decode()
    assert p.wait(timeout=60) == 141
    assert "rror" not in err and "Broken pipe" not in err and "Traceback" not in err
    # A reader gone before anything is written; the output is buffered and written at the end.
    env = {k: v for k, v in env.items() if k != "PYTHONUNBUFFERED"}
    for args in (["list", "--json"], ["play", "rec", "--json"], ["info", "S-1"]):
        p = subprocess.Popen([sys.executable, "-m", "tuvo_tools", *args], env=env, cwd=tmp_path, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        p.stdout.close()
        err = p.stderr.read().decode()
        assert p.wait(timeout=60) == 141, err
        assert err == "", args


def test_play_in_process_leaves_the_environment_alone(env, tmp_path, monkeypatch, capsys):
    assert run(["record", "S-1", "rec", "--frames", "1", "-q"], env, tmp_path).returncode == 0
    monkeypatch.setenv("TUVO_SIM_RIG", env["TUVO_SIM_RIG"])
    assert cli.main(["play", str(tmp_path / "rec"), "-q"]) == 0
    assert os.environ["TUVO_SIM_RIG"] == env["TUVO_SIM_RIG"]
    assert T.SystemInit() and T.SystemFindDevice("M-1").IsValid()  # the bench rig again
    T.SystemShutdown()


def test_ctrl_c_while_a_frame_is_committed_counts_it(tmp_path, monkeypatch, capsys):
    tuvo_sim.set_rig(RIG)
    from tuvo_tools import recording
    real = recording._fsync_dir

    def ctrl_c(path):  # Ctrl-C just after the second frame's folder is renamed into place
        if path == str(tmp_path / "rec" / "x1-left") and os.path.isdir(tmp_path / "rec" / "x1-left" / "000001"):
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)
        real(path)
    monkeypatch.setattr(recording, "_fsync_dir", ctrl_c)
    assert cli.main(["record", "S-1", str(tmp_path / "rec"), "--frames", "5", "-q"]) == 130
    assert "interrupted after 2 of 5 frames" in capsys.readouterr().err
    assert len(read_manifest(str(tmp_path / "rec"))["streams"]["x1-left"]["frames"]) == 2


def test_info_on_a_playback_device_of_one_camera(env, tmp_path):
    assert run(["record", "S-1", "rec", "--frames", "1", "--camera", "right", "-q"], env, tmp_path).returncode == 0
    (tmp_path / "play.rig").write_text("[device]\nplayback = rec\n")
    play = dict(env, TUVO_SIM_RIG=str(tmp_path / "play.rig"))
    r = run(["info", "S-1", "--json"], play, tmp_path)
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    assert data["opened_as"] == "X2" and data["calibration"]["left"] is None
    assert data["calibration"]["right"]["extrinsic"][3] == pytest.approx(120, abs=0.05)
    r = run(["info", "S-1"], play, tmp_path)
    assert r.returncode == 0 and "left  camera: calibration not known" in r.stdout


def test_a_device_text_that_is_not_utf8_is_a_one_line_error(capsys):
    # The stand-in's rig takes UTF-8 names only; a device may still answer otherwise.
    tuvo_sim.set("Device.GetDeviceInfo.info", tuvo_sim.device_info(name=b"caf\xe9", sn=b"L-1"))
    assert cli.main(["list"]) == 1
    assert capsys.readouterr().err == "tuvo: error: the device's name is not UTF-8 text (byte 3)\n"


def test_ctrl_c_while_releasing_still_releases_the_rest():
    from tuvo_tools.sdk import Session
    tuvo_sim.set_rig(RIG)

    def ctrl_c():
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        with Session() as s:
            cam = s.x2(T.SystemFindDevice("S-1"))
            assert cam.Capture()
            s.on_exit(ctrl_c)
    assert not T.SystemIsInited() and not cam.IsValid()
