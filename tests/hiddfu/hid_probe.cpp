// A bare executable with a hid_* backend linked in by zav_link_hid_backend(): the update
// library, loaded with it, must find its hid_* functions there. Prints what it found.
#include <cstdio>

#include "hiddfu/hiddfu.h"

int main() {
  int reserved = 0;
  const int status = hidDfuConnect(ZAV_USB_VID, ZAV_USB_PID, 1, 0xFF00, &reserved);
  std::printf("connect=%d error=%s\n", status, hidDfuGetLastError());
  hidDfuDisconnect();
  return 0;
}
