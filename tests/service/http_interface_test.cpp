// The HTTPS client against the reference service over real TLS on loopback.
#include "service/http_interface.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "service/addresses.h"
#include "service/config.h"
#include "service/transfer_limits.h"
#include "tests/common/stdout_capture.h"
#include "tests/service/connect_proxy.h"
#include "tests/service/loopback.h"
#include "tests/service/service_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::set<std::string> HeaderNames(const RecordedRequest& request) {
  std::set<std::string> names;
  for (const auto& [name, value] : request.headers)
    names.insert(name);
  return names;
}

// The lines a failed or cut-short request wrote.
std::vector<std::string> FailureLines(const std::string& log) {
  std::vector<std::string> lines;
  for (const std::string& line : SplitLines(log)) {
    if (line.rfind("request ", 0) == 0)
      lines.push_back(line);
  }
  return lines;
}

}  // namespace

// Only "https://" is known, found anywhere; the port is read like atoi and cut to 16 bits; the
// page, from the first "/" on, is left alone without one.
TEST(ParseUrl, SplitsHostPortAndPage) {
  const struct {
    const char* url;
    const char* host;
    std::uint16_t port;
    const char* page;
  } cases[] = {
      {"https://H:8443/game/api/talent_tool/update_tip?sbId=98", "H", 8443,
       "/game/api/talent_tool/update_tip?sbId=98"},
      {"https://H/a", "H", 443, "/a"},
      {"https://H:81", "H", 81, "kept"},
      {"http://H/a", "http", 0, "//H/a"},
      {"xhttps://H/a", "H", 443, "/a"},
      {"H:99/x", "H", 99, "/x"},
      {"https://H:abc/a", "H", 0, "/a"},
      {"https://H:/a", "H", 0, "/a"},
      {"https://H:70000/a", "H", 70000 & 0xFFFF, "/a"},
      {"https://H: +81x/a", "H", 81, "/a"},
      {"https://H:-1/a", "H", 65535, "/a"},
      {"https://H:99999999999999/a", "H", 0xFFFF, "/a"},  // saturates at INT_MAX
      {"https://H:8443:1/a", "H", 8443, "/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::string host;
    std::string page = "kept";
    std::uint16_t port = 0;
    HttpInterface::ParseUrl(c.url, host, page, port);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(page, c.page);
  }
}

TEST(BuildRequestUrl, AppendsParametersInByteOrderUnencoded) {
  EXPECT_EQ(HttpInterface::BuildRequestUrl("https://H/a", {}), "https://H/a");
  EXPECT_EQ(HttpInterface::BuildRequestUrl("https://H/a", {{"b", "2"}, {"a", "1"}}),
            "https://H/a?a=1&b=2");
  EXPECT_EQ(HttpInterface::BuildRequestUrl("https://H/a", {{"a", "x y&z"}}), "https://H/a?a=x y&z");
  EXPECT_EQ(HttpInterface::BuildRequestUrl("https://H/a?q=1", {{"k", ""}}), "https://H/a?q=1?k=");
  EXPECT_EQ(HttpInterface::BuildRequestUrl("u", {{"a", "1"}, {"B", "2"}}), "u?B=2&a=1");
}

using HttpInterfaceTest = ServiceTest;

TEST_F(HttpInterfaceTest, EmptyAddressFailsAtOnceTouchingNothing) {
  HttpInterface& http = HttpInterface::Instance();
  http.PostParams(g_versionGetUrl, {});
  ASSERT_TRUE(http.Handles().request);
  StdoutCapture capture;
  EXPECT_EQ(http.Post("", "X: 1", "body"), "");
  EXPECT_EQ(capture.Stop(), "");
  EXPECT_EQ(http.LastError(), EmptyUrl);
  const auto handles = http.Handles();
  EXPECT_TRUE(handles.internet && handles.connect && handles.request);
}

TEST_F(HttpInterfaceTest, LogsThePortAndTheAddressSummary) {
  const std::string url = g_updateTipUrl + "?sbId=98";
  StdoutCapture capture;
  HttpInterface::Instance().Post(url, "", "");
  const std::string port = std::to_string(service_->Port());
  EXPECT_EQ(capture.Stop(), "port=443\nport after parse=" + port + "\nlpUrl:" + url +
                                ",\nstrHostName:localhost,\nstrPageName:/game/api/talent_tool/"
                                "update_tip?sbId=98,\nport:" +
                                port + "\n");
}

// Each request is a POST over HTTP/1.1 with the service's Host; PostJson adds exactly the JSON
// headers and its body, PostParams no body and no default headers.
TEST_F(HttpInterfaceTest, RequestsCarryExactlyTheirHeadersAndBody) {
  HttpInterface& http = HttpInterface::Instance();
  const std::string body = R"({"errorMsg":"升级文件下载失败！","code":"0"})";
  EXPECT_EQ(nlohmann::json::parse(http.PostJson(g_resultReportUrl, body))["code"], 0);
  http.PostParams(g_updateTipUrl, {{"sbId", "98"}});
  const auto requests = service_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const RecordedRequest& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.version, "HTTP/1.1");
    EXPECT_EQ(request.Header("Host"), "localhost:" + std::to_string(service_->Port()));
    EXPECT_EQ(request.Header("User-Agent"), "Http-connect");
  }
  const RecordedRequest& json = requests[0];
  EXPECT_EQ(json.target, "/game/api/talent_tool/result/report");
  EXPECT_EQ(json.body, body);
  EXPECT_EQ(HeaderNames(json), (std::set<std::string>{"Accept", "Content-Length", "Content-Type",
                                                      "Host", "User-Agent"}));
  EXPECT_EQ(json.HeaderCount("Accept"), 1u);
  EXPECT_EQ(json.HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(json.Header("Accept"), "application/json");
  EXPECT_EQ(json.Header("Content-Type"), "application/json;charset=UTF-8");
  EXPECT_EQ(json.Header("Content-Length"), std::to_string(body.size()));
  const RecordedRequest& params = requests[1];
  EXPECT_EQ(params.target, "/game/api/talent_tool/update_tip?sbId=98");
  EXPECT_EQ(params.body, "");
  EXPECT_EQ(HeaderNames(params), (std::set<std::string>{"Content-Length", "Host", "User-Agent"}));
  EXPECT_EQ(params.Header("Content-Length"), "0");
}

TEST_F(HttpInterfaceTest, EveryAddressGoesOverTls) {
  // No scheme in the address: still TLS to the HTTPS-only service.
  const std::string url =
      "localhost:" + std::to_string(service_->Port()) + "/game/api/talent_tool/update_tip?sbId=98";
  const std::string answer = HttpInterface::Instance().PostParams(url, {});
  EXPECT_EQ(nlohmann::json::parse(answer)["code"], 0);
}

// What each failure answers and leaves in the last error. A status other than 404 is an answer:
// its body comes back and the error of the call before stays (an empty address's, here).
TEST_F(HttpInterfaceTest, FailuresEndInTheirErrorCodes) {
  HttpInterface& http = HttpInterface::Instance();
  const auto versionFault = [this](int status, std::size_t headerBytes) {
    RefFault fault;
    fault.status = status;
    fault.customBody = "status " + std::to_string(status);
    fault.extraHeaderBytes = headerBytes;
    service_->SetFault(RefEndpoint::VersionGet, fault);
  };
  const std::string closed = "https://127.0.0.1:" + std::to_string(ClosedPort()) + "/a";
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::string url;
    std::string answer;
    HttpInterfaceError error;
    std::string why;  // how the failure's one log line begins after its code; empty: none
  } cases[] = {
      {"untrusted certificate", [this] { service_->UseRogueCertificate(true); }, g_versionGetUrl,
       "", SendFailed, "curl error 60: "},
      {"no such page", [] {}, Url("/no/such/page"), "", NotFound,
       "HTTP status 404 (HTTP/1.1 404 Not Found)"},
      {"404 with a body", [&] { versionFault(404, 0); }, g_versionGetUrl, "", NotFound,
       "HTTP status 404 (HTTP/1.1 404 Not Found)"},
      {"500", [&] { versionFault(500, 0); }, g_versionGetUrl, "status 500", EmptyUrl, ""},
      {"headers just within", [&] { versionFault(200, 3500); }, g_versionGetUrl, "status 200",
       EmptyUrl, ""},
      {"headers beyond the buffer", [&] { versionFault(200, 4096); }, g_versionGetUrl, "",
       QueryInfoFailed, "the response headers exceed 4096 bytes"},
      {"nobody listening", [] {}, closed, "", SendFailed, "curl error 7: "},
      {"host \"http\", port 0", [] {}, "http://localhost/a", "", ConnectFailed,
       "curl error 3: no address for host \"http\" and port 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_->ClearFaults();
    service_->UseRogueCertificate(false);
    c.arrange();
    http.Post("", "", "");
    StdoutCapture capture;
    EXPECT_EQ(http.PostParams(c.url, {}), c.answer);
    const std::vector<std::string> lines = FailureLines(capture.Stop());
    EXPECT_EQ(http.LastError(), c.error);
    if (c.why.empty()) {
      EXPECT_TRUE(lines.empty()) << lines.front();
      continue;
    }
    ASSERT_EQ(lines.size(), 1u);
    const std::string start = "request failed (" + std::to_string(c.error) + "): " + c.why;
    EXPECT_EQ(lines[0].substr(0, start.size()), start) << lines[0];
    // The request hands the reason back too.
    QuietStdout quiet;
    EXPECT_EQ("request failed (" + std::to_string(c.error) +
                  "): " + http.Send(HttpInterface::BuildRequestUrl(c.url, {}), "", "").error.Text(),
              lines[0]);
  }
  // A connection refused its host or port leaves only the session open.
  const auto handles = http.Handles();
  EXPECT_TRUE(handles.internet);
  EXPECT_FALSE(handles.connect);
  EXPECT_FALSE(handles.request);

  // The local CA is not in the system store.
  service_->UseRogueCertificate(false);
  service_->ClearRequests();
  ConfigureService({"localhost", "", static_cast<std::uint16_t>(service_->Port())});
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), "");
  EXPECT_EQ(http.LastError(), SendFailed);
  EXPECT_TRUE(service_->Requests().empty());
}

TEST_F(HttpInterfaceTest, EachBodyChunkEndsAtItsFirstNul) {
  using namespace std::string_literals;
  const std::string chunk1 = std::string(100, 'a') + "\0"s + std::string(3995, 'x');
  const std::string chunk2(4096, 'b');
  const std::string chunk3 = std::string(50, 'c') + "\0"s + std::string(10, 'y');
  RefFault fault;
  fault.customBody = chunk1 + chunk2 + chunk3;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  EXPECT_EQ(HttpInterface::Instance().PostParams(g_versionGetUrl, {}),
            std::string(100, 'a') + chunk2 + std::string(50, 'c'));
}

TEST_F(HttpInterfaceTest, EachRequestClosesThePreviousHandles) {
  HttpInterface& http = HttpInterface::Instance();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(http.PostParams(g_versionGetUrl, {}), "");
    const auto handles = http.Handles();
    EXPECT_TRUE(handles.internet && handles.connect && handles.request);
  }
  // Closing the handles closes the connection: no request rides on an earlier one.
  const auto requests = service_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].remotePort, requests[1].remotePort);
  EXPECT_NE(requests[1].remotePort, requests[2].remotePort);
}

TEST_F(HttpInterfaceTest, StalledDrippingOrEndlessServiceEndsWithinTheBounds) {
  HttpInterface& http = HttpInterface::Instance();
  const TransferLimits limits = CurrentTransferLimits();
  http.Post("", "", "");
  // Silent before the response: no answer once the whole-request limit has passed.
  RefFault fault;
  fault.stall = true;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  auto begin = Clock::now();
  StdoutCapture stalled;
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), "");
  EXPECT_EQ(FailureLines(stalled.Stop()).at(0).rfind("request failed (3): ", 0), 0u);
  EXPECT_EQ(http.LastError(), SendFailed);
  EXPECT_GE(Clock::now() - begin, limits.request - std::chrono::milliseconds(100));
  EXPECT_LE(Clock::now() - begin, limits.request + std::chrono::seconds(3));

  // Once the body has begun, whatever ends it, the text so far is the answer: silence in
  // the middle of it,
  http.Post("", "", "");
  fault = {};
  fault.customBody = std::string(6000, 'z');
  fault.stallAfter = 5000;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  begin = Clock::now();
  StdoutCapture silent;
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), std::string(5000, 'z'));
  EXPECT_EQ(FailureLines(silent.Stop()),
            std::vector<std::string>{"request cut short: no byte for " +
                                     std::to_string(limits.idle.count()) +
                                     " ms (the idle bound), the text so far is the answer"});
  EXPECT_EQ(http.LastError(), EmptyUrl);
  EXPECT_GE(Clock::now() - begin, limits.idle - std::chrono::milliseconds(100));
  EXPECT_LE(Clock::now() - begin, limits.idle + std::chrono::seconds(3));

  // a byte now and then, never idle for long, until the whole-request limit,
  fault = {};
  fault.customBody = std::string(1000, 'd');
  fault.dripEvery = std::chrono::milliseconds(100);
  service_->SetFault(RefEndpoint::VersionGet, fault);
  begin = Clock::now();
  const std::string dripped = http.PostParams(g_versionGetUrl, {});
  EXPECT_GE(Clock::now() - begin, limits.request - std::chrono::milliseconds(100));
  EXPECT_LE(Clock::now() - begin, limits.request + std::chrono::seconds(3));
  EXPECT_FALSE(dripped.empty());
  EXPECT_EQ(dripped, std::string(dripped.size(), 'd'));
  EXPECT_LT(dripped.size(), 1000u);

  // or a body without end, cut off at the cap.
  fault = {};
  fault.customBody = "{}";
  fault.endless = true;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  begin = Clock::now();
  StdoutCapture endless;
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}).size(), std::size_t(16) << 20);
  EXPECT_EQ(FailureLines(endless.Stop()),
            std::vector<std::string>{"request cut short: more than 16777216 bytes (the answer "
                                     "bound), the text so far is the answer"});
  EXPECT_LE(Clock::now() - begin, limits.request);
  EXPECT_EQ(http.LastError(), EmptyUrl);
}

TEST_F(HttpInterfaceTest, ConnectLimitCoversTheHandshakeAndIdleCountsFromTheResponse) {
  HttpInterface& http = HttpInterface::Instance();
  TransferLimits limits = CurrentTransferLimits();
  limits.connect = std::chrono::milliseconds(1500);
  limits.idle = std::chrono::milliseconds(300);
  SetTransferLimits(limits);
  // Connected, but no TLS greeting ever: the handshake has the whole connect limit.
  SilentHost silent;
  const auto begin = Clock::now();
  EXPECT_EQ(http.PostParams("https://127.0.0.1:" + std::to_string(silent.Port()) + "/a", {}), "");
  EXPECT_EQ(http.LastError(), SendFailed);
  EXPECT_GE(Clock::now() - begin, limits.connect - std::chrono::milliseconds(50));
  EXPECT_LE(Clock::now() - begin, limits.connect + std::chrono::seconds(2));

  // An answer that takes thrice the idle limit to begin is waited for.
  RefFault fault;
  fault.delay = 3 * limits.idle;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  EXPECT_NE(http.PostParams(g_versionGetUrl, {}), "");
}

TEST_F(HttpInterfaceTest, BehindAProxyTheServicesOwnResponseCounts) {
  HttpInterface& http = HttpInterface::Instance();
  ConnectProxy proxy;
  const BehindProxy user(proxy.Address());
  const std::string answer = http.PostParams(g_versionGetUrl, {});
  EXPECT_EQ(nlohmann::json::parse(answer)["data"]["version"], 1000300);
  EXPECT_EQ(proxy.Targets(),
            std::vector<std::string>{"localhost:" + std::to_string(service_->Port())});

  EXPECT_EQ(http.PostParams(Url("/no/such/page"), {}), "");
  EXPECT_EQ(http.LastError(), NotFound);
  http.Post("", "", "");
  RefFault fault;
  fault.extraHeaderBytes = 4096;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), "");
  EXPECT_EQ(http.LastError(), QueryInfoFailed);

  // A proxy that refuses the tunnel, or that is not there, is a failed send.
  service_->ClearFaults();
  proxy.Refuse(403);
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), "");
  EXPECT_EQ(http.LastError(), SendFailed);
  http.Post("", "", "");
  const BehindProxy nobody("http://127.0.0.1:" + std::to_string(ClosedPort()));
  EXPECT_EQ(http.PostParams(g_versionGetUrl, {}), "");
  EXPECT_EQ(http.LastError(), SendFailed);
  EXPECT_EQ(service_->Requests().size(), 3u);
}

// Parameters, headers and the body go out as given: nothing encoded, the body whole without an
// "Expect: 100-continue", each text up to its first NUL.
TEST_F(HttpInterfaceTest, RequestsGoOutAsGiven) {
  using namespace std::string_literals;
  HttpInterface& http = HttpInterface::Instance();
  http.PostParams(g_updateTipUrl, {{"sbId", "98"}, {"x", "a&b"}});
  EXPECT_EQ(service_->LastRequest()->target, "/game/api/talent_tool/update_tip?sbId=98&x=a&b");
  const std::string body = std::string(2 << 20, 'j') + "\0def"s;
  http.Post(Url("/game/api/talent_tool/result/report"), "X-A: 1\r\nX-B: 2\0\r\nX-C: 3"s, body);
  const auto request = service_->LastRequest();
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->Header("Expect"));
  EXPECT_EQ(request->Header("X-B"), "2");
  EXPECT_FALSE(request->Header("X-C"));
  EXPECT_EQ(request->body, std::string(2 << 20, 'j'));
  // A raw space breaks the request line and the service refuses it.
  const std::size_t before = service_->Requests().size();
  EXPECT_EQ(http.PostParams(g_updateTipUrl, {{"sbId", "9 8"}}), "");
  EXPECT_EQ(service_->Requests().size(), before);
}
