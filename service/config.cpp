#include "service/config.h"

#include "service/addresses.h"

namespace {
ServiceConfig& Config() {
  static ServiceConfig config;
  return config;
}
}  // namespace

void ConfigureService(const ServiceConfig& config) {
  Config() = config;
  MakeServiceAddresses(config.host, config.port);
}

const ServiceConfig& CurrentServiceConfig() {
  return Config();
}
