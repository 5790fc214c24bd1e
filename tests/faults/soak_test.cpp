// A seeded random soak: hundreds of presses of the upgrade button in a row, each with a fault
// drawn from a mix of service and dongle faults (or none), on one service and one dongle that
// carry over from press to press as they would for a user who keeps trying. Every press must
// end in the row its fault calls for, the dongle must always run a verified bootable image,
// and nothing may be lost: the service's store holds exactly one report per press, in order.
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
  hiddfu::FirmwareVersion running = VirtualDongle::kFactoryVersion;
  for (std::uint64_t press = 0; press < presses && !HasFatalFailure(); ++press) {
    const Trouble& t = kTroubles[pick(rng)];
    SCOPED_TRACE("press " + std::to_string(press) + ": " + t.name);
    // The user plugs the dongle back in after whatever happened last time.
    service_->ClearFaults();
    VirtualDongle::SetFaults({});
    if (!VirtualDongle::IsPlugged())
      VirtualDongle::Plug();
    Apply(t, rng);

    const std::size_t before = press;
    const Attempt a = RunUpgrade(ui_);
    const Row* row = t.row;
    if (trace) {
      std::printf("press %llu: %s -> %s %s\n", static_cast<unsigned long long>(press), t.name,
                  a.notices.empty() ? "(no notice)" : a.notices[0].toStdString().c_str(),
                  a.libraryError.c_str());
    }
    ExpectRow(a, *row, before);
    if (row == &kRowSuccess) {
      running = kNewVersion;
    } else if (std::string(t.name) == "restart slower than the wait") {
      // The report said it may run the new image: it does, once it is back.
      const auto until = Clock::now() + milliseconds(3000);
      while (!VirtualDongle::IsPlugged() && Clock::now() < until)
        std::this_thread::sleep_for(milliseconds(10));
      VirtualDongle::SetRestartDelay(milliseconds(0));
      running = kNewVersion;
    } else if (std::string(t.name) == "dongle stops answering" ||
               std::string(t.name) == "dongle stops taking reports") {
      VirtualDongle::Unplug();  // the user pulls out a dongle that has stopped answering
    } else if (std::string(t.name) == "restart never ends") {
      // Committed before it left: the next power-up starts the new image.
      VirtualDongle::SetFaults({});
      VirtualDongle::Plug();
      running = kNewVersion;
    }
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
}

}  // namespace
}  // namespace faults
