#include "dongle/boot_journal.h"

#include <algorithm>

#include "hiddfu/protocol.h"

namespace dongle {

BootJournal::Entry BootJournal::Make(BootRecord kind, int slot, std::uint32_t value) {
  Entry e{};
  e[0] = static_cast<std::uint8_t>(kind);
  e[1] = static_cast<std::uint8_t>(slot);
  hiddfu::Put32(e.data() + 2, value);
  e[7] = hiddfu::proto::Crc8(e.data(), 7);
  return e;
}

bool BootJournal::Intact(const Entry& e) {
  return e[7] == hiddfu::proto::Crc8(e.data(), 7) && e[1] < 2;
}

void BootJournal::Format(int slot, std::uint32_t counter) {
  entries_.clear();
  entries_.push_back(Make(BootRecord::kConfirmed, slot, 0));
  entries_.push_back(Make(BootRecord::kCounter, slot, counter));
  writes_ = 0;
  cutIn_ = 0;
}

BootState BootJournal::State() const {
  BootState s;
  for (const Entry& e : entries_) {
    if (!Intact(e))
      continue;
    const int slot = e[1];
    switch (static_cast<BootRecord>(e[0])) {
      case BootRecord::kTry:
        s.pending = slot;
        s.givenUp[slot] = false;  // a new image in that slot
        break;
      case BootRecord::kTrialStarted:
        if (s.pending == slot) {
          s.pending = -1;
          s.trial = slot;
        }
        break;
      case BootRecord::kConfirmed:
        s.confirmed = slot;
        if (s.trial == slot)
          s.trial = -1;
        if (s.pending == slot)
          s.pending = -1;
        break;
      case BootRecord::kCounter:
        s.counter = std::max(s.counter, hiddfu::Get32(e.data() + 2));
        break;
      case BootRecord::kGivenUp:
        s.givenUp[slot] = true;
        if (s.trial == slot)
          s.trial = -1;
        if (s.pending == slot)
          s.pending = -1;
        break;
    }
  }
  return s;
}

bool BootJournal::Append(BootRecord kind, int slot, std::uint32_t value) {
  ++writes_;
  if (cutIn_ != 0 && --cutIn_ == 0) {
    if (torn_) {
      Entry half = Make(kind, slot, value);
      half[7] ^= 0xFF;  // the checksum never written
      entries_.push_back(half);
    }
    return false;
  }
  entries_.push_back(Make(kind, slot, value));
  return true;
}

void BootJournal::CutAt(std::uint32_t nth, bool torn) {
  cutIn_ = nth;
  torn_ = torn;
}

}  // namespace dongle
