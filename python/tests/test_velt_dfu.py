"""The binding against the device simulator, on USB and on a serial line.

Needs VELT_DFU_LIBRARY (the library under test) and VELT_SIM_BINARY (the
simulator); make test sets both.
"""

import errno
import importlib.metadata
import os
import random
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import velt_dfu

SIM = os.environ.get("VELT_SIM_BINARY", "")
ROOT = Path(__file__).resolve().parents[2]


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
    # The installed wheel is under test, not the source tree, and its version has one source.
    venv = os.environ.get("VELT_TEST_VENV")
    assert venv and str(Path(velt_dfu.__file__).resolve()).startswith(str(Path(venv).resolve()) + os.sep)
    assert importlib.metadata.version("velt_dfu") == velt_dfu.__version__ == "1.1.0"


def test_constants_are_the_public_headers():
    generate = runpy.run_path(str(ROOT / "python" / "generate_constants.py"))["generate"]
    header = (ROOT / "dfu" / "include" / "VELT_DFU.h").read_text()
    committed = (ROOT / "python" / "velt_dfu" / "_constants.py").read_text()
    assert generate(header) == committed, "run python/generate_constants.py"
    assert Path(velt_dfu._constants.__file__).read_text() == committed
    # A define the generator cannot read stops it rather than going missing.
    with pytest.raises(ValueError, match="DFU_STATE_DFU_IDLE"):
        generate(header.replace("DFU_STATE_DFU_IDLE                ((uint8_t)2)", "DFU_STATE_DFU_IDLE 2"))


def test_devices_are_listed_usb_first(sim):
    sim("--usb", "vid=1A2B,pid=00FF,serial=P1", "--com", "COM7", "--usb", "serial=C2,interface=2,transfer-size=300")
    entries = velt_dfu.devices()
    assert [e.kind for e in entries] == ["usb", "usb", "uart"]
    # A composite device: its path ends &mi_02, its DFU interface is not the first one described.
    composite = entries.pop(1)
    assert "&mi_02#" in composite.path and composite.serial == "C2"
    with velt_dfu.Device(composite.index) as device:
        assert device.transfer_size == 300
    assert (entries[0].vid, entries[0].pid) == (0x1A2B, 0x00FF)
    assert entries[0].path.startswith("\\\\?\\usb#vid_1a2b&pid_00ff#P1#")
    assert entries[0].serial == "P1"
    assert entries[1].path == "\\\\.\\COM7" and (entries[1].vid, entries[1].serial) == (None, None)


def test_a_usb_device_is_chosen_by_serial_number_or_vid_pid(sim):
    sim("--usb", "serial=A1", "--usb", "serial=A2", "--usb", "vid=1A2B,pid=00FF,serial=B1")
    paths = {e.serial: e.path for e in velt_dfu.devices()}
    for name, serial in [("a2", "A2"), ("1a2b:00ff", "B1"), ("F055:D0F1:a1", "A1")]:
        with velt_dfu.Device(name) as device:
            assert device.path == paths[serial], name
            assert device.label == name
    with pytest.raises(velt_dfu.DfuValueError, match="fits 2 devices") as ambiguous:
        velt_dfu.Device("f055:d0f1")
    assert paths["A1"] in str(ambiguous.value) and paths["A2"] in str(ambiguous.value)
    for missing in ["A3", "f055:d0f2", "f055:d0f1:B1", "f055"]:
        with pytest.raises(velt_dfu.DfuOpenError) as absent:
            velt_dfu.Device(missing)
        assert absent.value.status == velt_dfu.DFU_STATUS_DEVICE_NOT_FOUND and isinstance(absent.value, OSError)


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


def test_errors_are_python_exceptions_with_the_status(sim, tmp_path):
    sim("--com", "COM7,state=10", "--com", "COM8,silent")
    with pytest.raises(velt_dfu.DfuOpenError) as error:
        velt_dfu.Device("COM9")
    assert isinstance(error.value, OSError) and error.value.name == "DFU_STATUS_GENERAL_ERROR"
    assert "\\\\.\\COM9" in str(error.value)

    with velt_dfu.Device("COM7") as device:
        # Refused before anything reaches the device: it stays in dfuERROR.
        (tmp_path / "image.bin").write_bytes(b"\x01" * 100)
        for size in (0, 70000, -1, 512.0):
            with pytest.raises(ValueError) as error:
                device.download(tmp_path / "image.bin", transfer_size=size)
            assert error.value.status == 0x40
        with pytest.raises(ValueError):
            device.timeout_ms = -5
        assert device.timeout_ms == 1000
        assert device.state_name == "dfuERROR"

        with pytest.raises(FileNotFoundError) as error:
            device.download(tmp_path / "missing.bin")
        assert isinstance(error.value, velt_dfu.DfuFileError) and error.value.name == "DFU_STATUS_FILE_READ_ERROR"
        assert (error.value.errno, error.value.filename) == (errno.ENOENT, str(tmp_path / "missing.bin"))
        # The library's own file error, with the errno it met.
        with pytest.raises(FileNotFoundError) as error:
            device.upload(tmp_path / "no-such-dir" / "back.bin")
        assert (error.value.status, error.value.errno) == (0x47, errno.ENOENT)

    device = velt_dfu.Device("COM8")
    device.timeout_ms = 200
    with pytest.raises(TimeoutError) as error:
        device.state()
    assert isinstance(error.value, velt_dfu.DfuTransferError) and error.value.name == "DFU_STATUS_TIMEOUT"
    device.close()
    with pytest.raises(velt_dfu.DfuClosedError) as error:
        device.state()
    assert error.value.status == 0x48


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_download_and_upload_round_trip(sim, tmp_path, kind):
    sim("--usb", "serial=P3,transfer-size=512") if kind == "usb" else sim("--com", "COM7")
    image = bytes(random.Random(4).getrandbits(8) for _ in range(3000))
    (tmp_path / "image.bin").write_bytes(image)
    seen = []
    with velt_dfu.Device(0) as device:
        # USB: the device's wTransferSize; a COM port has none.
        assert device.transfer_size == (512 if kind == "usb" else 1024)
        last = device.download(tmp_path / "image.bin", transfer_size=512, progress=seen.append)
        assert (last.status, last.state_name) == (0, "dfuIDLE")
        assert seen == [0, 16, 33, 50, 66, 83, 100]
        assert [p.bytes for p in seen] == [0, 512, 1024, 1536, 2048, 2560, 3000]
        assert {(p.total, p.phase) for p in seen} == {(3000, "download")}
        size = device.upload(tmp_path / "back.bin", transfer_size=512)
        seen.clear()
        assert device.upload(tmp_path / "part.bin", 512, seen.append, size=1000) == 1000
        assert [(p.bytes, p.total) for p in seen] == [(0, 1000), (512, 1000), (1000, 1000)]
        assert device.state_name == "dfuIDLE"
    assert size == 3072
    assert (tmp_path / "back.bin").read_bytes() == image + b"\xff" * 72
    assert (tmp_path / "part.bin").read_bytes() == image[:1000]


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_an_upload_ends_at_a_short_block_and_never_loses_the_file(sim, tmp_path, kind):
    # A standard board: after the short block that ends its image it starts over.
    sim("--usb", "serial=S1,upload-end=short") if kind == "usb" else sim("--com", "COM7,upload-end=short")
    image = bytes(random.Random(6).getrandbits(8) for _ in range(5000))
    (tmp_path / "image.bin").write_bytes(image)
    keep = tmp_path / "keep.bin"
    keep.write_bytes(b"kept")
    with velt_dfu.Device(0) as device:
        device.download(tmp_path / "image.bin", transfer_size=1000)
        assert device.upload(tmp_path / "back.bin", transfer_size=1024) == 5000
        assert device.state_name == "dfuIDLE"
        assert (tmp_path / "back.bin").read_bytes() == image
        with pytest.raises(velt_dfu.DfuCancelledError):
            device.upload(keep, transfer_size=1024, progress=lambda p: p.bytes < 2048)
        assert device.state_name == "dfuIDLE"
        # Read on to an empty block, this board would go round its image again.
        assert device.upload(tmp_path / "twice.bin", 1024, until_empty=True, size=7000) == 7000
        assert (tmp_path / "twice.bin").read_bytes() == image + image[:2000]
    assert keep.read_bytes() == b"kept"
    assert not [p.name for p in tmp_path.iterdir() if ".part." in p.name]


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_a_failed_or_cancelled_transfer_leaves_the_device_idle(sim, tmp_path, kind):
    sim("--usb", "serial=P4,flash-size=8K") if kind == "usb" else sim("--com", "COM7,flash-size=8K")
    (tmp_path / "image.bin").write_bytes(b"\x01" * 4096)
    (tmp_path / "big.bin").write_bytes(b"\x03" * 9000)
    (tmp_path / "empty.bin").write_bytes(b"")
    calls = []

    def progress(percent):
        calls.append(percent)
        return len(calls) < 3

    with velt_dfu.Device(0) as device:
        with pytest.raises(velt_dfu.DfuCancelledError) as error:
            device.download(tmp_path / "image.bin", transfer_size=512, progress=progress)
        assert error.value.last_status.state_name == "dfuDNLOAD-IDLE" and calls == [0, 12, 25]
        assert device.state_name == "dfuIDLE"
        device.download(tmp_path / "image.bin")

        with pytest.raises(velt_dfu.DfuImageError, match="holds no firmware"):
            device.download(tmp_path / "empty.bin")
        device.download(tmp_path / "image.bin")

        with pytest.raises(velt_dfu.DfuStateError) as error:
            device.download(tmp_path / "big.bin", transfer_size=512)
        assert error.value.name == "DFU_STATUS_UNEXPECTED_STATE"
        assert error.value.last_status.state_name == "dfuERROR"
        assert device.state_name == "dfuIDLE" and error.value.recovery_error is None
        device.download(tmp_path / "image.bin", verify=True)

        # Without recovery the device stays where the failure left it, until recover().
        with pytest.raises(velt_dfu.DfuCancelledError):
            device.download(tmp_path / "image.bin", transfer_size=512, progress=lambda p: p.bytes == 0,
                            recover=False)
        with pytest.raises(velt_dfu.DfuStateError) as error:
            device.download(tmp_path / "image.bin", recover=False)
        assert error.value.name == "DFU_STATUS_NOT_IDLE"
        assert device.recover() == ["abandoned the unfinished download (ABORT)"]
        assert device.recover() == []


def test_recover_clears_an_error_waits_out_a_manifestation_and_leaves_application_mode_alone(sim, tmp_path):
    sim("--com", "COM7,state=10", "--com", "COM8,state=0", "--usb", "serial=M,manifest=standard,manifest-poll=20",
        "--usb", "serial=W,manifest=standard,manifest-poll=20,attributes=0x03")
    (tmp_path / "image.bin").write_bytes(b"\x05" * 600)
    with velt_dfu.Device("COM7") as device:
        device.download(tmp_path / "image.bin", verify=True)
    with velt_dfu.Device("COM8") as device:
        with pytest.raises(velt_dfu.DfuStateError, match="appIDLE, not in DFU mode"):
            device.recover()
        assert device.state_name == "appIDLE"
    # A standard board manifests after the last block: a tolerant one is then
    # idle and can be read back; one that is not waits for a reset, which the
    # next transfer's recovery will not give it.
    with velt_dfu.Device("M") as device:
        assert device.download(tmp_path / "image.bin", verify=True).state_name == "dfuIDLE"
    with velt_dfu.Device("W") as device:
        assert device.download(tmp_path / "image.bin").state_name == "dfuMANIFEST-WAIT-RESET"
        with pytest.raises(velt_dfu.DfuStateError, match="dfuMANIFEST-WAIT-RESET"):
            device.recover()
        device.reset()
    # Asked to verify, it cannot: the image is sent once, and the failure says why.
    with velt_dfu.Device("W") as device:
        with pytest.raises(velt_dfu.DfuStateError, match="downloaded but not verified") as error:
            device.download(tmp_path / "image.bin", verify=True, retries=2)
        assert (error.value.last_status.state_name, error.value.attempts) == ("dfuMANIFEST-WAIT-RESET", 1)


def test_an_exception_in_the_callback_cancels_and_reaches_the_caller(sim, tmp_path):
    sim("--com", "COM7")
    (tmp_path / "image.bin").write_bytes(b"\x02" * 2048)

    def progress(percent):
        if percent > 0:
            raise KeyboardInterrupt

    with velt_dfu.Device("COM7") as device:
        with pytest.raises(KeyboardInterrupt):
            device.download(tmp_path / "image.bin", transfer_size=256, progress=progress)
        assert device.state_name == "dfuIDLE"


@pytest.mark.parametrize("tail, size, problem", [
    (b"", 10, None),                                              # too short for a suffix: all firmware
    (b"\0" * 8 + b"UFX" + b"\x10" + b"\0" * 4, 26, None),            # no signature: all firmware
    (b"\0" * 8 + b"UFD" + b"\x0f" + b"\0" * 4, None, "bLength 15"),  # shorter than any suffix
    (b"\0" * 8 + b"UFD" + b"\x40" + b"\0" * 4, None, "bLength 64"),  # longer than the file
    (b"\0" * 8 + b"UFD" + b"\x10" + b"\0" * 4, None, "CRC mismatch"),
])
def test_suffix_rules(tail, size, problem):
    data = b"\xa5" * 10 + tail
    if problem:
        with pytest.raises(ValueError, match=problem):
            velt_dfu._suffix.split(data)
    else:
        assert velt_dfu._suffix.split(data) == (size, None)


def _with_suffix(tmp_path, name, firmware, vid, pid):
    path = tmp_path / name
    path.write_bytes(firmware)
    subprocess.run(["dfu-suffix", "-v", vid, "-p", pid, "-a", str(path)], check=True, capture_output=True)
    return path


@pytest.mark.parametrize("kind", ["usb", "serial"])
def test_one_call_download_checks_the_suffix_verifies_and_retries(sim, tmp_path, kind):
    assert shutil.which("dfu-suffix"), "dfu-suffix (Debian's dfu-util) adds the suffixes independently of our code"
    flash = tmp_path / "flash.bin"
    sim("--usb", f"vid=1A2B,pid=00FF,serial=P5,upload-corrupt=700,flash={flash}") if kind == "usb" else \
        sim("--com", f"COM7,upload-corrupt=700,flash={flash}")
    firmware = bytes(random.Random(5).getrandbits(8) for _ in range(1500))
    ours = _with_suffix(tmp_path, "ours.dfu", firmware, "1a2b", "00ff")
    anyone = _with_suffix(tmp_path, "any.dfu", firmware[:600], "ffff", "ffff")
    other = _with_suffix(tmp_path, "other.dfu", firmware, "1a2b", "0100")
    broken = tmp_path / "broken.dfu"
    broken.write_bytes(b"\x00" + ours.read_bytes()[1:])

    with velt_dfu.Device(0) as device:
        for path, problem in ((broken, "CRC mismatch"),) + (((other, "is for VID:PID 1a2b:0100"),)
                                                            if kind == "usb" else ()):
            with pytest.raises(velt_dfu.DfuImageError, match=problem):
                device.download(path)
            assert device.state_name == "dfuIDLE"
        seen = []
        device.download(anyone, verify=True, progress=seen.append)
        assert seen[-1].bytes == seen[-1].total == 600 and seen[-1].phase == "verify"
        if kind == "serial":
            device.download(other)  # a COM port has no VID:PID to hold against the suffix's
        device.download(ours)
        # Saved at the manifestation: the firmware went in, its suffix did not.
        assert flash.read_bytes()[:len(firmware) + 16] == firmware + b"\xff" * 16

        # The device reads back one byte wrong: each attempt fails its verify.
        with pytest.raises(velt_dfu.DfuVerifyError) as error:
            device.download(ours, verify=True, retries=2)
        assert (error.value.offset, error.value.attempts) == (700, 3)
        assert device.state_name == "dfuIDLE"


def test_retries_get_past_a_lost_reply(sim, tmp_path):
    sim("--com", "COM7,delay=700@4")
    (tmp_path / "image.bin").write_bytes(b"\x06" * 2048)
    with velt_dfu.Device("COM7") as device:
        device.timeout_ms = 300
        seen = []
        last = device.download(tmp_path / "image.bin", transfer_size=512, retries=1, progress=seen.append)
        assert last.state_name == "dfuIDLE"
        assert [p.bytes for p in seen].count(0) == 2, "the second attempt starts over"
        device.timeout_ms = 2000
        device.upload(tmp_path / "back.bin", size=2048)
    assert (tmp_path / "back.bin").read_bytes() == b"\x06" * 2048


def test_an_upload_whose_request_was_lost_starts_over_from_its_first_block(sim, tmp_path):
    image = bytes(random.Random(8).getrandbits(8) for _ in range(4096))
    (tmp_path / "flash.bin").write_bytes(image)
    # GETSTATUS of the recovery, then UPLOAD 0, 1 and 2, whose reply comes too late.
    sim("--com", f"COM7,flash={tmp_path / 'flash.bin'},delay=700@4")
    with velt_dfu.Device("COM7") as device:
        device.timeout_ms = 300
        seen = []
        assert device.upload(tmp_path / "back.bin", 1024, seen.append) == 4096
        assert [p.bytes for p in seen].count(0) == 2, "the image is read again from its first block"
        assert device.state_name == "dfuIDLE"
    assert (tmp_path / "back.bin").read_bytes() == image


def test_a_library_that_cannot_be_loaded_is_named_in_the_error(tmp_path):
    env = dict(os.environ, VELT_DFU_LIBRARY=str(tmp_path / "nothing.so"))
    result = subprocess.run([sys.executable, "-c", "import velt_dfu; velt_dfu.devices()"], env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert "VELT_DFU_LIBRARY=" + str(tmp_path / "nothing.so") in result.stderr
