// The reference service itself, through a plain libcurl client: what tests of the other
// subsystems rely on.
#include "refservice/refservice.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "tests/service/service_fixture.h"

namespace {

struct Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One request with libcurl's defaults, trusting `ca`.
Reply Fetch(const std::string& url, const std::string* postBody, const std::string& ca) {
  Reply reply;
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, 20L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Append);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply.body);
  if (postBody != nullptr) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, postBody->c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
  }
  reply.code = curl_easy_perform(easy);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_easy_cleanup(easy);
  return reply;
}

}  // namespace

class RefServiceTest : public ServiceTest {
 protected:
  Reply Post(const std::string& page, const std::string& body = "") {
    return Fetch(Url(page), &body, (PkiDir() / "ca.pem").string());
  }
  Reply Get(const std::string& url) { return Fetch(url, nullptr, (PkiDir() / "ca.pem").string()); }
};

// The tip goes only to its device; of the files, only the firmware is hosted.
TEST_F(RefServiceTest, AnswersOnlyWhatIsAskedOfIt) {
  auto tip = nlohmann::json::parse(Post("/game/api/talent_tool/update_tip?sbId=98").body);
  EXPECT_EQ(tip.at("data").at("tip"), "tip");
  EXPECT_EQ(tip.at("data").at("url"), "https://localhost/notes");
  tip = nlohmann::json::parse(Post("/game/api/talent_tool/update_tip?sbId=7").body);
  EXPECT_NE(tip.at("code"), 0);
  EXPECT_TRUE(tip.at("data").is_null());
  EXPECT_EQ(Get(Url("/files/marlo-1.0.3.bin")).body, "firmware image");
  EXPECT_EQ(Get(Url("/files/manifest.json")).status, 404);
  EXPECT_EQ(Get(Url("/files/..%2Fcatalogue%2Fmanifest.json")).status, 404);
}

TEST_F(RefServiceTest, StoresEveryReportAsItCameAndKeepsItAcrossRuns) {
  const std::string first = R"({"code":"1","errorMsg":"成功"})";
  const std::string second = "not json at all";
  const auto before = std::chrono::system_clock::now();
  EXPECT_EQ(
      nlohmann::json::parse(Post("/game/api/talent_tool/result/report", first).body).at("code"), 0);
  RefFault fault;
  fault.status = 500;
  service_->SetFault(RefEndpoint::ResultReport, fault);
  EXPECT_EQ(Post("/game/api/talent_tool/result/report", second).status, 500);

  auto reports = service_->Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].body, first);
  EXPECT_EQ(reports[1].body, second);
  EXPECT_LT(reports[0].id, reports[1].id);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(before.time_since_epoch()).count();
  EXPECT_GE(reports[0].receivedMs, ms - 1000);

  service_->Stop();
  reports = RefService::ReadStore(dir_.path() / "reports.sqlite");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].body, first);
}

// Faults the client tests do not look at the result of themselves.
TEST_F(RefServiceTest, ShapesAnswersWithFaults) {
  RefFault fault;
  fault.bodySize = 70'000;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  const Reply reply = Post("/game/api/talent_tool/bin/version/get");
  EXPECT_EQ(reply.body.size(), 70'000u);
  EXPECT_TRUE(nlohmann::json::accept(reply.body));

  // The rogue certificate is a sound one, of another CA.
  service_->UseRogueCertificate(true);
  EXPECT_EQ(
      Fetch(Url("/files/marlo-1.0.3.bin"), nullptr, (PkiDir() / "rogue-ca.pem").string()).code,
      CURLE_OK);
}

TEST_F(RefServiceTest, RefusesAPortInUseAndStopsPromptlyWhileStalled) {
  RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
  options.port = service_->Port();
  RefService second(options);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find(std::to_string(service_->Port())), std::string::npos);
  // Started again, a running service says so and goes on serving.
  EXPECT_FALSE(service_->Start(&error));
  EXPECT_EQ(error, "already started");
  EXPECT_EQ(Get(Url("/files/marlo-1.0.3.bin")).body, "firmware image");

  RefFault fault;
  fault.stall = true;
  service_->SetFault(RefEndpoint::VersionGet, fault);
  std::thread client([&] { Post("/game/api/talent_tool/bin/version/get"); });
  for (int i = 0; i < 500 && service_->Requests().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto start = std::chrono::steady_clock::now();
  service_->Stop();
  client.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(RefServiceStart, ReportsMissingCertificates) {
  RefServiceOptions options;
  options.certFile = "/nonexistent/server.pem";
  options.keyFile = "/nonexistent/server.key";
  RefService service(options);
  std::string error;
  EXPECT_FALSE(service.Start(&error));
  EXPECT_NE(error.find("/nonexistent/server.pem"), std::string::npos);
}
