// What the two answer fuzzers check alike: where an answer's "data" member is, and how the
// handling's log ends.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/fuzz_input.h"

namespace fuzz {

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
