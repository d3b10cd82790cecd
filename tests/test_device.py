"""Devices, their descriptions and network settings, and discovery."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import PyTUVO as T
import tuvo_sim

THREE = "".join("[device]\nsn = RIG-%d\nname = Rig %d\nport = usb:3-%d\n" % (i, i, i) for i in range(3))


def test_default_rig_descriptions(usb_device, gige_device):
    ok, info = usb_device.GetDeviceInfo()
    assert ok is True
    assert (info.name, info.sn, info.factroydate, info.port) == ("TUVO Virtual S3", "VS3-000101", "2026-03-14", "usb:2-1.4")
    assert info.type == T.PortType_USB and type(info.type) is T.PortType
    assert int(info.cameraid) == 7 and info.cameraid.name == "???"
    assert info.support_x1 and info.support_x2 and info.support_protective_cover and info.support_extra
    assert (info.workingdist_near_mm, info.workingdist_far_mm) == (400, 1200)
    assert int(info.support_capture_mode) & int(T.CaptureMode_FixedLineScan)
    assert int(info.support_color) == int(T.ProjectorColor_White) | int(T.ProjectorColor_Blue)
    ok, info = gige_device.GetDeviceInfo()
    assert info.type == T.PortType_GIGE and info.cameraid == T.CameraID_Left
    assert not info.support_x2 and not info.support_protective_cover and not info.support_extra


def test_device_info_is_read_only_and_enum_fields_keep_it_alive(usb_device):
    _, info = usb_device.GetDeviceInfo()
    for field in ["name", "type", "boardmodel", "support_x1", "support_capture_mode"]:
        with pytest.raises(AttributeError):
            setattr(info, field, getattr(info, field))
    port_type = info.type
    del info
    assert port_type == T.PortType_USB


def test_crafted_device_info(usb_device):
    record = tuvo_sim.device_info(name=b"N" * 32, sn=b"S" * 31, port=b"\xc3\xa9", type=2, cameraid=5,
                                  support_capture_mode=1 | 2 | 64, support_color=9, support_x1=True,
                                  workingdist_near_mm=-5)
    tuvo_sim.set("Device.GetDeviceInfo.info", record)
    ok, info = usb_device.GetDeviceInfo()
    assert ok
    assert info.name == "N" * 32  # a full 32-byte text without NUL
    assert info.sn == "S" * 31 and info.port == "\u00e9"
    assert int(info.support_capture_mode) == 67 and info.support_capture_mode.name == "???"
    assert int(info.support_color) == 9 and int(info.cameraid) == 5
    assert info.support_x1 and not info.support_x2 and info.workingdist_near_mm == -5
    tuvo_sim.set("Device.GetDeviceInfo.info", tuvo_sim.device_info(name=b"\xff\xfe"))
    _, info = usb_device.GetDeviceInfo()
    with pytest.raises(UnicodeDecodeError):
        info.name


def test_device_info_failure_still_returns_a_pair(usb_device):
    tuvo_sim.fail("Device.GetDeviceInfo", -2, "Device.GetDeviceInfo: gone")
    ok, info = usb_device.GetDeviceInfo()
    assert ok is False and isinstance(info, T.DeviceInfo)


def test_destroyed_device_is_stale(sdk):
    device = T.SystemFindDevice("VS3-000101")
    copy_list = T.SystemListDevices(T.USB)[1]
    assert device.IsValid() and copy_list[0].IsValid()
    T.Device.Destroy(device)
    T.Device.Destroy(device)  # harmless
    assert not device.IsValid() and not copy_list[0].IsValid()
    ok, _ = device.GetDeviceInfo()
    assert not ok and "invalid or destroyed device" in T.GetLastErrorMessage()
    assert T.SystemFindDevice("VS3-000101").IsValid()  # found again under a new handle


def test_print(usb_device, capfd):
    usb_device.Print()
    out = capfd.readouterr().out
    assert "TUVO Virtual S3" in out and "VS3-000101" in out and "400 to 1200 mm" in out


def test_firmware(usb_device):
    assert usb_device.IsFirmwareMatch() is True


# ---- network settings ----

def test_static_network_round_trip(usb_device):
    assert usb_device.SetNetworkConfig(T.NetworkDevice_LeftCamera, T.NetworkType_STATIC,
                                       "10.1.2.3", "255.255.255.0", "10.1.2.1")
    mode, ip, mask, gw, prefix = usb_device.GetNetworkConfig(T.NetworkDevice_LeftCamera)
    assert (mode, ip, mask, gw, prefix) == (T.NetworkType_STATIC, b"10.1.2.3", b"255.255.255.0", b"10.1.2.1", 24)
    # Kept per component: the light machine is untouched.
    assert usb_device.GetNetworkConfig(T.NetworkDevice_LightMachine) == (T.NetworkType_DHCP, b"", b"", b"", 0)


@pytest.mark.parametrize("ip, mask, gw", [
    ("10.1.2", "255.255.255.0", "10.1.2.1"),
    ("10.1.2.300", "255.255.255.0", "10.1.2.1"),
    ("10.1.2.3", "255.0.255.0", "10.1.2.1"),
    ("10.1.2.3", "255.255.255.0", "10.9.9.1"),
    ("10.1.2.3 ", "255.255.255.0", "10.1.2.1"),
    (None, "255.255.255.0", "10.1.2.1"),
])
def test_bad_static_addresses_refused(usb_device, ip, mask, gw):
    assert not usb_device.SetNetworkConfig(T.NetworkDevice_LeftCamera, T.NetworkType_STATIC, ip, mask, gw)
    assert T.GetLastError() == tuvo_sim.ERROR_INVALID_ARGUMENT
    assert T.GetLastErrorMessage().startswith("Device.SetNetworkConfig: ")


def test_dhcp_accepts_null_texts(usb_device):
    assert usb_device.SetNetworkConfig(T.NetworkDevice_LightMachine, T.NetworkType_DHCP, None, None, None)
    assert tuvo_sim.last_args("Device.SetNetworkConfig") == {
        "dev": 0, "type": 0, "ip": None, "netmask": None, "gateway": None}
    usb_device.SetNetworkConfig(T.NetworkDevice_LightMachine, T.NetworkType_DHCP, "1.2.3.4", "\u00e9", "")
    args = tuvo_sim.last_args("Device.SetNetworkConfig")
    assert args["ip"] == "1.2.3.4" and args["netmask"].encode("latin-1") == "\u00e9".encode()


@pytest.mark.parametrize("status", [1, -1, 7])
def test_nonzero_status_is_false(usb_device, status):
    tuvo_sim.set("Device.SetNetworkConfig.status", status)
    assert usb_device.SetNetworkConfig(T.NetworkDevice_LeftCamera, T.NetworkType_DHCP, None, None, None) is False


def test_crafted_network_buffers(usb_device):
    tuvo_sim.set("Device.GetNetworkConfig.ip", b"1234567890123456")  # 16 bytes, no NUL
    tuvo_sim.set("Device.GetNetworkConfig.netmask", b"255.0.0.0\0junk")
    tuvo_sim.set("Device.GetNetworkConfig.prefix", -3)
    tuvo_sim.set("Device.GetNetworkConfig.type", 1)
    mode, ip, mask, gw, prefix = usb_device.GetNetworkConfig(T.NetworkDevice_RightCamera)
    assert ip == b"1234567890123456" and mask == b"255.0.0.0" and gw == b"" and prefix == -3
    assert mode == T.NetworkType_STATIC


def test_component_the_device_lacks(gige_device):
    assert not gige_device.SetNetworkConfig(T.NetworkDevice_RightCamera, T.NetworkType_DHCP, None, None, None)
    assert "no right camera" in T.GetLastErrorMessage()


@pytest.mark.parametrize("args", [
    (None, T.NetworkType_DHCP, None, None, None),
    (T.NetworkDevice_LeftCamera, None, None, None, None),
    (1, T.NetworkType_DHCP, None, None, None),
])
def test_network_argument_types(usb_device, args):
    with pytest.raises(TypeError):
        usb_device.SetNetworkConfig(*args)
    assert tuvo_sim.calls("Device.SetNetworkConfig") == 0


# ---- discovery ----

def test_list_by_bus(sdk):
    assert [d.IsValid() for d in T.SystemListDevices(T.USB)[1]] == [True]
    assert len(T.SystemListDevices(T.GigE)[1]) == 1
    status, both = T.SystemListDevices(T.All)
    assert status == 0 and [d.GetDeviceInfo()[1].sn for d in both] == ["VS3-000101", "VM1-000202"]
    assert tuvo_sim.last_args("SystemListDevices") == {"capacity": 16, "type": 3}


def test_three_devices_in_sdk_order():
    tuvo_sim.set_rig(THREE)
    T.SystemInit()
    status, devices = T.SystemListDevices(T.All)
    assert status == 0 and [d.GetDeviceInfo()[1].sn for d in devices] == ["RIG-0", "RIG-1", "RIG-2"]


@pytest.mark.parametrize("end", ["\n", "\r\n"])
def test_rig_lines_end_either_way(end):
    # Blanks and carriage returns around sections, keys and values are no part of them.
    tuvo_sim.set_rig(end.join(["# two devices", " [device] ", "sn = CR-1\t", "", "[device]", "  sn=CR-2"]) + end)
    T.SystemInit()
    assert [d.GetDeviceInfo()[1].sn for d in T.SystemListDevices(T.All)[1]] == ["CR-1", "CR-2"]


def test_no_devices(sdk):
    tuvo_sim.set("SystemListDevices.count", 0)
    assert T.SystemListDevices(T.All) == (0, [])


def test_count_beyond_the_sixteen_slots(sdk):
    tuvo_sim.set("SystemListDevices.count", 20)
    tuvo_sim.set("SystemListDevices.status", -4)
    status, devices = T.SystemListDevices(T.All)
    assert status == -4 and len(devices) == 20
    assert [d.IsValid() for d in devices[:2]] == [True, True]
    assert not any(d.IsValid() for d in devices[16:])


def test_find_by_serial(sdk):
    device = T.SystemFindDevice(serialNumber="VM1-000202")
    assert device.IsValid() and device.GetDeviceInfo()[1].port == "169.254.20.10"
    missing = T.SystemFindDevice("nope")
    assert isinstance(missing, T.Device) and not missing.IsValid()
    assert T.GetLastErrorMessage() == "SystemFindDevice: no device with serial number nope"
    assert not T.SystemFindDevice(None).IsValid()
    assert tuvo_sim.last_args("SystemFindDevice") == {"serialNumber": None}
    with pytest.raises(TypeError):
        T.SystemFindDevice(5)


def test_positional_only_discovery_arguments():
    with pytest.raises(TypeError):
        T.SystemListDevices(type=T.All)
    with pytest.raises(TypeError):
        T.SystemListDevices(3)


@pytest.mark.parametrize("answer, expected", [(None, None), (b"Both buses", "Both buses")])
def test_type_to_string(answer, expected):
    assert T.SystemListDeviceTypeToString(T.USB) == "USB"
    tuvo_sim.set("SystemListDeviceType.ToString", answer)
    assert T.SystemListDeviceTypeToString(T.All) == expected


def test_rig_file_from_the_environment(tmp_path):
    rig = tmp_path / "rig.txt"
    rig.write_text("[device]\nsn = ENV-1\nport_type = gige\nwidth = 320\nheight = 240\n")
    code = ("import PyTUVO as T; T.SystemInit(); s, d = T.SystemListDevices(T.All);"
            "print(len(d), d[0].GetDeviceInfo()[1].sn, d[0].GetDeviceInfo()[1].type)")
    env = dict(os.environ, TUVO_SIM_RIG=str(rig))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    assert out.split() == ["1", "ENV-1", "PortType.PortType_GIGE"]


@pytest.mark.parametrize("text, why", [
    ("sn = X\n", "a [device] section must come first"),
    ("[device]\nwidth = ten\n", "width must be an integer"),
    ("[device]\ncameras = left, top\n", "unknown camera top"),
    ("[device]\nnear_mm = 900\nfar_mm = 800\n", "near_mm must be below far_mm"),
    ("[device]\nbogus = 1\n", "unknown key bogus"),
    ("[device]\nfocal_px = 12\n", "focal_px must be 50 to 100000"),
    ("[device]\nfocal_px = nan\n", "focal_px must be 50 to 100000"),
    ("[device]\nmax_angle_deg = 90\n", "max_angle_deg must be 10 to 89"),
    ("[device]\nrealistic_timing = maybe\n", "realistic_timing must be yes or no"),
    ("[device]\nname = caf\xe9\n".encode("latin-1"), "line 2: name is not UTF-8 text"),
    ("[device]\nsn = ONE\nwidth = 320\nsn = TWO\n", "line 4: sn is given twice for one device"),
    ("[device]\nsn = SAME\n[device]\nsn = SAME\n", "device 2: serial number SAME is device 1's too"),
])
def test_malformed_rig_refused(text, why):
    with pytest.raises(ValueError, match=re.escape(why)):
        tuvo_sim.set_rig(text)


@pytest.mark.parametrize("text, why", [
    (b"[device]\nsn = A\0B\n", "line 2: sn holds a NUL character"),
    (b"[device]\nscene = a\0b.toml\n", "line 2: the scene file's name holds a NUL character"),
])
def test_rig_files_with_nul_characters_refused(tmp_path, monkeypatch, text, why):
    (tmp_path / "rig.txt").write_bytes(text)
    monkeypatch.setenv("TUVO_SIM_RIG", str(tmp_path / "rig.txt"))
    assert not T.SystemInit()
    assert T.GetLastErrorMessage() == "SystemInit: rig description: " + why


def test_a_rig_file_in_the_root_folder_finds_its_files_there(tmp_path):
    """A rig file directly in "/" takes its relative file names from "/", not from the current folder
    (shown in a private mount namespace, the rig bound over a file of the root folder)."""
    spare = next((f for f in sorted(os.listdir("/")) if os.path.isfile("/" + f) and not os.path.islink("/" + f)), None)
    if spare is None or shutil.which("unshare") is None:
        pytest.skip("no regular file in / or no unshare")
    (tmp_path / "rig.txt").write_text("[device]\nscene = s.toml\n")
    (tmp_path / "s.toml").write_text('[[object]]\nname = "b"\ntype = "sphere"\nradius = 50\nposition = [0, 0, 800]\n')
    code = "import PyTUVO as T; print(T.SystemInit(), T.GetLastErrorMessage())"
    run = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                          'mount --bind "$0" "$1" && TUVO_SIM_RIG="$1" exec "$2" -c "$3"',
                          str(tmp_path / "rig.txt"), "/" + spare, sys.executable, code],
                         cwd=str(tmp_path), capture_output=True, text=True, timeout=60)
    if run.returncode != 0 and "mount" in run.stderr + run.stdout:
        pytest.skip("no private mount namespace here: " + run.stderr.strip())
    assert run.stdout == "False SystemInit: device VDEV-000001: scene /s.toml: No such file or directory\n", run.stderr


def test_a_relative_rig_file_in_a_folder_too_deep_to_name(tmp_path):
    """A current folder deeper than a path can name (getcwd fails): a relative rig file's own
    relative names still lead beside it."""
    code = textwrap.dedent("""
        import os, PyTUVO as T
        os.chdir(%r)
        for _ in range(24):  # 24 x 201 bytes: beyond the 4096 a path may hold
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
        with open("rig.txt", "w") as f:
            f.write("[device]\\nsn = DEEP\\nscene = s.toml\\n")
        with open("s.toml", "w") as f:
            f.write('[[object]]\\nname = "b"\\ntype = "sphere"\\nradius = 50\\nposition = [0, 0, 800]\\n')
        os.environ["TUVO_SIM_RIG"] = "rig.txt"
        print(T.SystemInit(), T.GetLastErrorMessage())
    """ % str(tmp_path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout == "True \n", run.stdout + run.stderr
