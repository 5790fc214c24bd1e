// Which service the tool talks to and whom it trusts: process-wide, fixed by each
// executable's main before the Qt application object exists.
#pragma once

#include <cstdint>
#include <string>

struct ServiceConfig {
  std::string host = "localhost";  // bare host name: no "/" and no ":"
  std::string caFile;              // CA bundle to trust; empty: the system trust store
  // The service listens on 8443; only tests, which run many services side by side on
  // ephemeral ports, give another one.
  std::uint16_t port = 8443;
};

// Makes the service's addresses (service/addresses.h) for the host and port, and sets the
// trust for every request and download. Call it once in main; tests may call it again to
// point at another service.
void ConfigureService(const ServiceConfig& config);

// The configuration last given to ConfigureService (the defaults before that).
const ServiceConfig& CurrentServiceConfig();
