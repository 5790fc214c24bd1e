// The service's addresses, the trust used for every request and download, and the time
// limits of every transfer. All process-wide; fixed by each executable's main before the
// Qt application object exists.
#pragma once

#include <chrono>
#include <cstddef>
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

// Bounds on every request and download, so that no service, however slow, silent or
// endless, can hold the tool for ever or fill its memory or disk.
struct TransferLimits {
  // Connecting: the TCP connection, a proxy's tunnel and the TLS handshake.
  std::chrono::milliseconds connect{60'000};
  // From the first byte of the response on: the longest time without a byte moving in
  // either direction (checked about once a second).
  std::chrono::milliseconds idle{30'000};
  // A service request as a whole, connecting included.
  std::chrono::milliseconds request{120'000};
  // A service answer is cut off here: the text so far is the answer.
  std::size_t answerCap = 16u << 20;
  // The firmware download fails beyond this size, and when, after its first `rateGrace`,
  // its average rate since the start falls below `minRate` bytes per second.
  std::uint64_t downloadCap = 256u << 20;
  std::chrono::milliseconds rateGrace{60'000};
  std::uint64_t minRate = 32u << 10;
};

// The defaults are the tool's; tests shorten them.
void SetTransferLimits(const TransferLimits& limits);
TransferLimits CurrentTransferLimits();
