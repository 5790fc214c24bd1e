#include "service/outcome.h"

#include "service/operations.h"

static_assert(std::size(kOutcomeTable) == static_cast<std::size_t>(Outcome::kUpgraded) + 1);
static_assert(RowOf(Outcome::kUpgradeFailed).outcome == Outcome::kUpgradeFailed);

QString NoticeText(Outcome outcome) {
  const std::string_view text = RowOf(outcome).noticeText;
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void ReportOutcome(Outcome outcome, std::int32_t barPosition, const std::string& libraryError) {
  const OutcomeRow& row = RowOf(outcome);
  std::int32_t progress = 0;
  if (row.progress == OutcomeRow::Progress::kBarPosition)
    progress = barPosition;
  else if (row.progress == OutcomeRow::Progress::kHundred)
    progress = 100;
  const std::string errorCode(row.errorCode);
  switch (row.message) {
    case OutcomeRow::Message::kNone:
      ReportResult(std::string(row.code), errorCode, std::to_string(progress), "");
      break;
    case OutcomeRow::Message::kLibraryError:
      ReportFailure(errorCode, progress, libraryError);
      break;
    case OutcomeRow::Message::kText:
      // The tool's own texts take the UTF-16 path, as every text shown in a window does.
      ReportFailure(
          errorCode, progress,
          QString::fromUtf8(row.errorMsg.data(), static_cast<qsizetype>(row.errorMsg.size())));
      break;
  }
}
