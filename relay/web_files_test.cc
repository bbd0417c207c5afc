#include "relay/web_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

namespace ov::relay {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kIndex = "<!doctype html><script src=page.0123abcd.js></script>";
constexpr std::string_view kScript = "console.log(1)";
constexpr std::string_view kStyle = "body{margin:0}";

void Write(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// A folder as web/build.mjs writes it: the listed page files, and an unlisted file for the node
// tests that must be neither read nor served.
class WebFolder : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "web-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    Write(dir_ / "index.html", kIndex);
    Write(dir_ / "page.0123abcd.js", kScript);
    Write(dir_ / "style.89abcdef0123.css", kStyle);
    Write(dir_ / "core.js", "not served");
    Write(dir_ / "manifest.txt",
          "index.html text/html; charset=utf-8\n"
          "page.0123abcd.js text/javascript; charset=utf-8\n"
          "style.89abcdef0123.css text/css; charset=utf-8\n");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

std::map<std::string, std::string> Headers(const WebAnswer& answer) {
  std::map<std::string, std::string> out;
  for (const WebHeader& header : answer.headers) {
    EXPECT_TRUE(out.emplace(header.name, header.value).second) << "twice: " << header.name;
  }
  return out;
}

TEST_F(WebFolder, TargetsNameOnlyListedFilesByExactName) {
  const WebFiles files(dir_.string());
  EXPECT_EQ(files.FileCount(), 3u);
  struct Case {
    const char* target;
    std::string_view body;  // empty: not found
    std::string_view type;
  };
  const std::string_view html = "text/html; charset=utf-8";
  const std::string_view js = "text/javascript; charset=utf-8";
  const Case cases[] = {
      {"/", kIndex, html},
      {"/index.html", kIndex, html},
      {"/?lang=de", kIndex, html},
      {"/index.html?preview&panel=chat", kIndex, html},
      {"/page.0123abcd.js", kScript, js},
      {"/page.0123abcd.js?v=2", kScript, js},
      {"/style.89abcdef0123.css", kStyle, "text/css; charset=utf-8"},
      // Everything else is the caller's 404.
      {"", {}, {}},
      {"*", {}, {}},
      {"index.html", {}, {}},
      {"//", {}, {}},
      {"//index.html", {}, {}},
      {"/index.html/", {}, {}},
      {"/INDEX.HTML", {}, {}},
      {"/page.js", {}, {}},
      {"/page.0123ABCD.js", {}, {}},
      {"/core.js", {}, {}},
      {"/manifest.txt", {}, {}},
      {"/.", {}, {}},
      {"/..", {}, {}},
      {"/../index.html", {}, {}},
      {"/./index.html", {}, {}},
      {"/../../etc/passwd", {}, {}},
      {"/%2e%2e/index.html", {}, {}},
      {"/index%2ehtml", {}, {}},
      {"/page.0123abcd.js%00", {}, {}},
      {"/index.html#top", {}, {}},
      {"/ws", {}, {}},
      {"https://relay.example/index.html", {}, {}},
  };
  for (const Case& c : cases) {
    const auto answer = files.Find(c.target);
    if (c.body.empty()) {
      EXPECT_FALSE(answer) << c.target;
      continue;
    }
    ASSERT_TRUE(answer) << c.target;
    EXPECT_EQ(answer->body, c.body) << c.target;
    EXPECT_EQ(answer->contentType, c.type) << c.target;
  }
}

TEST_F(WebFolder, IndexIsRevalidatedAssetsAreCachedForGood) {
  const WebFiles files(dir_.string());
  const std::map<std::string, std::string> common = {
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"X-Frame-Options", "DENY"},
  };
  const struct {
    const char* target;
    const char* cacheControl;
  } cases[] = {
      {"/", "no-cache"},
      {"/index.html", "no-cache"},
      {"/page.0123abcd.js", "public, max-age=31536000, immutable"},
      {"/style.89abcdef0123.css", "public, max-age=31536000, immutable"},
  };
  for (const auto& c : cases) {
    const auto answer = files.Find(c.target);
    ASSERT_TRUE(answer) << c.target;
    auto want = common;
    want["Cache-Control"] = c.cacheControl;
    EXPECT_EQ(Headers(*answer), want) << c.target;
  }
}

TEST_F(WebFolder, AnswersStayValidWhileTheFilesLive) {
  // The files are read once: changing the folder afterwards changes nothing served.
  const WebFiles files(dir_.string());
  const auto before = files.Find("/page.0123abcd.js");
  ASSERT_TRUE(before);
  Write(dir_ / "page.0123abcd.js", "changed");
  fs::remove(dir_ / "index.html");
  EXPECT_EQ(before->body, kScript);
  const auto index = files.Find("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->body, kIndex);
}

TEST_F(WebFolder, LoadingRefusesFoldersTheBuildDidNotWrite) {
  const std::string big(kMaxWebFileSize + 1, 'x');
  using Spoil = std::function<void(const fs::path&)>;
  const struct {
    const char* manifest;  // replaces manifest.txt unless null
    Spoil spoil;           // changes the folder otherwise
    const char* message;   // a part of the error's text
  } cases[] = {
      {nullptr, [](const fs::path& d) { fs::remove_all(d); }, "not a folder"},
      {nullptr, [](const fs::path& d) { fs::remove_all(d); Write(d, "x"); }, "not a folder"},
      {nullptr, [](const fs::path& d) { fs::remove(d / "manifest.txt"); }, "no manifest.txt"},
      {nullptr, [](const fs::path& d) { fs::remove(d / "index.html"); }, "index.html is missing"},
      {nullptr, [](const fs::path& d) { fs::remove(d / "style.89abcdef0123.css"); },
       "style.89abcdef0123.css is missing"},
      {nullptr,
       [](const fs::path& d) {
         fs::remove(d / "page.0123abcd.js");
         fs::create_symlink("/etc/passwd", d / "page.0123abcd.js");
       },
       "page.0123abcd.js is a symbolic link"},
      {nullptr, [](const fs::path& d) { fs::create_symlink("index.html", d / "other.html"); },
       "other.html is a symbolic link"},
      {nullptr, [](const fs::path& d) { fs::create_directory(d / "assets"); },
       "assets is a subfolder"},
      {nullptr, [&big](const fs::path& d) { Write(d / "style.89abcdef0123.css", big); },
       "style.89abcdef0123.css is over 8 MiB"},
      {nullptr, [&big](const fs::path& d) { Write(d / "core.js", big); }, "core.js is over 8 MiB"},
      {nullptr, [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "pipe").c_str(), 0600), 0); },
       "pipe is not a regular file"},
      // The manifest.
      {"", {}, "lists no index.html"},
      {"page.0123abcd.js text/javascript\n", {}, "lists no index.html"},
      {"index.html text/html\nindex.html text/html\n", {}, "index.html listed twice"},
      {"index.html text/html\nstyle.89abcdef0123.css\n", {}, "line 2: not \"<name> <content"},
      {"index.html text/html\n\n", {}, "line 2: not"},
      {"../index.html text/html\n", {}, "line 1: bad file name"},
      {".htaccess text/plain\n", {}, "line 1: bad file name"},
      {"manifest.txt text/plain\n", {}, "line 1: bad file name"},
      {"index.html text/html\r\n", {}, "line 1: bad content type"},
      {"index.html \n", {}, "line 1: bad content type"},
      // Only names that change with the content may be cached for good.
      {"page.js text/javascript\n", {}, "page.js carries no content hash"},
      {"page.0123abc.js text/javascript\n", {}, "page.0123abc.js carries no content hash"},
      {"page.0123ABCD.js text/javascript\n", {}, "page.0123ABCD.js carries no content hash"},
      {"0123abcd.js text/javascript\n", {}, "0123abcd.js carries no content hash"},
  };
  TearDown();  // each case spoils a folder of its own
  for (const auto& c : cases) {
    SetUp();
    if (c.manifest) Write(dir_ / "manifest.txt", c.manifest);
    if (c.spoil) c.spoil(dir_);
    try {
      WebFiles files(dir_.string());
      ADD_FAILURE() << c.message << ": loaded";
    } catch (const std::invalid_argument& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find(dir_.string()), std::string::npos) << c.message << ": " << what;
      EXPECT_NE(what.find(c.message), std::string::npos) << c.message << ": " << what;
    }
    TearDown();
  }
  SetUp();  // for the fixture's own TearDown
}

// The loader and the build agree: what web/build.mjs writes loads, and every listed file is
// served under its name, the assets named by the page.
TEST(WebBuildTest, TheBuildsOutputLoads) {
  const fs::path dist = OV_WEB_DIST;
  if (!fs::exists(dist / kWebManifestName)) {
    GTEST_SKIP() << "no " << dist.string() << "/manifest.txt: run node web/build.mjs first";
  }
  const WebFiles files(dist.string());
  std::ifstream manifest(dist / kWebManifestName);
  std::string line;
  std::size_t assets = 0;
  const auto index = files.Find("/");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->contentType, "text/html; charset=utf-8");
  while (std::getline(manifest, line)) {
    const std::string name = line.substr(0, line.find(' '));
    const auto answer = files.Find("/" + name);
    ASSERT_TRUE(answer) << name;
    EXPECT_EQ(answer->contentType, line.substr(name.size() + 1)) << name;
    if (name == "index.html") continue;
    ++assets;
    EXPECT_NE(index->body.find('"' + name + "\" integrity=\"sha384-"), std::string_view::npos)
        << name;
  }
  EXPECT_EQ(assets, 2u);
  EXPECT_EQ(files.FileCount(), assets + 1);
  for (const char* unlisted : {"/core.js", "/strings.json", "/manifest.txt"}) {
    EXPECT_FALSE(files.Find(unlisted)) << unlisted;
  }
}

TEST(ContentSecurityPolicyTest, ConnectsOnlyToTheValidHostOrNowhere) {
  const std::string head =
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob: data:; "
      "connect-src ";
  const std::string tail = "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  const struct {
    const char* host;
    const char* connect;
  } cases[] = {
      {"relay.example.com", "wss://relay.example.com"},
      {"Relay.Example.COM:8443", "wss://relay.example.com:8443"},
      {"localhost", "wss://localhost"},
      {"relay-1.example", "wss://relay-1.example"},
      {"203.0.113.7:443", "wss://203.0.113.7:443"},
      {"[2001:db8::1]", "wss://[2001:db8::1]"},
      {"[::1]:8443", "wss://[::1]:8443"},
      {"[::FFFF:192.0.2.1]", "wss://[::ffff:192.0.2.1]"},
      {"x:65535", "wss://x:65535"},
      // Refused: nothing of these gets into the policy.
      {"", "'none'"},
      {"relay.example.com; script-src *", "'none'"},
      {"relay.example.com,evil.example", "'none'"},
      {"evil.example/ws", "'none'"},
      {"user@relay.example", "'none'"},
      {"*.example", "'none'"},
      {"relay.example.", "'none'"},
      {".relay.example", "'none'"},
      {"relay..example", "'none'"},
      {"-relay.example", "'none'"},
      {"relay-.example", "'none'"},
      {"relay_1.example", "'none'"},
      {"relay.example:", "'none'"},
      {"relay.example:0", "'none'"},
      {"relay.example:08443", "'none'"},
      {"relay.example:65536", "'none'"},
      {"relay.example:443:443", "'none'"},
      {"relay.example:https", "'none'"},
      {"2001:db8::1", "'none'"},
      {"[2001:db8::1", "'none'"},
      {"[2001:db8::g]", "'none'"},
      {"[fe80::1%eth0]", "'none'"},
      {"[]", "'none'"},
      {"[::1]8443", "'none'"},
      {"relay.example\r\nSet-Cookie: a=b", "'none'"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidHost(c.host), std::string_view(c.connect) != "'none'") << c.host;
    EXPECT_EQ(ContentSecurityPolicy(c.host), head + c.connect + tail) << c.host;
  }
  const std::string longLabel(64, 'a');
  EXPECT_FALSE(IsValidHost(longLabel + ".example"));
  EXPECT_TRUE(IsValidHost(longLabel.substr(1) + ".example"));
  std::string longName;
  while (longName.size() < 254) longName += "abcdefghi.";
  EXPECT_FALSE(IsValidHost(longName.substr(0, 254)));
  EXPECT_TRUE(IsValidHost(longName.substr(0, 249) + "a"));
  EXPECT_FALSE(IsValidHost(std::string_view("relay\0.example", 14)));
}

TEST(IsOwnOriginTest, OnlyTheRelaysOwnSchemeHostAndPort) {
  const struct {
    const char* origin;
    const char* host;
    bool tls;
    bool own;
  } cases[] = {
      {"https://relay.example", "relay.example", true, true},
      {"HTTPS://Relay.EXAMPLE", "relay.example", true, true},
      {"https://relay.example", "RELAY.example", true, true},
      {"https://relay.example:443", "relay.example", true, true},
      {"https://relay.example", "relay.example:443", true, true},
      {"https://relay.example:8443", "relay.example:8443", true, true},
      {"https://[2001:db8::1]:443", "[2001:db8::1]", true, true},
      {"http://relay.example", "relay.example", false, true},
      {"http://relay.example:80", "relay.example", false, true},
      {"http://relay.example:8080", "relay.example:8080", false, true},
      // The scheme must be the connection's.
      {"http://relay.example", "relay.example", true, false},
      {"https://relay.example", "relay.example", false, false},
      {"wss://relay.example", "relay.example", true, false},
      {"ftp://relay.example", "relay.example", true, false},
      // Another port, including the other scheme's default.
      {"https://relay.example:8443", "relay.example", true, false},
      {"https://relay.example", "relay.example:8443", true, false},
      {"https://relay.example:80", "relay.example", true, false},
      {"http://relay.example:443", "relay.example", false, false},
      // Another host.
      {"https://relay.example.evil", "relay.example", true, false},
      {"https://evil.relay.example", "relay.example", true, false},
      {"https://relay.exampl", "relay.example", true, false},
      {"https://[2001:db8::2]", "[2001:db8::1]", true, false},
      // Not an origin.
      {"https://relay.example/", "relay.example", true, false},
      {"https://relay.example/ws", "relay.example", true, false},
      {"https://user@relay.example", "relay.example", true, false},
      {"https://relay.example:", "relay.example", true, false},
      {"https://", "", true, false},
      {"null", "relay.example", true, false},
      {"", "relay.example", true, false},
      {"relay.example", "relay.example", true, false},
      {" https://relay.example", "relay.example", true, false},
      {"https://relay.example ", "relay.example", true, false},
      // An invalid Host is no one's origin, even when the Origin repeats it.
      {"https://bad_host", "bad_host", true, false},
      {"https://a b", "a b", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsOwnOrigin(c.origin, c.host, c.tls), c.own)
        << c.origin << " / " << c.host << (c.tls ? " tls" : " plain");
  }
}

}  // namespace
}  // namespace ov::relay
