"""Finding and loading the VELT_DFU shared library, and its C prototypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from pathlib import Path

#: Environment variable naming the library file to load, overriding the search.
LIBRARY_ENV = "VELT_DFU_LIBRARY"

_NAMES_LINUX = ("libVELT_DFU.so.1", "libVELT_DFU.so")
_NAMES_WINDOWS = ("VELT_DFU.dll",)


class GetStatusResult(ctypes.Structure):
    _fields_ = [
        ("bStatus", ctypes.c_uint8),
        ("bwPollTimeout", ctypes.c_uint32),
        ("bState", ctypes.c_uint8),
        ("iString", ctypes.c_uint8),
    ]


class DeviceInfoRecord(ctypes.Structure):
    _fields_ = [
        ("infoWord", ctypes.c_uint16),
        ("infoByte1", ctypes.c_uint8),
        ("infoByte2", ctypes.c_uint8),
        ("infoValue1", ctypes.c_uint32),
        ("infoValue2", ctypes.c_uint32),
        ("infoValue3", ctypes.c_uint32),
        ("infoData", ctypes.c_uint8 * 32),
    ]


class SetupPacket(ctypes.Structure):
    """WINUSB_SETUP_PACKET."""
    _fields_ = [
        ("RequestType", ctypes.c_uint8),
        ("Request", ctypes.c_uint8),
        ("Value", ctypes.c_uint16),
        ("Index", ctypes.c_uint16),
        ("Length", ctypes.c_uint16),
    ]


#: int callback(int32 percent, int32 inProgress, int32 blockIndex, uintptr userData)
PROGRESS_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_size_t)

_u8, _u16, _u32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32
_p = ctypes.POINTER
_handle = ctypes.c_void_p

_PROTOTYPES = {
    "DFU_GetNumDevices": [_p(_u32)],
    "DFU_GetDevicePath": [_u32, ctypes.c_char_p],
    "DFU_GetVidPid": [_u32, _p(_u16), _p(_u16)],
    "DFU_GetInterfaceByIndex": [_u32, _p(_u8)],
    "DFU_GetLibraryVersion": [_p(_u8), _p(_u8), _p(_u32)],
    "DFU_OpenByIndex": [_p(_handle), _u32],
    "DFU_OpenByDevicePath": [_p(_handle), ctypes.c_char_p],
    "DFU_Close": [_handle],
    "DFU_GetOpenedDevicePath": [_handle, ctypes.c_char_p],
    "DFU_GetOpenedVidPid": [_handle, _p(_u16), _p(_u16)],
    "DFU_GetOpenedInterface": [_handle, _p(_u8)],
    "DFU_ControlTransfer": [_handle, _p(SetupPacket), _p(_u8), _u32, _p(_u32)],
    "DFU_SetTransferTimeout": [_handle, _u32],
    "DFU_GetTransferTimeout": [_handle, _p(_u32)],
    "DFU_SetUartConfig": [_handle, _u32, _u8, _u8, _u8, _u8],
    "DFU_GetUartConfig": [_handle, _p(_u32), _p(_u8), _p(_u8), _p(_u8), _p(_u8)],
    "DFU_DfuUpload": [_handle, _p(_u8), _u16, _u16, _p(_u16)],
    "DFU_DfuGetStatus": [_handle, _p(GetStatusResult)],
    "DFU_DfuClearStatus": [_handle],
    "DFU_DfuGetState": [_handle, _p(_u8)],
    "DFU_DfuAbort": [_handle],
    "DFU_VeltGetInfo": [_handle, _p(DeviceInfoRecord)],
    "DFU_VeltReset": [_handle],
    "DFU_DownloadImage": [_handle, _u16, ctypes.c_char_p, PROGRESS_CALLBACK, ctypes.c_size_t, _p(GetStatusResult)],
    "DFU_UploadImage": [_handle, _u16, ctypes.c_char_p, PROGRESS_CALLBACK, ctypes.c_size_t],
}


def candidates() -> list[str]:
    """Where the library is looked for, in order.

    1. ``$VELT_DFU_LIBRARY``, a path to the library file;
    2. a copy beside this package (a wheel that bundles it);
    3. the system's search (``ldconfig`` cache, ``PATH`` on Windows) by name.
    """
    names = _NAMES_WINDOWS if sys.platform == "win32" else _NAMES_LINUX
    found: list[str] = []
    override = os.environ.get(LIBRARY_ENV)
    if override:
        found.append(override)
    here = Path(__file__).resolve().parent
    found.extend(str(here / name) for name in names if (here / name).exists())
    system = ctypes.util.find_library("VELT_DFU")
    if system:
        found.append(system)
    found.extend(names)
    return found


def load() -> ctypes.CDLL:
    """Loads the first library that :func:`candidates` yields and declares its exports."""
    override = os.environ.get(LIBRARY_ENV)
    errors = []
    for path in candidates():
        try:
            # errno as the library left it says why an image file failed.
            library = ctypes.CDLL(path, use_errno=True)
            break
        except OSError as error:
            errors.append(f"{path}: {error}")
            if override and path == override:
                raise OSError(f"cannot load VELT_DFU from ${LIBRARY_ENV}={override}: {error}") from error
    else:
        raise OSError("cannot find the VELT_DFU library; set $%s to its path. Tried:\n  %s"
                      % (LIBRARY_ENV, "\n  ".join(errors)))
    for name, arguments in _PROTOTYPES.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = ctypes.c_uint8
    return library
