/* The firmware-update library for the Marlo dongle: writes a firmware image into the device
 * over USB HID. Plain C interface; every status is an int, 0 = success, -1 = failure with the
 * reason in hidDfuGetLastError(). The library reaches the device only through the hid_*
 * functions of the executable that loads it.
 *
 * Use: hidDfuConnect, then hidDfuUpgradeBin, which checks the image, asks the device to
 * accept it and returns while a thread of the library writes it; poll hidDfuGetProgress
 * until it reads 100 or more, then read the outcome with hidDfuGetResult. Progress 0-94
 * covers the device's erase, the transfer and the device's verification, 95-99 the device
 * restarting into the new image and confirming it, 100 or more means finished. The device
 * keeps its old image bootable until the new one has been verified, starts the new one on
 * trial and goes back to the old one unless the library confirms it, so stopping at any
 * point leaves it working. Only images signed with the key the executable provides, made for
 * the connected device and not below its security counter are sent.
 *
 * No call waits for the device longer than its bound, whatever the device does: 200 ms for
 * hidDfuConnect, 800 ms for hidDfuUpgradeBin's header and start requests, 500 ms for the
 * others (see docs/protocol.md). */
#ifndef HIDDFU_HIDDFU_H
#define HIDDFU_HIDDFU_H

#define HIDDFU_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the device with the given USB ids whose HID interface has the given usage and usage
 * page (0 matches any), closing a connection that was open; of several such devices, the one
 * with the lowest serial number. An upgrade follows that device, by its serial number, and
 * no other. `reserved` may be NULL and is not used. Fails while an upgrade is running. */
HIDDFU_API int hidDfuConnect(unsigned short vendorId, unsigned short productId,
                             unsigned short usage, unsigned short usagePage, int* reserved);

/* Closes the connection; 0 also when nothing is open. A running upgrade is cancelled first
 * (the device stays on its old image) and finishes with a failure. */
HIDDFU_API int hidDfuDisconnect(void);

/* Checks the image file at `path` (narrow text, system code page: opened by its name in
 * the file system's encoding, named in texts as given), asks the connected device to accept
 * it and starts writing it on a thread of the library. Returns once the device has taken
 * it; 0 means the write has started. */
HIDDFU_API int hidDfuUpgradeBin(const char* path);

/* Progress of the last upgrade in percent; 100 or more means it has finished. */
HIDDFU_API unsigned char hidDfuGetProgress(void);

/* Outcome of the finished upgrade: 0 when the device restarted running the image's version. */
HIDDFU_API int hidDfuGetResult(void);

/* NUL-terminated English text of the last failure ("" before any), in the system code page;
 * paths appear as the bytes they were given. Valid until the calling thread calls this
 * function again. */
HIDDFU_API const char* hidDfuGetLastError(void);

/* The version of the firmware that the connected device is running. */
HIDDFU_API int hidDfuGetVersion(unsigned short* major, unsigned short* minor,
                                unsigned short* release, unsigned short* build);

/* Describes the firmware in the connected device's slots as NUL-terminated text, e.g.
 * "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)". `*length` is the buffer's size on
 * entry and the text's length without NUL on return; when the buffer is too small the call
 * fails and sets `*length` to the size needed. `flags` must be 0. */
HIDDFU_API int hidDfuGetFirmwareVersions(char* buffer, int* length, int flags);

/* Which device the connection is to, as NUL-terminated text cut to `length` bytes: its
 * serial number and node, then the other matching devices that were present ("MRL000001 at
 * /dev/hidraw3; also present: MRL000002 at /dev/hidraw5"). Returns how many matching
 * devices were present (1 when it was alone), or -1 when not connected. */
HIDDFU_API int hidDfuGetDeviceChoice(char* buffer, int length);

#ifdef __cplusplus
}
#endif

#endif /* HIDDFU_HIDDFU_H */
