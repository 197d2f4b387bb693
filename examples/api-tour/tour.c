/*
 * dfu-tour: one short use of each family of the VELT_DFU exports, run in
 * order against one device. The API reference shows these functions as
 * its examples.
 *
 *   dfu-tour DEVICE IMAGE READBACK
 *
 * DEVICE is an index of the device list or a device path ("\\.\COM7").
 * The tour lists the devices, opens DEVICE, shows its descriptor or line
 * settings, brings it to dfuIDLE, reads its information record, sends
 * IMAGE and reads the device's image back into READBACK. Exit status 0 when
 * every step succeeded, 1 when one failed, 2 for a usage error.
 */
#include <VELT_DFU.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* [discovery] */
/* Lists every device: its index, kind, USB ids and path. */
static DFU_STATUS ListDevices(void)
{
    uint32_t count = 0;
    DFU_STATUS status = DFU_GetNumDevices(&count);
    for (uint32_t i = 0; status == DFU_STATUS_SUCCESS && i < count; ++i) {
        char path[DFU_PATH_SIZE];
        uint8_t kind = DFU_INTERFACE_USB;
        uint16_t vid = 0, pid = 0;
        if (DFU_GetDevicePath(i, path) != DFU_STATUS_SUCCESS || DFU_GetInterfaceByIndex(i, &kind) != DFU_STATUS_SUCCESS)
            continue; /* gone since the count */
        if (kind == DFU_INTERFACE_USB && DFU_GetVidPid(i, &vid, &pid) == DFU_STATUS_SUCCESS)
            printf("%u usb %04x:%04x %s\n", (unsigned)i, vid, pid, path);
        else
            printf("%u uart %s\n", (unsigned)i, path);
    }
    return status;
}
/* [discovery] */

/* [open] */
/* Opens a device by index of the last count, or by path. */
static DFU_STATUS Open(const char* device, DFU_HANDLE* handle)
{
    if (!isdigit((unsigned char)device[0]))
        return DFU_OpenByDevicePath(handle, device);
    uint32_t count = 0;
    DFU_STATUS status = DFU_GetNumDevices(&count); /* an index means one of this count */
    return status != DFU_STATUS_SUCCESS ? status : DFU_OpenByIndex(handle, (uint32_t)strtoul(device, NULL, 10));
}

/* Closes it; the handle is invalid afterwards, whatever DFU_Close says. */
static void Close(DFU_HANDLE handle)
{
    if (DFU_IsOpened(handle) && DFU_Close(handle) != DFU_STATUS_SUCCESS)
        fprintf(stderr, "dfu-tour: the close reported a failure\n");
}
/* [open] */

/* [settings] */
/* A USB device's ids from its descriptor; a COM port's line, set to a
 * known one. Either way, two seconds for each transfer. */
static DFU_STATUS ShowSettings(DFU_HANDLE handle)
{
    uint8_t kind = DFU_INTERFACE_USB;
    DFU_STATUS status = DFU_GetOpenedInterface(handle, &kind);
    if (status == DFU_STATUS_SUCCESS && kind == DFU_INTERFACE_USB) {
        USB_DEVICE_DESCRIPTOR descriptor;
        status = DFU_GetDeviceDescriptor(handle, &descriptor);
        if (status == DFU_STATUS_SUCCESS)
            printf("usb device %04x:%04x, release %04x\n", descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice);
    } else if (status == DFU_STATUS_SUCCESS) {
        uint32_t baud = 0;
        uint8_t bits = 0, parity = 0, stop = 0, flow = 0;
        /* 8 data bits, the DCB codes NOPARITY (0) and ONESTOPBIT (0), no flow control */
        status = DFU_SetUartConfig(handle, 115200, 8, 0, 0, 0);
        if (status == DFU_STATUS_SUCCESS)
            status = DFU_GetUartConfig(handle, &baud, &bits, &parity, &stop, &flow);
        if (status == DFU_STATUS_SUCCESS)
            printf("uart line %u bit/s, %u data bits\n", (unsigned)baud, bits);
    }
    return status == DFU_STATUS_SUCCESS ? DFU_SetTransferTimeout(handle, 2000) : status;
}
/* [settings] */

/* [requests] */
/* Brings the device to dfuIDLE from where a failed or cancelled transfer
 * left it: CLRSTATUS from dfuERROR, ABORT from the -IDLE states. */
static DFU_STATUS BackToIdle(DFU_HANDLE handle)
{
    DFU_GETSTATUS_RESULT reply;
    DFU_STATUS status = DFU_DfuGetStatus(handle, &reply);
    if (status != DFU_STATUS_SUCCESS)
        return status;
    if (reply.bState == DFU_STATE_DFU_ERROR)
        status = DFU_DfuClearStatus(handle);
    else if (reply.bState == DFU_STATE_DFU_DNLOAD_IDLE || reply.bState == DFU_STATE_DFU_UPLOAD_IDLE)
        status = DFU_DfuAbort(handle);
    uint8_t state = 0;
    if (status == DFU_STATUS_SUCCESS)
        status = DFU_DfuGetState(handle, &state);
    if (status == DFU_STATUS_SUCCESS && state != DFU_STATE_DFU_IDLE)
        status = DFU_STATUS_UNEXPECTED_STATE;
    return status;
}
/* [requests] */

/* [vendor] */
/* The device's information record, then DFU_GETSTATE as a raw control
 * transfer: class request 5 to the interface, one byte in. */
static DFU_STATUS ShowInfo(DFU_HANDLE handle)
{
    DFU_DEVICE_INFO info;
    DFU_STATUS status = DFU_VeltGetInfo(handle, &info);
    if (status != DFU_STATUS_SUCCESS)
        return status;
    printf("info word %04x, value %08x\n", info.infoWord, (unsigned)info.infoValue1);

    WINUSB_SETUP_PACKET setup = { 0xA1, 5, 0, 0, 1 }; /* device to host, class, interface */
    uint8_t state = 0;
    uint32_t moved = 0;
    status = DFU_ControlTransfer(handle, &setup, &state, sizeof state, &moved);
    if (status == DFU_STATUS_SUCCESS)
        printf("state %u (%u byte)\n", state, (unsigned)moved);
    return status;
}
/* [vendor] */

/* [image] */
/* Prints each new ten percent; userData holds the last one printed. */
static int Progress(int32_t percent, int32_t inProgress, int32_t blockIndex, uintptr_t userData)
{
    int32_t* last = (int32_t*)userData;
    (void)blockIndex;
    if (percent / 10 != *last / 10 || !inProgress)
        printf("%3d%%%s\n", (int)percent, inProgress ? "" : " done");
    *last = percent;
    return 1; /* 0 would cancel */
}

/* Sends image in 1024-byte blocks, then reads the device's image back. */
static DFU_STATUS Flash(DFU_HANDLE handle, const char* image, const char* readback)
{
    int32_t last = -10;
    DFU_GETSTATUS_RESULT reply;
    DFU_STATUS status = DFU_DownloadImage(handle, 1024, image, Progress, (uintptr_t)&last, &reply);
    if (status != DFU_STATUS_SUCCESS)
        return status;
    last = -10;
    return DFU_UploadImage(handle, 1024, readback, Progress, (uintptr_t)&last);
}
/* [image] */

/* Runs one step; reports a failure with its status. */
static int Step(const char* what, DFU_STATUS status)
{
    if (status != DFU_STATUS_SUCCESS)
        fprintf(stderr, "dfu-tour: %s failed: status 0x%02X\n", what, status);
    return status == DFU_STATUS_SUCCESS;
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: dfu-tour DEVICE IMAGE READBACK\n");
        return 2;
    }
    DFU_HANDLE handle = NULL;
    int ok = Step("listing the devices", ListDevices()) && Step("opening the device", Open(argv[1], &handle));
    if (!ok)
        return 1;
    ok = Step("the settings", ShowSettings(handle)) && Step("going to dfuIDLE", BackToIdle(handle)) &&
         Step("the device information", ShowInfo(handle)) && Step("the image transfer", Flash(handle, argv[2], argv[3]));
    Close(handle);
    if (ok)
        printf("tour of %s done\n", argv[1]);
    return ok ? 0 : 1;
}
