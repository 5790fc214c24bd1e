#include "service/addresses.h"

std::string g_baseUrl;
std::string g_updateTipUrl;
std::string g_resultReportUrl;
std::string g_versionGetUrl;

void MakeServiceAddresses(const std::string& host, std::uint16_t port) {
  g_baseUrl = "https://" + host + ":" + std::to_string(port) + "/game/api/talent_tool/";
  g_updateTipUrl = g_baseUrl + "update_tip";
  g_resultReportUrl = g_baseUrl + "result/report";
  g_versionGetUrl = g_baseUrl + "bin/version/get";
}
