"""System life cycle, version and error queries, and the interpreter lock around SDK calls."""
import threading
import time

import pytest

import PyTUVO as T
import tuvo_sim


def test_init_state_is_read_fresh_every_call():
    assert T.SystemIsInited() is False
    assert T.SystemInit() is True
    assert T.SystemIsInited() is True
    assert T.SystemShutdown() is None
    assert T.SystemIsInited() is False
    assert T.SystemShutdown() is None  # whatever the state


def test_init_failure_reports_code_and_message():
    tuvo_sim.fail("SystemInit", -7, "SystemInit: device bus is busy")
    assert T.SystemInit() is False
    assert T.GetLastError() == -7
    assert T.GetLastErrorMessage() == "SystemInit: device bus is busy"


def test_version_text():
    assert T.GetVersion().startswith("TUVO virtual SDK")


@pytest.mark.parametrize("answer, expected", [(None, None), (b"", ""), ("2.0 \u00e9".encode(), "2.0 \u00e9")])
def test_version_texts_from_the_sdk(answer, expected):
    tuvo_sim.set("GetVersion", answer)
    assert T.GetVersion() == expected


@pytest.mark.parametrize("func, key", [(T.GetVersion, "GetVersion"), (T.GetLastErrorMessage, "GetLastErrorMessage")])
def test_invalid_utf8_raises(func, key):
    tuvo_sim.set(key, b"bad \xff text")
    with pytest.raises(UnicodeDecodeError):
        func()


def test_null_error_message_reads_empty():
    tuvo_sim.set("GetLastErrorMessage", None)
    assert T.GetLastErrorMessage() == ""


@pytest.mark.parametrize("code", [-1, -2147483648, 2147483647, 0])
def test_error_codes_pass_through(code):
    tuvo_sim.set("GetLastError", code)
    assert T.GetLastError() == code


def test_real_failure_names_operation_and_reason(sdk):
    status, _ = T.SystemListDevices(T.All)
    assert status == 0
    T.SystemShutdown()
    status, devices = T.SystemListDevices(T.All)
    assert status == tuvo_sim.ERROR_NOT_INITIALIZED and devices == []
    assert T.GetLastErrorMessage() == "SystemListDevices: SystemInit has not been called"


def run_blocked(op, call):
    """Runs `call` in a thread while `op` is held inside the SDK; returns whether the main thread
    could run Python code meanwhile (it can only when the call released the interpreter lock)."""
    done = []
    ran_python_while_inside = []
    with tuvo_sim.blocked(op):
        worker = threading.Thread(target=lambda: done.append(call()))
        worker.start()
        assert tuvo_sim.wait_entered(op, 5.0) >= 1
        # Holding the lock, the worker would keep this thread out until the block ends.
        sum(range(1000))
        ran_python_while_inside.append(tuvo_sim.inside(op) >= 1)
        if ran_python_while_inside[0]:
            tuvo_sim.unblock(op)
    worker.join(15)
    assert done, "the call did not finish"
    return ran_python_while_inside[0]


def short_block(op):
    """A block that ends by itself: a delay, so a lock-holding call cannot hang the test."""
    tuvo_sim.delay(op, 400)


@pytest.mark.parametrize("op, call", [
    ("SystemInit", lambda: T.SystemInit()),
    ("SystemIsInited", lambda: T.SystemIsInited()),
    ("SystemShutdown", lambda: T.SystemShutdown()),
    ("GetVersion", lambda: T.GetVersion()),
    ("GetLastError", lambda: T.GetLastError()),
    ("GetLastErrorMessage", lambda: T.GetLastErrorMessage()),
    ("Image.IsValid", lambda: T.Image().IsValid()),
    ("DepthMap.IsValid", lambda: T.DepthMap().IsValid()),
])
def test_lock_released_during_sdk_call(op, call):
    assert run_blocked(op, call)


def longest_pause(op, call, delay_ms=300):
    """The longest time this thread could not run Python code while `call` ran in another thread
    and spent `delay_ms` inside the SDK operation `op`."""
    tuvo_sim.delay(op, delay_ms)
    before = tuvo_sim.calls(op)
    worker = threading.Thread(target=call)
    longest = 0.0
    last = time.perf_counter()
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest = max(longest, now - last)
        last = now
    worker.join()
    assert tuvo_sim.calls(op) == before + 1
    return longest


@pytest.mark.parametrize("op, make, call", [
    ("ConfidenceMap.IsValid", T.ConfidenceMap, lambda m: m.IsValid()),
    ("ConfidenceMap.GetSize", T.ConfidenceMap, lambda m: m.GetSize()),
    ("CorrespondMap.IsValid", T.CorrespondMap, lambda m: m.IsValid()),
    ("CorrespondMap.GetSize", T.CorrespondMap, lambda m: m.GetSize()),
])
def test_lock_held_by_confidence_and_correspondence_maps(op, make, call):
    obj = make()
    assert longest_pause(op, lambda: call(obj)) > 0.25


def test_lock_released_by_depth_map():
    obj = T.DepthMap()
    assert longest_pause("DepthMap.GetSize", lambda: obj.GetSize()) < 0.2


def test_control_records_arguments():
    T.SystemInit()
    T.SystemFindDevice(serialNumber="VS3-000101")
    assert tuvo_sim.last_args("SystemFindDevice") == {"serialNumber": "VS3-000101"}
    assert tuvo_sim.last_args("X1.Open") is None
    assert tuvo_sim.calls("SystemFindDevice") == 1


def test_injected_failure_can_be_limited():
    tuvo_sim.fail("SystemInit", -3, "once", times=1)
    assert T.SystemInit() is False
    assert T.SystemInit() is True


def test_delay_slows_only_the_named_operation():
    tuvo_sim.delay("SystemIsInited", 150)
    start = time.perf_counter()
    T.SystemIsInited()
    assert time.perf_counter() - start >= 0.14
