// The ground on which the fault tests break things: the main dialog as the dialog's own tests
// drive it (real widgets on the offscreen platform, the reference service on loopback, the
// virtual dongle in instant mode behind the real update library, every notice closed with
// its button as a user would), with the dialog's timers at a 10 ms period and every wait of
// the world around it short: service transfers, device replies, the restart, the dongle's
// trial watchdog. Each press of the upgrade button is held to its row of the outcome table.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "hiddfu/image.h"
#include "tests/app/app_fixture.h"

namespace faults {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using VirtualDongle::Faults;
using VirtualDongle::kFactoryVersion;

inline constexpr std::uint32_t kImageSize = 16 * 1024;

// An answer made of `data` in the service's envelope.
std::string Envelope(const nlohmann::json& data);

class FaultTest : public AppTest {
 public:
  static constexpr milliseconds kTimerPeriod{10};
  static constexpr int kReplyMs = 40;
  static constexpr int kRebootMs = 1500;
  // An unconfirmed image is given up this long after it started: within the library's wait.
  static constexpr milliseconds kTrialWatchdog{600};

 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the main dialog (its start-up runs the version query and the tip sync) and returns
  // how many tip dialogs it opened (no other notice may open).
  int OpenDialog();
  Attempt Press() { return AppTest::Press(AttemptBound()); }
  // Once it has come to rest (plugged back in if it was out, an image on trial given up),
  // the dongle runs a verified, bootable, confirmed image, and it is `version`.
  void ExpectDongleRuns(const hiddfu::FirmwareVersion& version);
  // Waits until the dongle has come to rest, and plugs it back in if it is out.
  static void Settle();
  // The trouble goes: the service and the dongle without faults, the dongle back to what it
  // holds and takes by default, at rest.
  void Heal();

  // The longest a start-up or a press may take with the limits in force: the query and the
  // report within the request limit each, the download past its rate grace and one idle limit
  // after that, the device its reply periods and the restart, with room for a slow machine.
  static milliseconds AttemptBound();

  // The version answer's "data" as the service sends it, to build broken variants from.
  nlohmann::json VersionData() const;
  void Body(RefEndpoint endpoint, const std::string& body);
  void PointAt(int port);

  std::string image_;  // the catalogue's firmware image, as bytes
};

}  // namespace faults
