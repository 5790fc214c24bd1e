// What the two answer fuzzers check alike: where an answer's "data" member is, and how the
// handling's log ends.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz_input.h"
#include "service/operations.h"

namespace fuzz {

// Counts how deeply arrays and objects nest and stops reading past the limit, so that a
// deep answer is never built as a value here either.
class DepthLimit : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool tooDeep = false;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return Open(); }
  bool start_array(std::size_t) override { return Open(); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
    return false;
  }

 private:
  bool Open() {
    tooDeep = ++depth_ > kAnswerDepthLimit;
    return !tooDeep;
  }
  bool Close() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

// The answer as the tool must read it: the library's strict parse, and an answer nested
// beyond the limit counts as malformed (discarded).
inline nlohmann::json ReadAnswer(const std::string& answer) {
  DepthLimit limit;
  nlohmann::json::sax_parse(answer, &limit);
  if (limit.tooDeep)
    return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false);
}

// The answer's "data" member, or null when the answer is no object with one.
inline const nlohmann::json* AnswerData(const nlohmann::json& document) {
  if (document.is_discarded() || !document.is_object() || !document.contains("data"))
    return nullptr;
  return &document["data"];
}

// What the log holds after the lines every answer gets: nothing when the answer was complete,
// else exactly one line with the JSON library's message.
inline void RequireOutcomeLog(const std::string& rest, bool complete) {
  if (complete) {
    Require(rest.empty(), "log lines after a complete answer");
  } else {
    Require(rest.starts_with("[json.exception.") && rest.ends_with("\n") &&
                rest.find('\n') == rest.size() - 1,
            "a failed answer did not log exactly one line with the library's message");
  }
}

}  // namespace fuzz
