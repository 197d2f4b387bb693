"""The DFU file suffix of USB DFU 1.1: 16 bytes at the end of a firmware
file naming the device it is for, with a CRC over the whole file. The same
rules as velt-dfu's: a file without the "UFD" signature is plain firmware; a
signature with a bLength below 16 or beyond the file, or a CRC that does not
match, is refused; 0xFFFF as idVendor or idProduct matches every device."""

from __future__ import annotations

import zlib
from dataclasses import dataclass
from typing import Optional, Tuple

SUFFIX_SIZE = 16
ANY_ID = 0xFFFF


@dataclass(frozen=True)
class Suffix:
    bcd_device: int
    id_product: int
    id_vendor: int
    bcd_dfu: int
    length: int  # bLength: the suffix's size, dwCRC included
    crc: int


def suffix_crc(data: bytes) -> int:
    """The suffix's CRC-32: the usual CRC-32 without its final inversion."""
    return zlib.crc32(data) ^ 0xFFFFFFFF


def _le(data: bytes) -> int:
    return int.from_bytes(data, "little")


def split(data: bytes) -> Tuple[int, Optional[Suffix]]:
    """(firmware size, suffix): the firmware is the first bytes of ``data``;
    no suffix gives (len(data), None). Raises ValueError for a broken suffix."""
    if len(data) < SUFFIX_SIZE:
        return len(data), None
    tail = data[-SUFFIX_SIZE:]
    # Back to front: dwCRC, bLength, the signature "UFD", bcdDFU, the ids.
    if tail[8:11] != b"UFD":
        return len(data), None
    suffix = Suffix(_le(tail[0:2]), _le(tail[2:4]), _le(tail[4:6]), _le(tail[6:8]), tail[11], _le(tail[12:16]))
    if suffix.length < SUFFIX_SIZE or suffix.length > len(data):
        raise ValueError(f"ends in a DFU suffix signature with bLength {suffix.length}, which no DFU suffix has")
    computed = suffix_crc(data[:-4])
    if computed != suffix.crc:
        raise ValueError(f"DFU suffix CRC mismatch (the suffix says 0x{suffix.crc:08X}, the file gives 0x{computed:08X})")
    return len(data) - suffix.length, suffix


def matches(suffix: Suffix, vid: int, pid: int) -> bool:
    return suffix.id_vendor in (ANY_ID, vid) and suffix.id_product in (ANY_ID, pid)
