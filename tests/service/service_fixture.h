// A reference service on an ephemeral loopback port with a catalogue of its own in a
// temporary folder, the service client configured to talk to it with short limits, a private
// HOME and a fresh firmware record.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hiddfu/image.h"
#include "refservice/refservice.h"
#include "service/config.h"
#include "service/operations.h"
#include "service/transfer_limits.h"
#include "tests/common/temp_dir.h"

inline std::filesystem::path PkiDir() {
  return ZAV_TEST_PKI_DIR;
}

// Makes home the user's home, so that downloads land in a Documents folder of its own.
inline void UsePrivateHome(const std::filesystem::path& home) {
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
  unsetenv("XDG_DOCUMENTS_DIR");
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RefServiceOptions options = RefServiceOptions::FromPkiDir(PkiDir());
    options.catalogueDir = dir_.path() / "catalogue";
    options.storeFile = dir_.path() / "reports.sqlite";
    ASSERT_TRUE(
        WriteCatalogue(options.catalogueDir, DefaultEntry(), std::string("firmware image")));
    service_ = std::make_unique<RefService>(options);
    std::string error;
    ASSERT_TRUE(service_->Start(&error)) << error;
    Configure("localhost");
    SetTransferLimits(ShortLimits());
    home_ = dir_.path() / "home";
    UsePrivateHome(home_);
    FirmwareInfo = {};
    g_upgradeStartTime = 0;
  }
  void TearDown() override {
    service_->Stop();
    SetTransferLimits({});
  }

  // Bounds of seconds instead of minutes.
  static TransferLimits ShortLimits() {
    TransferLimits limits;
    limits.connect = std::chrono::milliseconds(2000);
    limits.idle = std::chrono::milliseconds(1000);
    limits.request = std::chrono::milliseconds(3000);
    limits.rateGrace = std::chrono::milliseconds(1500);
    return limits;
  }

  void Configure(const std::string& host) {
    ConfigureService(
        {host, (PkiDir() / "ca.pem").string(), static_cast<std::uint16_t>(service_->Port())});
  }

  static CatalogueEntry DefaultEntry() {
    CatalogueEntry entry;
    entry.file = "marlo-1.0.3.bin";
    entry.version = 1000300;  // 1.0.3.0
    entry.bizId = "biz-103";
    entry.versionTxt = "V1.0.3";
    entry.tip = "tip";
    entry.tipUrl = "https://localhost/notes";
    return entry;
  }

  // A firmware image of DefaultEntry's version around `payload`.
  static std::string Image(std::string_view payload) {
    return hiddfu::MakeImageBytes(payload, {1, 0, 3, 0});
  }

  std::string Url(const std::string& page) const {
    return "https://localhost:" + std::to_string(service_->Port()) + page;
  }

  std::filesystem::path Documents() const { return home_ / "Documents"; }

  TempDir dir_;
  std::filesystem::path home_;
  std::unique_ptr<RefService> service_;
};
