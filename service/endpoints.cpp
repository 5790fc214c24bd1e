#include "service/endpoints.h"

#include <algorithm>
#include <mutex>

#include "service/transfer.h"

std::string g_baseUrl;
std::string g_updateTipUrl;
std::string g_resultReportUrl;
std::string g_versionGetUrl;

namespace {
ServiceConfig& Config() {
  static ServiceConfig config;
  return config;
}
TransferLimits& Limits() {
  static TransferLimits limits;
  return limits;
}
}  // namespace

void ConfigureService(const ServiceConfig& config) {
  Config() = config;
  g_baseUrl =
      "https://" + config.host + ":" + std::to_string(config.port) + "/game/api/talent_tool/";
  g_updateTipUrl = g_baseUrl + "update_tip";
  g_resultReportUrl = g_baseUrl + "result/report";
  g_versionGetUrl = g_baseUrl + "bin/version/get";
}

const ServiceConfig& CurrentServiceConfig() {
  return Config();
}

void SetTransferLimits(const TransferLimits& limits) {
  Limits() = limits;
}

TransferLimits CurrentTransferLimits() {
  return Limits();
}

void EnsureCurlInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TransferWatch::TransferWatch(Kind kind, const TransferLimits& limits)
    : kind_(kind), limits_(limits) {}

void TransferWatch::HeaderBytes(std::size_t count) {
  if (!responding_) {
    responding_ = true;
    lastMove_ = Clock::now();
  }
  headerBytes_ += static_cast<curl_off_t>(count);
}

bool TransferWatch::Expired(curl_off_t downloaded, curl_off_t uploaded) {
  const auto now = Clock::now();
  if (kind_ == Kind::Download && now - start_ > limits_.rateGrace) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    if (static_cast<std::uint64_t>(downloaded) * 1000 <
        limits_.minRate * static_cast<std::uint64_t>(elapsed.count()))
      return true;
  }
  const curl_off_t moved = downloaded + uploaded + headerBytes_;
  if (!responding_ && downloaded > 0) {
    responding_ = true;  // a response without header lines
    lastMove_ = now;
  }
  if (moved != moved_) {
    moved_ = moved;
    lastMove_ = now;
    return false;
  }
  return responding_ && now - lastMove_ > limits_.idle;
}

namespace {
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  return static_cast<TransferWatch*>(user)->Expired(downloaded, uploaded) ? 1 : 0;
}

long Milliseconds(std::chrono::milliseconds limit) {
  return static_cast<long>(std::max<long long>(1, limit.count()));
}
}  // namespace

void ApplyTransferSettings(CURL* easy, TransferWatch& watch) {
  const ServiceConfig& config = Config();
  if (!config.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, config.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // Behind a proxy, the header callback sees the service's response only.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

  const TransferLimits& limits = watch.limits();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, Milliseconds(limits.connect));
  if (watch.kind() == TransferWatch::Kind::Request)
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, Milliseconds(limits.request));
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}
