#include "service/endpoints.h"

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
