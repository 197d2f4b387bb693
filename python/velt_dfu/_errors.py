"""The binding's exceptions.

Every failure is a :class:`DfuError` with the library's ``status`` code and its
``name``. Each family is also the built-in exception a Python caller would
catch for that kind of failure: a time-out is a ``TimeoutError``, an open that
failed an ``OSError``, a file that cannot be read an ``OSError`` with ``errno``
and ``filename`` (a ``FileNotFoundError`` when the file is missing), an
argument out of range a ``ValueError``.
"""

from __future__ import annotations

import errno as _errno
import os
from typing import Optional

from . import _constants as c


class DfuError(Exception):
    """A call failed. ``status`` is the DFU_STATUS code, ``name`` its name,
    ``what`` the step that failed, ``device`` the device's label (or None).
    Transfers also set ``last_status`` (the device's last GETSTATUS reply, or
    None) and ``attempts``; when bringing the device back to dfuIDLE after the
    failure failed too, ``recovery_error`` holds that error."""

    def __init__(self, status: int, what: str, device: Optional[str] = None, detail: str = ""):
        self.status = status
        self.name = c.STATUS_NAMES.get(status, "DFU_STATUS_UNKNOWN")
        self.what = what
        self.device = device
        self.last_status = None
        self.attempts = 1
        self.recovery_error: Optional[DfuError] = None
        where = f" on {device}" if device else ""
        code = f"{self.name} (0x{status:02X})"
        self.message = f"{what}{where}: {detail} [{code}]" if detail else f"{what}{where}: {code}"
        super().__init__(self.message)

    def __str__(self) -> str:
        return self.message


class DfuValueError(DfuError, ValueError):
    """An argument was refused before anything was sent to the device."""


class DfuImageError(DfuValueError):
    """The firmware file cannot be sent as it is: its DFU suffix is broken or
    names another device, or it holds no firmware. ``path`` names the file."""

    def __init__(self, what: str, device: Optional[str], path: str, detail: str):
        self.path = path
        super().__init__(c.DFU_STATUS_INVALID_PARAMETER, what, device, f"{path}: {detail}")


class DfuOpenError(DfuError, OSError):
    """The device could not be opened: missing, held by another program, or
    its settings refused."""


class DfuFileError(DfuError, OSError):
    """The image file could not be read or written. ``filename`` and ``errno``
    (None when the cause is not known) say which and why."""

    def __init__(self, status: int, what: str, device: Optional[str], path: str, error: Optional[int]):
        reason = os.strerror(error) if error else "unknown cause"
        verb = "cannot read" if status == c.DFU_STATUS_FILE_READ_ERROR else "cannot write"
        super().__init__(status, what, device, f"{verb} {path}: {reason}")
        self.errno = error
        self.strerror = os.strerror(error) if error else None
        self.filename = path


class DfuFileNotFoundError(DfuFileError, FileNotFoundError):
    pass


class DfuPermissionError(DfuFileError, PermissionError):
    pass


class DfuIsADirectoryError(DfuFileError, IsADirectoryError):
    pass


class DfuTransferError(DfuError, OSError):
    """A request failed on the line or bus, moved fewer bytes than asked, or
    was stalled by the device."""


class DfuTimeoutError(DfuTransferError, TimeoutError):
    """The device did not answer in time."""


class DfuStateError(DfuError):
    """The device is in, or reported, a state the call cannot go on from; or
    it reported an error status at the end of a download."""


class DfuVerifyError(DfuError):
    """The image read back differs from the one sent. ``offset`` is the first
    byte that differs (or where the device's image ended short)."""

    def __init__(self, what: str, device: Optional[str], offset: int, detail: str):
        self.offset = offset
        super().__init__(c.DFU_STATUS_DOWNLOAD_FAILED, what, device, detail)


class DfuCancelledError(DfuError):
    """The progress callable returned False."""


class DfuClosedError(DfuError):
    """The device is closed, or was never opened."""


class DfuNotSupportedError(DfuError):
    """The request does not apply to this kind of device (a line setting on USB)."""


_FAMILIES = {
    c.DFU_STATUS_INVALID_PARAMETER: DfuValueError,
    c.DFU_STATUS_BUFFER_TOO_SMALL: DfuValueError,
    c.DFU_STATUS_NOT_IDLE: DfuStateError,
    c.DFU_STATUS_UNEXPECTED_STATE: DfuStateError,
    c.DFU_STATUS_DOWNLOAD_FAILED: DfuStateError,
    c.DFU_STATUS_INVALID_HANDLE: DfuClosedError,
    c.DFU_STATUS_DEVICE_NOT_OPENED: DfuClosedError,
    c.DFU_STATUS_CANCELLED: DfuCancelledError,
    c.DFU_STATUS_NOT_SUPPORTED: DfuNotSupportedError,
    c.DFU_STATUS_GENERAL_ERROR: DfuTransferError,
    c.DFU_STATUS_TRANSFER_ERROR: DfuTransferError,
    c.DFU_STATUS_TIMEOUT: DfuTimeoutError,
    c.DFU_STATUS_INCOMPLETE_TRANSFER: DfuTransferError,
}

_FILE_ERRORS = {
    _errno.ENOENT: DfuFileNotFoundError,
    _errno.EACCES: DfuPermissionError,
    _errno.EPERM: DfuPermissionError,
    _errno.EISDIR: DfuIsADirectoryError,
}

#: The failures of a transfer that another attempt may not meet: the line,
#: the bus or the device, never the input, a cancel or a closed handle.
RETRYABLE = (DfuTransferError, DfuVerifyError)
RETRYABLE_STATUSES = (c.DFU_STATUS_UNEXPECTED_STATE, c.DFU_STATUS_DOWNLOAD_FAILED)


def error_for(status: int, what: str, device: Optional[str] = None, *, opening: bool = False,
              path: Optional[str] = None, error: Optional[int] = None) -> DfuError:
    """The exception for a status the library returned."""
    if status in (c.DFU_STATUS_FILE_READ_ERROR, c.DFU_STATUS_FILE_WRITE_ERROR) and path is not None:
        return _FILE_ERRORS.get(error, DfuFileError)(status, what, device, path, error)
    if opening and status not in (c.DFU_STATUS_INVALID_PARAMETER,):
        return DfuOpenError(status, what, device)
    return _FAMILIES.get(status, DfuError)(status, what, device)


def file_error(status: int, what: str, device: Optional[str], path: str, error: OSError) -> DfuFileError:
    """A file error Python met itself, as the binding raises it."""
    return _FILE_ERRORS.get(error.errno, DfuFileError)(status, what, device, path, error.errno)


_MANIFESTATION = (c.DFU_STATE_DFU_MANIFEST_SYNC, c.DFU_STATE_DFU_MANIFEST, c.DFU_STATE_DFU_MANIFEST_WAIT_RESET)


def retryable(error: DfuError) -> bool:
    if isinstance(error, RETRYABLE):
        return True
    if not isinstance(error, DfuStateError) or error.status not in RETRYABLE_STATUSES:
        return False
    # A board that manifests after the closing DNLOAD has the whole image; the
    # library calls that an unexpected state, and sending it again would only
    # write the flash again to meet the same end.
    last = error.last_status
    return last is None or last.state not in _MANIFESTATION
