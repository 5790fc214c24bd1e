// The upgrade workflow: from a press of the upgrade button until the outcome has been reported
// to the service and shown, and the presence probe between upgrades. It owns the workflow's
// state; the view (the main dialog) shows it, runs the periodic job it names and calls the
// tick of that job. It touches no widget.
//
//   state        job             caption              button     bar
//   kIdle        presence probe  "升级"               enabled    hidden
//   kPreparing   presence probe  "升级"               enabled    hidden   (inside Press)
//   kUpgrading   progress poll   "升级中"             disabled   shown at the figure
//   kRestarting  progress poll   "重启中" (from 95)   disabled   shown at the figure
//   kSucceeded   none            "升级成功"           disabled   shown    (notice open)
//   kFailed      none            "升级失败"           disabled   shown    (notice open)
//
// Every press ends in exactly one outcome (service/outcome.h): one result report, then its
// notice. Everything runs on the GUI thread; the service requests and the download block it.
#pragma once

#include <string>

#include "service/outcome.h"

class UpgradeView;

enum class UpgradeState { kIdle, kPreparing, kUpgrading, kRestarting, kSucceeded, kFailed };

class UpgradeWorkflow {
 public:
  explicit UpgradeWorkflow(UpgradeView& view);
  UpgradeWorkflow(const UpgradeWorkflow&) = delete;
  UpgradeWorkflow& operator=(const UpgradeWorkflow&) = delete;

  // Idle, the presence probe running: the end of the dialog's start-up.
  void Start();
  // The upgrade button: download, connect and start the write. Ignored unless idle.
  void Press();
  // A tick of the progress poll: reads the library's figure.
  void PollProgress();
  // A progress poll that read the figure p (above 100 counts as finished, as 100 does).
  // Nothing happens unless a write is being followed.
  void OnProgress(unsigned char p);
  // A tick of the presence probe. Nothing happens while a write is followed or its notice is
  // open.
  void ProbeDevice();

  UpgradeState State() const { return state_; }

 private:
  // What moves the workflow from one state to the next.
  enum class Event {
    kPressed,
    kGaveUp,
    kWriteStarted,
    kRestarting,
    kWriteOk,
    kWriteFailed,
    kNoticeClosed
  };
  // The transitions, all of them: an event that does not apply leaves the state as it is.
  static UpgradeState Next(UpgradeState state, Event event);
  // Takes the transition and shows the new state.
  void On(Event event);

  void StartUpgrade(std::string binPath);
  void FinishUpgrade(unsigned char p);
  // A failure before the write: its report, then its notice; idle again.
  void GiveUp(Outcome outcome, const std::string& libraryError = {});

  UpgradeView& view_;
  UpgradeState state_ = UpgradeState::kIdle;
  int barPos_ = 0;  // the bar's position: the last figure below 100, or the final one
};
