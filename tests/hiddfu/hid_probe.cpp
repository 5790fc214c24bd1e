// A bare executable with a hid_* backend linked in by zav_link_hid_backend(): the update
// library, loaded with it, must find its hid_* functions there. Prints what it found.
#include <cstdio>

#include "hiddfu/hiddfu.h"

int main() {
  int reserved = 0;
  // Up to three tries: on a loaded machine the first, in a cold process, may pass the
  // connection's time limit; what counts here is which hid_* functions it found.
  int status = -1;
  for (int attempt = 0; attempt < 3 && status != 0; ++attempt)
    status = hidDfuConnect(ZAV_USB_VID, ZAV_USB_PID, 1, 0xFF00, &reserved);
  std::printf("connect=%d error=%s\n", status, hidDfuGetLastError());
  hidDfuDisconnect();
  return 0;
}
