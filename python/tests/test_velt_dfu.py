"""The binding against the device simulator, on USB and on a serial line.

Needs VELT_DFU_LIBRARY (the library under test) and VELT_SIM_BINARY (the
simulator); make test sets both.
"""

import os
import random
import subprocess
import sys

import pytest

import velt_dfu

SIM = os.environ.get("VELT_SIM_BINARY", "")


@pytest.fixture
def sim(tmp_path, monkeypatch):
    """Starts velt-dfu-sim with the given device arguments in private directories."""
    processes = []

    def start(*devices):
        usb, dos = tmp_path / "usb", tmp_path / "dos"
        usb.mkdir(exist_ok=True)
        dos.mkdir(exist_ok=True)
        monkeypatch.setenv("VELT_USBDEVICES", str(usb))
        monkeypatch.setenv("VELT_DOSDEVICES", str(dos))
        monkeypatch.setenv("VELT_COMPORTS", "none")  # the host's own serial ports stay out
        process = subprocess.Popen([SIM, "--usb-dir", str(usb), "--dosdevices", str(dos), *devices],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        processes.append(process)
        line = process.stdout.readline()
        assert line.strip() == "READY", line + process.stdout.read()
        return process

    yield start
    for process in processes:
        process.terminate()
        process.wait(10)


def test_simulator_and_library_are_given():
    assert SIM and os.access(SIM, os.X_OK), "VELT_SIM_BINARY must name velt-dfu-sim"
    assert os.environ.get(velt_dfu.LIBRARY_ENV), "VELT_DFU_LIBRARY must name the library under test"
    assert velt_dfu.library_version() == (1, 1, 1)


def test_devices_are_listed_usb_first(sim):
    sim("--usb", "vid=1A2B,pid=00FF,serial=P1", "--com", "COM7")
    entries = velt_dfu.devices()
    assert [e.kind for e in entries] == ["usb", "uart"]
    assert (entries[0].vid, entries[0].pid) == (0x1A2B, 0x00FF)
    assert entries[0].path.startswith("\\\\?\\usb#vid_1a2b&pid_00ff#P1#")
    assert entries[1].path == "\\\\.\\COM7" and entries[1].vid is None


def test_requests_and_settings(sim):
    sim("--com", "COM7,state=10", "--usb", "serial=P2")
    with velt_dfu.Device("COM7") as device:
        assert device.kind == "uart" and device.path == "\\\\.\\COM7"
        assert device.state_name == "dfuERROR"
        device.clear()
        status = device.status()
        assert (status.status, status.state_name) == (0, "dfuIDLE")
        assert device.info().data.startswith(b"VELT DFU SIMULATOR")
        assert device.timeout_ms == 1000
        device.timeout_ms = 250
        assert device.timeout_ms == 250
        device.baud_rate = 57600
        assert device.serial_config[0] == 57600
    with velt_dfu.Device(0) as usb:
        assert usb.kind == "usb"
        with pytest.raises(velt_dfu.DfuError) as error:
            usb.serial_config
        assert error.value.name == "DFU_STATUS_NOT_SUPPORTED" and error.value.status == 0x4B


def test_closed_device_and_missing_port_raise_with_the_status(sim):
    sim("--com", "COM7")
    device = velt_dfu.Device("COM7")
    device.close()
    with pytest.raises(velt_dfu.DfuError) as error:
        device.state()
    assert error.value.status == 0x48
    with pytest.raises(velt_dfu.DfuError) as error:
        velt_dfu.Device("COM9")
    assert error.value.name == "DFU_STATUS_GENERAL_ERROR"
    assert "\\\\.\\COM9" in str(error.value)


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_download_and_upload_round_trip(sim, tmp_path, kind):
    sim("--usb", "serial=P3") if kind == "usb" else sim("--com", "COM7")
    image = bytes(random.Random(4).getrandbits(8) for _ in range(3000))
    (tmp_path / "image.bin").write_bytes(image)
    seen = []
    with velt_dfu.Device(0) as device:
        last = device.download(tmp_path / "image.bin", transfer_size=512, progress=seen.append)
        assert (last.status, last.state_name) == (0, "dfuIDLE")
        assert seen == [0, 16, 33, 50, 66, 83, 100]
        size = device.upload(tmp_path / "back.bin", transfer_size=512)
    assert size == 3072
    assert (tmp_path / "back.bin").read_bytes() == image + b"\xff" * 72


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_cancelled_download_stops_and_says_so(sim, tmp_path, kind):
    sim("--usb", "serial=P4") if kind == "usb" else sim("--com", "COM7")
    (tmp_path / "image.bin").write_bytes(b"\x01" * 4096)
    calls = []

    def progress(percent):
        calls.append(percent)
        return len(calls) < 3

    with velt_dfu.Device(0) as device:
        with pytest.raises(velt_dfu.DfuError) as error:
            device.download(tmp_path / "image.bin", transfer_size=512, progress=progress)
        assert error.value.name == "DFU_STATUS_CANCELLED"
        assert error.value.last_status.state_name == "dfuDNLOAD-IDLE"
        assert calls == [0, 12, 25]
        device.abort()
        assert device.state_name == "dfuIDLE"


def test_an_exception_in_the_callback_cancels_and_reaches_the_caller(sim, tmp_path):
    sim("--com", "COM7")
    (tmp_path / "image.bin").write_bytes(b"\x02" * 2048)

    def progress(percent):
        if percent > 0:
            raise KeyboardInterrupt

    with velt_dfu.Device("COM7") as device:
        with pytest.raises(KeyboardInterrupt):
            device.download(tmp_path / "image.bin", transfer_size=256, progress=progress)
        assert device.state_name == "dfuDNLOAD-IDLE"


def test_failed_download_carries_the_device_status(sim, tmp_path):
    sim("--com", "COM7,flash-size=1K")
    (tmp_path / "image.bin").write_bytes(b"\x03" * 2048)
    with velt_dfu.Device("COM7") as device:
        with pytest.raises(velt_dfu.DfuError) as error:
            device.download(tmp_path / "image.bin", transfer_size=512)
    assert error.value.name == "DFU_STATUS_UNEXPECTED_STATE"
    assert error.value.last_status.state_name == "dfuERROR"


def test_a_library_that_cannot_be_loaded_is_named_in_the_error(tmp_path):
    env = dict(os.environ, VELT_DFU_LIBRARY=str(tmp_path / "nothing.so"))
    result = subprocess.run([sys.executable, "-c", "import velt_dfu; velt_dfu.devices()"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "VELT_DFU_LIBRARY=" + str(tmp_path / "nothing.so") in result.stderr
