// WinUSB pipe-policy codes, with the Windows names and values.
#ifndef VELT_PLATFORM_WINUSBIO_H
#define VELT_PLATFORM_WINUSBIO_H

#include <windows.h>

#define SHORT_PACKET_TERMINATE 0x01
#define AUTO_CLEAR_STALL 0x02
#define PIPE_TRANSFER_TIMEOUT 0x03  // ULONG, milliseconds; 0 waits for ever
#define IGNORE_SHORT_PACKETS 0x04
#define ALLOW_PARTIAL_READS 0x05
#define AUTO_FLUSH 0x06
#define RAW_IO 0x07
#define MAXIMUM_TRANSFER_SIZE 0x08
#define RESET_PIPE_ON_RESUME 0x09

#endif
