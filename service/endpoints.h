// The service's addresses, the trust used for every request and download, and the time
// limits of every transfer. All process-wide; fixed by each executable's main before the
// Qt application object exists.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct ServiceConfig {
  std::string host = "localhost";  // bare host name: no "/" and no ":"
  std::string caFile;              // CA bundle to trust; empty: the system trust store
  // The service listens on 8443; only tests, which run many services side by side on
  // ephemeral ports, give another one.
  std::uint16_t port = 8443;
};

// Makes the four addresses, in this order: g_baseUrl, then g_updateTipUrl,
// g_resultReportUrl and g_versionGetUrl from it; and sets the trust for every request and
// download. Call it once in main; tests may call it again to point at another service.
void ConfigureService(const ServiceConfig& config);

// The configuration last given to ConfigureService (the defaults before that).
const ServiceConfig& CurrentServiceConfig();

extern std::string g_baseUrl;  // "https://" host ":8443/game/api/talent_tool/"
extern std::string g_updateTipUrl;
extern std::string g_resultReportUrl;
extern std::string g_versionGetUrl;

// Bounds on every request and download, so that a stalled or silent service cannot freeze
// the tool: `connect` covers the TCP connection and the TLS handshake; `idle` is the longest
// time without a byte moving in either direction (checked about once a second).
struct TransferLimits {
  std::chrono::milliseconds connect{60'000};
  std::chrono::milliseconds idle{30'000};
};

// The defaults are of the order of the platform's own; tests shorten them.
void SetTransferLimits(const TransferLimits& limits);
TransferLimits CurrentTransferLimits();
