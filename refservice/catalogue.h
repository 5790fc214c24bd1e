// The firmware catalogue the reference service serves: manifest.json and the files beside it,
// read afresh for every request, and the answers of the tip and version endpoints made from it.
// Internal to refservice/.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

class Catalogue {
 public:
  explicit Catalogue(std::filesystem::path dir) : dir_(std::move(dir)) {}

  // The update_tip answer for the tool's "sbId".
  std::string TipAnswer(const std::string& sbId) const;
  // The bin/version/get answer, its "fileUrl" on `host` (host:port as the client named it).
  std::string VersionAnswer(const std::string& host) const;
  // The hosted file of that name; nullopt for a name that is no file of the catalogue.
  std::optional<std::filesystem::path> HostedFile(const std::string& name) const;
  // Firmware goes out as bytes; a release-notes page that the tip links to opens in a browser.
  static const char* ContentTypeOf(const std::string& name);

 private:
  std::filesystem::path dir_;
};

// The service's envelope around an answer's data, and its refusal.
nlohmann::json Envelope(nlohmann::json data);
nlohmann::json Refusal(int code, std::string msg);
