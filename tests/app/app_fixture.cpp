#include "tests/app/app_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QTest>
#include <QWindow>
#include <filesystem>
#include <optional>

#include "controls/dialog_units.h"
#include "controls/my_progress_bar.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "service/operations.h"
#include "tests/common/stdout_capture.h"

using nlohmann::json;

namespace {

// The message a notice shows, by its template's message control.
QString NoticeText(QWidget* notice) {
  for (const int id : {1022, 1024, 1015}) {
    if (auto* label = DialogItem<QLabel>(notice, id))
      return label->text();
  }
  // The About box: its second line.
  if (auto* note = notice->findChild<QLabel*>(QStringLiteral("IDC_STATIC_note")))
    return note->text();
  return {};
}

}  // namespace

const char* NoticeClass(const Row& row) {
  return row.notice == Row::Notice::kSuccess ? "CSuccessDlg" : "CErrorDlg";
}

std::string Attempt::Message() const {
  return reports.size() == 1 ? Member(reports[0], "errorMsg") : "";
}

bool Attempt::Succeeded() const {
  return notices.size() == 1 && notices[0].cls == "CSuccessDlg";
}

std::string Member(const json& report, const char* name) {
  if (!report.contains(name))
    return "absent";
  const json& value = report.at(name);
  return value.is_string() ? value.get<std::string>() : value.dump();
}

void AppTest::SetUp() {
  ServiceTest::SetUp();
  if (HasFatalFailure())
    return;
  VirtualDongle::Reset();
  VirtualDongle::SetTiming(VirtualDongle::Timing::kInstant);
  ASSERT_EQ(hidDfuSetTimeouts(kReplyMs, kRebootMs), 0);
  Publish(Firmware());

  watcher_.setInterval(10);
  QObject::connect(&watcher_, &QTimer::timeout, [this] { Watch(); });
  watcher_.start();
}

void AppTest::TearDown() {
  if (dlg_) {
    dlg_->reject();
    dlg_.reset();
  }
  watcher_.stop();
  // Cancels and joins whatever upgrade a test left running.
  hidDfuDisconnect();
  EXPECT_FALSE(bothTimers_) << "the progress poll and the presence probe ran together";
  ServiceTest::TearDown();
}

CatalogueEntry AppTest::Firmware() {
  CatalogueEntry entry;
  entry.file = "marlo-1.2.0.7.bin";
  entry.version = 1020007;  // 1.2.0.7
  entry.bizId = "biz-1020007";
  entry.versionTxt = "V1.2.0.7";
  entry.tip = "发现新固件";
  entry.tipUrl = "";  // no address: no tip dialog at start-up
  return entry;
}

void AppTest::Publish(const CatalogueEntry& entry, std::size_t payloadSize) {
  std::string payload(payloadSize, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry,
                             hiddfu::MakeImageBytes(payload, kNewVersion)));
}

CZavDlg& AppTest::Open() {
  dlg_ = std::make_unique<CZavDlg>();
  dlg_->show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get(), 5000));
  return *dlg_;
}

void AppTest::ClickUpgrade() {
  auto* button = DialogItem<QAbstractButton>(dlg_.get(), 1004);
  ASSERT_NE(button, nullptr);
  ASSERT_TRUE(button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
}

Attempt AppTest::Press(std::chrono::milliseconds bound, bool quiet) {
  Attempt a;
  a.bound = bound;
  const std::size_t noticesBefore = notices_.size();
  const std::size_t statesBefore = states_.size();
  a.reportsBefore = Reports().size();
  const auto begin = std::chrono::steady_clock::now();
  {
    std::optional<QuietStdout> silence;
    if (quiet)
      silence.emplace();
    ClickUpgrade();
    a.backToIdle = WaitIdle(static_cast<int>(bound.count()));
  }
  a.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - begin);
  a.notices.assign(notices_.begin() + static_cast<std::ptrdiff_t>(noticesBefore), notices_.end());
  a.states.assign(states_.begin() + static_cast<std::ptrdiff_t>(statesBefore), states_.end());
  const std::vector<json> reports = Reports();
  if (reports.size() > a.reportsBefore)
    a.reports.assign(reports.begin() + static_cast<std::ptrdiff_t>(a.reportsBefore), reports.end());
  return a;
}

void AppTest::ExpectRow(const Attempt& a, const Row& row, bool reportStored,
                        const std::string& file, const std::string& written) {
  SCOPED_TRACE("expected outcome: " + std::string(row.name));
  EXPECT_TRUE(a.backToIdle) << "the dialog did not come back to idle";
  EXPECT_LE(a.elapsed, a.bound);
  ASSERT_EQ(a.notices.size(), 1u) << "one notice per press";
  const SeenNotice& notice = a.notices[0];
  EXPECT_EQ(notice.cls, NoticeClass(row));
  EXPECT_EQ(notice.text, NoticeText(row.outcome));
  // Behind the notice of a write that ended, the bar and its caption, no timer; before the
  // write, the idle dialog and its probe.
  const bool wrote = row.outcome == Outcome::kUpgraded || row.outcome == Outcome::kUpgradeFailed;
  const DialogState& behind = notice.main;
  EXPECT_EQ(behind.caption, row.outcome == Outcome::kUpgraded ? "升级成功"
                            : wrote                           ? "升级失败"
                                                              : "升级");
  EXPECT_EQ(behind.enabled, !wrote);
  EXPECT_EQ(behind.barVisible, wrote);
  EXPECT_EQ(behind.probeTimer, !wrote);
  EXPECT_FALSE(behind.progressTimer);
  if (!reportStored) {
    EXPECT_TRUE(a.reports.empty());
    return;
  }
  ASSERT_EQ(a.reports.size(), 1u) << "one report per press";
  EXPECT_EQ(notice.reportsAtOpen, a.reportsBefore + 1) << "the notice opened before the report";
  const json& r = a.reports[0];
  EXPECT_EQ(Member(r, "code"), row.code);
  EXPECT_EQ(Member(r, "errorCode"), row.errorCode);
  if (row.message != Row::Message::kLibraryError) {
    EXPECT_EQ(Member(r, "errorMsg"), row.errorMsg);
  } else {
    EXPECT_FALSE(a.Message().empty()) << "the library's text is the message";
  }
  std::string progress = "0";
  if (row.progress == Row::Progress::kHundred) {
    progress = "100";
  } else if (row.progress == Row::Progress::kBarPosition) {
    progress = std::to_string(behind.barPos);  // the bar's last position below 100
    EXPECT_LT(behind.barPos, 100);
  }
  EXPECT_EQ(Member(r, "errorProgress"), progress);
  for (const char* os : {"osMajor", "osMinor", "osNumber", "osType"})
    EXPECT_TRUE(r.contains(os)) << os;
  // The firmware members go with every report that follows a download, and the file stays.
  const bool downloaded = row.namesFirmware;
  EXPECT_EQ(r.contains("binPath"), downloaded) << r.dump();
  if (!downloaded)
    return;
  const std::filesystem::path path = Documents() / (written.empty() ? file : written);
  EXPECT_EQ(Member(r, "binName"), file);
  EXPECT_EQ(Member(r, "binPath"), path.string());
  EXPECT_EQ(Member(r, "binBizId"), Firmware().bizId);
  EXPECT_EQ(r.at("binVersion"), Firmware().version);
  EXPECT_TRUE(std::filesystem::exists(path));
  if (row.outcome == Outcome::kUpgraded) {
    EXPECT_EQ(r.at("binSize").get<std::uintmax_t>(), std::filesystem::file_size(path));
  }
  // From the start of the device work, within the press.
  EXPECT_GE(r.at("timeSpent").get<std::int64_t>(), 0);
  EXPECT_LE(r.at("timeSpent").get<std::int64_t>(), a.elapsed.count());
}

bool AppTest::WaitFor(const std::function<bool()>& pred, int timeoutMs) {
  return QTest::qWaitFor(pred, timeoutMs);
}

bool AppTest::WaitIdle(int timeoutMs) {
  return WaitFor(
      [this] {
        const DialogState s = State();
        return QApplication::activeModalWidget() == nullptr && s.caption == "升级" && s.enabled &&
               !s.barVisible && s.probeTimer && !s.progressTimer;
      },
      timeoutMs);
}

DialogState AppTest::State() const {
  DialogState s;
  if (!dlg_)
    return s;
  auto* button = DialogItem<QAbstractButton>(dlg_.get(), 1004);
  auto* bar = DialogItem<CMyProgressBar>(dlg_.get(), 1006);
  s.caption = button->text();
  s.enabled = button->isEnabled();
  s.barVisible = bar->isVisibleTo(dlg_.get());
  s.barPos = bar->GetPos();
  s.progressTimer = dlg_->ProgressTimer().isActive();
  s.probeTimer = dlg_->ProbeTimer().isActive();
  s.connection = DialogItem<QLabel>(dlg_.get(), 1025)->text();
  return s;
}

std::vector<json> AppTest::Reports() const {
  std::vector<json> reports;
  for (const StoredReport& r : service_->Reports())
    reports.push_back(json::parse(r.body, nullptr, false));
  return reports;
}

bool AppTest::SawCaption(const QString& caption) const {
  for (const DialogState& s : states_) {
    if (s.caption == caption)
      return true;
  }
  return false;
}

void AppTest::Watch() {
  if (dlg_) {
    const DialogState s = State();
    if (s.progressTimer && s.probeTimer)
      bothTimers_ = true;
    if (states_.empty() || !(states_.back() == s))
      states_.push_back(s);
  }

  QWidget* modal = QApplication::activeModalWidget();
  // Main dialogs run modally by a test are not notices.
  if (modal != nullptr && qobject_cast<CZavDlg*>(modal) == nullptr && modal != open_ &&
      !modal->property("zavTestSeen").toBool()) {
    modal->setProperty("zavTestSeen", true);
    SeenNotice notice;
    notice.cls = modal->metaObject()->className();
    notice.text = NoticeText(modal);
    notice.reportsAtOpen = service_->Reports().size();
    notice.frame = modal->frameGeometry();
    notice.busyCursor = QGuiApplication::overrideCursor() != nullptr;
    if (dlg_) {
      notice.mainWindowShown = dlg_->windowHandle() != nullptr && dlg_->windowHandle()->isVisible();
      notice.versionLabel = DialogItem<QLabel>(dlg_.get(), 1026)->text();
      notice.main = State();
    }
    notices_.push_back(notice);
    open_ = modal;
    closeAt_ = QDateTime::currentMSecsSinceEpoch() + holdMs_;
  }
  if (open_ && QDateTime::currentMSecsSinceEpoch() >= closeAt_) {
    QWidget* notice = open_;
    open_ = nullptr;
    if (duringNotice_)
      duringNotice_(notice);
    if (auto* ok = DialogItem<QAbstractButton>(notice, 1); ok && ok->isVisible())
      QTest::mouseClick(ok, Qt::LeftButton);
    else
      QTest::keyClick(notice, Qt::Key_Escape);
  }
}
