"""Shared fixtures: every test starts from a reset virtual SDK."""
import pytest

import PyTUVO as T
import tuvo_sim


def pytest_configure(config):
    config.addinivalue_line("markers", "smoke: the part of the suite every supported Python version runs "
                                       "(make test-smoke, make test-versions)")


@pytest.fixture(autouse=True)
def fresh_sdk():
    tuvo_sim.reset()
    yield
    tuvo_sim.reset()


@pytest.fixture
def truth():
    """Exact optics: the reported calibration is the true one and the measurement carries no
    systematic or spatially correlated error (white noise stays)."""
    tuvo_sim.set("sim.truth", 1)


@pytest.fixture
def sdk():
    assert T.SystemInit()
    yield T


@pytest.fixture
def usb_device(sdk):
    return T.SystemFindDevice("VS3-000101")


@pytest.fixture
def gige_device(sdk):
    return T.SystemFindDevice("VM1-000202")


@pytest.fixture
def x1(usb_device):
    cam = T.X1.Create(usb_device, T.CameraID_Left)
    assert cam.Open(), T.GetLastErrorMessage()
    yield cam
    T.X1.Destroy(cam)


@pytest.fixture
def captured(x1):
    """An open X1 after one default capture."""
    assert x1.Capture(T.X1_CaptureOptions()), T.GetLastErrorMessage()
    return x1


@pytest.fixture
def x2(usb_device):
    cam = T.X2.Create(usb_device)
    assert cam.Open(), T.GetLastErrorMessage()
    yield cam
    T.X2.Destroy(cam)
