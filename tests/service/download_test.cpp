// The firmware download against the reference service: the name the file takes beside the
// user's own files, the file the answer announced, the unnamed file while it is written, and
// whom the service requests and the download trust.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "service/addresses.h"
#include "service/download_file.h"
#include "service/firmware_file.h"
#include "service/http_interface.h"
#include "service/operations.h"
#include "service/trust_store.h"
#include "tests/common/stdout_capture.h"
#include "tests/common/with.h"
#include "tests/service/loopback.h"
#include "tests/service/service_fixture.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class DownloadTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    fs::create_directories(Documents());
  }
  void TearDown() override {
    DownloadFile::AllowUnnamed(true);
    SetSystemTrustStore(std::nullopt);
    ServiceTest::TearDown();
  }

  // The catalogue's one file: `bytes` under `name`.
  void Publish(const std::string& name, const std::string& bytes) {
    CatalogueEntry entry = DefaultEntry();
    entry.file = name;
    ASSERT_TRUE(WriteCatalogue(dir_.path() / "catalogue", entry, bytes));
  }

  // The download's result, as a file name in Documents; "ERROR" or "" as they come.
  std::string Download() {
    const QString path = DownloadFirmware({});
    const std::string prefix = Documents().string() + "/";
    const std::string text = path.toStdString();
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
  }
};

// A file of the name that is not an image of ours (a user's document, a folder, a link, even
// one to an image) is kept and the download takes the next free name, as a browser numbers
// it; an earlier image of ours there is replaced, under the plain name or a numbered one. The
// same with the unnamed file and with a named one.
TEST_F(DownloadTest, ANameTakenByTheUsersFileGoesToTheNextFreeOne) {
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    DownloadFile::AllowUnnamed(unnamed);
    fs::remove_all(Documents());
    fs::create_directories(Documents() / "marlo (1).bin");
    std::ofstream(Documents() / "marlo.bin") << "my report";
    std::ofstream(Documents() / "notes") << Image("not a download");
    fs::create_symlink("notes", Documents() / "marlo (2).bin");
    Publish("marlo.bin", Image("first"));
    EXPECT_EQ(Download(), "marlo (3).bin");
    Publish("marlo.bin", Image("second"));
    EXPECT_EQ(Download(), "marlo (3).bin");
    EXPECT_EQ(Slurp(Documents() / "marlo (3).bin"), Image("second"));
    EXPECT_EQ(Slurp(Documents() / "marlo.bin"), "my report");
    EXPECT_EQ(Slurp(Documents() / "notes"), Image("not a download"));
    EXPECT_TRUE(fs::is_symlink(Documents() / "marlo (2).bin"));

    std::ofstream(Documents() / "firmware") << "a file without an extension";
    Publish("firmware", Image("third"));
    EXPECT_EQ(Download(), "firmware (1)");
    std::ofstream(Documents() / "fw.bin") << Image("an earlier download");
    Publish("fw.bin", Image("fourth"));
    EXPECT_EQ(Download(), "fw.bin");
    EXPECT_EQ(Slurp(Documents() / "fw.bin"), Image("fourth"));
    EXPECT_EQ(Names(Documents()),
              (std::vector<std::string>{"firmware", "firmware (1)", "fw.bin", "marlo (1).bin",
                                        "marlo (2).bin", "marlo (3).bin", "marlo.bin", "notes"}));
  }
}

// The file is kept only if it is the image the answer announced: its size and its version
// (1.0.3.0 is 1000300). Otherwise the download fails with a line naming the member, and the
// earlier image of that name stays as it was.
TEST_F(DownloadTest, TheFileMustBeTheOneTheAnswerAnnounced) {
  const std::string image = Image("firmware image");
  const auto size = static_cast<std::int32_t>(image.size());
  const std::string sameSizeText(image.size(), 't');
  const struct {
    const char* what;
    std::string file;
    std::int32_t fileSize;
    std::int32_t version;
    bool endless;      // the body without a length, again and again
    std::string line;  // empty: kept
  } cases[] = {
      {"as announced", image, size, 1000300, false, ""},
      {"shorter", image, size + 1, 1000300, false,
       "download refused: fileSize=" + std::to_string(size + 1) + ", the file holds " +
           std::to_string(size) + " bytes"},
      {"longer", image, size - 1, 1000300, false,
       "download refused: fileSize=" + std::to_string(size - 1) + ", the file holds more bytes"},
      {"longer, no length given", image, size, 1000300, true,
       "download refused: fileSize=" + std::to_string(size) + ", the file holds more bytes"},
      {"another version",
       image,
       size,
       1000301,
       {},
       "download refused: version=1000301, the image is 1.0.3.0"},
      {"a version no image has",
       image,
       size,
       103,
       {},
       "download refused: version=103, the image is 1.0.3.0"},
      {"no image", sameSizeText, size, 1000300, false,
       "download refused: version=1000300, the file is no firmware image"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(Documents() / "marlo-1.0.3.bin") << Image("earlier");
    Publish("marlo-1.0.3.bin", c.file);
    service_->SetFault(RefEndpoint::Files, With(&RefFault::endless, c.endless));
    RefFault answer;
    answer.customBody = json{{"data",
                              {{"fileUrl", Url("/files/marlo-1.0.3.bin")},
                               {"fileSize", c.fileSize},
                               {"fileName", "marlo-1.0.3.bin"},
                               {"version", c.version},
                               {"bizId", "b"},
                               {"versionTxt", "V1.0.3"}}}}
                            .dump();
    service_->SetFault(RefEndpoint::VersionGet, answer);
    StdoutCapture capture;
    const std::string result = Download();
    const std::string log = capture.Stop();
    EXPECT_EQ(result, c.line.empty() ? "marlo-1.0.3.bin" : "ERROR");
    EXPECT_EQ(Slurp(Documents() / "marlo-1.0.3.bin"), c.line.empty() ? image : Image("earlier"));
    EXPECT_EQ(Names(Documents()), std::vector<std::string>{"marlo-1.0.3.bin"});
    EXPECT_EQ(CountLines(log, "download ok"), c.line.empty() ? 1u : 0u) << log;
    if (!c.line.empty()) {
      EXPECT_TRUE(HasLine(log, c.line)) << log;
    }
  }
}

// Each failed download writes one line that says why and hands the reason back: the status,
// curl's code and text, the bound reached, the file's error, the name; a file that is not the
// one announced, its refusal alone.
TEST_F(DownloadTest, EachFailedDownloadSaysWhyInOneLine) {
  using Kind = TransferError::Kind;
  const std::string image = Image("firmware image");
  const auto announce = [&](const std::string& url, const std::string& name, int version) {
    service_->SetFault(RefEndpoint::VersionGet,
                       With(&RefFault::customBody, json{{"data",
                                                         {{"fileUrl", url},
                                                          {"fileSize", image.size()},
                                                          {"fileName", name},
                                                          {"version", version},
                                                          {"bizId", "b"},
                                                          {"versionTxt", "V1.0.3"}}}}
                                                       .dump()));
  };
  const std::string file = Url("/files/marlo-1.0.3.bin");
  const std::string closed = "https://127.0.0.1:" + std::to_string(ClosedPort()) + "/f.bin";
  const struct {
    const char* what;
    std::function<void()> arrange;
    Kind kind;
    std::string line;  // how the one line begins
  } cases[] = {
      {"404", [&] { service_->SetFault(RefEndpoint::Files, With(&RefFault::status, 404)); },
       Kind::kHttpStatus, "download failed: HTTP status 404"},
      {"nobody listening", [&] { announce(closed, "marlo-1.0.3.bin", 1000300); }, Kind::kCurl,
       "download failed: curl error 7: "},
      {"silent halfway",
       [&] { service_->SetFault(RefEndpoint::Files, With(&RefFault::stallAfter, std::size_t{8})); },
       Kind::kBound,
       "download failed: no byte for " + std::to_string(ShortLimits().idle.count()) +
           " ms (the idle bound)"},
      {"Documents is a file",
       [&] {
         fs::remove_all(Documents());
         std::ofstream(Documents()) << "not a folder";
       },
       Kind::kFile,
       "download failed: making the file in " + Documents().string() + ": Not a directory"},
      {"a name with a folder", [&] { announce(file, "../marlo.bin", 1000300); }, Kind::kName,
       "download failed: the file name \"../marlo.bin\" is no plain file name"},
      {"another version", [&] { announce(file, "marlo-1.0.3.bin", 1000301); }, Kind::kRefused,
       "download refused: version=1000301, the image is 1.0.3.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    service_->ClearFaults();
    fs::remove_all(Documents());
    fs::create_directories(Documents());
    Publish("marlo-1.0.3.bin", image);
    c.arrange();
    StdoutCapture capture;
    const FirmwareDownload download = DownloadCurrentFirmware({});
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(capture.Stop())) {
      if (line.rfind("download ", 0) == 0)
        lines.push_back(line);
    }
    EXPECT_EQ(download.status, FirmwareDownload::Status::kFailed);
    EXPECT_EQ(download.error.kind, c.kind);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, c.line.size()), c.line) << lines[0];
    if (c.kind != Kind::kRefused) {
      EXPECT_EQ(lines[0], "download failed: " + download.error.Text());
    }
  }
}

TEST(ServiceVersion, TwoDecimalDigitsForEachNumberButTheFirst) {
  EXPECT_EQ(ServiceVersionOf({1, 2, 0, 7}), 1020007);
  EXPECT_EQ(ServiceVersionOf({0, 0, 0, 0}), 0);
  EXPECT_EQ(ServiceVersionOf({2147, 48, 36, 47}), INT32_MAX);
  EXPECT_EQ(ServiceVersionOf({2147, 48, 36, 48}), std::nullopt);
  EXPECT_EQ(ServiceVersionOf({65535, 0, 0, 0}), std::nullopt);
  for (const ImageVersion v : {ImageVersion{1, 100, 0, 0}, {1, 0, 100, 0}, {1, 0, 0, 100}})
    EXPECT_EQ(ServiceVersionOf(v), std::nullopt) << v.ToString();
}

// While the body is awaited the file exists but has no name: nothing shows in Documents, and
// another instance's sweep of leftovers cannot touch it. Where the file system makes no
// unnamed files, the named one shows and is locked against the sweep.
TEST_F(DownloadTest, TheFileIsUnnamedWhileItIsWritten) {
  TransferLimits limits = ShortLimits();
  limits.rateGrace = std::chrono::seconds(60);
  SetTransferLimits(limits);
  Publish("marlo-1.0.3.bin", Image("firmware image"));
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    DownloadFile::AllowUnnamed(unnamed);
    fs::remove_all(Documents());
    fs::create_directories(Documents());
    service_->ClearRequests();
    service_->SetFault(RefEndpoint::Files, With(&RefFault::delay, std::chrono::milliseconds(3000)));
    std::string result;
    std::thread download([&] { result = Download(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto fileAsked = [&] {
      for (const auto& request : service_->Requests())
        if (request.method == "GET")
          return true;
      return false;
    };
    while (!fileAsked() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The file was made before the request went out.
    const std::vector<std::string> during = Names(Documents());
    EXPECT_EQ(during.size(), unnamed ? 0u : 1u);
    if (!during.empty()) {
      EXPECT_EQ(during[0].rfind(".zav-download-", 0), 0u) << during[0];
    }
    DownloadFile::Create(QString::fromStdString(Documents().string()));  // the sweep
    download.join();
    EXPECT_EQ(result, "marlo-1.0.3.bin");
    EXPECT_EQ(Names(Documents()), std::vector<std::string>{"marlo-1.0.3.bin"});
  }
}

// A hashed CA folder holding the one certificate, as the system keeps its own.
fs::path HashedFolder(const fs::path& certificate, const fs::path& folder) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(certificate.c_str(), "r"),
                                                       &std::fclose);
  X509* cert = file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr;
  char name[16];
  std::snprintf(name, sizeof name, "%08lx.0", cert ? X509_subject_name_hash(cert) : 0ul);
  X509_free(cert);
  fs::create_directories(folder);
  fs::copy_file(certificate, folder / name);
  return folder;
}

// With a CA file the service is trusted by that CA alone, not by the system store; the
// download, which may come from another host, by both. Without one, both by the system store.
// The rogue CA stands in for the system store, as a bundle and as a hashed folder.
TEST_F(DownloadTest, TheServiceTrustsItsCaAloneTheDownloadTheSystemToo) {
  RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
  options.catalogueDir = dir_.path() / "host";
  CatalogueEntry entry = DefaultEntry();
  const std::string image = Image("firmware image");
  ASSERT_TRUE(WriteCatalogue(options.catalogueDir, entry, image));
  RefService host(options);  // the firmware's host
  std::string error;
  ASSERT_TRUE(host.Start(&error)) << error;
  const std::string hostUrl =
      "https://localhost:" + std::to_string(host.Port()) + "/files/marlo-1.0.3.bin";

  const fs::path rogue = PkiDir() / "rogue-ca.pem";
  const TrustStore stores[] = {{rogue.string(), ""},
                               {"", HashedFolder(rogue, dir_.path() / "certs").string()}};
  const struct {
    bool caFile;
    bool rogueService;
    bool requestTrusted;
    bool rogueHost;
    bool downloadTrusted;
  } cases[] = {
      {true, false, true, false, true},  {true, false, true, true, true},
      {true, true, false, false, false}, {false, true, true, true, true},
      {false, true, true, false, false},
  };
  for (const TrustStore& store : stores) {
    SetSystemTrustStore(store);
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << store.bundle << store.folder << " ca file " << c.caFile << ", rogue service "
                   << c.rogueService << ", rogue host " << c.rogueHost);
      ConfigureService({"localhost", c.caFile ? (PkiDir() / "ca.pem").string() : "",
                        static_cast<std::uint16_t>(service_->Port())});
      service_->UseRogueCertificate(c.rogueService);
      host.UseRogueCertificate(c.rogueHost);
      const QuietStdout quiet;
      EXPECT_EQ(HttpInterface::Instance().PostParams(g_versionGetUrl, {}).empty(),
                !c.requestTrusted);
      if (!c.requestTrusted)
        continue;
      json data = json::parse(HttpInterface::Instance().PostParams(g_versionGetUrl, {}))["data"];
      data["fileUrl"] = hostUrl;
      data["fileSize"] = image.size();
      service_->SetFault(RefEndpoint::VersionGet,
                         With(&RefFault::customBody, std::optional(json{{"data", data}}.dump())));
      fs::remove_all(Documents());
      EXPECT_EQ(Download(), c.downloadTrusted ? "marlo-1.0.3.bin" : "ERROR");
      service_->SetFault(RefEndpoint::VersionGet, {});
    }
  }
  host.Stop();
}

}  // namespace
