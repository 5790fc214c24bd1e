// Where the system keeps the certificate authorities it trusts: curl's own CA bundle and CA
// folder, process-wide. The service is trusted by the build's CA file alone when there is one,
// else by these (service/config.h); the firmware download always trusts these.
#pragma once

#include <optional>
#include <string>

struct TrustStore {
  std::string bundle;  // a PEM file of CA certificates; empty: none
  std::string folder;  // a folder of hashed CA certificates; empty: none
};

// curl's built-in locations, unless a test stands in for them.
TrustStore SystemTrustStore();
// Tests: another store as the system's; nullopt: curl's again.
void SetSystemTrustStore(const std::optional<TrustStore>& store);
