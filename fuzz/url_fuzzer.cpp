// Address parsing and the query string: any address, any parameters. Both must be total
// and keep what they promise about their parts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "service/http_interface.h"

namespace {

void Check(bool ok, const char* what, const std::string& url) {
  if (ok)
    return;
  std::fprintf(stderr, "broken: %s (address of %zu bytes)\n", what, url.size());
  std::abort();
}

void CheckParse(const std::string& url) {
  std::string host;
  std::string page;
  std::uint16_t port = 0;
  HttpInterface::ParseUrl(url, host, page, port);

  // The part after the first "https://" (or all of it) is host[:port][/page].
  const std::size_t scheme = url.find("https://");
  const std::string rest = scheme == std::string::npos ? url : url.substr(scheme + 8);
  const std::size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);

  Check(host.find('/') == std::string::npos, "host holds a slash", url);
  Check(host.find(':') == std::string::npos, "host holds a colon", url);
  Check(authority.compare(0, host.size(), host) == 0, "host is not where the address has it", url);
  if (slash == std::string::npos) {
    Check(page.empty(), "page without a slash", url);
  } else {
    Check(page == rest.substr(slash), "page is not the rest from the first slash", url);
  }
  if (authority.find(':') == std::string::npos) {
    Check(host == authority, "host cut without a colon", url);
    Check(port == 443, "port other than 443 without a colon", url);
  } else {
    Check(host.size() == authority.find(':'), "host not cut at the first colon", url);
    // The port is the number after the colon as the C runtime reads it, cut to 16 bits;
    // compared where that number fits an int (the runtime leaves overflow undefined).
    const std::string digits = authority.substr(host.size() + 1);
    const std::size_t first = digits.find_first_of("0123456789");
    const std::size_t end = digits.find_first_not_of("0123456789", first);
    const std::size_t count =
        first == std::string::npos ? 0 : (end == std::string::npos ? digits.size() : end) - first;
    if (count <= 9) {
      const long value = std::strtol(digits.c_str(), nullptr, 10);
      Check(port == static_cast<std::uint16_t>(static_cast<unsigned>(value)),
            "port is not the number after the colon", url);
    }
  }
}

void CheckQuery(const std::string& url, const HttpParams& params) {
  const std::string built = HttpInterface::BuildRequestUrl(url, params);
  if (params.empty()) {
    Check(built == url, "empty map changed the address", url);
    return;
  }
  std::string query;
  for (const auto& [key, value] : params)
    query += key + "=" + value + "&";
  query.pop_back();
  Check(built == url + "?" + query, "query string is not the ordered pairs", url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string url = in.ConsumeRandomLengthString(512);
  HttpParams params;
  while (in.remaining_bytes() > 0 && params.size() < 16) {
    std::string key = in.ConsumeRandomLengthString(32);
    params[std::move(key)] = in.ConsumeRandomLengthString(64);
  }
  CheckParse(url);
  CheckQuery(url, params);
  // What the client actually parses: the address with its query string.
  CheckParse(HttpInterface::BuildRequestUrl(url, params));
  return 0;
}
