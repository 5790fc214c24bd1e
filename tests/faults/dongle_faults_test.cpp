// Every way the dongle can fail, against one press of the dialog's upgrade button with the
// service working: each ends in its row of the outcome table, with the library's reason in
// the report, within the library's time limits, and the dongle stays on a verified bootable
// image, the old one unless the new one was verified, committed, started and confirmed. Then
// the trouble goes, the user replugs the dongle, and the next press upgrades it.
#include <algorithm>
#include <cerrno>
#include <functional>
#include <regex>

#include "tests/faults/fault_test.h"

namespace faults {
namespace {

struct Case {
  std::string name;
  std::function<void()> fault;  // breaks the dongle before the press
  const Row* row;
  std::string message;                             // the report's message: a regular expression
  hiddfu::FirmwareVersion runs = kFactoryVersion;  // what the dongle runs once at rest
  std::function<void(const Attempt&)> also = {};   // further checks of the attempt
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

std::function<void()> Set(const Faults& faults) {
  return [faults] { VirtualDongle::SetFaults(faults); };
}

// The dongle went silent after its last data report: the library gives up after 8 of its
// reply periods without progress (here within 25), and a write that nothing takes after its
// limit, not after the restart's wait or the kernel's 5 s.
void SilenceEndedWithin(milliseconds writeLimit) {
  const auto limit = writeLimit + 25 * milliseconds(FaultTest::kReplyMs);
  EXPECT_LT(Clock::now() - VirtualDongle::GetTimeline().lastData, limit);
}

class DongleFaultTest : public FaultTest, public testing::WithParamInterface<Case> {
 public:
  static std::vector<Case> Cases();
};

std::vector<Case> DongleFaultTest::Cases() {
  const std::string notBack = "device did not come back within 2 s of its restart; ";
  const std::string didNotStart =
      "device came back running 1.0.0.0 instead of 1.2.0.7: the new image did not start";
  const std::string badDigest =
      "verification failed: the SHA-256 of the image the device received does not match the "
      "image header";
  std::vector<Case> cases = {
      {"Absent", [] { VirtualDongle::Unplug(); }, &kRowConnect,
       "device not found \\(VID 0x1209, PID 0x0001, usage page 0xFF00, usage 0x0001\\)"},
      // A node the user may not open: a connect failure that says what to do.
      {"NodeNotOpened", Set(With(&Faults::openErrno, EACCES)), &kRowConnect,
       "cannot open the device virtual-dongle:1: permission denied; .* run `udevadm trigger` as "
       "root or replug the dongle"},
      // Power lost on the start request: the library learns it while asking.
      {"UnplugAtTheStart", Set(With(&Faults::unplugAtByte, 0u)), &kRowStart, "device disconnected"},
      // The dongle checks the signature itself, whatever the tool checked.
      {"AnotherKey", [] { VirtualDongle::SetTrustedKey(hiddfu::SigningKey::Generate().Public()); },
       &kRowStart,
       "device refused the upgrade: verification failed: the image is not signed with the key "
       "the device holds",
       kFactoryVersion, [](const Attempt&) { EXPECT_EQ(VirtualDongle::GetStats().erases, 0u); }},

      // Checked, intact on the link but not in the flash, or changed on the way under a
      // checksum that fits it: the dongle's digest of what it stored finds it.
      {"VerificationFails", Set(With(&Faults::failVerification, true)), &kRowUpgrade, badDigest},
      {"FlashKeepsAWrongByte", Set(With(&Faults::flipStoredByte, kImageSize / 3)), &kRowUpgrade,
       badDigest},
      {"ForgedData", Set(With(&Faults::forgeData, 40u)), &kRowUpgrade, badDigest},
      {"NewImageDoesNotStart", Set(With(&Faults::newImageFailsToStart, true)), &kRowUpgrade,
       didNotStart},
      // Writing the version the dongle already runs (a repair): the fallback runs the same
      // version from the old slot, and that is no success.
      {"SameVersionDoesNotStart",
       [] {
         VirtualDongle::InstallFactoryImage(kNewVersion);
         VirtualDongle::SetFaults(With(&Faults::newImageFailsToStart, true));
       },
       &kRowUpgrade,
       "device came back running 1.2.0.7 from slot 0 instead of the new image in slot 1: the "
       "new image did not start",
       kNewVersion, [](const Attempt&) { EXPECT_EQ(VirtualDongle::ActiveSlot(), 0); }},
      // Gone into its restart for good: the wait is bounded; plugged in again it tries the
      // committed image, and with nobody to confirm it goes back to the old one. Back after
      // the wait, the image it starts is never confirmed either.
      {"RestartNeverEnds", Set(With(&Faults::restartNeverEnds, true)), &kRowUpgrade,
       notBack + "without confirmation the device goes back to its old image"},
      {"RestartSlowerThanTheWait",
       [] { VirtualDongle::SetRestartDelay(milliseconds(kRebootMs + 300)); }, &kRowUpgrade,
       notBack + "without confirmation the device goes back to its old image"},
      // The new image never shows on the bus, or never answers: its watchdog takes the dongle
      // back within the library's wait.
      {"NewImageNeverEnumerates", Set(With(&Faults::trialNeverEnumerates, true)), &kRowUpgrade,
       didNotStart},
      {"NewImageNeverAnswers", Set(With(&Faults::trialNeverAnswers, true)), &kRowUpgrade,
       didNotStart},
      // The boot loader's own check of the slot fails at the trial start (the flash lost a bit
      // after the image verified); the image starts but fails its self-test (it resets
      // itself), or never finishes it (the watchdog resets it): never confirmed, the old image.
      {"SlotDecaysAfterTheCheck", Set(With(&Faults::decayAfterVerify, true)), &kRowUpgrade,
       didNotStart},
      {"SelfTestFails", Set(With(&Faults::selfTestFails, true)), &kRowUpgrade,
       "device came back running 1.0.0.0 instead of 1.2.0.7: the new image failed its self-test"},
      {"SelfTestNeverEnds", Set(With(&Faults::selfTestNeverEnds, true)), &kRowUpgrade,
       "device came back running 1.0.0.0 instead of 1.2.0.7: the new image did not finish its "
       "self-test"},
      // The cable pulled as the confirmation goes out: back within the wait, the report tells
      // what the dongle kept; out for good, it cannot know and says so. Pulled once the
      // confirmation was taken and back, the library asks again and learns it kept the image.
      {"PulledAtTheConfirmation", Set(With(&Faults::unplugOnConfirm, true)), &kRowUpgrade,
       notBack + "it may be running the new image"},
      {"PulledAtTheConfirmationAndBack",
       [] {
         Faults f = With(&Faults::unplugOnConfirm, true);
         f.replugAfter = milliseconds(100);
         VirtualDongle::SetFaults(f);
       },
       &kRowUpgrade,
       "device came back running 1.0.0.0 instead of 1.2.0.7: it went back to its old image "
       "before it kept the new one"},
      {"PulledAfterTheConfirmationAndBack",
       [] {
         Faults f = With(&Faults::unplugAfterConfirm, true);
         f.replugAfter = milliseconds(100);
         VirtualDongle::SetFaults(f);
       },
       &kRowSuccess, "", kNewVersion},
      {"StopsAnswering", Set(With(&Faults::stallAtByte, kImageSize / 2)), &kRowUpgrade,
       "device stopped responding at [0-9]+ %", kFactoryVersion,
       [](const Attempt&) { SilenceEndedWithin(milliseconds(0)); }},
      {"StopsTakingReports",
       [] {
         VirtualDongle::SetWriteTimeout(milliseconds(300));
         VirtualDongle::SetFaults(With(&Faults::stuckOutAtByte, kImageSize / 2));
       },
       &kRowUpgrade, "device stopped responding at [0-9]+ %", kFactoryVersion,
       [](const Attempt&) { SilenceEndedWithin(milliseconds(300)); }},
      // The verification reply is lost: the library waits for it with the whole image sent, at
      // 93, the highest figure of the transfer, which still reads "升级中" (94, the verified
      // image, may show too, on a slow machine).
      {"VerificationReplyLost", Set(With(&Faults::dropVerifyReply, true)), &kRowSuccess, "",
       kNewVersion,
       [](const Attempt& a) {
         int highest = 0;
         for (const DialogState& s : a.states)
           highest = s.caption == "升级中" ? std::max(highest, s.barPos) : highest;
         EXPECT_GE(highest, 93);
         EXPECT_LE(highest, 94);
       }},
      // A completion figure above 100 ends the upgrade as 100 does, the bar held at its top.
      {"CompletionAbove100", Set(With(&Faults::completionFigure, std::uint8_t{107})), &kRowSuccess,
       "", kNewVersion, [](const Attempt& a) { EXPECT_EQ(a.notices.at(0).main.barPos, 100); }},
  };

  using VirtualDongle::Refusal;
  const std::tuple<const char*, Refusal, const char*> refusals[] = {
      {"Busy", Refusal::kBusy, "the device is busy"},
      {"BatteryLow", Refusal::kBatteryLow, "its battery is too low"},
      {"TooLarge", Refusal::kTooLarge, "the image is too large for it"},
      {"BadHeader", Refusal::kBadHeader, "it rejected the image header"},
      {"VersionRejected", Refusal::kVersionRejected, "it does not accept this firmware version"},
  };
  for (const auto& [name, refusal, text] : refusals) {
    cases.push_back({std::string("Refuses") + name, Set(With(&Faults::refuseStart, refusal)),
                     &kRowStart, std::string("device refused the upgrade: ") + text});
  }
  // Power lost at each tenth of the payload: a failed upgrade at the position the bar had
  // reached, and a half-written slot that never boots.
  for (std::uint32_t tenth = 1; tenth <= 10; ++tenth) {
    cases.push_back({"UnplugAt" + std::to_string(tenth) + "Tenths",
                     Set(With(&Faults::unplugAtByte, kImageSize * tenth / 10)), &kRowUpgrade,
                     "device disconnected at [0-9]+ %", kFactoryVersion, [tenth](const Attempt& a) {
                       EXPECT_LE(a.notices.at(0).main.barPos, 93 * tenth / 10 + 1)
                           << "the bar ran ahead of the device";
                       EXPECT_FALSE(VirtualDongle::IsPlugged());
                       EXPECT_FALSE(VirtualDongle::GetSlot(1).bootable);
                     }});
  }
  return cases;
}

TEST_P(DongleFaultTest, EndsInItsRowAndTheNextPressUpgrades) {
  const Case& c = GetParam();
  OpenDialog();
  c.fault();
  const Attempt a = Press();
  ExpectRow(a, *c.row);
  EXPECT_TRUE(std::regex_match(a.Message(), std::regex(c.message))) << a.Message();
  if (c.also)
    c.also(a);
  VirtualDongle::SetFaults({});
  ExpectDongleRuns(c.runs);

  SCOPED_TRACE("the press after the fault");
  Heal();
  VirtualDongle::Unplug();
  VirtualDongle::Plug();
  ExpectRow(Press(), kRowSuccess);
  ExpectDongleRuns(kNewVersion);
}

INSTANTIATE_TEST_SUITE_P(Matrix, DongleFaultTest, testing::ValuesIn(DongleFaultTest::Cases()),
                         [](const auto& param) { return param.param.name; });

// Power lost halfway on the full-speed model: the one poll a period sees the bar move, and
// the report carries where it stood.
TEST_F(FaultTest, UnplugHalfwayAtFullSpeedIsAFailedUpgradeAtTheBarsPosition) {
  VirtualDongle::SetTiming(VirtualDongle::Timing::kFullSpeed);
  Publish(Firmware(), 64 * 1024);
  OpenDialog();
  VirtualDongle::SetFaults(With(&Faults::unplugAtByte, 48u * 1024));  // some 0.8 s in
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade);
  EXPECT_GT(a.notices.at(0).main.barPos, 0) << "the poll saw no progress before the power went";
  ExpectDongleRuns(kFactoryVersion);
}

}  // namespace
}  // namespace faults
