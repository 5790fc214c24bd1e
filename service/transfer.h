// What every curl transfer of the service code shares: global initialisation once, the
// trusted CA and the time limits. Internal to service/.
#pragma once

#include <curl/curl.h>

// curl_global_init, once per process, safe against concurrent first calls.
void EnsureCurlInitialised();

#include <chrono>

// Ends a transfer once no byte has moved in either direction for the idle limit. curl's own
// low-speed rule averages over several seconds, so it reacts late after a burst of data.
struct IdleWatch {
  std::chrono::milliseconds limit{0};
  std::chrono::steady_clock::time_point lastMove;
  curl_off_t lastTotal = -1;
};

// The configured trust (CA file or the system store, always verifying the peer and its
// name), the transfer limits (watched through `watch`, which must outlive the transfer), and
// no signals.
void ApplyTransferSettings(CURL* easy, IdleWatch& watch);
