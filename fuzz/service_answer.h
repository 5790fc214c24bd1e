// What the two answer fuzzers check alike: where an answer's "data" member is, and how the
// handling's log ends.
#pragma once

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "service/operations.h"

namespace fuzz {

// How deeply arrays and objects nest in `value` (0 for a scalar), without recursing.
inline int NestingDepth(const nlohmann::json& value) {
  int deepest = 0;
  std::vector<std::pair<const nlohmann::json*, int>> open{{&value, 0}};
  while (!open.empty()) {
    const auto [v, depth] = open.back();
    open.pop_back();
    if (!v->is_structured())
      continue;
    deepest = std::max(deepest, depth + 1);
    for (const auto& child : *v)
      open.emplace_back(&child, depth + 1);
  }
  return deepest;
}

// The answer as the tool must read it: the library's strict parse, and an answer nested
// beyond the limit counts as malformed (discarded).
inline nlohmann::json ReadAnswer(const std::string& answer) {
  nlohmann::json document = nlohmann::json::parse(answer, nullptr, /*allow_exceptions=*/false);
  if (!document.is_discarded() && NestingDepth(document) > kAnswerDepthLimit)
    return nlohmann::json(nlohmann::json::value_t::discarded);
  return document;
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
