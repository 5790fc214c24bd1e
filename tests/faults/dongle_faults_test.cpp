// Every way the dongle can fail, against one press of the dialog's upgrade button with the
// service working: each ends in its row of the outcome table, with the library's reason in
// the report, within the library's time limits, and the dongle stays on a verified bootable
// image, the old one unless the new one was verified, committed, started and confirmed. Then
// the trouble goes, the user replugs the dongle, and the next press upgrades it.
#include <cerrno>
#include <functional>
#include <thread>

#include "hiddfu/hiddfu.h"
#include "tests/faults/fault_test.h"

namespace faults {
namespace {

struct Case {
  std::string name;
  std::function<void()> fault;  // breaks the dongle before the press
  const Row* row;
  std::string message;                             // a part of the report's message
  hiddfu::FirmwareVersion runs = kFactoryVersion;  // what the dongle runs once at rest
  std::function<void(const Attempt&)> also = {};   // further checks of the attempt
};

std::function<void()> Set(const Faults& faults) {
  return [faults] { VirtualDongle::SetFaults(faults); };
}

class DongleFaultTest : public FaultTest, public testing::WithParamInterface<Case> {
 public:
  static std::vector<Case> Cases();
};

std::vector<Case> DongleFaultTest::Cases() {
  const std::string notSigned =
      "device refused the upgrade: verification failed: the image is not signed with the key "
      "the device holds";
  auto untouched = [](const Attempt&) { EXPECT_EQ(VirtualDongle::GetStats().erases, 0u); };
  std::vector<Case> cases = {
      {"Absent", [] { VirtualDongle::Unplug(); }, &kRowConnect, "device not found"},
      // A node the user may not open: a connect failure that says what to do.
      {"NodeNotOpened", Set(With(&Faults::openErrno, EACCES)), &kRowConnect, "udevadm trigger"},
      // Power lost on the start request: the library learns it while asking.
      {"UnplugAtTheStart", Set(With(&Faults::unplugAtByte, 0u)), &kRowStart, "disconnected"},
      // The dongle checks the image itself: one signed with a key it does not hold is refused
      // at the start. The library refuses one for another product or below the dongle's
      // security counter before it asks.
      {"AnotherKey", [] { VirtualDongle::SetTrustedKey(hiddfu::SigningKey::Generate().Public()); },
       &kRowStart, notSigned, kFactoryVersion, untouched},
      {"AnotherProduct", [] { VirtualDongle::SetHardware(0x0002, 1); }, &kRowStart,
       "image not for this device: it is made for product 0x0001, the device is product 0x0002",
       kFactoryVersion, untouched},
      {"AnotherRevision", [] { VirtualDongle::SetHardware(VirtualDongle::kProduct, 2); },
       &kRowStart,
       "image not for this device: it is made for hardware revision 1, the device is revision 2",
       kFactoryVersion, untouched},
      {"Rollback", [] { VirtualDongle::SetSecurityCounter(1); }, &kRowStart,
       "image refused: its security counter 0 is below the device's 1", kFactoryVersion, untouched},

      // Checked, intact on the link but not in the flash, or changed on the way under a
      // checksum that fits it.
      {"VerificationFails", Set(With(&Faults::failVerification, true)), &kRowUpgrade,
       "verification failed"},
      {"FlashKeepsAWrongByte", Set(With(&Faults::flipStoredByte, kImageSize / 3)), &kRowUpgrade,
       "verification failed"},
      {"ForgedData", Set(With(&Faults::forgeData, 40u)), &kRowUpgrade, "verification failed"},
      {"NewImageDoesNotStart", Set(With(&Faults::newImageFailsToStart, true)), &kRowUpgrade,
       "did not start"},
      // Writing the version the dongle already runs (a repair): the fallback runs the same
      // version from the old slot, and that is no success.
      {"SameVersionDoesNotStart",
       [] {
         VirtualDongle::InstallFactoryImage(kNewVersion);
         VirtualDongle::SetFaults(With(&Faults::newImageFailsToStart, true));
       },
       &kRowUpgrade, "from slot 0 instead of the new image in slot 1", kNewVersion,
       [](const Attempt&) { EXPECT_EQ(VirtualDongle::ActiveSlot(), 0); }},
      // Gone into its restart for good: the wait is bounded; plugged in again it tries the
      // committed image, and with nobody to confirm it goes back to the old one.
      {"RestartNeverEnds", Set(With(&Faults::restartNeverEnds, true)), &kRowUpgrade,
       "did not come back", kFactoryVersion,
       [](const Attempt& a) { EXPECT_GE(a.elapsed, milliseconds(kRebootMs)); }},
      // Back after the library's wait: the image it then starts is never confirmed.
      {"RestartSlowerThanTheWait",
       [] { VirtualDongle::SetRestartDelay(milliseconds(kRebootMs + 300)); }, &kRowUpgrade,
       "without confirmation the device goes back to its old image"},
      // The new image never shows on the bus, or never answers: its watchdog takes the dongle
      // back within the library's wait.
      {"NewImageNeverEnumerates", Set(With(&Faults::trialNeverEnumerates, true)), &kRowUpgrade,
       "came back running 1.0.0.0 instead of 1.2.0.7"},
      {"NewImageNeverAnswers", Set(With(&Faults::trialNeverAnswers, true)), &kRowUpgrade,
       "came back running 1.0.0.0 instead of 1.2.0.7"},
      // The cable pulled as the confirmation goes out: back within the wait, the report tells
      // what the dongle kept; out for good, it cannot know and says so.
      {"PulledAtTheConfirmation", Set(With(&Faults::unplugOnConfirm, true)), &kRowUpgrade,
       "it may be running the new image"},
      {"PulledAtTheConfirmationAndBack",
       [] {
         Faults f = With(&Faults::unplugOnConfirm, true);
         f.replugAfter = milliseconds(100);
         VirtualDongle::SetFaults(f);
       },
       &kRowUpgrade, "went back to its old image before it kept the new one"},
      {"PulledAfterTheConfirmationAndBack",
       [] {
         Faults f = With(&Faults::unplugAfterConfirm, true);
         f.replugAfter = milliseconds(100);
         VirtualDongle::SetFaults(f);
       },
       &kRowSuccess, "", kNewVersion},
      // It stops answering, or its OUT endpoint stops taking reports: the library gives up
      // after its reply periods, or once a write has waited out its limit.
      {"StopsAnswering", Set(With(&Faults::stallAtByte, kImageSize / 2)), &kRowUpgrade,
       "stopped responding"},
      {"StopsTakingReports",
       [] {
         VirtualDongle::SetWriteTimeout(milliseconds(300));
         VirtualDongle::SetFaults(With(&Faults::stuckOutAtByte, kImageSize / 2));
       },
       &kRowUpgrade, "stopped responding"},
      // A completion figure above 100 ends the upgrade as 100 does, the bar held at its top.
      {"CompletionAbove100", Set(With(&Faults::completionFigure, std::uint8_t{107})), &kRowSuccess,
       "", kNewVersion, [](const Attempt& a) { EXPECT_EQ(a.notices.at(0).main.barPos, 100); }},
  };

  using VirtualDongle::Refusal;
  const std::tuple<const char*, Refusal, const char*> refusals[] = {
      {"Busy", Refusal::kBusy, "busy"},
      {"BatteryLow", Refusal::kBatteryLow, "battery"},
      {"TooLarge", Refusal::kTooLarge, "too large"},
      {"BadHeader", Refusal::kBadHeader, "header"},
      {"VersionRejected", Refusal::kVersionRejected, "version"},
  };
  for (const auto& [name, refusal, text] : refusals) {
    cases.push_back({std::string("Refuses") + name, Set(With(&Faults::refuseStart, refusal)),
                     &kRowStart, text});
  }
  // Power lost at each tenth of the payload: a failed upgrade at the position the bar had
  // reached, and a half-written slot that never boots.
  for (std::uint32_t tenth = 1; tenth <= 10; ++tenth) {
    cases.push_back({"UnplugAt" + std::to_string(tenth) + "Tenths",
                     Set(With(&Faults::unplugAtByte, kImageSize * tenth / 10)), &kRowUpgrade,
                     "disconnected", kFactoryVersion, [tenth](const Attempt& a) {
                       EXPECT_LE(a.notices.at(0).main.barPos, 93 * tenth / 10 + 1)
                           << "the bar ran ahead of the device";
                       EXPECT_FALSE(VirtualDongle::IsPlugged());
                       EXPECT_FALSE(VirtualDongle::GetSlot(1).bootable);
                     }});
  }
  // Damaged, lost, repeated or late reports on the link are the protocol's business.
  const std::pair<const char*, Faults> link[] = {
      {"CorruptData", With(&Faults::corruptData, 5u)},
      {"LostData", With(&Faults::dropData, 7u)},
      {"RepeatedData", With(&Faults::duplicateData, 3u)},
      {"CorruptAck", With(&Faults::corruptAck, 2u)},
      {"LostAck", With(&Faults::dropAck, 2u)},
      {"LostReplies",
       [] {
         Faults f;
         f.dropStartReply = f.dropVerifyReply = f.dropActivateReply = f.dropConfirmReply = true;
         return f;
       }()},
      {"LateRestartReply", With(&Faults::activateReplyDelay, 3 * milliseconds(kReplyMs))},
  };
  for (const auto& [name, faults] : link)
    cases.push_back({name, Set(faults), &kRowSuccess, "", kNewVersion});
  return cases;
}

TEST_P(DongleFaultTest, EndsInItsRowAndTheNextPressUpgrades) {
  const Case& c = GetParam();
  OpenDialog();
  c.fault();
  const Attempt a = Press();
  ExpectRow(a, *c.row);
  EXPECT_NE(a.Message().find(c.message), std::string::npos) << a.Message();
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

// A second dongle plugged in while the first restarts, listed first and with a lower serial
// number, is never taken for the one being upgraded.
TEST_F(FaultTest, ASecondDongleDuringTheRestartIsNotTakenForTheFirst) {
  OpenDialog();
  VirtualDongle::SetSerialNumber(L"MRL000005");
  VirtualDongle::SetRestartDelay(milliseconds(200));
  std::thread plugger([] {
    const auto until = Clock::now() + milliseconds(10000);
    while (hidDfuGetProgress() < 95 && Clock::now() < until)
      std::this_thread::sleep_for(milliseconds(1));
    const int other = VirtualDongle::AddDongle(L"MRL000001");
    VirtualDongle::Unplug(other);  // a boot count of its own
    VirtualDongle::Plug(other);
  });
  const Attempt a = Press();
  plugger.join();
  ExpectRow(a, kRowSuccess);
  ExpectDongleRuns(kNewVersion);
  EXPECT_EQ(VirtualDongle::GetStats(1).starts, 0u);
  EXPECT_EQ(VirtualDongle::RunningVersion(1), kFactoryVersion);
}

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
