/*
 * dfu-download: lists the DFU devices the library finds, then sends a raw
 * image to one of them with a progress line per percent.
 *
 *   dfu-download                          list the devices
 *   dfu-download DEVICE IMAGE [BLOCK]     send IMAGE in blocks of BLOCK bytes (default 1024)
 *
 * DEVICE is an index from the list, a COM port name such as COM7, or a
 * device path as the list prints it. Exit status 0 on success, 1 when the
 * library reports a failure, 2 for a usage error.
 */
#include <VELT_DFU.h>

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int ListDevices(void)
{
    uint32_t count = 0;
    DFU_STATUS status = DFU_GetNumDevices(&count);
    if (status != DFU_STATUS_SUCCESS) {
        fprintf(stderr, "dfu-download: cannot count the devices: status 0x%02X\n", status);
        return 1;
    }
    printf("%u device(s)\n", (unsigned)count);
    for (uint32_t i = 0; i < count; ++i) {
        char path[DFU_PATH_SIZE];
        uint8_t kind = DFU_INTERFACE_USB;
        if (DFU_GetDevicePath(i, path) != DFU_STATUS_SUCCESS ||
            DFU_GetInterfaceByIndex(i, &kind) != DFU_STATUS_SUCCESS)
            continue; /* gone since the count */
        uint16_t vid = 0, pid = 0;
        if (kind == DFU_INTERFACE_USB && DFU_GetVidPid(i, &vid, &pid) == DFU_STATUS_SUCCESS)
            printf("%u  usb   %04x:%04x  %s\n", (unsigned)i, vid, pid, path);
        else
            printf("%u  uart             %s\n", (unsigned)i, path);
    }
    return 0;
}

static int IsIndex(const char* text)
{
    if (!*text)
        return 0;
    for (; *text; ++text)
        if (!isdigit((unsigned char)*text))
            return 0;
    return 1;
}

static DFU_STATUS Open(const char* device, DFU_HANDLE* handle)
{
    if (IsIndex(device)) {
        uint32_t count = 0; /* an index means one of the last count */
        DFU_STATUS status = DFU_GetNumDevices(&count);
        return status != DFU_STATUS_SUCCESS ? status : DFU_OpenByIndex(handle, (uint32_t)strtoul(device, NULL, 10));
    }
    if (strncmp(device, "COM", 3) == 0) {
        char path[DFU_PATH_SIZE];
        snprintf(path, sizeof path, "\\\\.\\%s", device);
        return DFU_OpenByDevicePath(handle, path);
    }
    return DFU_OpenByDevicePath(handle, device);
}

/* One line each time the percentage moves; userData holds the last one. */
static int Progress(int32_t percent, int32_t inProgress, int32_t blockIndex, uintptr_t userData)
{
    int32_t* last = (int32_t*)userData;
    (void)blockIndex;
    if (percent != *last || !inProgress) {
        printf("%3d%%%s\n", (int)percent, inProgress ? "" : " done");
        fflush(stdout);
        *last = percent;
    }
    return 1;
}

int main(int argc, char** argv)
{
    if (argc == 1)
        return ListDevices();
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: dfu-download [DEVICE IMAGE [BLOCK]]\n");
        return 2;
    }
    unsigned long block = argc == 4 ? strtoul(argv[3], NULL, 10) : 1024;
    if (block == 0 || block > 65535) {
        fprintf(stderr, "dfu-download: BLOCK must be 1 to 65535\n");
        return 2;
    }

    DFU_HANDLE handle = NULL;
    DFU_STATUS status = Open(argv[1], &handle);
    if (status != DFU_STATUS_SUCCESS) {
        fprintf(stderr, "dfu-download: cannot open %s: status 0x%02X\n", argv[1], status);
        return 1;
    }
    int32_t last = -1;
    DFU_GETSTATUS_RESULT reply;
    memset(&reply, 0, sizeof reply);
    status = DFU_DownloadImage(handle, (uint16_t)block, argv[2], Progress, (uintptr_t)&last, &reply);
    DFU_Close(handle);
    if (status != DFU_STATUS_SUCCESS) {
        fprintf(stderr, "dfu-download: download to %s failed: status 0x%02X (device status %u, state %u)\n",
                argv[1], status, reply.bStatus, reply.bState);
        return 1;
    }
    printf("downloaded %s to %s\n", argv[2], argv[1]);
    return 0;
}
