// What the download knows of the firmware image format (docs/image-format.md): whether a file
// is an image of ours, and whether a downloaded one is the file the service announced.
// Internal to service/; the update library checks the image itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The four numbers of an image's firmware version.
struct ImageVersion {
  std::uint16_t major = 0, minor = 0, release = 0, build = 0;
  std::string ToString() const;
};

// The service's "version" for an image version: major·1 000 000 + minor·10 000 +
// release·100 + build ("1.2.0.7" is 1020007). nullopt when minor, release or build is above
// 99, or the sum above the 32-bit range: no integer of the service names that image.
std::optional<std::int32_t> ServiceVersionOf(const ImageVersion& version);

// Whether the open file `fd` begins as an image of ours does (its magic).
bool IsFirmwareImage(int fd);

// What the service's answer announced of the file.
struct AnnouncedFile {
  std::int32_t fileSize = 0;
  std::int32_t version = 0;
};

// Whether the open file `fd`, `length` bytes long, is the image announced: that long, and of
// that version. Otherwise writes a log line naming the member that disagrees.
bool IsAnnouncedFile(int fd, std::uint64_t length, const AnnouncedFile& announced);
// The log line of a file that went on beyond the announced size.
void LogLongerThanAnnounced(const AnnouncedFile& announced);
