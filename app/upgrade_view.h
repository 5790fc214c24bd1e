// What the upgrade workflow shows and waits on: the main dialog implements it; a test may
// record it instead, to drive the workflow without a window.
#pragma once

#include <QString>

#include "service/operations.h"

// Which of the two periodic jobs runs: never both.
enum class PeriodicJob { kNone, kProbe, kProgressPoll };

// The look of one workflow state.
struct UpgradeScreen {
  QString caption;  // the upgrade button's
  bool buttonEnabled = true;
  bool barShown = false;
  int barPos = 0;  // the bar clamps it into its range 0..100
  PeriodicJob job = PeriodicJob::kProbe;
  bool operator==(const UpgradeScreen&) const = default;
};

class UpgradeView {
 public:
  virtual ~UpgradeView() = default;

  // Shows the state: the button, the bar, and starts or stops the periodic jobs. A job that
  // runs already keeps its rhythm.
  virtual void ShowScreen(const UpgradeScreen& screen) = 0;
  // The connection label, after a presence probe.
  virtual void ShowConnection(bool connected) = 0;
  // The notices: modal, they return once the user has closed them.
  virtual void ShowError(const QString& message) = 0;
  virtual void ShowSuccess() = 0;
  // The busy cursor, while the workflow blocks the window.
  virtual void ShowBusy(bool busy) = 0;
  // What the download's version query and its notice touch of the window.
  virtual ServiceUi ServiceView() = 0;
};
