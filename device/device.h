// The device link: thin functions over the firmware-update library (hiddfu/hiddfu.h). Each
// returns 0 when the library reported success and -1 otherwise, and logs its failures
// with a bracketed prefix and the library's error text. Call from the GUI thread.
#pragma once

#include <string>

// Opens the Marlo dongle (the build's USB ids, usage 1 on usage page 0xFF00); with several
// plugged in, the one with the lowest serial number, and logs "dongle=" which one.
int DfuConnect();
// Closes it; succeeds when nothing is open.
int DfuDisconnect();
// Starts writing the firmware file at `path` (system code page) and returns at once.
int DfuUpgrade(const std::string& path);
// The progress of the write in percent (the library's figure, unlogged); 100 or more means
// it has finished.
unsigned char DfuProgress();
// The outcome of the finished write.
int DfuCheckResult();
// The library's last error text (system code page); logs it as "errorMsg=".
std::string DfuLastError();
// Logs the running version and the firmware slots of the connected device; returns the
// slot text, or empty text when it could not be read.
std::string DfuReadVersions();

// The SHA-256 fingerprint of the image signing key that this executable gives the library,
// whose signatures it accepts: 64 lower-case hex digits over the key's DER form, as
// `openssl pkey -pubin -in key.pub.pem -outform DER | sha256sum` shows it. Empty when the
// executable gives none.
std::string TrustedKeyFingerprint();
