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

namespace {
int WatchIdle(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
              curl_off_t ulnow) {
  (void)dltotal;
  (void)ultotal;
  auto& watch = *static_cast<IdleWatch*>(user);
  const auto now = std::chrono::steady_clock::now();
  const curl_off_t total = dlnow + ulnow;
  if (total != watch.lastTotal) {
    watch.lastTotal = total;
    watch.lastMove = now;
    return 0;
  }
  return now - watch.lastMove > watch.limit ? 1 : 0;
}
}  // namespace

void ApplyTransferSettings(CURL* easy, IdleWatch& watch) {
  const ServiceConfig& config = Config();
  if (!config.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, config.caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);

  const TransferLimits limits = Limits();
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(std::max<long long>(1, limits.connect.count())));
  watch.limit = std::max(limits.idle, std::chrono::milliseconds(1));
  watch.lastMove = std::chrono::steady_clock::now();
  watch.lastTotal = -1;
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &WatchIdle);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}
