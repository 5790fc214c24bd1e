#include "service/trust_store.h"

#include <curl/curl.h>

#include "service/curl_handles.h"
#include "service/transfer.h"

namespace {

TrustStore CurlDefaults() {
  EnsureCurlInitialised();
  TrustStore store;
  const EasyHandle easy(curl_easy_init());
  char* bundle = nullptr;
  char* folder = nullptr;
  if (easy && curl_easy_getinfo(easy.get(), CURLINFO_CAINFO, &bundle) == CURLE_OK && bundle)
    store.bundle = bundle;
  if (easy && curl_easy_getinfo(easy.get(), CURLINFO_CAPATH, &folder) == CURLE_OK && folder)
    store.folder = folder;
  return store;
}

std::optional<TrustStore>& StandIn() {
  static std::optional<TrustStore> store;
  return store;
}

}  // namespace

TrustStore SystemTrustStore() {
  static const TrustStore defaults = CurlDefaults();
  return StandIn() ? *StandIn() : defaults;
}

void SetSystemTrustStore(const std::optional<TrustStore>& store) {
  StandIn() = store;
}
