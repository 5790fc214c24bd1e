#include "tests/app/app_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QTest>
#include <QWindow>

#include "controls/dialog_units.h"
#include "controls/my_progress_bar.h"
#include "hiddfu/hiddfu_tuning.h"
#include "hiddfu/image.h"
#include "service/operations.h"

using nlohmann::json;

namespace {

// The message a notice shows, by its template's message control.
QString NoticeText(QWidget* notice) {
  for (const int id : {1022, 1024, 1015}) {
    if (auto* label = DialogItem<QLabel>(notice, id))
      return label->text();
  }
  return {};
}

}  // namespace

std::string Member(const json& report, const char* name) {
  if (!report.contains(name))
    return "absent";
  const json& value = report.at(name);
  return value.is_string() ? value.get<std::string>() : value.dump();
}

bool HasFirmwareMembers(const json& report) {
  for (const char* name : {"binPath", "binBizId", "binVersion", "binName", "binSize"}) {
    if (!report.contains(name))
      return false;
  }
  return true;
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
  entry.version = 10207;
  entry.bizId = "biz-10207";
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
  s.progressTimer = dlg_->IsTimerRunning(CZavDlg::kTimerProgress);
  s.probeTimer = dlg_->IsTimerRunning(CZavDlg::kTimerProbe);
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
