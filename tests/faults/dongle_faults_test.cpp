// Every way the dongle can fail, against one press of the upgrade button with the service
// working: each ends in its row of the outcome table within the library's time limits, and
// the dongle stays on a verified bootable image, the old one unless the new one was verified,
// committed, started and confirmed. Where the dongle survives, a second press upgrades it.
#include <cerrno>
#include <string>
#include <thread>

#include "tests/faults/fault_bench.h"

namespace faults {
namespace {

using VirtualDongle::Faults;
using VirtualDongle::kFactoryVersion;

class DongleFaultTest : public FaultBench {
 protected:
  void SetUp() override {
    FaultBench::SetUp();
    QString tipText;
    QString tipLink;
    StartUp(ui_, tipText, tipLink);
  }

  Attempt Press() {
    before_ = StoredReports().size();
    return RunUpgrade(ui_);
  }

  // After the fault is gone, the next press upgrades the dongle.
  void ExpectRecovery() {
    SCOPED_TRACE("the press after the fault");
    VirtualDongle::SetFaults({});
    if (!VirtualDongle::IsPlugged())
      VirtualDongle::Plug();
    const Attempt again = Press();
    ExpectRow(again, kRowSuccess, before_);
    ExpectDongleRuns(kNewVersion);
  }

  std::size_t before_ = 0;
};

TEST_F(DongleFaultTest, AbsentDongleIsAConnectFailure) {
  VirtualDongle::Unplug();
  const Attempt a = Press();
  ExpectRow(a, kRowConnect, before_);
  EXPECT_NE(a.libraryError.find("device not found"), std::string::npos) << a.libraryError;
  ExpectDongleRuns(kFactoryVersion);
  ExpectRecovery();
}

TEST_F(DongleFaultTest, RefusedStartIsAStartFailureForEveryReason) {
  const std::pair<VirtualDongle::Refusal, const char*> reasons[] = {
      {VirtualDongle::Refusal::kBusy, "busy"},
      {VirtualDongle::Refusal::kBatteryLow, "battery"},
      {VirtualDongle::Refusal::kTooLarge, "too large"},
      {VirtualDongle::Refusal::kBadHeader, "header"},
      {VirtualDongle::Refusal::kVersionRejected, "version"},
  };
  for (const auto& [reason, text] : reasons) {
    SCOPED_TRACE(text);
    Faults f;
    f.refuseStart = reason;
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    ExpectRow(a, kRowStart, before_);
    EXPECT_NE(a.libraryError.find(text), std::string::npos) << a.libraryError;
    ExpectDongleRuns(kFactoryVersion);
  }
  ExpectRecovery();
}

// Power lost at every tenth of the payload: on the start request itself the library learns
// it while asking, so the upgrade never starts; later it is a failed upgrade at the position
// the bar had reached. The old image keeps running either way.
TEST_F(DongleFaultTest, UnplugAtEachTenthOfTheWriteKeepsTheOldImage) {
  for (int tenth = 0; tenth <= 10; ++tenth) {
    SCOPED_TRACE("unplugged at " + std::to_string(tenth) + "/10 of the payload");
    VirtualDongle::Plug();
    Faults f;
    f.unplugAtByte = kImageSize * tenth / 10;
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    if (tenth == 0) {
      ExpectRow(a, kRowStart, before_);
    } else {
      ExpectRow(a, kRowUpgrade, before_);
      EXPECT_NE(a.libraryError.find("disconnected"), std::string::npos) << a.libraryError;
      EXPECT_LE(a.lastPosition, 93 * tenth / 10 + 1) << "the bar ran ahead of the device";
    }
    EXPECT_FALSE(VirtualDongle::IsPlugged());
    ExpectDongleRuns(kFactoryVersion);
    EXPECT_FALSE(VirtualDongle::GetSlot(1).bootable) << "a half-written slot may never boot";
  }
  ExpectRecovery();
}

// Damaged, lost or repeated reports on the link are the protocol's business: the upgrade
// recovers and succeeds.
TEST_F(DongleFaultTest, LinkFaultsAreRecovered) {
  struct LinkFault {
    const char* name;
    Faults faults;
  };
  std::vector<LinkFault> cases(7);
  cases[0] = {"corrupt data report", {}};
  cases[0].faults.corruptData = 5;
  cases[1] = {"lost data report", {}};
  cases[1].faults.dropData = 7;
  cases[2] = {"repeated data report", {}};
  cases[2].faults.duplicateData = 3;
  cases[3] = {"corrupt acknowledgement", {}};
  cases[3].faults.corruptAck = 2;
  cases[4] = {"lost acknowledgement", {}};
  cases[4].faults.dropAck = 2;
  cases[5] = {"lost replies", {}};
  cases[5].faults.dropStartReply = cases[5].faults.dropVerifyReply = true;
  cases[5].faults.dropActivateReply = cases[5].faults.dropConfirmReply = true;
  cases[6] = {"late reply to the restart request", {}};
  cases[6].faults.activateReplyDelay = 3 * milliseconds(kReplyMs);
  for (const LinkFault& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetFaults(c.faults);
    const Attempt a = Press();
    ExpectRow(a, kRowSuccess, before_);
    ExpectDongleRuns(kNewVersion);
  }
}

// The check fails, the flash kept a byte other than the intact report brought, or a report
// was changed on the way with a checksum that fits it.
TEST_F(DongleFaultTest, FailedVerificationKeepsTheOldImage) {
  Faults check;
  check.failVerification = true;
  Faults flash;
  flash.flipStoredByte = kImageSize / 3;
  Faults forged;
  forged.forgeData = 40;
  for (const Faults& f : {check, flash, forged}) {
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    ExpectRow(a, kRowUpgrade, before_);
    EXPECT_NE(a.libraryError.find("verification failed"), std::string::npos) << a.libraryError;
    EXPECT_LE(a.lastPosition, 93) << "the bar passed the end of the transfer";
    ExpectDongleRuns(kFactoryVersion);
  }
  ExpectRecovery();
}

// A node the user may not open: a connect failure that says what to do.
TEST_F(DongleFaultTest, NodeThatWillNotOpenIsAConnectFailure) {
  Faults f;
  f.openErrno = EACCES;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowConnect, before_);
  EXPECT_NE(a.libraryError.find("udevadm trigger"), std::string::npos) << a.libraryError;
  ExpectRecovery();
}

TEST_F(DongleFaultTest, NewImageThatDoesNotStartFallsBack) {
  Faults f;
  f.newImageFailsToStart = true;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  EXPECT_NE(a.libraryError.find("did not start"), std::string::npos) << a.libraryError;
  ExpectDongleRuns(kFactoryVersion);
  ExpectRecovery();
}

// Writing the version the dongle already runs (a repair): when the new image does not start,
// the fallback runs the same version from the old slot, and that is no success.
TEST_F(DongleFaultTest, SameVersionThatDoesNotStartIsNoSuccess) {
  VirtualDongle::InstallFactoryImage(kNewVersion);
  Faults f;
  f.newImageFailsToStart = true;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  EXPECT_NE(a.libraryError.find("from slot 0 instead of the new image in slot 1"),
            std::string::npos)
      << a.libraryError;
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 0);
  ExpectDongleRuns(kNewVersion);
  ExpectRecovery();
  EXPECT_EQ(VirtualDongle::ActiveSlot(), 1);
}

// The dongle goes to restart and stays away: the wait for it is bounded. Plugged in again it
// tries the committed image, and with nobody to confirm it goes back to the old one.
TEST_F(DongleFaultTest, RestartThatNeverEndsIsBoundedAndTheOldImageStays) {
  Faults f;
  f.restartNeverEnds = true;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  EXPECT_NE(a.libraryError.find("did not come back"), std::string::npos) << a.libraryError;
  EXPECT_GE(a.elapsed, std::chrono::milliseconds(kRebootMs));
  EXPECT_GE(a.finalProgress, 100);
  VirtualDongle::SetFaults({});
  VirtualDongle::Plug();
  EXPECT_TRUE(VirtualDongle::OnTrial());
  ExpectDongleRuns(kFactoryVersion);
  ExpectRecovery();
}

// The restart outlasts the library's wait: the image it then starts is never confirmed, the
// report says the dongle goes back to its old image, and it does.
TEST_F(DongleFaultTest, RestartSlowerThanTheWaitEndsOnTheOldImage) {
  VirtualDongle::SetRestartDelay(milliseconds(kRebootMs + 300));
  const Attempt a = Press();
  ExpectRow(a, kRowUpgrade, before_);
  EXPECT_NE(a.libraryError.find("without confirmation the device goes back to its old image"),
            std::string::npos)
      << a.libraryError;
  ExpectDongleRuns(kFactoryVersion);
  EXPECT_EQ(VirtualDongle::GetStats().reverts, 1u);
}

// The new image starts but never shows on the bus, or shows and never answers: its watchdog
// takes the dongle back to its old image within the library's wait, and the report says so.
TEST_F(DongleFaultTest, NewImageThatNeverEnumeratesOrAnswersGoesBack) {
  Faults hidden;
  hidden.trialNeverEnumerates = true;
  Faults silent;
  silent.trialNeverAnswers = true;
  for (const Faults& f : {hidden, silent}) {
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    ExpectRow(a, kRowUpgrade, before_);
    EXPECT_NE(a.libraryError.find("came back running 1.0.0.0 instead of 1.2.0.7"),
              std::string::npos)
        << a.libraryError;
    ExpectDongleRuns(kFactoryVersion);
  }
  ExpectRecovery();
}

// The cable pulled as the confirmation goes out: if it comes back within the wait the report
// tells what it kept; if not, the report cannot know and says so. Either way the report
// agrees with what the dongle runs once it is back.
TEST_F(DongleFaultTest, CablePulledAtTheConfirmation) {
  struct Case {
    const char* name;
    bool afterConfirm;
    milliseconds back;
    const Row* row;
    const char* error;
    hiddfu::FirmwareVersion runs;
  };
  const Case cases[] = {
      {"before it landed, out for good", false, milliseconds(0), &kRowUpgrade,
       "it may be running the new image", kFactoryVersion},
      {"before it landed, back at once", false, milliseconds(100), &kRowUpgrade,
       "went back to its old image before it kept the new one", kFactoryVersion},
      {"after it landed, back at once", true, milliseconds(100), &kRowSuccess, "", kNewVersion},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    VirtualDongle::SetTrialWatchdog(kTrialWatchdog);
    Faults f;
    f.unplugOnConfirm = !c.afterConfirm;
    f.unplugAfterConfirm = c.afterConfirm;
    f.replugAfter = c.back;
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    ExpectRow(a, *c.row, before_);
    EXPECT_NE(a.libraryError.find(c.error), std::string::npos) << a.libraryError;
    ExpectDongleRuns(c.runs);
  }
}

// The dongle checks the image itself: one signed with a key it does not hold is refused at
// the start, whatever the tool checked. The library refuses an image for another product or
// below the dongle's security counter before it asks.
TEST_F(DongleFaultTest, ImagesTheDongleMustNotTakeAreStartFailures) {
  struct Case {
    const char* name;
    void (*set)();
    const char* error;
  };
  const Case cases[] = {
      {"another key", [] { VirtualDongle::SetTrustedKey(hiddfu::SigningKey::Generate().Public()); },
       "device refused the upgrade: verification failed: the image is not signed with the key "
       "the device holds"},
      {"another product", [] { VirtualDongle::SetHardware(0x0002, 1); },
       "image not for this device: it is made for product 0x0001, the device is product 0x0002"},
      {"another revision", [] { VirtualDongle::SetHardware(VirtualDongle::kProduct, 2); },
       "image not for this device: it is made for hardware revision 1, the device is revision 2"},
      {"a rollback", [] { VirtualDongle::SetSecurityCounter(1); },
       "image refused: its security counter 0 is below the device's 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    c.set();
    const Attempt a = Press();
    ExpectRow(a, kRowStart, before_);
    EXPECT_EQ(a.libraryError.rfind(c.error, 0), 0u) << a.libraryError;
    EXPECT_EQ(VirtualDongle::GetStats().erases, 0u);
    ExpectDongleRuns(kFactoryVersion);
  }
}

// A second dongle plugged in while the first restarts, listed first and with a lower serial
// number, is never taken for the one being upgraded.
TEST_F(DongleFaultTest, ASecondDongleDuringTheRestartIsNotTakenForTheFirst) {
  VirtualDongle::SetSerialNumber(L"MRL000005");
  VirtualDongle::SetRestartDelay(milliseconds(200));
  std::thread plugger([] {
    const auto until = Clock::now() + milliseconds(10000);
    while (hidDfuGetProgress() >= 95 && Clock::now() < until)  // an earlier upgrade's figure
      std::this_thread::sleep_for(milliseconds(1));
    while (hidDfuGetProgress() < 95 && Clock::now() < until)
      std::this_thread::sleep_for(milliseconds(1));
    const int other = VirtualDongle::AddDongle(L"MRL000001");
    VirtualDongle::Unplug(other);  // a boot count of its own
    VirtualDongle::Plug(other);
  });
  const Attempt a = Press();
  plugger.join();
  ExpectRow(a, kRowSuccess, before_);
  ExpectDongleRuns(kNewVersion);
  EXPECT_EQ(VirtualDongle::GetStats(1).starts, 0u);
  EXPECT_EQ(VirtualDongle::RunningVersion(1), kFactoryVersion);
}

// A dongle that stops answering in the middle, or whose OUT endpoint stops taking reports:
// the library gives up after its reply periods, or once a write has waited out its limit.
TEST_F(DongleFaultTest, DongleThatStopsAnsweringOrTakingReportsIsBounded) {
  VirtualDongle::SetWriteTimeout(milliseconds(300));
  Faults answering;
  answering.stallAtByte = kImageSize / 2;
  Faults taking;
  taking.stuckOutAtByte = kImageSize / 2;
  for (const Faults& f : {answering, taking}) {
    VirtualDongle::SetFaults(f);
    const Attempt a = Press();
    ExpectRow(a, kRowUpgrade, before_);
    EXPECT_NE(a.libraryError.find("stopped responding"), std::string::npos) << a.libraryError;
    ExpectDongleRuns(kFactoryVersion);
    VirtualDongle::Unplug();  // the user pulls it out and back in
    VirtualDongle::Plug();
  }
  ExpectRecovery();
}

// A completion figure above 100 ends the upgrade as 100 does.
TEST_F(DongleFaultTest, CompletionAbove100IsSuccess) {
  Faults f;
  f.completionFigure = 107;
  VirtualDongle::SetFaults(f);
  const Attempt a = Press();
  ExpectRow(a, kRowSuccess, before_);
  EXPECT_EQ(a.finalProgress, 107);
  ExpectDongleRuns(kNewVersion);
}

}  // namespace
}  // namespace faults
