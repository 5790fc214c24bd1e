#include "refservice/catalogue.h"

#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "refservice/refservice.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<json> ReadManifest(const fs::path& dir) {
  std::ifstream in(dir / "manifest.json", std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  json manifest = json::parse(text.str(), nullptr, false);
  if (!manifest.is_object())
    return std::nullopt;
  return manifest;
}

}  // namespace

json Envelope(json data) {
  return json{{"code", 0}, {"msg", "ok"}, {"data", std::move(data)}};
}

json Refusal(int code, std::string msg) {
  return json{{"code", code}, {"msg", std::move(msg)}, {"data", nullptr}};
}

const char* Catalogue::ContentTypeOf(const std::string& name) {
  if (name.ends_with(".html"))
    return "text/html; charset=utf-8";
  if (name.ends_with(".txt"))
    return "text/plain; charset=utf-8";
  return "application/octet-stream";
}

std::string Catalogue::TipAnswer(const std::string& sbId) const {
  const std::optional<json> manifest = ReadManifest(dir_);
  if (sbId != "98")
    return Refusal(1, "unknown sbId").dump();
  if (!manifest)
    return Refusal(2, "no catalogue").dump();
  return Envelope({{"tip", manifest->value("tip", "")}, {"url", manifest->value("tipUrl", "")}})
      .dump();
}

std::string Catalogue::VersionAnswer(const std::string& host) const {
  std::optional<json> manifest = ReadManifest(dir_);
  if (!manifest || !(*manifest)["file"].is_string())
    return Refusal(2, "no catalogue").dump();
  const std::string file = (*manifest)["file"].get<std::string>();
  std::error_code ec;
  const auto size = fs::file_size(dir_ / fs::u8path(file), ec);
  return Envelope({{"fileUrl", "https://" + host + "/files/" + PercentEncode(file)},
                   {"fileSize", ec ? 0 : static_cast<std::int64_t>(size)},
                   {"fileName", manifest->value("fileName", file)},
                   {"version", manifest->value("version", 0)},
                   {"bizId", manifest->value("bizId", "")},
                   {"versionTxt", manifest->value("versionTxt", "")}})
      .dump();
}

std::optional<fs::path> Catalogue::HostedFile(const std::string& name) const {
  const fs::path path = dir_ / fs::u8path(name);
  std::error_code ec;
  if (name.find('/') != std::string::npos || name == "." || name == ".." ||
      name == "manifest.json" || !fs::is_regular_file(path, ec))
    return std::nullopt;
  return path;
}

bool WriteCatalogue(const fs::path& dir, const CatalogueEntry& entry,
                    const std::optional<std::string>& content) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec)
    return false;
  json manifest{{"file", entry.file},   {"version", entry.version},
                {"bizId", entry.bizId}, {"versionTxt", entry.versionTxt},
                {"tip", entry.tip},     {"tipUrl", entry.tipUrl}};
  if (!entry.fileName.empty())
    manifest["fileName"] = entry.fileName;
  {
    std::ofstream out(dir / "manifest.json", std::ios::binary | std::ios::trunc);
    out << manifest.dump(2) << "\n";
    if (!out)
      return false;
  }
  if (content) {
    std::ofstream out(dir / fs::u8path(entry.file), std::ios::binary | std::ios::trunc);
    out.write(content->data(), static_cast<std::streamsize>(content->size()));
    if (!out)
      return false;
  }
  return true;
}
