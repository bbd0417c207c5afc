// The updater's download saved through the file store: into place with the service's origin, or
// refused without touching anything.
#include "app/file_download_sink.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "crypto/primitives.h"
#include "tools/testing/fake_file_store.h"

namespace ov {
namespace {

std::string DigestOf(const std::vector<std::uint8_t>& bytes) {
  Sha256Stream sha;
  for (std::size_t at = 0; at < bytes.size(); at += kSha256ChunkLimit) {
    sha.Update(bytes.data() + at, std::min(kSha256ChunkLimit, bytes.size() - at));
  }
  return sha.FinishHex();
}

TEST(FileDownloadSink, SavesIntoPlaceMarkedOrRefusesLeavingNothing) {
  FakeFileStore store;
  FileDownloadSink sink(store, "https://updates.example/");
  std::vector<std::uint8_t> exe(70000, 0x5A);
  exe[0] = 'M';
  exe[1] = 'Z';
  const std::string name = "Kestrova-0.4.0-0123abcd.exe";
  const std::filesystem::path saved = sink.Save(exe, "/dl", name, DigestOf(exe));
  const std::u16string path = saved.u16string();
  ASSERT_TRUE(store.Has(path)) << saved;
  EXPECT_EQ(store.files.at(path), exe);
  EXPECT_EQ(store.origins.at(path), "https://updates.example/");
  const std::size_t files = store.files.size();

  // An existing file is never replaced; a wrong digest, a name with a separator or beyond ASCII
  // are refused; nothing new is left behind.
  const struct {
    std::string name;
    std::string digest;
  } refused[] = {
      {name, DigestOf(exe)},
      {"Kestrova-0.4.1-0123abcd.exe", std::string(64, '0')},
      {"../Kestrova-0.4.1-0123abcd.exe", DigestOf(exe)},
      {"Kestrova-0.4.1-\xC3\xA9.exe", DigestOf(exe)},
  };
  for (const auto& r : refused) {
    EXPECT_THROW(sink.Save(exe, "/dl", r.name, r.digest), std::runtime_error) << r.name;
    EXPECT_EQ(store.files.size(), files) << r.name;
  }
}

}  // namespace
}  // namespace ov
