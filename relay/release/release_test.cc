// kestrova-release end to end: keys, publishing and folder checks in-process, then the program's
// updater (HttpsGet over BoringSSL, the manifest checks, the worker) against a kestrova-relay
// process serving the folder over TLS with a certificate made for the run.
#include "relay/release/release_core.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/testing/relay_process.h"
#include "net/https_get.h"
#include "net/testing/ws_test_server.h"
#include "update/manifest_verify.h"
#include "update/testing/fake_download_sink.h"
#include "update/updater.h"

namespace ov::release {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::uint8_t> Exe(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  bytes[0] = 'M';
  bytes[1] = 'Z';
  return bytes;
}

void WriteFile(const fs::path& path, const void* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadText(const fs::path& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
  }
  return text;
}

std::string Failure(const std::function<void()>& action) {
  try {
    action();
    return "ok";
  } catch (const std::exception& e) {
    return e.what();
  }
}

class ReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ov_release_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    updateDir_ = root_ / "update";
    fs::create_directories(updateDir_);
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path Executable(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const fs::path path = root_ / name;
    WriteFile(path, bytes.data(), bytes.size());
    return path;
  }

  fs::path root_;
  fs::path updateDir_;
};

TEST_F(ReleaseTest, KeysArePrivateAndSignaturesVerifyInTheProgram) {
  const ReleaseKey key = ReleaseKey::Generate();
  const fs::path file = root_ / "release-key.pem";
  key.Save(file);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_NE(Failure([&] { key.Save(file); }), "ok");  // never over an existing file

  const ReleaseKey loaded = ReleaseKey::Load(file);
  const std::string publicKey = loaded.PublicBase64();
  EXPECT_EQ(publicKey, key.PublicBase64());
  EXPECT_EQ(publicKey.size(), 96u);
  EXPECT_EQ(publicKey.substr(0, 10), "RUNTMSAAAA");
  // Each signature of the tool verifies with the program's verifier, and only over its data.
  for (int i = 0; i < 16; ++i) {
    std::vector<std::uint8_t> data = Exe(100 + static_cast<std::size_t>(i), static_cast<std::uint32_t>(i));
    const std::string manifest = MakeManifest(loaded, Exe(65536, static_cast<std::uint32_t>(i)), "1.2.3");
    EXPECT_EQ(VerifyManifest(manifest, publicKey).version, "1.2.3");
    std::vector<std::uint8_t> signature = loaded.Sign(data);
    EXPECT_TRUE(VerifySignature(publicKey, data, signature));
    data[0] ^= 1;
    EXPECT_FALSE(VerifySignature(publicKey, data, signature));
  }
  WriteFile(root_ / "not-a-key.pem", "hello", 5);
  EXPECT_NE(Failure([&] { ReleaseKey::Load(root_ / "not-a-key.pem"); }), "ok");
}

TEST_F(ReleaseTest, PublishRefusesWhatTheProgramWouldRefuseAndWritesNothing) {
  const ReleaseKey key = ReleaseKey::Generate();
  std::vector<std::uint8_t> notMz = Exe(65536, 1);
  notMz[1] = 'X';
  struct Case {
    const char* name;
    std::vector<std::uint8_t> exe;
    const char* version;
  } cases[] = {
      {"65535 bytes", Exe(65535, 1), "1.0.0"},
      {"33554433 bytes", Exe(33554433, 1), "1.0.0"},
      {"no MZ", notMz, "1.0.0"},
      {"leading zero", Exe(65536, 1), "1.01.0"},
      {"two parts", Exe(65536, 1), "1.0"},
      {"a path", Exe(65536, 1), "../1.0.0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path exe = Executable("refused.exe", c.exe);
    EXPECT_NE(Failure([&] { Publish(key, exe, c.version, updateDir_); }), "ok");
    EXPECT_TRUE(fs::is_empty(updateDir_));
  }
  // The same version again only with the same bytes.
  ASSERT_EQ(Failure([&] { Publish(key, Executable("a.exe", Exe(70000, 2)), "1.0.0", updateDir_); }), "ok");
  EXPECT_EQ(Failure([&] { Publish(key, Executable("a.exe", Exe(70000, 2)), "1.0.0", updateDir_); }), "ok");
  EXPECT_NE(Failure([&] { Publish(key, Executable("b.exe", Exe(70000, 3)), "1.0.0", updateDir_); }), "ok");
  EXPECT_EQ(VerifyFolder(updateDir_, key.PublicBase64()).sha256, Sha256Hex(Exe(70000, 2)));
  EXPECT_NE(Failure([&] { VerifyFolder(updateDir_, ReleaseKey::Generate().PublicBase64()); }), "ok");
  // A release file changed after publishing is caught.
  WriteFile(updateDir_ / "releases/1.0.0/Orvantis.exe", Exe(70000, 4).data(), 70000);
  EXPECT_NE(Failure([&] { VerifyFolder(updateDir_, key.PublicBase64()); }), "ok");
}

// The command line, as a self-hoster runs it.
TEST_F(ReleaseTest, TheToolKeygensPublishesAndVerifies) {
  const fs::path output = root_ / "output.txt";
  auto run = [&output](const std::string& command) {
    const int status = std::system((command + " > " + output.string() + " 2>&1").c_str());
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(output));
  };
  const std::string tool = OV_RELEASE_BINARY;
  const fs::path keyFile = root_ / "key.pem";
  const auto [keygenStatus, publicKey] = run(tool + " keygen --out " + keyFile.string());
  ASSERT_EQ(keygenStatus, 0) << publicKey;
  ASSERT_EQ(publicKey.size(), 97u);  // and a line break
  const fs::path exe = Executable("Kestrova.exe", Exe(80000, 5));
  const auto [publishStatus, published] = run(tool + " publish --key " + keyFile.string() + " --exe " +
                                              exe.string() + " --version 0.4.0 --update-dir " + updateDir_.string());
  ASSERT_EQ(publishStatus, 0) << published;
  const std::string key = publicKey.substr(0, 96);
  EXPECT_EQ(run(tool + " verify --update-dir " + updateDir_.string() + " --public " + key).first, 0);
  // The program's own checks accept what the OpenSSL-built tool signed.
  const std::string text = ReadText(updateDir_ / "update.json");
  EXPECT_EQ(VerifyManifest(text, key), (ReleaseManifest{"0.4.0", 80000, Sha256Hex(Exe(80000, 5))}));
  EXPECT_NE(run(tool + " publish --key " + keyFile.string() + " --exe " + exe.string() +
                " --version 0.4 --update-dir " + updateDir_.string()).first, 0);
  EXPECT_NE(run(tool + " verify --update-dir " + updateDir_.string() + " --public " + key.substr(1) + "A").first, 0);
  EXPECT_EQ(run(tool + " --help").first, 0);
}

class ReleaseRelayTest : public ReleaseTest {
 protected:
  void SetUp() override {
    ReleaseTest::SetUp();
    const testing::TestCertificate certificate = testing::MakeTestCertificate();
    WriteFile(root_ / "cert.pem", certificate.certPem.data(), certificate.certPem.size());
    WriteFile(root_ / "key.pem", certificate.keyPem.data(), certificate.keyPem.size());
    relay_ = std::make_unique<ov::testing::RelayProcess>(
        OV_RELAY_BINARY, std::vector<std::string>{"--tls-cert", (root_ / "cert.pem").string(), "--tls-key",
                                                  (root_ / "key.pem").string(), "--update-dir", updateDir_.string()});
    ASSERT_TRUE(relay_->ok()) << relay_->error();
  }
  void TearDown() override {
    relay_.reset();
    ReleaseTest::TearDown();
  }

  std::unique_ptr<Updater> MakeUpdater(const std::string& publicKey) {
    UpdaterOptions options = DefaultUpdaterOptions();
    options.host = "localhost";
    options.port = static_cast<std::uint16_t>(relay_->port());
    options.releaseKey = publicKey;
    options.extraCaFile = (root_ / "cert.pem").string();
    options.sink = &sink_;
    options.downloadsFolder = [this] { return std::optional<fs::path>(root_); };
    return std::make_unique<Updater>(std::move(options));
  }
  static UpdateSnapshot Run(Updater& updater, const std::function<void()>& start) {
    start();
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (updater.Busy() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    UpdateSnapshot state;
    updater.TakeState(state);
    return state;
  }
  HttpsGetRequest Get(std::string path, std::uint64_t limit) const {
    HttpsGetRequest request;
    request.host = "localhost";
    request.port = static_cast<std::uint16_t>(relay_->port());
    request.path = std::move(path);
    request.limit = limit;
    request.extraCaFile = (root_ / "cert.pem").string();
    return request;
  }

  std::unique_ptr<ov::testing::RelayProcess> relay_;
  ov::testing::FakeDownloadSink sink_;
};

TEST_F(ReleaseRelayTest, TheUpdaterChecksAndDownloadsAPublishedRelease) {
  const ReleaseKey key = ReleaseKey::Generate();
  const std::unique_ptr<Updater> updater = MakeUpdater(key.PublicBase64());

  // No manifest yet: the relay answers 404.
  EXPECT_EQ(Run(*updater, [&] { updater->StartCheck(false); }).error, "Update check failed");

  Publish(key, Executable("current.exe", Exe(70000, 7)), "0.3.9", updateDir_);
  EXPECT_EQ(Run(*updater, [&] { updater->StartCheck(false); }).state, UpdateState::UpToDate);

  const std::vector<std::uint8_t> next = Exe(300000, 8);
  Publish(key, Executable("next.exe", next), "0.3.10", updateDir_);
  const UpdateSnapshot required = Run(*updater, [&] { updater->StartCheck(true); });
  ASSERT_EQ(required.state, UpdateState::UpdateRequired) << required.error;
  EXPECT_EQ(required.version, "0.3.10");
  const UpdateSnapshot downloaded = Run(*updater, [&] { updater->StartDownload(); });
  ASSERT_EQ(downloaded.state, UpdateState::Downloaded) << downloaded.error;
  ASSERT_EQ(sink_.saved().size(), 1u);
  EXPECT_EQ(sink_.saved()[0].bytes, next);
  EXPECT_EQ(downloaded.file.parent_path(), root_);

  // The release file replaced behind the manifest's back: verified, refused, nothing saved.
  WriteFile(updateDir_ / "releases/0.3.10/Orvantis.exe", Exe(300000, 9).data(), 300000);
  ASSERT_EQ(Run(*updater, [&] { updater->StartCheck(false); }).state, UpdateState::UpdateRequired);
  const UpdateSnapshot refused = Run(*updater, [&] { updater->StartDownload(); });
  EXPECT_EQ(refused.state, UpdateState::UpdateRequired);
  EXPECT_EQ(refused.error, "Update verification failed");
  EXPECT_EQ(sink_.saved().size(), 1u);

  // Signed by another key: refused.
  Publish(ReleaseKey::Generate(), Executable("other.exe", Exe(70000, 10)), "0.5.0", updateDir_);
  EXPECT_EQ(Run(*updater, [&] { updater->StartCheck(false); }).error, "manifest signature");
}

// While releases are published one after another, every manifest the relay serves verifies and
// the release it names is complete with the announced digest.
TEST_F(ReleaseRelayTest, PublishingWhileTheRelayServesKeepsEachPairConsistent) {
  const ReleaseKey key = ReleaseKey::Generate();
  Publish(key, Executable("first.exe", Exe(65536, 100)), "1.0.0", updateDir_);
  std::atomic<bool> publishing{true};
  std::thread publisher([&] {
    for (std::uint32_t i = 1; i <= 12; ++i) {
      Publish(key, Executable("r" + std::to_string(i) + ".exe", Exe(65536 + 4096 * i, 100 + i)),
              "1.0." + std::to_string(i), updateDir_);
    }
    publishing = false;
  });
  int checked = 0;
  std::set<std::string> versions;
  while (publishing || checked < 5) {
    const std::vector<std::uint8_t> text = HttpsGet(Get(ManifestPath(1), kManifestMaxBytes));
    const ReleaseManifest manifest =
        VerifyManifest(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), key.PublicBase64());
    const std::vector<std::uint8_t> body = HttpsGet(Get(ReleasePath(manifest.version), manifest.bytes));
    EXPECT_NO_THROW(VerifyReleaseBody(body, manifest)) << manifest.version;
    versions.insert(manifest.version);
    ++checked;
  }
  publisher.join();
  EXPECT_GE(versions.size(), 2u);  // the reads did overlap the publishing
  EXPECT_EQ(VerifyFolder(updateDir_, key.PublicBase64()).version, "1.0.12");
}

}  // namespace
}  // namespace ov::release
