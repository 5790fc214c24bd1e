// The update library through its C interface, against the virtual dongle.
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <fstream>
#include <regex>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/hiddfu/fixture.h"

namespace {

using namespace std::chrono_literals;
using VirtualDongle::Faults;

constexpr std::uint32_t kSize = 62 * 40 + 17;  // 41 data reports, the last one short
constexpr std::uint32_t kReports = 41;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The image bytes with one change applied.
std::string Patched(std::string image, std::size_t at, char value) {
  image[at] = value;
  return image;
}

class Library : public DeviceTest {
 protected:
  // Connects, starts, waits for the end; returns the progress values seen.
  std::vector<int> Upgrade(const std::string& path) {
    EXPECT_EQ(ConnectDongle(), 0) << LastError();
    EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
    return PollToEnd();
  }

  void ExpectRunning(hiddfu::FirmwareVersion version, int slot, const std::string& path) {
    EXPECT_EQ(VirtualDongle::ActiveSlot(), slot);
    EXPECT_EQ(VirtualDongle::RunningVersion(), version);
    const VirtualDongle::Slot s = VirtualDongle::GetSlot(slot);
    EXPECT_TRUE(s.verified && s.bootable);
    std::string error;
    const auto image = hiddfu::CheckImageFile(path, &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(s.digest, image->header.sha256) << "the dongle received other bytes";
  }
};

TEST_F(Library, ProbeFindsTheUpdateInterfaceAndTellsWhenTheDongleIsAbsent) {
  EXPECT_EQ(hidDfuDisconnect(), 0) << "disconnect with nothing open";
  EXPECT_EQ(ConnectDongle(), 0) << LastError();
  EXPECT_EQ(hidDfuDisconnect(), 0);
  EXPECT_EQ(hidDfuDisconnect(), 0);

  // The media-key interface is listed first and never answers: asking for it by usage
  // shows that the library opens what it is asked for, and gives up in bounded time.
  int reserved = 0;
  EXPECT_EQ(hidDfuConnect(kVid, kPid, 1, 0x000C, &reserved), -1);
  EXPECT_EQ(LastError(), "device not responding");

  VirtualDongle::Unplug();
  EXPECT_EQ(ConnectDongle(), -1);
  EXPECT_EQ(LastError(),
            "device not found (VID 0x1209, PID 0x0001, usage page 0xFF00, usage 0x0001)");
  EXPECT_EQ(hidDfuConnect(0x1234, kPid, 1, 0xFF00, nullptr), -1);
  VirtualDongle::Plug();
  EXPECT_EQ(ConnectDongle(), 0) << LastError();
}

TEST_F(Library, UpgradeInstallsTheImageAndTheNextOneGoesToTheOtherSlot) {
  const std::string first = Image(kSize);
  const std::uint16_t boots = VirtualDongle::BootCount();
  const auto seen = Upgrade(first);
  ExpectFinishedMonotonic(seen);
  EXPECT_EQ(seen.back(), 100);
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  ExpectRunning(kNewVersion, 1, first);
  EXPECT_EQ(VirtualDongle::BootCount(), boots + 1);
  EXPECT_TRUE(VirtualDongle::GetSlot(0).bootable) << "the old image is the fallback";

  // Still connected afterwards, to the restarted device.
  unsigned short v[4] = {};
  ASSERT_EQ(hidDfuGetVersion(&v[0], &v[1], &v[2], &v[3]), 0) << LastError();
  EXPECT_EQ((std::vector<int>{v[0], v[1], v[2], v[3]}), (std::vector<int>{1, 2, 0, 7}));
  char text[100];
  int length = sizeof text;
  ASSERT_EQ(hidDfuGetFirmwareVersions(text, &length, 0), 0) << LastError();
  EXPECT_STREQ(text, "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)");
  EXPECT_EQ(length, static_cast<int>(std::strlen(text)));

  const std::string second = Image(5000, {2, 0, 0, 1}, 9, "second.bin");
  ExpectFinishedMonotonic(Upgrade(second));
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  ExpectRunning({2, 0, 0, 1}, 0, second);
  EXPECT_EQ(VirtualDongle::GetSlot(1).version, kNewVersion);
}

TEST_F(Library, ProgressClimbsThroughEveryPhaseAtFullSpeed) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  VirtualDongle::SetRestartDelay(300ms);
  const std::string path = Image(62 * 200);
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
  const auto seen = PollToEnd(10s, 2ms);
  ExpectFinishedMonotonic(seen);
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  auto saw = [&](int low, int high) {
    return std::any_of(seen.begin(), seen.end(), [&](int p) { return p >= low && p <= high; });
  };
  EXPECT_TRUE(saw(1, 93)) << "no transfer progress was seen";
  EXPECT_TRUE(saw(95, 99)) << "the restart phase was not seen";
}

// Erasing and reading back take longer than every command's reply periods together: the
// host waits as the dongle reports the work, the progress bar moves through it, and a
// start request asked again (its reply lost, or to learn how the erase goes) never begins
// the erase again. START waits for the first block only; the dongle erases the others as
// the data reaches them, the flash then slower than the link.
TEST_F(Library, LongDeviceWorkIsWaitedForAndNeverBegunAgain) {
  VirtualDongle::SetFlashTiming({4096, 300ms, 20ms});  // 6 blocks: 1.8 s to erase, 120 ms to read
  VirtualDongle::SetFaults(With(&Faults::dropStartReply, true));
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuUpgradeBin(Image(6 * 4096).c_str()), 0) << LastError();
  const auto seen = PollToEnd();
  ExpectFinishedMonotonic(seen);
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  EXPECT_EQ(VirtualDongle::GetStats().erases, 1u);
  const VirtualDongle::Timeline t = VirtualDongle::GetTimeline();
  EXPECT_GE(t.erased - t.started, 300ms);
  EXPECT_LT(t.firstData - t.started, 900ms) << "the data waited for more than the first block";
  EXPECT_GE(t.verified - t.started, 1800ms + 120ms) << "a block was written unerased";
  // The first block is 300 of the 300 + 1500 + 120 ms of work: its share of 0..94 is 14; the
  // transfer, paced by the erase of the other blocks, takes the figure on from there.
  EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 14 && p < 60; }))
      << "the progress did not move while the flash paced the transfer";
}

// The library refuses what the dongle would refuse, and what it cannot check itself: before
// the device is asked for anything.
TEST_F(Library, ImageProblemsAreRefusedBeforeTheDeviceIsTouched) {
  const std::string payload(3000, 'x');
  auto made = [&](void (*change)(hiddfu::ImageHeader&),
                  const hiddfu::SigningKey& key = hiddfu::DemoSigningKey()) {
    hiddfu::ImageHeader fields;
    fields.version = kNewVersion;
    fields.securityCounter = 5;  // the dongle's, below
    change(fields);
    return hiddfu::MakeImageBytes(payload, fields, key);
  };
  const std::string good = made([](hiddfu::ImageHeader&) {});
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;  // regular expression
  };
  const std::vector<Case> cases = {
      {"short.bin", good.substr(0, 40), "image header invalid: the file holds only 40 bytes"},
      {"magic.bin", Patched(good, 0, 'X'), "image header invalid: bad magic"},
      {"format.bin", Patched(good, 4, 1),
       "image header invalid: unsupported format version 1 \\(an unsigned image\\)"},
      {"changed.bin", Patched(good, 9, 5),
       "image signature invalid: the image is not signed "
       "with the key this tool trusts"},
      {"rogue.bin", made([](hiddfu::ImageHeader&) {}, hiddfu::SigningKey::Generate()),
       "image signature invalid"},
      {"product.bin", made([](hiddfu::ImageHeader& h) { h.product = 2; }),
       "image not for this device: it is made for product 0x0002, the device is product 0x0001"},
      {"revision.bin", made([](hiddfu::ImageHeader& h) { h.hardwareRevision = 3; }),
       "image not for this device: it is made for hardware revision 3, the device is revision 1"},
      {"rollback.bin", made([](hiddfu::ImageHeader& h) { h.securityCounter = 4; }),
       "image refused: its security counter 4 is below the device's 5"},
      {"truncated.bin", good.substr(0, good.size() - 1),
       "image truncated: 2999 of 3000 payload bytes present"},
      {"trailing.bin", good + "zz", "image invalid: 2 bytes follow the payload"},
      {"corrupt.bin", Patched(good, 128 + 1234, 'y'),
       "image corrupt: the payload does not match the SHA-256 in its header"},
  };
  VirtualDongle::SetSecurityCounter(5);
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = PathOf(c.name);
    WriteFile(path, c.bytes);
    EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
    EXPECT_TRUE(std::regex_search(LastError(), std::regex(c.error))) << LastError();
    EXPECT_NE(LastError().find(path), std::string::npos) << "the message names the file";
  }
  EXPECT_EQ(hidDfuUpgradeBin(PathOf("missing.bin").c_str()), -1);
  EXPECT_EQ(LastError(), "firmware file not found: " + PathOf("missing.bin"));
  EXPECT_EQ(hidDfuUpgradeBin(dir_.path().c_str()), -1);
  EXPECT_EQ(LastError(), "firmware file is not a regular file: " + dir_.path().string());
  // A FIFO would block a plain open() for ever.
  const std::string fifo = PathOf("fifo.bin");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(hidDfuUpgradeBin(fifo.c_str()), -1);
  EXPECT_EQ(LastError(), "firmware file is not a regular file: " + fifo);
  EXPECT_EQ(hidDfuUpgradeBin(nullptr), -1);
  EXPECT_EQ(LastError(), "no firmware file given");

  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
  ExpectOnFactoryImage();
}

// Hashing what the header claims would take seconds: the claim is checked first.
TEST_F(Library, AnOversizedClaimIsRefusedBeforeTheHash) {
  hiddfu::ImageHeader header;
  header.version = kNewVersion;
  header.payloadSize = 0xFFFFFFFF;
  const auto bytes = hiddfu::SignHeader(header, hiddfu::DemoSigningKey());
  const std::string path = PathOf("huge.bin");
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(truncate(path.c_str(), 128 + 0xFFFFFFFFll), 0);  // sparse: costs no disk
  ASSERT_EQ(ConnectDongle(), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_EQ(LastError(),
            "image too large for the device: 4294967295 bytes, a firmware slot holds 16777216");
}

// A node that will not open is told by its errno, never by hidapi's message, which follows
// the locale (run under C.UTF-8, zh_CN.UTF-8 and zh_CN.GBK). The text names the node and
// what to do.
TEST_F(Library, OpenFailuresAreToldByErrnoInEveryLocale) {
  struct LocaleFromEnvironment {
    std::string saved = setlocale(LC_ALL, nullptr);
    LocaleFromEnvironment() { setlocale(LC_ALL, ""); }
    ~LocaleFromEnvironment() { setlocale(LC_ALL, saved.c_str()); }
  } locale;
  const std::string node = "cannot open the device virtual-dongle:1: ";
  const std::string access =
      "permission denied; the udev rule 70-zav-marlo.rules installed with the tool gives the "
      "logged-in user access: run `udevadm trigger` as root or replug the dongle";
  const std::pair<int, std::string> cases[] = {
      {EACCES, access},
      {EPERM, access},
      {EBUSY, "it is busy; close any other program that uses the dongle, or replug it"},
      {ENOENT, "it is gone; replug the dongle"},
      {ENODEV, "it is gone; replug the dongle"},
      {EIO, "Input/output error"},
  };
  for (const auto& [err, text] : cases) {
    SCOPED_TRACE(err);
    VirtualDongle::SetFaults(With(&Faults::openErrno, err));
    EXPECT_EQ(ConnectDongle(), -1);
    EXPECT_EQ(LastError(), node + text);
  }
  // A hidraw node is opened by the library itself first, to learn its errno for sure.
  VirtualDongle::SetFaults({});
  const std::string hidraw = PathOf("hidraw7");
  VirtualDongle::SetNodePath(hidraw);
  EXPECT_EQ(ConnectDongle(), -1);
  EXPECT_EQ(LastError(), "cannot open the device " + hidraw + ": it is gone; replug the dongle");
  WriteFile(hidraw, "");
  EXPECT_EQ(ConnectDongle(), 0) << LastError();
}

TEST_F(Library, UnreadableFileIsRefused) {
  if (geteuid() == 0)
    GTEST_SKIP() << "root reads every file";
  const std::string path = Image(1000);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  ASSERT_EQ(ConnectDongle(), 0);
  EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
  EXPECT_EQ(LastError(), "firmware file not readable (permission denied): " + path);
}

TEST_F(Library, PathsPassThroughAsTheirBytes) {
  // "升级.bin" in code page 936: the library neither converts nor mangles a path.
  const std::string name = "\xC9\xFD\xBC\xB6.bin";
  const std::string path = Image(2000, kNewVersion, 3, name);
  ExpectFinishedMonotonic(Upgrade(path));
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
}

TEST_F(Library, MisuseAndAnImageBeyondTheSlotFailTheStart) {
  const std::string path = Image(kSize);
  EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
  EXPECT_EQ(LastError(), "not connected to the device");
  EXPECT_EQ(hidDfuGetResult(), -1);
  EXPECT_EQ(LastError(), "no upgrade has been started");

  VirtualDongle::SetSlotCapacity(2000);
  ASSERT_EQ(ConnectDongle(), 0);  // the library learns the capacity when it connects
  EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
  EXPECT_EQ(LastError(), "image too large for the device: 2497 bytes, a firmware slot holds 2000");
  ExpectOnFactoryImage();
}

TEST_F(Library, CallsThatWouldDisturbARunningUpgradeAreRefused) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  const std::string path = Image(62 * 400);
  ASSERT_EQ(ConnectDongle(), 0);
  ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
  EXPECT_EQ(hidDfuUpgradeBin(path.c_str()), -1);
  EXPECT_EQ(LastError(), "an upgrade is already in progress");
  EXPECT_EQ(ConnectDongle(), -1);
  EXPECT_EQ(LastError(), "an upgrade is in progress");
  unsigned short v[4];
  EXPECT_EQ(hidDfuGetVersion(&v[0], &v[1], &v[2], &v[3]), -1);
  EXPECT_EQ(hidDfuGetResult(), -1);
  EXPECT_EQ(LastError(), "the upgrade is still running");
  ExpectFinishedMonotonic(PollToEnd());
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
}

TEST_F(Library, FirmwareVersionsArgumentsAreChecked) {
  char text[100];
  int length = sizeof text;
  EXPECT_EQ(hidDfuGetFirmwareVersions(text, &length, 0), -1);
  EXPECT_EQ(LastError(), "not connected to the device");
  ASSERT_EQ(ConnectDongle(), 0);
  EXPECT_EQ(hidDfuGetFirmwareVersions(text, &length, 1), -1);
  EXPECT_EQ(LastError(), "unsupported flags 1");
  EXPECT_EQ(hidDfuGetFirmwareVersions(nullptr, &length, 0), -1);
  length = 10;
  EXPECT_EQ(hidDfuGetFirmwareVersions(text, &length, 0), -1);
  EXPECT_EQ(length, 39);
  EXPECT_EQ(LastError(), "buffer too small: 39 bytes needed");
  EXPECT_EQ(hidDfuGetFirmwareVersions(text, &length, 0), 0);
  EXPECT_STREQ(text, "running 1.0.0.0 (slot 0); slot 1 empty");
  EXPECT_EQ(hidDfuGetVersion(nullptr, nullptr, nullptr, nullptr), -1);
}

// The file is rewritten in place after the library checked it: what goes out is not what the
// header announced, and the library's digest of what it sent finds it before the dongle is
// asked to verify, whose failure would blame the link.
TEST_F(Library, AFileRewrittenDuringTheWriteFailsSayingSo) {
  VirtualDongle::SetFlashTiming({4096, 200ms, 0ms});  // the erase leaves time to rewrite it
  const std::string path = Image(kSize);
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
  {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(128 + 100);
    file.write("rewritten", 9);
  }
  ExpectFinishedMonotonic(PollToEnd());
  EXPECT_EQ(hidDfuGetResult(), -1);
  EXPECT_EQ(LastError(),
            "firmware file changed during the write: the bytes sent do not match the SHA-256 in "
            "its header at 93 %");
  EXPECT_EQ(VirtualDongle::GetStats().aborts, 1u);
  ExpectOnFactoryImage();
}

// Also where the host's kernel keeps the node a while after the cable is pulled, and the
// writes meanwhile fail on the bus: still a disconnect, not a device that stopped responding.
TEST_F(Library, UnplugAnywhereInTheWriteLeavesTheOldImage) {
  const std::string path = Image(kSize);
  for (std::uint32_t at : {1u, 61u, 62u, 63u, 124u, kSize / 2, kSize - 1, kSize}) {
    const bool lingers = at == 62u || at == kSize / 2;
    SCOPED_TRACE("unplugged at byte " + std::to_string(at) + (lingers ? ", node lingers" : ""));
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    if (lingers)
      VirtualDongle::SetDisconnectDelay(VirtualDongle::kDisconnectNoticed);
    VirtualDongle::SetFaults(With(&Faults::unplugAtByte, at));
    const auto seen = Upgrade(path);
    ExpectFinishedMonotonic(seen);
    EXPECT_EQ(hidDfuGetResult(), -1);
    std::smatch m;
    const std::string text = LastError();
    ASSERT_TRUE(std::regex_match(text, m, std::regex("device disconnected at ([0-9]+) %"))) << text;
    EXPECT_LE(std::stoi(m[1]), 93);
    EXPECT_FALSE(VirtualDongle::IsPlugged());
    VirtualDongle::Plug();
    ExpectOnFactoryImage();
  }
}

// Link faults: each is recovered without failing the upgrade.
struct LinkFault {
  const char* name;
  Faults faults;
  std::uint32_t VirtualDongle::Stats::*evidence;  // a counter the fault must raise
};

class LinkFaults : public Library, public testing::WithParamInterface<LinkFault> {};

TEST_P(LinkFaults, AreRecoveredWithoutAFailedUpgrade) {
  VirtualDongle::SetFaults(GetParam().faults);
  const std::string path = Image(kSize);
  ExpectFinishedMonotonic(Upgrade(path));
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  ExpectRunning(kNewVersion, 1, path);
  if (GetParam().evidence) {
    EXPECT_GT(VirtualDongle::GetStats().*(GetParam().evidence), 0u) << "the fault did not strike";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Device, LinkFaults,
    testing::Values(
        LinkFault{"drop_first", With(&Faults::dropData, 0u), &VirtualDongle::Stats::gaps},
        LinkFault{"drop_middle", With(&Faults::dropData, 20u), &VirtualDongle::Stats::gaps},
        // The last report lost leaves no later one to reveal the gap: only the silence does.
        LinkFault{"drop_last", With(&Faults::dropData, kReports - 1), nullptr},
        LinkFault{"duplicate_first", With(&Faults::duplicateData, 0u),
                  &VirtualDongle::Stats::duplicates},
        LinkFault{"duplicate_last", With(&Faults::duplicateData, kReports - 1),
                  &VirtualDongle::Stats::duplicates},
        LinkFault{"corrupt_first", With(&Faults::corruptData, 0u), &VirtualDongle::Stats::damaged},
        LinkFault{"corrupt_middle", With(&Faults::corruptData, 17u),
                  &VirtualDongle::Stats::damaged},
        LinkFault{"corrupt_last", With(&Faults::corruptData, kReports - 1),
                  &VirtualDongle::Stats::damaged},
        LinkFault{"lose_ack", With(&Faults::dropAck, 3u), nullptr},
        LinkFault{"lose_last_ack", With(&Faults::dropAck, kReports - 1),
                  &VirtualDongle::Stats::duplicates},
        LinkFault{"corrupt_ack", With(&Faults::corruptAck, 5u), nullptr},
        LinkFault{"lose_start_reply", With(&Faults::dropStartReply, true), nullptr},
        LinkFault{"lose_verify_reply", With(&Faults::dropVerifyReply, true), nullptr},
        LinkFault{"lose_activate_reply", With(&Faults::dropActivateReply, true), nullptr},
        // Late beyond two reply periods: the host asks again and finds it committed.
        LinkFault{"late_activate_reply",
                  With(&Faults::activateReplyDelay, 120ms),  // 3 reply periods
                  nullptr}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Library, ACompletionFigureAbove100IsPassedOn) {
  for (std::uint8_t figure : {101, 255}) {
    SCOPED_TRACE(figure);
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetFaults(With(&Faults::completionFigure, figure));
    const auto seen = Upgrade(Image(kSize));
    ExpectFinishedMonotonic(seen);
    EXPECT_EQ(seen.back(), figure);
    EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  }
}

// The host goes quiet during the restart (the tool killed, the machine gone): nobody
// confirms, and the watchdog takes the dongle back to its old image.
TEST_F(Library, AHostGoneBeforeTheConfirmationLeavesTheOldImage) {
  VirtualDongle::SetTrialWatchdog(300ms);
  VirtualDongle::SetRestartDelay(200ms);
  ASSERT_EQ(ConnectDongle(), 0);
  ASSERT_EQ(hidDfuUpgradeBin(Image(kSize).c_str()), 0) << LastError();
  WaitForProgress(95);
  EXPECT_EQ(hidDfuDisconnect(), 0);
  EXPECT_EQ(hidDfuGetResult(), -1);
  EXPECT_TRUE(std::regex_match(LastError(), std::regex("upgrade cancelled at 9[5-8] %; without "
                                                       "confirmation the device goes back to "
                                                       "its old image")))
      << LastError();
  std::this_thread::sleep_for(200ms);  // the restart ends: the image runs on trial
  ASSERT_TRUE(WaitSettled());
  ExpectOnFactoryImage();
  EXPECT_EQ(VirtualDongle::GetStats().reverts, 1u);
}

// Closing the tool mid-write, or while the dongle restarts: exit() runs while the worker
// writes or waits. The process must end normally and promptly, and the dongle still boots
// its old image, at once or once its watchdog has given up the unconfirmed new one.
char g_childDir[4096];

void ExitAt(unsigned progress, const std::filesystem::path& dir, const std::string& path) {
  std::snprintf(g_childDir, sizeof g_childDir, "%s", dir.c_str());
  std::atexit([] {  // runs after the library's own exit handler
    WaitSettled();
    std::fprintf(stderr, "active=%d running=%s staged_bootable=%d\n", VirtualDongle::ActiveSlot(),
                 VirtualDongle::RunningVersion().ToString().c_str(),
                 VirtualDongle::GetSlot(1).bootable ? 1 : 0);
    std::error_code ignored;
    std::filesystem::remove_all(g_childDir, ignored);
  });
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  VirtualDongle::SetRestartDelay(300ms);
  VirtualDongle::SetTrialWatchdog(300ms);
  if (ConnectDongle() != 0 || hidDfuUpgradeBin(path.c_str()) != 0)
    std::_Exit(3);
  WaitForProgress(static_cast<int>(progress), 1h);
  std::exit(0);
}

TEST_F(Library, ClosingMidWriteOrDuringTheRestartEndsCleanlyOnTheOldImage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = Image(62 * 300);
  for (unsigned progress : {3u, 95u}) {
    SCOPED_TRACE(progress);
    EXPECT_EXIT(ExitAt(progress, dir_.path(), path), testing::ExitedWithCode(0),
                "active=0 running=1.0.0.0 staged_bootable=0");
  }
}

// Two dongles: connect takes the one with the lowest serial number, whatever the order of
// the enumeration, and says so. An upgrade follows the dongle it connected to through the
// restart; another one plugged in meanwhile, listed first and with a lower serial number, is
// never taken for it.
TEST_F(Library, TheUpgradeFollowsTheDongleItConnectedTo) {
  VirtualDongle::SetSerialNumber(L"MRL000005");
  const int other = VirtualDongle::AddDongle(L"MRL000009");
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  char text[200];
  EXPECT_EQ(hidDfuGetDeviceChoice(text, sizeof text), 2);
  EXPECT_STREQ(text,
               "MRL000005 at virtual-dongle:1; also present: MRL000009 at virtual-dongle-1:1");
  VirtualDongle::SetSerialNumber(L"MRL000001", other);
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  EXPECT_EQ(hidDfuGetDeviceChoice(text, sizeof text), 2);
  EXPECT_EQ(std::string(text).substr(0, 9), "MRL000001");
  VirtualDongle::Unplug(other);

  VirtualDongle::SetRestartDelay(200ms);
  const std::string path = Image(kSize);
  ASSERT_EQ(ConnectDongle(), 0) << LastError();
  ASSERT_EQ(hidDfuGetDeviceChoice(text, sizeof text), 1);
  ASSERT_EQ(hidDfuUpgradeBin(path.c_str()), 0) << LastError();
  WaitForProgress(95);
  VirtualDongle::Plug(other);  // restarted meanwhile, by its boot count
  ExpectFinishedMonotonic(PollToEnd());
  EXPECT_EQ(hidDfuGetResult(), 0) << LastError();
  ExpectRunning(kNewVersion, 1, path);
  EXPECT_EQ(VirtualDongle::RunningVersion(other), VirtualDongle::kFactoryVersion);
  EXPECT_EQ(VirtualDongle::GetStats(other).starts, 0u);
}

}  // namespace
