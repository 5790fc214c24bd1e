// The version query's handling of the service's answer: any text in, the firmware record,
// the version label and the log out. Nothing may escape; the record holds exactly the
// members read before the first one that failed (the rest keep their earlier values);
// fileUrl is empty unless the answer's "data" had a string "fileUrl"; the label is set only
// when every member was read; the log is the answer's line plus, on failure, one line with
// the JSON library's message.
#include <QString>
#include <cmath>
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

constexpr std::int32_t kEarlierSize = 0x5EED;
constexpr std::int32_t kEarlierVersion = -0x5EED;

fuzz::StdoutToMemory& Log() {
  static fuzz::StdoutToMemory log;
  return log;
}

bool IsNumber(const json& v) {
  return v.is_number() || v.is_boolean();
}

// How a number member reads as a 32-bit integer, where the rule fixes it: integers keep their
// low 32 bits, floating values in range are truncated toward zero, booleans are 0 or 1.
// Returns false where no rule fixes the value (floating values beyond the 32-bit range).
bool ExpectedInt(const json& v, std::int32_t* out) {
  constexpr std::int64_t kWrap = 4294967296;
  std::int64_t low = 0;
  if (v.is_boolean()) {
    *out = v.get<bool>() ? 1 : 0;
    return true;
  }
  if (v.is_number_unsigned()) {
    low = static_cast<std::int64_t>(v.get<std::uint64_t>() % kWrap);
  } else if (v.is_number_integer()) {
    low = ((v.get<std::int64_t>() % kWrap) + kWrap) % kWrap;
  } else {
    const double d = std::trunc(v.get<double>());
    if (!(std::fabs(d) < 2147483648.0))
      return false;
    *out = static_cast<std::int32_t>(d);
    return true;
  }
  *out = static_cast<std::int32_t>(low >= kWrap / 2 ? low - kWrap : low);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string answer(reinterpret_cast<const char*>(bytes), size);

  // The record as the query leaves it just before its request: the two paths cleared, the
  // rest from an earlier answer.
  FirmwareInfo = {"", kEarlierSize, "earlier.bin", kEarlierVersion, "earlier-biz", ""};
  int labelSet = 0;
  QString label;
  ServiceUi ui;
  ui.setVersionText = [&](const QString& text) {
    ++labelSet;
    label = text;
  };
  ui.showUpgradeTip = [](const QString&, const QString&) {
    fuzz::Fail("the version query opened the tip dialog");
  };
  ui.showError = [](const QString&) { fuzz::Fail("the version query showed an error"); };

  Log().Clear();
  HandleVersionAnswer(answer, ui);
  const std::string log = Log().Text();

  // How far a strict reading of the answer gets: the members in the order they are stored.
  static const char* const kMembers[] = {"fileUrl", "fileSize", "fileName",
                                         "version", "bizId",    "versionTxt"};
  const json document = fuzz::ReadAnswer(answer);
  const json* data = fuzz::AnswerData(document);
  int read = 0;
  if (data != nullptr && data->is_object()) {
    for (const char* member : kMembers) {
      if (!data->contains(member))
        break;
      const json& v = (*data)[member];
      const bool number = read == 1 || read == 3;
      if (number ? !IsNumber(v) : !v.is_string())
        break;
      ++read;
    }
  }

  Require(FirmwareInfo.localPath.empty(), "localPath set by the query");
  Require(FirmwareInfo.fileUrl == (read >= 1 ? (*data)["fileUrl"].get<std::string>() : ""),
          "fileUrl is not the answer's, or not empty when the answer has none");
  std::int32_t expected = 0;
  if (read >= 2) {
    if (ExpectedInt((*data)["fileSize"], &expected))
      Require(FirmwareInfo.fileSize == expected, "fileSize read wrongly");
  } else {
    Require(FirmwareInfo.fileSize == kEarlierSize, "fileSize changed by a failed answer");
  }
  Require(FirmwareInfo.fileName ==
              (read >= 3 ? (*data)["fileName"].get<std::string>() : std::string("earlier.bin")),
          "fileName is neither the answer's nor the earlier one");
  if (read >= 4) {
    if (ExpectedInt((*data)["version"], &expected))
      Require(FirmwareInfo.version == expected, "version read wrongly");
  } else {
    Require(FirmwareInfo.version == kEarlierVersion, "version changed by a failed answer");
  }
  Require(FirmwareInfo.bizId ==
              (read >= 5 ? (*data)["bizId"].get<std::string>() : std::string("earlier-biz")),
          "bizId is neither the answer's nor the earlier one");
  const bool complete = read == 6;
  Require(labelSet == (complete ? 1 : 0), "label set although a member failed, or not set");
  if (complete) {
    Require(label == QString::fromUtf8((*data)["versionTxt"].get<std::string>().c_str()),
            "label is not the answer's versionTxt");
  }

  const std::string first = "bin version result=" + answer + "\n";
  Require(log.starts_with(first), "the answer's log line is missing");
  const std::string rest = log.substr(first.size());
  fuzz::RequireOutcomeLog(rest, complete);
  return 0;
}
