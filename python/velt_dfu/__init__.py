"""Python binding of the VELT_DFU library: USB DFU 1.1 devices on USB and on
serial COM ports, for test stations and scripts.

    import velt_dfu

    for d in velt_dfu.devices():
        print(d.index, d.kind, d.path)

    with velt_dfu.Device("COM7") as device:
        device.download("firmware.bin", progress=lambda percent: print(percent))
        print(device.state_name)

Every failure raises :class:`DfuError`, which carries the library's status
code and its name. The library is found as :func:`velt_dfu._library.candidates`
describes (``$VELT_DFU_LIBRARY`` overrides).
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass
from typing import Callable, Optional, Union

from . import _library
from ._library import LIBRARY_ENV

__all__ = [
    "DfuError", "Device", "DeviceEntry", "DfuStatus", "DeviceInfo", "devices", "library_version",
    "STATUS_NAMES", "STATE_NAMES", "LIBRARY_ENV",
]

#: Library status codes by value.
STATUS_NAMES = {
    0x00: "DFU_STATUS_SUCCESS",
    0x40: "DFU_STATUS_INVALID_PARAMETER",
    0x41: "DFU_STATUS_BUFFER_TOO_SMALL",
    0x43: "DFU_STATUS_NOT_IDLE",
    0x44: "DFU_STATUS_UNEXPECTED_STATE",
    0x45: "DFU_STATUS_DOWNLOAD_FAILED",
    0x46: "DFU_STATUS_FILE_READ_ERROR",
    0x47: "DFU_STATUS_FILE_WRITE_ERROR",
    0x48: "DFU_STATUS_INVALID_HANDLE",
    0x49: "DFU_STATUS_INTERFACE_MISMATCH",
    0x4A: "DFU_STATUS_CANCELLED",
    0x4B: "DFU_STATUS_NOT_SUPPORTED",
    0x80: "DFU_STATUS_DEVICE_NOT_FOUND",
    0x81: "DFU_STATUS_DEVICE_NOT_OPENED",
    0x82: "DFU_STATUS_GENERAL_ERROR",
    0x83: "DFU_STATUS_TRANSFER_ERROR",
    0x84: "DFU_STATUS_TIMEOUT",
    0x85: "DFU_STATUS_INCOMPLETE_TRANSFER",
}

#: DFU 1.1 device states (bState) by value.
STATE_NAMES = {
    0: "appIDLE", 1: "appDETACH", 2: "dfuIDLE", 3: "dfuDNLOAD-SYNC", 4: "dfuDNBUSY", 5: "dfuDNLOAD-IDLE",
    6: "dfuMANIFEST-SYNC", 7: "dfuMANIFEST", 8: "dfuMANIFEST-WAIT-RESET", 9: "dfuUPLOAD-IDLE", 10: "dfuERROR",
}

_DFU_IDLE = 2
_PATH_SIZE = 260
_lib: Optional[ctypes.CDLL] = None


def _dll() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        _lib = _library.load()
    return _lib


class DfuError(Exception):
    """A library call failed. ``status`` is the DFU_STATUS code, ``name`` its name."""

    def __init__(self, status: int, what: str, device: Optional[str] = None):
        self.status = status
        self.name = STATUS_NAMES.get(status, "DFU_STATUS_UNKNOWN")
        self.what = what
        self.device = device
        where = f" on {device}" if device else ""
        super().__init__(f"{what}{where}: {self.name} (0x{status:02X})")


def _check(status: int, what: str, device: Optional[str] = None) -> None:
    if status != 0:
        raise DfuError(status, what, device)


@dataclass(frozen=True)
class DeviceEntry:
    """One device of the library's numbering: USB devices first, then COM ports."""
    index: int
    kind: str            # "usb" or "uart"
    path: str
    vid: Optional[int] = None
    pid: Optional[int] = None


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


def library_version() -> tuple:
    """The library's (major, minor, third) version."""
    major, minor, third = ctypes.c_uint8(), ctypes.c_uint8(), ctypes.c_uint32()
    _check(_dll().DFU_GetLibraryVersion(ctypes.byref(major), ctypes.byref(minor), ctypes.byref(third)),
           "cannot read the library version")
    return major.value, minor.value, third.value


def devices() -> list:
    """Counts the devices and lists them as :class:`DeviceEntry`, USB first."""
    lib = _dll()
    count = ctypes.c_uint32()
    _check(lib.DFU_GetNumDevices(ctypes.byref(count)), "cannot enumerate devices")
    found = []
    for index in range(count.value):
        kind = ctypes.c_uint8()
        _check(lib.DFU_GetInterfaceByIndex(index, ctypes.byref(kind)), "cannot read the kind", f"device {index}")
        path = ctypes.create_string_buffer(_PATH_SIZE)
        _check(lib.DFU_GetDevicePath(index, path), "cannot read the path", f"device {index}")
        vid = pid = None
        if kind.value == 0:
            v, p = ctypes.c_uint16(), ctypes.c_uint16()
            if lib.DFU_GetVidPid(index, ctypes.byref(v), ctypes.byref(p)) == 0:
                vid, pid = v.value, p.value
        found.append(DeviceEntry(index, "usb" if kind.value == 0 else "uart", path.value.decode("latin-1"), vid, pid))
    return found


Progress = Callable[[int], Optional[bool]]


class Device:
    """An open device, by library index (``0``), COM port name (``"COM7"``) or
    device path. Use it as a context manager, or call :meth:`close`."""

    def __init__(self, which: Union[int, str]):
        self._lib = _dll()
        self._handle = ctypes.c_void_p()
        if isinstance(which, int):
            devices()  # the numbering comes from a count
            status = self._lib.DFU_OpenByIndex(ctypes.byref(self._handle), which)
            self.label = f"device {which}"
        else:
            path = which if not which.upper().startswith("COM") else "\\\\.\\" + which
            status = self._lib.DFU_OpenByDevicePath(ctypes.byref(self._handle), path.encode("latin-1"))
            self.label = path
        _check(status, "cannot open", self.label)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None and self._handle.value:
            self.close()

    def close(self) -> None:
        """Closes the device; later calls raise DfuError (DFU_STATUS_INVALID_HANDLE)."""
        if self._handle.value:
            status = self._lib.DFU_Close(self._handle)
            self._handle = ctypes.c_void_p()
            _check(status, "cannot close", self.label)

    def _call(self, what: str, function, *arguments) -> None:
        handle = self._handle if self._handle.value else ctypes.c_void_p()
        _check(function(handle, *arguments), what, self.label)

    # Queries -----------------------------------------------------------------

    @property
    def path(self) -> str:
        buffer = ctypes.create_string_buffer(_PATH_SIZE)
        self._call("cannot read the path", self._lib.DFU_GetOpenedDevicePath, buffer)
        return buffer.value.decode("latin-1")

    @property
    def kind(self) -> str:
        kind = ctypes.c_uint8()
        self._call("cannot read the interface", self._lib.DFU_GetOpenedInterface, ctypes.byref(kind))
        return "usb" if kind.value == 0 else "uart"

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

    # Settings ----------------------------------------------------------------

    @property
    def timeout_ms(self) -> int:
        """Transfer time-out in milliseconds (1000 after open)."""
        value = ctypes.c_uint32()
        self._call("cannot read the time-out", self._lib.DFU_GetTransferTimeout, ctypes.byref(value))
        return value.value

    @timeout_ms.setter
    def timeout_ms(self, value: int) -> None:
        self._call("cannot set the time-out", self._lib.DFU_SetTransferTimeout, int(value))

    @property
    def serial_config(self) -> tuple:
        """(baud rate, data bits, parity, stop bits, flow control) of a COM-port device, DCB codes."""
        values = [ctypes.c_uint32()] + [ctypes.c_uint8() for _ in range(4)]
        self._call("cannot read the line settings", self._lib.DFU_GetUartConfig, *map(ctypes.byref, values))
        return tuple(v.value for v in values)

    @serial_config.setter
    def serial_config(self, config: tuple) -> None:
        baud, data_bits, parity, stop_bits, flow = config
        self._call("cannot set the line settings", self._lib.DFU_SetUartConfig, baud, data_bits, parity, stop_bits,
                   flow)

    @property
    def baud_rate(self) -> int:
        return self.serial_config[0]

    @baud_rate.setter
    def baud_rate(self, value: int) -> None:
        self.serial_config = (value,) + self.serial_config[1:]

    # Images ------------------------------------------------------------------

    def download(self, path: Union[str, os.PathLike], transfer_size: int = 1024,
                 progress: Optional[Progress] = None) -> DfuStatus:
        """Sends a raw firmware image; the device must be in dfuIDLE. ``progress``
        is called with the percentage after each block; returning False cancels
        (DfuError with DFU_STATUS_CANCELLED). Returns the last GETSTATUS reply;
        on failure the exception's ``last_status`` holds it."""
        result = _library.GetStatusResult()
        callback, errors = self._progress(progress)
        status = self._lib.DFU_DownloadImage(self._live(), transfer_size, os.fsencode(path), callback, 0,
                                             ctypes.byref(result))
        last = DfuStatus(result.bStatus, result.bwPollTimeout, result.bState, result.iString)
        self._raise_callback_error(errors)
        if status != 0:
            error = DfuError(status, "download failed", self.label)
            error.last_status = last  # type: ignore[attr-defined]
            raise error
        return last

    def upload(self, path: Union[str, os.PathLike], transfer_size: int = 1024,
               progress: Optional[Progress] = None) -> int:
        """Reads the device's image into ``path``; returns its size in bytes.
        The progress figure is reckoned against 240 blocks, as the library does."""
        callback, errors = self._progress(progress)
        status = self._lib.DFU_UploadImage(self._live(), transfer_size, os.fsencode(path), callback, 0)
        self._raise_callback_error(errors)
        _check(status, "upload failed", self.label)
        return os.path.getsize(path)

    def _live(self) -> ctypes.c_void_p:
        return self._handle if self._handle.value else ctypes.c_void_p()

    @staticmethod
    def _progress(progress: Optional[Progress]):
        errors: list = []
        if progress is None:
            return _library.PROGRESS_CALLBACK(), errors

        def call(percent: int, in_progress: int, block: int, _user: int) -> int:
            if not in_progress:
                return 1
            try:
                return 0 if progress(percent) is False else 1
            except BaseException as error:  # never let it unwind through C
                errors.append(error)
                return 0
        return _library.PROGRESS_CALLBACK(call), errors

    @staticmethod
    def _raise_callback_error(errors: list) -> None:
        if errors:
            raise errors[0]

    def __repr__(self) -> str:
        return f"<velt_dfu.Device {self.label}>"

