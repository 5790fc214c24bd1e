// The upgrade-tip sync's handling of the service's answer: any text in, the dialog's two tip
// texts, the tip dialog and the log out. Nothing may escape; a text is stored only when its
// member is a string (the tip first); the dialog opens once, with the stored texts, exactly
// when both are strings and the address holds "http"; the log is the answer's line, the
// "data=" and "tip=" lines as far as the members exist, and on failure one line with the
// JSON library's message.
#include <QString>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fuzz/service_answer.h"
#include "fuzz/stdout_to_memory.h"
#include "service/operations.h"

namespace {

using fuzz::Require;
using nlohmann::json;

fuzz::StdoutToMemory& Log() {
  static fuzz::StdoutToMemory log;
  return log;
}

QString FromUtf8(const std::string& text) {
  return QString::fromUtf8(text.c_str());  // a stored text ends at its first NUL
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(bytes), size);
  const QString earlierTip = QStringLiteral("earlier tip");
  const QString earlierLink = QStringLiteral("earlier link");
  QString tipText = earlierTip;
  QString tipLink = earlierLink;
  int shown = 0;
  ServiceUi ui;
  ui.setVersionText = [](const QString&) { fuzz::Fail("the tip sync set the version label"); };
  ui.showUpgradeTip = [&](const QString& tip, const QString& url) {
    ++shown;
    Require(tip == tipText && url == tipLink, "the tip dialog got other texts than the stored");
  };
  ui.showError = [](const QString&) { fuzz::Fail("the tip sync showed an error"); };

  Log().Clear();
  HandleUpgradeTipAnswer(answer, ui, tipText, tipLink);
  const std::string log = Log().Text();

  const json document = fuzz::ReadAnswer(answer);
  const json* data = fuzz::AnswerData(document);
  const json* url = nullptr;
  const json* tip = nullptr;
  if (data != nullptr && data->is_object() && data->contains("url")) {
    url = &(*data)["url"];
    if (data->contains("tip"))
      tip = &(*data)["tip"];
  }
  const bool tipStored = tip != nullptr && tip->is_string();
  const bool linkStored = tipStored && url->is_string();

  Require(tipText == (tipStored ? FromUtf8(tip->get<std::string>()) : earlierTip),
          "tip text is neither the answer's nor the earlier one");
  Require(tipLink == (linkStored ? FromUtf8(url->get<std::string>()) : earlierLink),
          "tip link is neither the answer's nor the earlier one");
  const bool show = linkStored && url->get<std::string>().find("http") != std::string::npos;
  Require(shown == (show ? 1 : 0), "the tip dialog opened wrongly");

  std::string expected = "sync result=" + answer + "\n";
  if (data != nullptr)
    expected += "data=" + data->dump() + "\n";
  if (tip != nullptr)
    expected += "tip=" + tip->dump() + ", url=" + url->dump() + "\n";
  Require(log.starts_with(expected), "the log lines before the outcome are not as expected");
  const std::string rest = log.substr(expected.size());
  fuzz::RequireOutcomeLog(rest, linkStored);
  return 0;
}
