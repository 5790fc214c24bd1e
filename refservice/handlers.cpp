#include "refservice/handlers.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr char kBasePath[] = "/game/api/talent_tool/";

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void UpdateTip(const ServiceParts& parts, const httplib::Request& req, httplib::Response& res) {
  parts.requests.Record(req);
  AnswerWithFault(parts.faults, RefEndpoint::UpdateTip, res,
                  parts.catalogue.TipAnswer(req.get_param_value("sbId")));
}

void VersionGet(const ServiceParts& parts, const httplib::Request& req, httplib::Response& res) {
  parts.requests.Record(req);
  std::string host = req.get_header_value("Host");
  if (host.empty())
    host = "localhost:" + std::to_string(parts.port);
  AnswerWithFault(parts.faults, RefEndpoint::VersionGet, res, parts.catalogue.VersionAnswer(host));
}

void ResultReport(const ServiceParts& parts, const httplib::Request& req, httplib::Response& res) {
  parts.requests.Record(req);
  // Every report is kept as it came, whatever the answer will be.
  const std::int64_t id = parts.store.Add(req.body);
  const bool valid = json::accept(req.body);
  const json answer = id == 0 ? Refusal(3, "store failed")
                      : valid ? Envelope({{"id", id}})
                              : Refusal(4, "bad json");
  AnswerWithFault(parts.faults, RefEndpoint::ResultReport, res, answer.dump());
}

void File(const ServiceParts& parts, const httplib::Request& req, httplib::Response& res) {
  parts.requests.Record(req);
  const std::string name = req.matches[1];
  const auto path = parts.catalogue.HostedFile(name);
  if (!path) {
    res.status = 404;
    return;
  }
  ServeFileWithFault(parts.faults, *path, Catalogue::ContentTypeOf(name), res);
}

}  // namespace

void RequestLog::Record(const httplib::Request& req) {
  RecordedRequest r;
  r.method = req.method;
  r.target = req.target;
  r.path = req.path;
  r.version = req.version;
  for (const auto& [key, value] : req.headers) {
    // cpp-httplib adds these itself; they never came over the wire.
    if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT")
      continue;
    r.headers.emplace_back(key, value);
  }
  r.body = req.body;
  r.remotePort = req.remote_port;
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(r));
  while (requests_.size() > kKept)
    requests_.pop_front();
}

std::vector<RecordedRequest> RequestLog::All() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin(), requests_.end()};
}

std::optional<RecordedRequest> RequestLog::Last() const {
  std::lock_guard lock(mutex_);
  if (requests_.empty())
    return std::nullopt;
  return requests_.back();
}

void RequestLog::Clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (SameName(key, name))
      return value;
  return std::nullopt;
}

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return SameName(h.first, name); }));
}

void RouteEndpoints(httplib::Server& server, ServiceParts parts) {
  const auto route =
      [parts](void (*handler)(const ServiceParts&, const httplib::Request&, httplib::Response&)) {
        return [parts, handler](const httplib::Request& req, httplib::Response& res) {
          handler(parts, req, res);
        };
      };
  server.Post(std::string(kBasePath) + "update_tip", route(&UpdateTip));
  server.Post(std::string(kBasePath) + "bin/version/get", route(&VersionGet));
  server.Post(std::string(kBasePath) + "result/report", route(&ResultReport));
  server.Get("/files/(.+)", route(&File));
  const auto unknown = [parts](const httplib::Request& req, httplib::Response& res) {
    parts.requests.Record(req);
    res.status = 404;
  };
  server.Post(".*", unknown);
  server.Get(".*", unknown);
}
