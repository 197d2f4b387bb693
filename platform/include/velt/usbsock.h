// Wire protocol between the platform layer's USB backend (SetupDi*/WinUsb_*
// on hosts that are not Windows) and a simulated USB device.
//
// Discovery: every device lives in the USB device directory
// ($VELT_USBDEVICES, default "$HOME/.velt/usbdevices") as two files sharing a
// stem:
//   <stem>.sock  a listening Unix stream socket
//   <stem>.dev   text, one "key=value" per line, written (atomically, by
//                rename) only once the socket listens:
//                  path=\\?\usb#vid_0483&pid_df11#SN0001#{04c77e93-b54d-4714-ac96-15a62bfa307b}
//                  guid={04C77E93-B54D-4714-AC96-15A62BFA307B}
//                  interface=1   (optional, default 0: the interface the
//                                 path names, for a composite device's
//                                 function; WinUsb_ControlTransfer puts it in
//                                 wIndex of requests to an interface)
// Members of a device-information set are the .dev files whose guid matches,
// in ascending order of stem (byte order). A .dev without a live socket is
// stale and is not a member. The host judges liveness from the kernel's table
// of listening Unix sockets (/proc/net/unix), never by connecting, so looking
// does not occupy a device; bind the socket by its absolute path (a socket
// bound by a relative name is matched by its file name alone).
//
// Connection: the device accepts one host at a time (WinUSB's exclusive
// open). Right after accept it sends one byte: VUSB_GREETING_OK, or
// VUSB_GREETING_BUSY followed by closing the connection when another host
// holds it. The host then sends requests; each gets exactly one reply, in
// order. All integers are little-endian.
#ifndef VELT_USBSOCK_H
#define VELT_USBSOCK_H

#include <stdint.h>

#define VUSB_GREETING_OK   0x01
#define VUSB_GREETING_BUSY 0x00

enum VusbOp : uint8_t {
    VUSB_OP_GET_DESCRIPTOR  = 1, // arg0 = type, arg1 = (index | language << 16); dataLength = wanted bytes
    VUSB_OP_QUERY_INTERFACE = 2, // arg0 = alternate setting; reply: 9-byte interface descriptor
    VUSB_OP_CONTROL         = 3, // setup = the 8-byte setup packet; OUT data follows for host-to-device
    VUSB_OP_SET_PIPE_POLICY = 4, // arg0 = pipe id, arg1 = policy type; 4-byte value follows (dataLength 4)
};

#pragma pack(push, 1)
struct VusbRequest {
    uint32_t sequence;    // echoed by the reply; lets the host drop replies to requests it gave up on
    uint8_t op;           // VusbOp
    uint8_t reserved[3];
    uint32_t arg0;
    uint32_t arg1;
    uint8_t setup[8];     // VUSB_OP_CONTROL only
    uint32_t dataLength;  // OUT: bytes that follow this header; IN: capacity the host offers
};

struct VusbReply {
    uint32_t sequence;
    uint32_t error;       // 0 success, else the Windows error code WinUSB would leave (31 = stall)
    uint32_t dataLength;  // bytes that follow (IN data), never more than the capacity asked for
};
#pragma pack(pop)

static_assert(sizeof(VusbRequest) == 28, "VusbRequest layout");
static_assert(sizeof(VusbReply) == 12, "VusbReply layout");

#endif
