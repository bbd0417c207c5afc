#include "relay/update_files.h"

#include <gtest/gtest.h>

namespace ov::relay {
namespace {

TEST(ResolveDownloadTest, ManifestWithOrWithoutCacheBuster) {
  for (const char* target : {"/download/update.json", "/download/update.json?check=0",
                             "/download/update.json?check=18446744073709551615"}) {
    const auto file = ResolveDownload(target);
    ASSERT_TRUE(file) << target;
    EXPECT_EQ(file->relativePath, "update.json");
    EXPECT_EQ(file->contentType, "application/json");
  }
}

TEST(ResolveDownloadTest, ReleaseExecutableByVersion) {
  const auto file = ResolveDownload("/download/releases/0.3.10/Orvantis.exe");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->relativePath, "releases/0.3.10/Orvantis.exe");
}

TEST(ResolveDownloadTest, EverythingElseIsNotFound) {
  for (const char* target : {
           "/", "/download", "/download/", "/download/update.jsonx", "/download/update.json?",
           "/download/update.json?check=", "/download/update.json?check=1&x=2",
           "/download/update.json?check=-1", "/download/update.json?check=123456789012345678901",
           "/download/update.json#x", "/download/update.json/", "/download//update.json",
           "/download/releases/0.3.9", "/download/releases/0.3.9/", "/download/releases/0.3.9/orvantis.exe",
           "/download/releases/0.3.9/Orvantis.exe?x", "/download/releases/0.3.9/Orvantis.exe/",
           "/download/releases/../update.json", "/download/releases/../../etc/Orvantis.exe",
           "/download/releases/0.3.9/../0.3.9/Orvantis.exe", "/download/releases/%2e%2e/Orvantis.exe",
           "/download/releases/0.03.9/Orvantis.exe", "/download/releases/0.3/Orvantis.exe",
           "/download/releases//0.3.9/Orvantis.exe", "/download/releases/0.3.9//Orvantis.exe",
           "/download/releases/0.3.9/Orvantis.exe%00", "/DOWNLOAD/update.json",
           "download/update.json", "http://example.com/download/update.json"}) {
    EXPECT_FALSE(ResolveDownload(target)) << target;
  }
}

}  // namespace
}  // namespace ov::relay
