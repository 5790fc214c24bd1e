// A seeded random soak: hundreds of presses of the upgrade button in a row, each with a fault
// drawn from a mix of service and dongle faults (or none), on one service and one dongle that
// carry over from press to press as they would for a user who keeps trying. Every press must
// end in the row its fault calls for; once at rest the dongle must run a verified bootable
// image, and the one the report names: the new slot after a success, the slot it ran before
// after a failure (either, when the report says it cannot know); and nothing may be lost:
// the service's store holds exactly one report per press, in order.
//
// The seed is printed; ZAV_SOAK_SEED=<n> repeats a run, ZAV_SOAK_PRESSES=<n> changes its
// length, ZAV_SOAK_TRACE=1 prints how each press ended.
#include <cerrno>
#include <cstdio>
#include <map>
#include <random>

#include "tests/faults/fault_bench.h"

namespace faults {
namespace {

using nlohmann::json;
using VirtualDongle::Faults;

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

// One kind of trouble: how often it is drawn, what it breaks and which row it ends in.
struct Trouble {
  const char* name;
  int weight;
  const Row* row;
};

const Trouble kTroubles[] = {
    {"none", 30, &kRowSuccess},
    {"dongle absent", 4, &kRowConnect},
    {"start refused", 4, &kRowStart},
    {"power lost on the start request", 2, &kRowStart},
    {"power lost during the write", 10, &kRowUpgrade},
    {"link fault", 10, &kRowSuccess},
    {"verification fails", 4, &kRowUpgrade},
    {"new image does not start", 4, &kRowUpgrade},
    {"restart never ends", 1, &kRowUpgrade},
    {"restart slower than the wait", 1, &kRowUpgrade},
    {"restart reply late", 2, &kRowSuccess},
    {"dongle stops answering", 2, &kRowUpgrade},
    {"dongle stops taking reports", 2, &kRowUpgrade},
    {"node will not open", 2, &kRowConnect},
    {"flash keeps a wrong byte", 2, &kRowUpgrade},
    {"completion above 100", 2, &kRowSuccess},
    {"new image never enumerates", 1, &kRowUpgrade},
    {"new image never answers", 1, &kRowUpgrade},
    {"cable pulled at the confirmation", 1, &kRowUpgrade},
    {"cable pulled at the confirmation and back", 1, &kRowUpgrade},
    {"cable pulled after the confirmation and back", 2, &kRowSuccess},
    {"confirmation reply lost", 2, &kRowSuccess},
    {"data changed under a fitting checksum", 2, &kRowUpgrade},
    {"dongle holds another signing key", 1, &kRowStart},
    {"image below the dongle's security counter", 1, &kRowStart},
    {"version answer broken", 8, &kRowNoInfo},
    {"version query stalls", 1, &kRowNoInfo},
    {"file missing", 4, &kRowDownload},
    {"file cut off", 1, &kRowDownload},
    {"file corrupted", 3, &kRowStart},
    {"report answer broken", 4, &kRowSuccess},
};

class SoakTest : public FaultBench {
 protected:
  // Breaks what `t` names, with details drawn from `rng`.
  void Apply(const Trouble& t, std::mt19937& rng) {
    const std::string name = t.name;
    auto draw = [&](std::uint32_t below) {
      return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(rng);
    };
    Faults f;
    if (name == "dongle absent") {
      VirtualDongle::Unplug();
    } else if (name == "start refused") {
      f.refuseStart = static_cast<VirtualDongle::Refusal>(1 + draw(5));
    } else if (name == "power lost on the start request") {
      f.unplugAtByte = 0;
    } else if (name == "power lost during the write") {
      f.unplugAtByte = 1 + draw(kImageSize);
    } else if (name == "link fault") {
      const std::uint32_t at = draw(200);
      switch (draw(6)) {
        case 0:
          f.corruptData = at;
          break;
        case 1:
          f.dropData = at;
          break;
        case 2:
          f.duplicateData = at;
          break;
        case 3:
          f.corruptAck = draw(20);
          break;
        case 4:
          f.dropAck = draw(20);
          break;
        default:
          f.dropVerifyReply = true;
          break;
      }
    } else if (name == "verification fails") {
      f.failVerification = true;
    } else if (name == "new image does not start") {
      f.newImageFailsToStart = true;
    } else if (name == "restart never ends") {
      f.restartNeverEnds = true;
    } else if (name == "restart slower than the wait") {
      VirtualDongle::SetRestartDelay(milliseconds(kRebootMs + 300));
    } else if (name == "restart reply late") {
      f.activateReplyDelay = milliseconds(draw(5) * kReplyMs);
    } else if (name == "dongle stops answering") {
      f.stallAtByte = draw(kImageSize);
    } else if (name == "dongle stops taking reports") {
      f.stuckOutAtByte = draw(kImageSize);
    } else if (name == "node will not open") {
      const int errors[] = {EACCES, EPERM, EBUSY, ENOENT, ENODEV};
      f.openErrno = errors[draw(5)];
    } else if (name == "flash keeps a wrong byte") {
      f.flipStoredByte = draw(kImageSize);
    } else if (name == "completion above 100") {
      f.completionFigure = static_cast<std::uint8_t>(101 + draw(155));
    } else if (name == "new image never enumerates") {
      f.trialNeverEnumerates = true;
    } else if (name == "new image never answers") {
      f.trialNeverAnswers = true;
    } else if (name == "cable pulled at the confirmation") {
      f.unplugOnConfirm = true;
    } else if (name == "cable pulled at the confirmation and back") {
      f.unplugOnConfirm = true;
      f.replugAfter = milliseconds(1 + draw(400));
    } else if (name == "cable pulled after the confirmation and back") {
      f.unplugAfterConfirm = true;
      f.replugAfter = milliseconds(1 + draw(400));
    } else if (name == "confirmation reply lost") {
      f.dropConfirmReply = true;
    } else if (name == "data changed under a fitting checksum") {
      f.forgeData = draw(kImageSize / 62);
    } else if (name == "dongle holds another signing key") {
      VirtualDongle::SetTrustedKey(hiddfu::SigningKey::Generate().Public());
    } else if (name == "image below the dongle's security counter") {
      VirtualDongle::SetSecurityCounter(1 + draw(1000));
    } else if (name == "version answer broken") {
      RefFault r;
      switch (draw(4)) {
        case 0:
          r.status = 404;
          break;
        case 1:
          r.body = RefFault::Body::Empty;
          break;
        case 2:
          r.body = RefFault::Body::Malformed;
          break;
        default:
          r.customBody = Envelope({{"fileSize", 1}, {"fileName", "x.bin"}});
          break;
      }
      Fault(RefEndpoint::VersionGet, r);
    } else if (name == "version query stalls") {
      Fault(RefEndpoint::VersionGet, Stall());
    } else if (name == "file missing") {
      Fault(RefEndpoint::Files, Status(draw(2) == 0 ? 404 : 500));
    } else if (name == "file cut off") {
      Fault(RefEndpoint::Files, StallAfter(draw(kImageSize)));
    } else if (name == "file corrupted") {
      std::string bad = image_;
      bad[draw(static_cast<std::uint32_t>(bad.size()))] ^= static_cast<char>(1 + draw(255));
      Body(RefEndpoint::Files, bad);
    } else if (name == "report answer broken") {
      RefFault r;
      r.status = draw(2) == 0 ? 500 : 0;
      r.body = RefFault::Body::Malformed;
      Fault(RefEndpoint::ResultReport, r);
    }
    VirtualDongle::SetFaults(f);
  }
};

TEST_F(SoakTest, MixedFaultsLoseNothing) {
  const std::uint64_t seed = EnvNumber("ZAV_SOAK_SEED", std::random_device{}());
  const std::uint64_t presses = EnvNumber("ZAV_SOAK_PRESSES", ZAV_SOAK_PRESSES);
  std::printf("soak seed=%llu presses=%llu (repeat with ZAV_SOAK_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(presses),
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));
  const bool trace = std::getenv("ZAV_SOAK_TRACE") != nullptr;
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));

  std::vector<int> weights;
  for (const Trouble& t : kTroubles)
    weights.push_back(t.weight);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());

  QString tipText;
  QString tipLink;
  StartUp(ui_, tipText, tipLink);
  VirtualDongle::SetWriteTimeout(milliseconds(200));  // a stuck endpoint costs less time
  std::map<std::string, int> rows;
  std::map<std::string, int> troubles;
  int wrongOutcomes = 0;
  int unbootable = 0;
  int uncertain = 0;
  hiddfu::FirmwareVersion running = VirtualDongle::kFactoryVersion;
  for (std::uint64_t press = 0; press < presses && !HasFatalFailure(); ++press) {
    const Trouble& t = kTroubles[pick(rng)];
    SCOPED_TRACE("press " + std::to_string(press) + ": " + t.name);
    // The user plugs the dongle back in after whatever happened last time.
    service_->ClearFaults();
    VirtualDongle::SetFaults({});
    VirtualDongle::SetRestartDelay(milliseconds(0));
    VirtualDongle::SetTrustedKey(hiddfu::DemoSigningKey().Public());
    VirtualDongle::SetSecurityCounter(0);
    Settle();
    const int slotBefore = VirtualDongle::ActiveSlot();
    Apply(t, rng);

    const std::size_t before = press;
    const Attempt a = RunUpgrade(ui_);
    const Row* row = t.row;
    if (trace) {
      std::printf("press %llu: %s (%lld ms) -> %s %s\n", static_cast<unsigned long long>(press),
                  t.name, static_cast<long long>(a.elapsed.count()),
                  a.notices.empty() ? "(no notice)" : a.notices[0].toStdString().c_str(),
                  a.libraryError.c_str());
    }
    ExpectRow(a, *row, before);
    if (std::string(t.name) == "dongle stops answering" ||
        std::string(t.name) == "dongle stops taking reports") {
      VirtualDongle::Unplug();  // the user pulls out a dongle that has stopped answering
    }
    VirtualDongle::SetFaults({});  // a restart that never ends ends at the next plug
    Settle();
    const VirtualDongle::Slot slot = VirtualDongle::GetSlot(VirtualDongle::ActiveSlot());
    if (!(slot.holdsImage && slot.verified && slot.bootable) || VirtualDongle::OnTrial())
      ++unbootable;
    // What the report says against what the dongle kept.
    const bool succeeded = a.notices.size() == 1 && a.notices[0] == kSuccessNotice;
    const bool moved = VirtualDongle::ActiveSlot() != slotBefore;
    if (a.libraryError.find("it may be running the new image") != std::string::npos) {
      ++uncertain;
    } else if (succeeded != moved) {
      ++wrongOutcomes;
      ADD_FAILURE() << "the report says " << (succeeded ? "success" : "failure")
                    << ", the dongle runs slot " << VirtualDongle::ActiveSlot();
    }
    if (succeeded)
      running = kNewVersion;
    ExpectDongleRuns(running);
    ++rows[row->name];
    ++troubles[t.name];
  }

  const std::vector<json> reports = StoredReports();
  EXPECT_EQ(reports.size(), presses) << "a report was lost";
  std::printf("soak outcomes after %llu presses (seed %llu):\n",
              static_cast<unsigned long long>(presses), static_cast<unsigned long long>(seed));
  for (const auto& [name, n] : rows)
    std::printf("  %-24s %d\n", name.c_str(), n);
  std::printf("faults drawn:\n");
  for (const auto& [name, n] : troubles)
    std::printf("  %-34s %d\n", name.c_str(), n);
  std::printf("reports stored: %zu\n", reports.size());
  std::printf(
      "dongles left unbootable: %d\nwrong outcomes: %d\nfailures that could not "
      "tell what the dongle kept: %d\n",
      unbootable, wrongOutcomes, uncertain);
  EXPECT_EQ(unbootable, 0);
  EXPECT_EQ(wrongOutcomes, 0);
}

}  // namespace
}  // namespace faults
