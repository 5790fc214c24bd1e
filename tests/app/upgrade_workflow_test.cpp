// The upgrade workflow without a window: the real service, download, update library and
// virtual dongle under it, and a view that records what it was told to show. The ticks of its
// periodic jobs are called directly, so each step is seen, not sampled.
#include "app/upgrade_workflow.h"

#include <chrono>
#include <functional>
#include <ostream>
#include <thread>

#include "app/upgrade_view.h"
#include "hiddfu/hiddfu.h"
#include "hiddfu/image.h"
#include "tests/app/app_fixture.h"
#include "tests/common/stdout_capture.h"

// For gtest's messages.
void PrintTo(const UpgradeScreen& s, std::ostream* os) {
  *os << '"' << s.caption.toStdString() << "\" " << (s.buttonEnabled ? "enabled" : "disabled")
      << ", bar " << (s.barShown ? "shown at " : "hidden at ") << s.barPos << ", job "
      << static_cast<int>(s.job);
}

namespace {

using namespace std::chrono_literals;

struct RecordedNotice {
  QString text;  // empty for the success notice, which has its own
  bool success = false;
  std::size_t reportsAtOpen = 0;
  UpgradeScreen behind;
};

class RecordingView final : public UpgradeView {
 public:
  explicit RecordingView(const RefService& service) : service_(service) {}

  void ShowScreen(const UpgradeScreen& screen) override {
    if (screens.empty() || !(screens.back() == screen))
      screens.push_back(screen);
  }
  void ShowConnection(bool connected) override { connections.push_back(connected); }
  void ShowError(const QString& message) override { Notice(message, false); }
  void ShowSuccess() override { Notice({}, true); }
  void ShowBusy(bool busy) override { busyDepth += busy ? 1 : -1; }
  ServiceUi ServiceView() override {
    return {[this](const QString& text) { versionLabel = text; },
            {},
            [this](const QString& message) { ShowError(message); }};
  }

  const UpgradeScreen& Current() const { return screens.back(); }

  std::vector<UpgradeScreen> screens;  // each different from the one before
  std::vector<bool> connections;
  std::vector<RecordedNotice> notices;
  QString versionLabel;
  int busyDepth = 0;

 private:
  void Notice(const QString& text, bool success) {
    notices.push_back({text, success, service_.Reports().size(), Current()});
  }
  const RefService& service_;
};

UpgradeScreen Screen(const char* caption, bool enabled, bool bar, int pos, PeriodicJob job) {
  return {QString::fromUtf8(caption), enabled, bar, pos, job};
}

}  // namespace

class UpgradeWorkflowTest : public AppTest {
 protected:
  // Polls as the progress timer would, until the write has been followed to its end.
  static void FollowTheWrite(UpgradeWorkflow& workflow) {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while ((workflow.State() == UpgradeState::kUpgrading ||
            workflow.State() == UpgradeState::kRestarting) &&
           std::chrono::steady_clock::now() < until) {
      workflow.PollProgress();
      std::this_thread::sleep_for(2ms);
    }
  }
};

// Each outcome from a press: one report, then its notice over the state the table names; idle
// with the probe again afterwards, the busy cursor gone.
TEST_F(UpgradeWorkflowTest, EachOutcomeReportsThenShowsItsNoticeAndEndsIdle) {
  using Faults = VirtualDongle::Faults;
  const struct {
    const Row& row;
    std::function<void()> breakIt;
  } cases[] = {
      {kRowNoInfo,
       [this] { service_->SetFault(RefEndpoint::VersionGet, With(&RefFault::status, 404)); }},
      {kRowDownload,
       [this] { service_->SetFault(RefEndpoint::Files, With(&RefFault::status, 500)); }},
      {kRowConnect, [] { VirtualDongle::Unplug(); }},
      {kRowStart,
       [this] {
         std::string image = hiddfu::MakeImageBytes(std::string(4096, 'x'), kNewVersion);
         image[hiddfu::kImageHeaderSize] ^= 1;
         ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", Firmware(), image));
       }},
      {kRowUpgrade, [] { VirtualDongle::SetFaults(With(&Faults::failVerification, true)); }},
      {kRowSuccess, [] {}},
  };
  const UpgradeScreen idle = Screen("升级", true, false, 0, PeriodicJob::kProbe);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.row.name));
    service_->ClearFaults();
    VirtualDongle::Reset();
    VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
    Publish(Firmware());
    c.breakIt();
    const std::size_t before = Reports().size();

    RecordingView view(*service_);
    UpgradeWorkflow workflow(view);
    QuietStdout quiet;
    workflow.Start();
    workflow.Press();
    FollowTheWrite(workflow);
    hidDfuDisconnect();

    EXPECT_EQ(workflow.State(), UpgradeState::kIdle);
    EXPECT_EQ(view.busyDepth, 0);
    ASSERT_EQ(Reports().size(), before + 1) << "one report per press";
    EXPECT_EQ(Member(Reports().back(), "errorCode"), c.row.errorCode);
    ASSERT_EQ(view.notices.size(), 1u) << "one notice per press";
    const RecordedNotice& notice = view.notices[0];
    EXPECT_EQ(notice.reportsAtOpen, before + 1) << "the notice opened before the report";
    EXPECT_EQ(notice.success, c.row.notice == Row::Notice::kSuccess);
    if (!notice.success) {
      EXPECT_EQ(notice.text, NoticeText(c.row.outcome));
    }
    const bool wrote =
        c.row.outcome == Outcome::kUpgraded || c.row.outcome == Outcome::kUpgradeFailed;
    if (!wrote) {
      // Nothing but the idle look, the probe going on behind the notice.
      EXPECT_EQ(view.screens, std::vector<UpgradeScreen>{idle});
      continue;
    }
    // Idle, the write followed from 0, its end with no job behind the notice, idle again with
    // the bar where the write left it.
    const bool ok = c.row.outcome == Outcome::kUpgraded;
    const UpgradeScreen end = notice.behind;
    EXPECT_EQ(end.caption, ok ? "升级成功" : "升级失败");
    EXPECT_FALSE(end.buttonEnabled);
    EXPECT_TRUE(end.barShown);
    EXPECT_EQ(end.job, PeriodicJob::kNone);
    ASSERT_GE(view.screens.size(), 4u);
    EXPECT_EQ(view.screens[0], idle);
    EXPECT_EQ(view.screens[1], Screen("升级中", false, true, 0, PeriodicJob::kProgressPoll));
    EXPECT_EQ(view.screens.back(), Screen("升级", true, false, end.barPos, PeriodicJob::kProbe));
    // The bar's last figure below 100 on a failure.
    EXPECT_EQ(Member(Reports().back(), "errorProgress"), ok ? "100" : std::to_string(end.barPos));
  }
}

// The steps of one poll at the thresholds, fed one figure at a time during a write; outside a
// write a poll and during one the probe do nothing at all.
TEST_F(UpgradeWorkflowTest, PollStepsAtTheThresholdsAndJobsOutsideTheirStates) {
  RecordingView view(*service_);
  UpgradeWorkflow workflow(view);
  workflow.Start();
  StdoutCapture outside;
  workflow.OnProgress(100);
  EXPECT_EQ(outside.Stop(), "");
  EXPECT_EQ(workflow.State(), UpgradeState::kIdle);

  {
    QuietStdout quiet;
    workflow.Press();
  }
  ASSERT_EQ(workflow.State(), UpgradeState::kUpgrading);
  StdoutCapture capture;
  // A figure below 95 after one above does not set the caption back.
  for (const auto& [figure, caption] :
       {std::pair{94, "升级中"}, {95, "重启中"}, {90, "重启中"}, {99, "重启中"}}) {
    workflow.OnProgress(static_cast<unsigned char>(figure));
    EXPECT_EQ(view.Current(), Screen(caption, false, true, figure, PeriodicJob::kProgressPoll));
  }
  workflow.ProbeDevice();
  EXPECT_EQ(SplitLines(capture.Stop()),
            (std::vector<std::string>{"pos=94", "pos=95", "pos=90", "pos=99"}));
  EXPECT_TRUE(view.connections.empty()) << "the probe ran during the write";
  EXPECT_EQ(workflow.State(), UpgradeState::kRestarting);
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(view.notices.empty());
}

// The probe: a connect and a disconnect each time, the label set, the line logged when the
// dongle is there.
TEST_F(UpgradeWorkflowTest, ProbeShowsWhetherTheDongleIsThere) {
  RecordingView view(*service_);
  UpgradeWorkflow workflow(view);
  workflow.Start();
  StdoutCapture capture;
  workflow.ProbeDevice();
  VirtualDongle::Unplug();
  workflow.ProbeDevice();
  VirtualDongle::Plug();
  workflow.ProbeDevice();
  EXPECT_EQ(CountLines(capture.Stop(), "设备已连接"), 2u);
  EXPECT_EQ(view.connections, (std::vector<bool>{true, false, true}));
  EXPECT_EQ(VirtualDongle::GetStats().starts, 0u);
}
