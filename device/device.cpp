#include "device/device.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <string_view>

#include "hiddfu/hiddfu.h"
#include "support/log.h"

#ifndef ZAV_USB_VID
#error "ZAV_USB_VID must be defined by the build"
#endif
#ifndef ZAV_USB_PID
#error "ZAV_USB_PID must be defined by the build"
#endif

// The key the library checks images with (cmake/ZavSigning.cmake); weak, as the library's own
// reference to it: an executable may give none.
extern "C" __attribute__((weak)) const unsigned char zav_trusted_image_key[32];

namespace {

// An Ed25519 public key's DER form is this prefix and the 32 key bytes.
constexpr char kEd25519DerPrefix[] = "\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00";

// The log prefixes, as code page 936 bytes whatever the locale:
constexpr std::string_view kConnectError =
    "[\xC9\xE8\xB1\xB8\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3] ";  // [设备连接错误]
constexpr std::string_view kDisconnectError =
    "[\xC9\xE8\xB1\xB8\xB6\xCF\xBF\xAA\xB4\xED\xCE\xF3] ";  // [设备断开错误]
constexpr std::string_view kUpgradeStart = "[\xBF\xAA\xCA\xBC\xC9\xFD\xBC\xB6] ";  // [开始升级]
constexpr std::string_view kUpgradeError =
    "[\xC9\xE8\xB1\xB8\xC9\xFD\xBC\xB6\xB4\xED\xCE\xF3] ";  // [设备升级错误]
constexpr std::string_view kVersionError =
    "[\xBB\xF1\xC8\xA1\xB0\xE6\xB1\xBE\xB4\xED\xCE\xF3] ";  // [获取版本错误]

constexpr unsigned short kUsage = 1;
constexpr unsigned short kUsagePage = 0xFF00;
constexpr int kVersionsBufferSize = 100;
constexpr int kChoiceBufferSize = 512;

std::string LibraryError() {
  const char* text = hidDfuGetLastError();
  return text ? text : "";
}

int Checked(int status, std::string_view prefix) {
  if (status == 0)
    return 0;
  LogLine(prefix, LibraryError());
  return -1;
}

// With several dongles plugged in, says which one the connection took; once, not at every
// probe, until the choice or the set of dongles changes.
void LogDeviceChoice() {
  static std::string logged;
  char text[kChoiceBufferSize] = {};
  if (hidDfuGetDeviceChoice(text, kChoiceBufferSize) <= 1) {
    logged.clear();
    return;
  }
  if (logged != text) {
    logged = text;
    LogLine("dongle=", logged);
  }
}

}  // namespace

int DfuConnect() {
  int reserved = 0;
  const int status = Checked(hidDfuConnect(ZAV_USB_VID, ZAV_USB_PID, kUsage, kUsagePage, &reserved),
                             kConnectError);
  if (status == 0)
    LogDeviceChoice();
  return status;
}

int DfuDisconnect() {
  return Checked(hidDfuDisconnect(), kDisconnectError);
}

int DfuUpgrade(const std::string& path) {
  LogLine(kUpgradeStart, path);
  return Checked(hidDfuUpgradeBin(path.c_str()), kUpgradeError);
}

unsigned char DfuProgress() {
  return hidDfuGetProgress();
}

int DfuCheckResult() {
  return Checked(hidDfuGetResult(), kUpgradeError);
}

std::string DfuLastError() {
  std::string text = LibraryError();
  LogLine("errorMsg=", text);
  return text;
}

std::string DfuReadVersions() {
  unsigned short major = 0, minor = 0, release = 0, build = 0;
  if (hidDfuGetVersion(&major, &minor, &release, &build) == 0) {
    LogLine("major=", major, ", minor=", minor, ", release=", release, ", build=", build);
  } else {
    LogLine(kVersionError, LibraryError());
  }

  if (DfuConnect() != 0)
    return {};

  // Zeroed and terminated by us, so the text is sound whatever the library wrote.
  char buffer[kVersionsBufferSize] = {};
  int length = kVersionsBufferSize;
  std::string text;
  if (hidDfuGetFirmwareVersions(buffer, &length, 0) == 0) {
    buffer[kVersionsBufferSize - 1] = '\0';
    text = buffer;
    LogLine("version=", text);
  } else {
    LogLine(kVersionError, LibraryError());
  }

  DfuDisconnect();
  return text;
}

std::string TrustedKeyFingerprint() {
  const unsigned char* key = zav_trusted_image_key;
  if (key == nullptr)
    return {};
  QByteArray der(kEd25519DerPrefix, sizeof kEd25519DerPrefix - 1);
  der.append(reinterpret_cast<const char*>(key), 32);
  return QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex().toStdString();
}
