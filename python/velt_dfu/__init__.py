"""Python binding of the VELT_DFU library: USB DFU 1.1 devices on USB and on
serial COM ports, for test stations and scripts.

    import velt_dfu

    for d in velt_dfu.devices():
        print(d.index, d.kind, d.path, d.serial)

    with velt_dfu.Device("COM7") as device:
        device.download("firmware.dfu", verify=True, retries=2,
                        progress=lambda p: print(f"{p.bytes}/{p.total}"))

Every failure raises a :class:`DfuError`, which carries the library's status
code and its name; its subclasses say what kind of failure it was. The library
is found as :func:`velt_dfu._library.candidates` describes
(``$VELT_DFU_LIBRARY`` overrides).
"""

from __future__ import annotations

import ctypes
import errno as _errno
import operator
import os
import shutil
import tempfile
import time
from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple, Union

from . import _constants, _library, _suffix
from ._constants import *  # noqa: F401,F403  (the header's DFU_ constants and their names)
from ._constants import DEVICE_STATUS_NAMES, STATE_NAMES, STATUS_NAMES
from ._errors import (DfuCancelledError, DfuClosedError, DfuError, DfuFileError, DfuFileNotFoundError,
                      DfuImageError, DfuIsADirectoryError, DfuNotSupportedError, DfuOpenError, DfuPermissionError,
                      DfuStateError, DfuTimeoutError, DfuTransferError, DfuValueError, DfuVerifyError, error_for,
                      file_error, retryable)
from ._library import LIBRARY_ENV

#: The binding's version; pyproject.toml reads it from here.
__version__ = "1.1.0"

__all__ = [
    "__version__", "Device", "DeviceEntry", "DfuStatus", "DeviceInfo", "Progress", "devices", "library_version",
    "LIBRARY_ENV", "DEFAULT_TRANSFER_SIZE",
    "DfuError", "DfuValueError", "DfuImageError", "DfuOpenError", "DfuFileError", "DfuFileNotFoundError",
    "DfuPermissionError", "DfuIsADirectoryError", "DfuTransferError", "DfuTimeoutError", "DfuStateError",
    "DfuVerifyError", "DfuCancelledError", "DfuClosedError", "DfuNotSupportedError",
] + [name for name in dir(_constants) if name.isupper()]

#: Block size of a transfer that gives none, where the device advertises none.
DEFAULT_TRANSFER_SIZE = 1024

_RECOVERY_ROUNDS = 16
_STATUS_ATTEMPTS = 3        # a faulty line may lose a request or two
_LONGEST_POLL_MS = 1000     # a device asking for a longer wait is polled sooner
_NO_REPLY = 0xFF            # a bState no device sends: no GETSTATUS reply was received
_MANIFEST_CAP_S = 60        # a manifestation may take the poll times asked for plus this
_MANIFESTING = (DFU_STATE_DFU_MANIFEST_SYNC, DFU_STATE_DFU_MANIFEST)
_MAX_UPLOAD_BYTES = 64 << 20  # an image that goes on past this without a size given fails
_UPLOAD_PROGRESS_BLOCKS = 240  # an upload of unknown size is reckoned against this many blocks
_UPLOAD_RESTARTS = 8        # a failed UPLOAD starts the image over at most this many times

_lib: Optional[ctypes.CDLL] = None


def _dll() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        _lib = _library.load()
    return _lib


def _check(status: int, what: str, device: Optional[str] = None) -> None:
    if status != 0:
        raise error_for(status, what, device)


def _integer(value, what: str, low: int, high: int) -> int:
    """``value`` as an int in low..high, else DfuValueError before anything is sent:
    ctypes would silently cut 70000 to 16 bits, or pass -5 as 4294967291."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)
    except TypeError:
        raise DfuValueError(_constants.DFU_STATUS_INVALID_PARAMETER, f"invalid {what}",
                            detail=f"{value!r} is not an integer") from None
    if not low <= number <= high:
        raise DfuValueError(_constants.DFU_STATUS_INVALID_PARAMETER, f"invalid {what}",
                            detail=f"{number} is outside {low}..{high}")
    return number


@dataclass(frozen=True)
class DeviceEntry:
    """One device of the library's numbering: USB devices first, then COM ports.
    ``serial`` is a USB device's serial number as its path carries it (None
    for a COM port, or a device the system names by where it is plugged)."""
    index: int
    kind: str            # "usb" or "uart"
    path: str
    vid: Optional[int] = None
    pid: Optional[int] = None
    serial: Optional[str] = None


@dataclass(frozen=True)
class DfuStatus:
    """A DFU_GETSTATUS reply."""
    status: int
    poll_timeout_ms: int
    state: int
    string_index: int

    @property
    def state_name(self) -> str:
        return STATE_NAMES.get(self.state, "unknown")

    @property
    def status_name(self) -> str:
        return DEVICE_STATUS_NAMES.get(self.status, "unknown")


@dataclass(frozen=True)
class DeviceInfo:
    """The device's 48-byte information record, as the library unpacks it."""
    word: int
    byte1: int
    byte2: int
    value1: int
    value2: int
    value3: int
    data: bytes


class Progress(int):
    """What a progress callable receives: the percentage done (an int, as
    before), with ``bytes`` moved so far, ``total`` (None when the size is not
    known: an upload without ``size``) and ``phase`` ("download", "verify" or
    "upload")."""

    bytes: int
    total: Optional[int]
    phase: str

    def __new__(cls, percent: int, moved: int, total: Optional[int], phase: str) -> "Progress":
        progress = super().__new__(cls, percent)
        progress.bytes, progress.total, progress.phase = moved, total, phase
        return progress

    def __repr__(self) -> str:
        return f"Progress({int(self)}%, {self.bytes}/{self.total}, {self.phase})"


ProgressCallable = Callable[[Progress], Optional[bool]]


def library_version() -> tuple:
    """The library's (major, minor, third) version."""
    major, minor, third = ctypes.c_uint8(), ctypes.c_uint8(), ctypes.c_uint32()
    _check(_dll().DFU_GetLibraryVersion(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(third)),
           "cannot read the library version")
    return major.value, minor.value, third.value


def _serial_of(path: str) -> Optional[str]:
    """The instance part of \\\\?\\usb#vid_f055&pid_d0f1[&mi_01]#INSTANCE#{guid}
    when it is a serial number: Windows names a device without one by where it
    is ("1-2.3", or an id with '&' in it)."""
    parts = path.split("#")
    if len(parts) < 4 or not parts[2]:
        return None
    instance = parts[2]
    bus, dash, ports = instance.partition("-")
    bus_port = bool(dash) and bus.isdigit() and all(p.isdigit() for p in ports.split("."))
    return None if bus_port or "&" in instance else instance


def devices() -> List[DeviceEntry]:
    """Counts the devices and lists them as :class:`DeviceEntry`, USB first."""
    lib = _dll()
    count = ctypes.c_uint32()
    _check(lib.DFU_GetNumDevices(ctypes.byref(count)), "cannot enumerate devices")
    found = []
    for index in range(count.value):
        kind = ctypes.c_uint8()
        _check(lib.DFU_GetInterfaceByIndex(index, ctypes.byref(kind)), "cannot read the kind", f"device {index}")
        buffer = ctypes.create_string_buffer(_constants.DFU_PATH_SIZE)
        _check(lib.DFU_GetDevicePath(index, buffer), "cannot read the path", f"device {index}")
        path = buffer.value.decode("latin-1")
        if kind.value != _constants.DFU_INTERFACE_USB:
            found.append(DeviceEntry(index, "uart", path))
            continue
        vid = pid = None
        v, p = ctypes.c_uint16(), ctypes.c_uint16()
        if lib.DFU_GetVidPid(index, ctypes.byref(v), ctypes.byref(p)) == 0:
            vid, pid = v.value, p.value
        found.append(DeviceEntry(index, "usb", path, vid, pid, _serial_of(path)))
    return found


def _usb_match(entry: DeviceEntry, name: str) -> bool:
    """NAME as a serial number, or VID:PID[:SERIAL] in hexadecimal; letter case
    never matters, as with velt-dfu."""
    wanted = name.lower()
    if entry.serial is not None and entry.serial.lower() == wanted:
        return True
    parts = wanted.split(":", 2)
    if len(parts) < 2 or entry.vid is None:
        return False
    try:
        vid, pid = int(parts[0], 16), int(parts[1], 16)
    except ValueError:
        return False
    if not (0 < len(parts[0]) <= 4 and 0 < len(parts[1]) <= 4) or (vid, pid) != (entry.vid, entry.pid):
        return False
    return len(parts) == 2 or (entry.serial is not None and entry.serial.lower() == parts[2])


def _path_for(name: str) -> Tuple[str, bool]:
    """The device path to open for NAME, and whether it was chosen from the
    list: a path as it is, a COM name as its port, else the one USB device NAME
    fits (serial number or VID:PID[:SERIAL]); a name that fits several is
    refused with their paths, one that fits none is a device not found."""
    if name.startswith("\\\\"):
        return name, False
    if name.upper().startswith("COM"):
        return "\\\\.\\" + name, False
    matches = [entry for entry in devices() if entry.kind == "usb" and _usb_match(entry, name)]
    if len(matches) == 1:
        return matches[0].path, True
    if not matches:
        raise DfuOpenError(_constants.DFU_STATUS_DEVICE_NOT_FOUND, "cannot open", name,
                           "no USB device has this serial number or VID:PID")
    raise DfuValueError(_constants.DFU_STATUS_INVALID_PARAMETER, "cannot open", name,
                        "it fits " + str(len(matches)) + " devices: " + ", ".join(m.path for m in matches))


class _ProgressRelay:
    """The C callback of a download: hands each block to the caller's
    callable as a :class:`Progress` and keeps an exception it raises (never
    let one unwind through C)."""

    def __init__(self, user: Optional[ProgressCallable], block: int, total: int):
        self.user, self.block, self.total = user, block, total
        self.error: Optional[BaseException] = None
        self.callback = _library.PROGRESS_CALLBACK(self._call)

    def _call(self, percent: int, in_progress: int, index: int, _user: int) -> int:
        if not in_progress or self.user is None:
            return 1
        moved = 0 if index < 0 else min((index + 1) * self.block, self.total)
        try:
            return 0 if self.user(Progress(percent, moved, self.total, "download")) is False else 1
        except BaseException as error:
            self.error = error
            return 0

    def reraise(self) -> None:
        if self.error is not None:
            raise self.error


def _first_difference(a: bytes, b: bytes) -> Optional[int]:
    common = min(len(a), len(b))
    step = 4096
    for start in range(0, common, step):
        end = min(start + step, common)
        if a[start:end] != b[start:end]:
            return next(i for i in range(start, end) if a[i] != b[i])
    return None


class _UploadTarget:
    """Where an upload goes: a temporary file beside ``path``, made before the
    device is asked anything (a folder that cannot take it fails first) and
    renamed over ``path`` only once the whole image is written, so a failed
    upload leaves an existing file as it was. A path that is not a regular
    file (a pipe, /dev/null) is written directly."""

    def __init__(self, path: Union[str, os.PathLike], label: str):
        self.path, self.shown, self.label = path, os.fsdecode(path), label
        self.direct = os.path.exists(path) and not os.path.isfile(path) and not os.path.isdir(path)
        self.part: Optional[str] = None
        if self.direct:
            return
        folder, name = os.path.split(os.path.abspath(self.shown))
        try:
            if os.path.isdir(self.shown):
                raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), self.shown)
            handle, self.part = tempfile.mkstemp(prefix=f".{name}.part.", dir=folder)
            os.close(handle)
        except OSError as error:
            raise file_error(_constants.DFU_STATUS_FILE_WRITE_ERROR, "cannot upload", label, self.shown,
                             error) from None

    def commit(self, image: bytes) -> None:
        try:
            with open(self.part if self.part else self.path, "wb") as out:
                out.write(image)
                if self.part:
                    out.flush()
                    os.fsync(out.fileno())
            if self.part:
                os.replace(self.part, self.path)
                self.part = None
        except OSError as error:
            raise file_error(_constants.DFU_STATUS_FILE_WRITE_ERROR, "cannot upload", self.label, self.shown,
                             error) from None

    def discard(self) -> None:
        if self.part:
            try:
                os.unlink(self.part)
            except OSError:
                pass
            self.part = None


class Device:
    """An open device, by library index (``0``), COM port name (``"COM7"``),
    USB serial number (``"B2"``), ``"VID:PID"`` or ``"VID:PID:SERIAL"`` in
    hexadecimal (``"f055:d0f1"``), or device path. A name that fits several
    devices raises :class:`DfuValueError` naming them. Use it as a context
    manager, or call :meth:`close`."""

    def __init__(self, which: Union[int, str]):
        self._lib = _dll()
        self._handle = ctypes.c_void_p()
        self._block: Optional[int] = None
        if isinstance(which, str):
            path, chosen = _path_for(which)
            # A USB device chosen by what it is keeps the name it was chosen by.
            self.label = which if chosen else path
            status = self._lib.DFU_OpenByDevicePath(ctypes.byref(self._handle), path.encode("latin-1"))
        else:
            index = _integer(which, "device index", 0, 0xFFFFFFFF)
            self.label = f"device {index}"
            devices()  # the numbering comes from a count
            status = self._lib.DFU_OpenByIndex(ctypes.byref(self._handle), index)
        if status != 0:
            raise error_for(status, "cannot open", self.label, opening=True)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None and self._handle.value:
            self.close()

    def close(self) -> None:
        """Closes the device; later calls raise DfuClosedError (DFU_STATUS_INVALID_HANDLE)."""
        if self._handle.value:
            status = self._lib.DFU_Close(self._handle)
            self._handle = ctypes.c_void_p()
            _check(status, "cannot close", self.label)

    def _live(self) -> ctypes.c_void_p:
        return self._handle if self._handle.value else ctypes.c_void_p()

    def _call(self, what: str, function, *arguments) -> None:
        _check(function(self._live(), *arguments), what, self.label)

    # Queries -----------------------------------------------------------------

    @property
    def path(self) -> str:
        buffer = ctypes.create_string_buffer(_constants.DFU_PATH_SIZE)
        self._call("cannot read the path", self._lib.DFU_GetOpenedDevicePath, buffer)
        return buffer.value.decode("latin-1")

    @property
    def kind(self) -> str:
        kind = ctypes.c_uint8()
        self._call("cannot read the interface", self._lib.DFU_GetOpenedInterface, ctypes.byref(kind))
        return "usb" if kind.value == _constants.DFU_INTERFACE_USB else "uart"

    @property
    def ids(self) -> Optional[Tuple[int, int]]:
        """(VID, PID) of a USB device; None on a COM port."""
        vid, pid = ctypes.c_uint16(), ctypes.c_uint16()
        status = self._lib.DFU_GetOpenedVidPid(self._live(), ctypes.byref(vid), ctypes.byref(pid))
        if status == _constants.DFU_STATUS_NOT_SUPPORTED:
            return None
        _check(status, "cannot read the VID:PID", self.label)
        return vid.value, pid.value

    @property
    def transfer_size(self) -> int:
        """The block size of transfers that are given none: on USB the
        wTransferSize of the device's DFU functional descriptor, else (a COM
        port, or no usable descriptor) 1024."""
        if self._block is None:
            self._block = self._advertised_transfer_size() or DEFAULT_TRANSFER_SIZE
        return self._block

    # Requests ----------------------------------------------------------------

    def state(self) -> int:
        """GETSTATE: the DFU state number (see :data:`STATE_NAMES`)."""
        state = ctypes.c_uint8()
        self._call("cannot read the state", self._lib.DFU_DfuGetState, ctypes.byref(state))
        return state.value

    @property
    def state_name(self) -> str:
        return STATE_NAMES.get(self.state(), "unknown")

    def status(self) -> DfuStatus:
        """GETSTATUS."""
        result = _library.GetStatusResult()
        self._call("cannot read the status", self._lib.DFU_DfuGetStatus, ctypes.byref(result))
        return DfuStatus(result.bStatus, result.bwPollTimeout, result.bState, result.iString)

    def clear(self) -> None:
        """CLRSTATUS: leaves dfuERROR."""
        self._call("cannot clear the status", self._lib.DFU_DfuClearStatus)

    def abort(self) -> None:
        """ABORT: back to dfuIDLE from a transfer."""
        self._call("cannot abort", self._lib.DFU_DfuAbort)

    def info(self) -> DeviceInfo:
        """The vendor information record."""
        r = _library.DeviceInfoRecord()
        self._call("cannot read the information record", self._lib.DFU_VeltGetInfo, ctypes.byref(r))
        return DeviceInfo(r.infoWord, r.infoByte1, r.infoByte2, r.infoValue1, r.infoValue2, r.infoValue3,
                          bytes(r.infoData))

    def reset(self) -> None:
        """The vendor reset request."""
        self._call("cannot reset", self._lib.DFU_VeltReset)

    def recover(self) -> List[str]:
        """Brings the device back to dfuIDLE, as velt-dfu does before and
        after a transfer: CLRSTATUS from dfuERROR, ABORT from dfuDNLOAD-IDLE
        and dfuUPLOAD-IDLE, waiting out the states that move on by themselves.
        Returns what was done, in words (empty when the device was idle).
        Application mode and dfuMANIFEST-WAIT-RESET need a reset, which would
        change more than was asked: they raise DfuStateError, as does a device
        that does not reach dfuIDLE in a few rounds."""
        actions: List[str] = []
        for _ in range(_RECOVERY_ROUNDS):
            now = self._status_patiently()
            if now.state == DFU_STATE_DFU_IDLE:
                return actions
            if now.state == DFU_STATE_DFU_ERROR:
                self.clear()
                actions.append(f"cleared the error status {now.status_name} (CLRSTATUS)")
            elif now.state in (DFU_STATE_DFU_DNLOAD_IDLE, DFU_STATE_DFU_UPLOAD_IDLE):
                self.abort()
                unfinished = "download" if now.state == DFU_STATE_DFU_DNLOAD_IDLE else "upload"
                actions.append(f"abandoned the unfinished {unfinished} (ABORT)")
            elif now.state in (DFU_STATE_DFU_DNBUSY, DFU_STATE_DFU_MANIFEST):
                time.sleep(min(now.poll_timeout_ms, _LONGEST_POLL_MS) / 1000)
            elif now.state in (DFU_STATE_DFU_DNLOAD_SYNC, DFU_STATE_DFU_MANIFEST_SYNC):
                pass  # the next GETSTATUS moves it on
            elif now.state == DFU_STATE_DFU_MANIFEST_WAIT_RESET:
                raise self._not_idle(now, "it is in dfuMANIFEST-WAIT-RESET: it runs its new firmware after a reset")
            else:
                why = "not in DFU mode" if now.state <= DFU_STATE_APP_DETACH else "which only a reset leaves"
                raise self._not_idle(now, f"it is in {now.state_name}, {why}")
        raise self._not_idle(now, "it did not reach dfuIDLE")

    def _status_patiently(self) -> DfuStatus:
        for _ in range(_STATUS_ATTEMPTS - 1):
            try:
                return self.status()
            except DfuTransferError:
                pass
        return self.status()

    def _not_idle(self, now: DfuStatus, why: str) -> DfuStateError:
        error = DfuStateError(_constants.DFU_STATUS_NOT_IDLE, "cannot bring the device to dfuIDLE", self.label, why)
        error.last_status = now
        return error

    def _recover_after(self, error: BaseException) -> None:
        """After a failed or cancelled transfer; the transfer's error is the
        one the caller sees, with a failed recovery attached to it."""
        try:
            self.recover()
        except DfuError as failure:
            if isinstance(error, DfuError):
                error.recovery_error = failure

    # Settings ----------------------------------------------------------------

    @property
    def timeout_ms(self) -> int:
        """Transfer time-out in milliseconds (1000 after open)."""
        value = ctypes.c_uint32()
        self._call("cannot read the time-out", self._lib.DFU_GetTransferTimeout, ctypes.byref(value))
        return value.value

    @timeout_ms.setter
    def timeout_ms(self, value: int) -> None:
        value = _integer(value, "timeout_ms", 0, 0xFFFFFFFF)
        self._call("cannot set the time-out", self._lib.DFU_SetTransferTimeout, value)

    @property
    def serial_config(self) -> tuple:
        """(baud rate, data bits, parity, stop bits, flow control) of a COM-port device, DCB codes."""
        values = [ctypes.c_uint32()] + [ctypes.c_uint8() for _ in range(4)]
        self._call("cannot read the line settings", self._lib.DFU_GetUartConfig, *map(ctypes.byref, values))
        return tuple(v.value for v in values)

    @serial_config.setter
    def serial_config(self, config: tuple) -> None:
        baud, data_bits, parity, stop_bits, flow = config
        baud = _integer(baud, "baud rate", 1, 0xFFFFFFFF)
        small = [_integer(v, name, 0, 0xFF) for v, name in
                 ((data_bits, "data bits"), (parity, "parity"), (stop_bits, "stop bits"), (flow, "flow control"))]
        self._call("cannot set the line settings", self._lib.DFU_SetUartConfig, baud, *small)

    @property
    def baud_rate(self) -> int:
        return self.serial_config[0]

    @baud_rate.setter
    def baud_rate(self, value: int) -> None:
        self.serial_config = (value,) + self.serial_config[1:]

    # Images ------------------------------------------------------------------

    def download(self, path: Union[str, os.PathLike], transfer_size: Optional[int] = None,
                 progress: Optional[ProgressCallable] = None, *, verify: bool = False, retries: int = 0,
                 suffix: bool = True, recover: bool = True) -> DfuStatus:
        """Sends a firmware file and returns the device's last GETSTATUS reply.

        - A DFU suffix is checked (its CRC), taken off, and its VID:PID
          matched against a USB device's (0xFFFF matches any); a broken suffix
          or another device's raises DfuImageError before anything is sent.
          ``suffix=False`` sends the file as it is.
        - ``transfer_size``: the block size, 1..65535; by default
          :attr:`transfer_size`.
        - ``progress`` is called with a :class:`Progress` after each block;
          returning False cancels (DfuCancelledError).
        - ``verify``: reads the image back and compares it (DfuVerifyError).
        - ``retries``: failures of the line, the bus or the device (not of the
          input, not a cancel) start over up to this many more times.
        - ``recover``: the device is brought to dfuIDLE (:meth:`recover`)
          before each attempt and after one that failed or was cancelled.

        A standard DFU 1.1 board that manifests after the last block is polled
        as it asks until it is idle or waits for a reset: the returned status
        then says dfuIDLE or dfuMANIFEST-WAIT-RESET (``verify`` cannot read the
        latter back and raises DfuStateError).

        A failure's error carries ``last_status`` (the device's last GETSTATUS
        reply during the transfer, or None) and ``attempts``."""
        block = self._block_size(transfer_size)
        retries = _integer(retries, "retries", 0, 1000)
        firmware = self._firmware(path, suffix)
        # The bytes checked are the bytes sent: the library reads its image
        # from a file, so it gets a copy without the suffix.
        folder = tempfile.mkdtemp(prefix="velt_dfu-")
        try:
            staged = os.path.join(folder, "firmware.bin")
            with open(staged, "wb") as out:
                out.write(firmware)
            attempt = 1
            while True:
                try:
                    return self._download_attempt(staged, firmware, block, progress, verify, recover)
                except DfuError as error:
                    error.attempts = attempt
                    if attempt > retries or not retryable(error):
                        raise
                    attempt += 1
        finally:
            shutil.rmtree(folder, ignore_errors=True)

    def upload(self, path: Union[str, os.PathLike], transfer_size: Optional[int] = None,
               progress: Optional[ProgressCallable] = None, *, size: Optional[int] = None,
               recover: bool = True, until_empty: bool = False) -> int:
        """Reads the device's image into ``path``; returns its size in bytes.

        The upload ends as DFU 1.1 ends it, at the first block shorter than
        the transfer size (an empty one included): after it a standard board
        starts its image over. ``until_empty=True`` reads on to an empty block,
        for a device that sends short blocks inside its image. ``size`` stops
        after that many bytes (the device is then told ABORT); without it an
        image longer than 64 MiB fails. The image is read into memory and then
        written beside ``path`` and renamed over it, so a failed or cancelled
        upload leaves an existing file as it was. Without ``size`` the
        percentage is reckoned against 240 blocks, as the library does.
        ``recover`` as for :meth:`download`."""
        block = self._block_size(transfer_size)
        limit = None if size is None else _integer(size, "size", 1, 2 ** 63)
        target = _UploadTarget(path, self.label)
        try:
            if recover:
                self.recover()
            try:
                image = self._read_image(block, limit, progress, "upload", until_empty, recover)
            except BaseException as error:
                if recover:
                    self._recover_after(error)
                raise
            target.commit(image)
        finally:
            target.discard()
        return len(image)

    def _block_size(self, transfer_size: Optional[int]) -> int:
        if transfer_size is None:
            return self.transfer_size
        return _integer(transfer_size, "transfer_size", 1, 0xFFFF)

    def _firmware(self, path: Union[str, os.PathLike], use_suffix: bool) -> bytes:
        shown = os.fsdecode(path)
        what = "cannot download"
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            raise file_error(_constants.DFU_STATUS_FILE_READ_ERROR, what, self.label, shown, error) from None
        size = len(data)
        if use_suffix:
            try:
                size, found = _suffix.split(data)
            except ValueError as problem:
                raise DfuImageError(what, self.label, shown,
                                    f"{problem}; nothing sent (suffix=False sends the file as it is)") from None
            ids = self.ids if found is not None else None
            if found is not None and ids is not None and not _suffix.matches(found, *ids):
                raise DfuImageError(what, self.label, shown,
                                    f"the DFU suffix is for VID:PID {found.id_vendor:04x}:{found.id_product:04x}, "
                                    f"the device is {ids[0]:04x}:{ids[1]:04x}; nothing sent "
                                    "(suffix=False sends the file as it is)")
        if size == 0:
            raise DfuImageError(what, self.label, shown, "holds no firmware; nothing sent")
        return data[:size]

    def _download_attempt(self, staged: str, firmware: bytes, block: int, progress: Optional[ProgressCallable],
                          verify: bool, recover: bool) -> DfuStatus:
        if recover:
            self.recover()
        try:
            relay = _ProgressRelay(progress, block, len(firmware))
            result = _library.GetStatusResult(bState=_NO_REPLY)
            status = self._lib.DFU_DownloadImage(self._live(), block, os.fsencode(staged), relay.callback, 0,
                                                 ctypes.byref(result))
            last = None if result.bState == _NO_REPLY else DfuStatus(result.bStatus, result.bwPollTimeout,
                                                                     result.bState, result.iString)
            relay.reraise()
            if status == _constants.DFU_STATUS_UNEXPECTED_STATE and last is not None and \
                    last.state in _MANIFESTING + (DFU_STATE_DFU_MANIFEST_WAIT_RESET,):
                last = self._manifestation(last)
            elif status != 0:
                error = error_for(status, "download failed", self.label)
                error.last_status = last
                raise error
            if verify and last is not None and last.state == DFU_STATE_DFU_MANIFEST_WAIT_RESET:
                error = DfuStateError(_constants.DFU_STATUS_UNEXPECTED_STATE, "verify failed", self.label,
                                      "the image was downloaded but not verified: the device waits for a reset "
                                      "(dfuMANIFEST-WAIT-RESET) and answers no UPLOAD")
                error.last_status = last
                raise error
            if verify:
                self._verify(firmware, block, progress, recover)
            return last
        except BaseException as error:
            if recover:
                self._recover_after(error)
            raise

    def _manifestation(self, last: DfuStatus) -> DfuStatus:
        """A standard DFU 1.1 board writes its image after the closing DNLOAD,
        where the library expects dfuIDLE at once: GETSTATUS is polled, each
        time after the bwPollTimeout the device asked for, never sooner, until
        dfuIDLE, or dfuMANIFEST-WAIT-RESET (the image is in; it runs after a
        reset). The phase may take the poll times asked for plus a minute."""
        now = last
        give_up = time.monotonic() + _MANIFEST_CAP_S
        while now.state in _MANIFESTING:
            wait = now.poll_timeout_ms / 1000
            give_up += wait
            time.sleep(wait)
            if time.monotonic() > give_up:
                break
            now = self._status_patiently()
        if now.state in (DFU_STATE_DFU_IDLE, DFU_STATE_DFU_MANIFEST_WAIT_RESET):
            return now
        why = ("it was still manifesting after its poll times and a minute" if now.state in _MANIFESTING
               else f"it went from the manifestation to {now.state_name}")
        error = DfuStateError(_constants.DFU_STATUS_UNEXPECTED_STATE, "download failed", self.label, why)
        error.last_status = now
        raise error

    def _read_image(self, block: int, limit: Optional[int], progress: Optional[ProgressCallable], phase: str,
                    until_empty: bool, recover: bool) -> bytes:
        """UPLOAD of block after block until the device ends its image, or
        ``limit`` bytes are in (then ABORT). An UPLOAD that failed may still
        have been served, and a device that counts its own offset has then
        moved on: with ``recover`` the device is brought back to dfuIDLE and
        the image read again from its first block, a few times at most."""
        cap = _MAX_UPLOAD_BYTES if limit is None else limit
        buffer = (ctypes.c_uint8 * block)()
        received = ctypes.c_uint16()
        image = bytearray()
        self._report(progress, phase, 0, limit, 0)
        number = restarts = 0
        while True:
            received.value = 0
            status = self._lib.DFU_DfuUpload(self._live(), buffer, block, number & 0xFFFF, ctypes.byref(received))
            # Fewer bytes than asked is how a device ends its image.
            if status not in (0, _constants.DFU_STATUS_INCOMPLETE_TRANSFER) or received.value > block:
                error = error_for(status, f"{phase} failed", self.label)
                if not recover or restarts == _UPLOAD_RESTARTS or isinstance(error, DfuClosedError):
                    raise error
                try:
                    self.recover()
                except DfuError as failure:
                    error.recovery_error = failure
                    raise error from None
                restarts += 1
                image.clear()
                number = 0
                self._report(progress, phase, 0, limit, 0)
                continue
            count = received.value
            image += bytes(buffer[:min(count, cap - len(image))])
            number += 1
            if not self._report(progress, phase, len(image), limit, min(number * 100 // _UPLOAD_PROGRESS_BLOCKS, 100)):
                raise error_for(_constants.DFU_STATUS_CANCELLED, f"{phase} failed", self.label)
            if count == 0 or (count < block and not until_empty):
                if count != 0:
                    self._leave_upload_idle()
                return bytes(image)
            if len(image) >= cap:
                self.abort()
                if limit is not None:
                    return bytes(image)
                error = DfuStateError(_constants.DFU_STATUS_INCOMPLETE_TRANSFER, f"{phase} failed", self.label,
                                      f"the device's image goes on past {_MAX_UPLOAD_BYTES} bytes; give size")
                raise error

    def _leave_upload_idle(self) -> None:
        """A device that ends its image with an empty block still waits for
        it after a short one. The image is in either way: a line that loses
        this request leaves the device to the next transfer's recovery."""
        try:
            if self.state() == DFU_STATE_DFU_UPLOAD_IDLE:
                self.abort()
        except DfuTransferError:
            pass

    def _report(self, progress: Optional[ProgressCallable], phase: str, moved: int, total: Optional[int],
                reckoned: int) -> bool:
        """Hands one step to the caller's progress callable; False cancels."""
        if progress is None:
            return True
        percent = reckoned if total is None else moved * 100 // total
        return progress(Progress(percent, moved, total, phase)) is not False

    def _verify(self, firmware: bytes, block: int, progress: Optional[ProgressCallable], recover: bool) -> None:
        """Reads back exactly the firmware's length (the device may pad the
        last block) and compares."""
        back = self._read_image(block, len(firmware), progress, "verify", until_empty=False, recover=recover)
        offset = _first_difference(firmware, back)
        if offset is not None:
            raise DfuVerifyError("verify failed", self.label, offset,
                                 f"first difference at offset {offset} (0x{offset:08X}): sent 0x{firmware[offset]:02X},"
                                 f" read back 0x{back[offset]:02X}")
        if len(back) < len(firmware):
            raise DfuVerifyError("verify failed", self.label, len(back),
                                 f"the device ended its image at offset {len(back)}, short of the "
                                 f"{len(firmware)} bytes sent")

    # USB descriptors -----------------------------------------------------------

    def _configuration(self, length: int) -> Optional[bytes]:
        """GET_DESCRIPTOR(configuration 0), or None when the request fails."""
        setup = _library.SetupPacket(RequestType=0x80, Request=6, Value=2 << 8, Index=0, Length=length)
        data = (ctypes.c_uint8 * length)()
        moved = ctypes.c_uint32()
        status = self._lib.DFU_ControlTransfer(self._live(), ctypes.byref(setup), data, length, ctypes.byref(moved))
        return bytes(data[:min(moved.value, length)]) if status == 0 else None

    def _advertised_transfer_size(self) -> Optional[int]:
        """wTransferSize of the DFU functional descriptor (type 0x21) after the
        DFU interface (class 0xFE, subclass 1), as velt-dfu reads it."""
        if self.kind != "usb":
            return None
        header = self._configuration(9)
        if header is None or len(header) < 4 or header[1] != 2:
            return None
        whole = self._configuration(int.from_bytes(header[2:4], "little"))
        if whole is None:
            return None
        in_dfu_interface = False
        at = 0
        while at + 2 <= len(whole):
            length, kind = whole[at], whole[at + 1]
            if length < 2 or at + length > len(whole):
                return None  # a broken chain: nothing after it can be trusted
            if kind == 4:
                in_dfu_interface = length >= 9 and whole[at + 5] == 0xFE and whole[at + 6] == 0x01
            elif kind == 0x21 and in_dfu_interface and length >= 7:
                return int.from_bytes(whole[at + 5:at + 7], "little") or None
            at += length
        return None

    def __repr__(self) -> str:
        return f"<velt_dfu.Device {self.label}>"
