// A seeded random soak: hundreds of presses of the dialog's upgrade button in a row, each with
// a fault drawn from a mix of service and dongle faults (or none), on one dialog, service and
// dongle that carry over from press to press as they would for a user who keeps trying. Every
// press must end in the row its fault calls for; once at rest the dongle must run a verified
// bootable image, and the one the report names: the new slot after a success, the slot it ran
// before after a failure (either, when the report says it cannot know); and nothing may be
// lost: the service's store holds exactly one report per press.
//
// The seed is printed; ZAV_SOAK_SEED=<n> repeats a run, ZAV_SOAK_PRESSES=<n> changes its
// length. A failure names the press and its fault.
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <random>

#include "tests/common/compressed_image.h"
#include "tests/faults/fault_test.h"

namespace faults {
namespace {

using nlohmann::json;
using VirtualDongle::Refusal;

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

class SoakTest;
using Draw = std::function<std::uint32_t(std::uint32_t)>;  // a number below its argument
using Apply = std::function<void(SoakTest&, const Draw&)>;

// One kind of trouble: how often it is drawn, what it breaks and which row it ends in.
struct Trouble {
  const char* name;
  int weight;
  const Row* row;
  Apply apply;
  bool pulledAfter = false;  // the user pulls out a dongle that has stopped answering
};

class SoakTest : public FaultTest {
 protected:
  static std::vector<Trouble> Troubles();
  void Soak(std::uint64_t presses);
  // Before each press, after the trouble of the last one has gone.
  virtual void Prepare(const Draw&) {}
  void Service(RefEndpoint endpoint, const RefFault& fault) { service_->SetFault(endpoint, fault); }
};

Apply Dongle(std::function<Faults(const Draw&)> make) {
  return [make](SoakTest&, const Draw& draw) { VirtualDongle::SetFaults(make(draw)); };
}

Apply Flag(bool Faults::*flag) {
  return Dongle([flag](const Draw&) { return With(flag, true); });
}

Faults LinkFault(const Draw& draw) {
  const std::uint32_t at = draw(200);
  switch (draw(6)) {
    case 0:
      return With(&Faults::corruptData, at);
    case 1:
      return With(&Faults::dropData, at);
    case 2:
      return With(&Faults::duplicateData, at);
    case 3:
      return With(&Faults::corruptAck, draw(20));
    case 4:
      return With(&Faults::dropAck, draw(20));
    default:
      return With(&Faults::dropVerifyReply, true);
  }
}

// The power goes at the n-th write of the boot state, whole or torn, and is back soon.
Apply BootWriteCut(std::uint32_t nth) {
  return Dongle([nth](const Draw& d) {
    Faults f = With(&Faults::powerCutAtBootWrite, nth);
    f.tornBootWrite = d(2) == 0;
    f.replugAfter = milliseconds(1 + d(200));
    return f;
  });
}

RefFault BrokenVersionAnswer(const Draw& draw) {
  switch (draw(4)) {
    case 0:
      return With(&RefFault::status, 404);
    case 1:
      return With(&RefFault::body, RefFault::Body::Empty);
    case 2:
      return With(&RefFault::body, RefFault::Body::Malformed);
    default:
      return With(&RefFault::customBody, Envelope({{"fileSize", 1}, {"fileName", "x.bin"}}));
  }
}

std::vector<Trouble> SoakTest::Troubles() {
  auto service = [](RefEndpoint endpoint, std::function<RefFault(const Draw&)> make) -> Apply {
    return [endpoint, make](SoakTest& t, const Draw& d) { t.Service(endpoint, make(d)); };
  };
  auto replugged = [](bool Faults::*when) {
    return Dongle([when](const Draw& d) {
      Faults f = With(when, true);
      f.replugAfter = milliseconds(1 + d(400));
      return f;
    });
  };
  return {
      {"none", 30, &kRowSuccess, [](SoakTest&, const Draw&) {}},
      {"dongle absent", 4, &kRowConnect, [](SoakTest&, const Draw&) { VirtualDongle::Unplug(); }},
      {"start refused", 4, &kRowStart,
       Dongle([](const Draw& d) { return With(&Faults::refuseStart, Refusal(1 + d(5))); })},
      {"power lost on the start request", 2, &kRowStart,
       Dongle([](const Draw&) { return With(&Faults::unplugAtByte, 0u); })},
      {"power lost during the write", 10, &kRowUpgrade,
       Dongle([](const Draw& d) { return With(&Faults::unplugAtByte, 1 + d(kImageSize)); })},
      {"link fault", 10, &kRowSuccess, Dongle(LinkFault)},
      {"verification fails", 4, &kRowUpgrade, Flag(&Faults::failVerification)},
      {"new image does not start", 4, &kRowUpgrade, Flag(&Faults::newImageFailsToStart)},
      {"restart never ends", 1, &kRowUpgrade, Flag(&Faults::restartNeverEnds)},
      {"restart slower than the wait", 1, &kRowUpgrade,
       [](SoakTest&, const Draw&) {
         VirtualDongle::SetRestartDelay(milliseconds(kRebootMs + 300));
       }},
      {"restart reply late", 2, &kRowSuccess, Dongle([](const Draw& d) {
         return With(&Faults::activateReplyDelay, milliseconds(d(5) * kReplyMs));
       })},
      {"dongle stops answering", 2, &kRowUpgrade,
       Dongle([](const Draw& d) { return With(&Faults::stallAtByte, d(kImageSize)); }), true},
      {"dongle stops taking reports", 2, &kRowUpgrade,
       Dongle([](const Draw& d) { return With(&Faults::stuckOutAtByte, d(kImageSize)); }), true},
      {"node will not open", 2, &kRowConnect, Dongle([](const Draw& d) {
         const int errors[] = {EACCES, EPERM, EBUSY, ENOENT, ENODEV};
         return With(&Faults::openErrno, errors[d(5)]);
       })},
      {"flash keeps a wrong byte", 2, &kRowUpgrade,
       Dongle([](const Draw& d) { return With(&Faults::flipStoredByte, d(kImageSize)); })},
      {"completion above 100", 2, &kRowSuccess, Dongle([](const Draw& d) {
         return With(&Faults::completionFigure, static_cast<std::uint8_t>(101 + d(155)));
       })},
      {"new image never enumerates", 1, &kRowUpgrade, Flag(&Faults::trialNeverEnumerates)},
      {"new image never answers", 1, &kRowUpgrade, Flag(&Faults::trialNeverAnswers)},
      {"new image's slot decays after the check", 2, &kRowUpgrade, Flag(&Faults::decayAfterVerify)},
      {"new image fails its self-test", 2, &kRowUpgrade, Flag(&Faults::selfTestFails)},
      {"new image's self-test never ends", 1, &kRowUpgrade, Flag(&Faults::selfTestNeverEnds)},
      // The power goes at a write of the boot state, and comes back: at the commit the image
      // is lost, at the trial start the loader tries it again (and it is kept), at the
      // confirmation it is given up.
      {"power cut at the commit", 2, &kRowUpgrade, BootWriteCut(1)},
      {"power cut at the trial start", 2, &kRowSuccess, BootWriteCut(2)},
      {"power cut at the confirmation", 2, &kRowUpgrade, BootWriteCut(3)},
      {"cable pulled at the confirmation", 1, &kRowUpgrade, Flag(&Faults::unplugOnConfirm)},
      {"cable pulled at the confirmation and back", 1, &kRowUpgrade,
       replugged(&Faults::unplugOnConfirm)},
      {"cable pulled after the confirmation and back", 2, &kRowSuccess,
       replugged(&Faults::unplugAfterConfirm)},
      {"confirmation reply lost", 2, &kRowSuccess, Flag(&Faults::dropConfirmReply)},
      {"data changed under a fitting checksum", 2, &kRowUpgrade,
       Dongle([](const Draw& d) { return With(&Faults::forgeData, d(kImageSize / 62)); })},
      {"dongle holds another signing key", 1, &kRowStart,
       [](SoakTest&, const Draw&) {
         VirtualDongle::SetTrustedKey(hiddfu::SigningKey::Generate().Public());
       }},
      {"image below the dongle's security counter", 1, &kRowStart,
       [](SoakTest&, const Draw& d) { VirtualDongle::SetSecurityCounter(1 + d(1000)); }},
      {"version answer broken", 8, &kRowNoInfo,
       service(RefEndpoint::VersionGet, BrokenVersionAnswer)},
      {"version query stalls", 1, &kRowNoInfo,
       service(RefEndpoint::VersionGet, [](const Draw&) { return With(&RefFault::stall, true); })},
      {"file missing", 4, &kRowDownload,
       service(RefEndpoint::Files,
               [](const Draw& d) { return With(&RefFault::status, d(2) == 0 ? 404 : 500); })},
      {"file cut off", 1, &kRowDownload,
       service(
           RefEndpoint::Files,
           [](const Draw& d) { return With(&RefFault::stallAfter, std::size_t{d(kImageSize)}); })},
      {"file corrupted", 3, &kRowStart,
       [](SoakTest& t, const Draw& d) {
         std::string bad = t.image_;
         bad[d(static_cast<std::uint32_t>(bad.size()))] ^= static_cast<char>(1 + d(255));
         t.Body(RefEndpoint::Files, bad);
       }},
      {"report answer broken", 4, &kRowSuccess,
       service(RefEndpoint::ResultReport,
               [](const Draw& d) {
                 RefFault r = With(&RefFault::body, RefFault::Body::Malformed);
                 r.status = d(2) == 0 ? 500 : 0;
                 return r;
               })},
  };
}

void SoakTest::Soak(std::uint64_t presses) {
  const std::uint64_t seed = EnvNumber("ZAV_SOAK_SEED", std::random_device{}());
  std::printf("soak seed=%llu presses=%llu (repeat with ZAV_SOAK_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(presses),
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  const Draw draw = [&rng](std::uint32_t below) {
    return std::uniform_int_distribution<std::uint32_t>(0, below - 1)(rng);
  };

  const std::vector<Trouble> troubles = Troubles();
  std::vector<int> weights;
  for (const Trouble& t : troubles)
    weights.push_back(t.weight);
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());

  OpenDialog();
  VirtualDongle::SetWriteTimeout(milliseconds(200));  // a stuck endpoint costs less time
  std::map<std::string, int> rows;
  std::map<std::string, int> drawn;
  int wrongOutcomes = 0;
  int unbootable = 0;
  int uncertain = 0;
  hiddfu::FirmwareVersion running = kFactoryVersion;
  for (std::uint64_t press = 0; press < presses && !HasFatalFailure(); ++press) {
    const Trouble& t = troubles[pick(rng)];
    SCOPED_TRACE("press " + std::to_string(press) + ": " + t.name);
    Heal();  // the user plugs the dongle back in after whatever happened last time
    Prepare(draw);
    const int slotBefore = VirtualDongle::ActiveSlot();
    t.apply(*this, draw);

    const Attempt a = Press();
    ExpectRow(a, *t.row);
    if (t.pulledAfter)
      VirtualDongle::Unplug();
    VirtualDongle::SetFaults({});  // a restart that never ends ends at the next plug
    Settle();
    const VirtualDongle::Slot slot = VirtualDongle::GetSlot(VirtualDongle::ActiveSlot());
    if (!(slot.holdsImage && slot.verified && slot.bootable) || VirtualDongle::OnTrial())
      ++unbootable;
    // What the report says against what the dongle kept.
    const bool moved = VirtualDongle::ActiveSlot() != slotBefore;
    if (a.Message().find("it may be running the new image") != std::string::npos) {
      ++uncertain;
    } else if (a.Succeeded() != moved) {
      ++wrongOutcomes;
      ADD_FAILURE() << "the report says " << (a.Succeeded() ? "success" : "failure")
                    << ", the dongle runs slot " << VirtualDongle::ActiveSlot();
    }
    if (a.Succeeded())
      running = kNewVersion;
    ExpectDongleRuns(running);
    ++rows[std::string(t.row->name)];
    ++drawn[t.name];
  }

  const std::size_t stored = Reports().size();
  EXPECT_EQ(stored, presses) << "a report was lost";
  std::printf("soak outcomes after %llu presses (seed %llu), then the faults drawn:\n",
              static_cast<unsigned long long>(presses), static_cast<unsigned long long>(seed));
  for (const auto* counts : {&rows, &drawn}) {
    for (const auto& [name, n] : *counts)
      std::printf("  %-34s %d\n", name.c_str(), n);
  }
  std::printf(
      "reports stored: %zu\ndongles left unbootable: %d\nwrong outcomes: %d\nfailures that "
      "could not tell what the dongle kept: %d\n",
      stored, unbootable, wrongOutcomes, uncertain);
  EXPECT_EQ(unbootable, 0);
  EXPECT_EQ(wrongOutcomes, 0);
}

TEST_F(SoakTest, MixedFaultsLoseNothing) {
  Soak(EnvNumber("ZAV_SOAK_PRESSES", ZAV_SOAK_PRESSES));
}

// The same mix with the catalogue's image compressed, to a dongle that decodes it as it
// arrives or, drawn at each press, to one without a decoder, which gets it decoded by the
// host. The stream is at least as long as the uncompressed image, so that every fault drawn
// at a byte of it strikes.
class CompressedSoakTest : public SoakTest {
 protected:
  void SetUp() override {
    SoakTest::SetUp();
    if (HasFatalFailure())
      return;
    std::string payload, stream;
    for (std::size_t size = kImageSize; stream.size() < kImageSize; size += 4096) {
      payload = CompressiblePayload(size);
      stream = Compress(payload, hiddfu::BranchFilter::kArmThumb);
    }
    image_ = SignedImage(
        CompressedHeader(payload, stream, kNewVersion, hiddfu::BranchFilter::kArmThumb), stream);
    CatalogueEntry entry = Firmware();
    entry.tipUrl = "https://localhost/notes";
    ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, image_));
  }
  void Prepare(const Draw& draw) override {
    VirtualDongle::SetDecoder(draw(3) == 0 ? VirtualDongle::kNoDecoder : VirtualDongle::Decoder{});
  }
};

TEST_F(CompressedSoakTest, MixedFaultsLoseNothing) {
  Soak(EnvNumber("ZAV_SOAK_PRESSES", ZAV_SOAK_PRESSES) / 3);
}

}  // namespace
}  // namespace faults
