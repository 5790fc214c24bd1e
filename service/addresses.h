// The service's four addresses: process-wide texts, made by ConfigureService
// (service/config.h) before the application object runs.
#pragma once

#include <cstdint>
#include <string>

extern std::string g_baseUrl;  // "https://" host ":8443/game/api/talent_tool/"
extern std::string g_updateTipUrl;
extern std::string g_resultReportUrl;
extern std::string g_versionGetUrl;

// Makes the four in this order: g_baseUrl, then g_updateTipUrl, g_resultReportUrl and
// g_versionGetUrl, each the base followed by its path.
void MakeServiceAddresses(const std::string& host, std::uint16_t port);
