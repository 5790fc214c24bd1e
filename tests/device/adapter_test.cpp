// The adapter functions: return values and log lines, in the call orders the upgrade
// workflow uses, through the real library and the virtual dongle.
#include <string>
#include <vector>

#include "device/device.h"
#include "tests/common/stdout_capture.h"
#include "tests/hiddfu/fixture.h"

namespace {

// The bracketed prefixes in code page 936.
const std::string kConnectError = "[\xC9\xE8\xB1\xB8\xC1\xAC\xBD\xD3\xB4\xED\xCE\xF3] ";
const std::string kUpgradeStart = "[\xBF\xAA\xCA\xBC\xC9\xFD\xBC\xB6] ";
const std::string kUpgradeError = "[\xC9\xE8\xB1\xB8\xC9\xFD\xBC\xB6\xB4\xED\xCE\xF3] ";
const std::string kVersionError = "[\xBB\xF1\xC8\xA1\xB0\xE6\xB1\xBE\xB4\xED\xCE\xF3] ";
const std::string kNotFound =
    "device not found (VID 0x1209, PID 0x0001, usage page 0xFF00, usage 0x0001)";

using Adapter = DeviceTest;

TEST_F(Adapter, ProbeAndUpgradeInTheWorkflowsOrder) {
  const std::string path = Image(62 * 50);
  StdoutCapture capture;
  // Presence probe.
  EXPECT_EQ(DfuDisconnect(), 0);
  EXPECT_EQ(DfuConnect(), 0);
  EXPECT_EQ(DfuDisconnect(), 0);
  // Upgrade: connect, start, poll, result, versions while still connected, disconnect.
  EXPECT_EQ(DfuConnect(), 0);
  EXPECT_EQ(DfuUpgrade(path), 0);
  ExpectFinishedMonotonic(PollToEnd());
  EXPECT_EQ(DfuCheckResult(), 0);
  EXPECT_EQ(DfuReadVersions(), "running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)");
  EXPECT_EQ(DfuDisconnect(), 0);
  EXPECT_EQ(SplitLines(capture.Stop()),
            (std::vector<std::string>{
                kUpgradeStart + path,
                "major=1, minor=2, release=0, build=7",
                "version=running 1.2.0.7 (slot 1); standby 1.0.0.0 (slot 0)",
            }));
}

// With two dongles plugged in, every probe takes the same one, and the log says once which.
TEST_F(Adapter, OfTwoDonglesTheLogNamesTheOneTakenOnce) {
  VirtualDongle::AddDongle(L"MRL000002");
  StdoutCapture capture;
  for (int probe = 0; probe < 3; ++probe) {
    EXPECT_EQ(DfuDisconnect(), 0);
    EXPECT_EQ(DfuConnect(), 0);
    EXPECT_EQ(DfuDisconnect(), 0);
  }
  EXPECT_EQ(
      SplitLines(capture.Stop()),
      (std::vector<std::string>{"dongle=MRL000001 at virtual-dongle:1; also present: MRL000002 at "
                                "virtual-dongle-1:1"}));
}

TEST_F(Adapter, FailuresLogTheirPrefixAndTheLibrarysText) {
  const std::string missing = PathOf("\xC9\xFD\xBC\xB6.bin");  // a code page 936 name
  VirtualDongle::Unplug();
  StdoutCapture capture;
  EXPECT_EQ(DfuConnect(), -1);
  EXPECT_EQ(DfuLastError(), kNotFound);
  VirtualDongle::Plug();
  EXPECT_EQ(DfuConnect(), 0);
  EXPECT_EQ(DfuUpgrade(missing), -1);
  EXPECT_EQ(DfuLastError(), "firmware file not found: " + missing);
  EXPECT_EQ(SplitLines(capture.Stop()), (std::vector<std::string>{
                                            kConnectError + kNotFound,
                                            "errorMsg=" + kNotFound,
                                            kUpgradeStart + missing,
                                            kUpgradeError + "firmware file not found: " + missing,
                                            "errorMsg=firmware file not found: " + missing,
                                        }));
}

TEST_F(Adapter, AFailedWriteIsReportedByTheResultCheck) {
  VirtualDongle::SetFaults(With(&VirtualDongle::Faults::failVerification, true));
  const std::string path = Image(62 * 50);
  ASSERT_EQ(DfuConnect(), 0);
  ASSERT_EQ(DfuUpgrade(path), 0);
  ExpectFinishedMonotonic(PollToEnd());
  const std::string reason =
      "verification failed: the SHA-256 of the image the device received does not match the "
      "image header";
  StdoutCapture capture;
  EXPECT_EQ(DfuCheckResult(), -1);
  EXPECT_EQ(DfuLastError(), reason);
  EXPECT_EQ(SplitLines(capture.Stop()),
            (std::vector<std::string>{kUpgradeError + reason, "errorMsg=" + reason}));
}

TEST_F(Adapter, ReadVersionsWithoutAConnectionConnectsOnce) {
  StdoutCapture capture;
  EXPECT_EQ(DfuReadVersions(), "running 1.0.0.0 (slot 0); slot 1 empty");
  VirtualDongle::Unplug();
  EXPECT_EQ(DfuReadVersions(), "");
  EXPECT_EQ(SplitLines(capture.Stop()), (std::vector<std::string>{
                                            kVersionError + "not connected to the device",
                                            "version=running 1.0.0.0 (slot 0); slot 1 empty",
                                            kVersionError + "not connected to the device",
                                            kConnectError + kNotFound,
                                        }));
}

}  // namespace
