// The dongle's boot state as it lies in flash: a sector of its own where records are
// appended one at a time, each one flash write with a checksum of its own, and never
// rewritten. The state the boot loader acts on is what the intact records say, in order; a
// record the power cut short fails its checksum and counts as not written. The order the
// dongle writes them in keeps it bootable after any prefix (docs/protocol.md, "The boot
// state in flash").
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace dongle {

enum class BootRecord : std::uint8_t {
  kTry = 1,           // ACTIVATE: start this slot once, on trial, at the next power-on
  kTrialStarted = 2,  // the boot loader has started that try: a reset now gives it up
  kConfirmed = 3,     // CONFIRM: the slot is the one to start from now on
  kCounter = 4,       // the security counter is raised to the value
  kGivenUp = 5,       // the slot's try ended unconfirmed: never tried again
};

struct BootState {
  int confirmed = 0;  // the slot started normally
  int pending = -1;   // a slot to try at the next power-on
  int trial = -1;     // the slot whose try has begun and is not confirmed
  std::uint32_t counter = 0;
  bool givenUp[2] = {false, false};
};

class BootJournal {
 public:
  // A fresh sector holding the factory's state: `slot` confirmed, security counter `counter`.
  void Format(int slot, std::uint32_t counter);
  BootState State() const;

  // Appends a record: false when the power is cut at it (it was then not written, or left
  // torn). Each append is a point where a fault can cut the power.
  bool Append(BootRecord kind, int slot, std::uint32_t value = 0);
  // Cuts the power at the `nth` append from now on (1: the next one); torn: half-written.
  void CutAt(std::uint32_t nth, bool torn);
  bool CutPending() const { return cutIn_ != 0; }
  // Appends made since the sector was formatted, cut ones included.
  std::uint32_t Writes() const { return writes_; }

 private:
  using Entry = std::array<std::uint8_t, 8>;  // kind, slot, value u32, reserved, CRC-8
  static Entry Make(BootRecord kind, int slot, std::uint32_t value);
  static bool Intact(const Entry& e);

  std::vector<Entry> entries_;
  std::uint32_t writes_ = 0;
  std::uint32_t cutIn_ = 0;  // appends to go until the cut; 0: none
  bool torn_ = false;
};

}  // namespace dongle
