#include "settings/settings_file_posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <cstdio>

#include "base/json_codec.h"

namespace ov {
namespace {

namespace fs = std::filesystem;

class FileSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kestrova-settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    dir_ = root_ / "config" / "kestrova";  // not there yet: the first write creates it
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  void WriteFile(const std::string& text) {
    fs::create_directories(dir_);
    std::ofstream(dir_ / "settings.json", std::ios::binary) << text;
  }
  static std::string ReadText(const fs::path& path) {
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
      char buffer[256];
      std::size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
      std::fclose(file);
    }
    return text;
  }
  Json ReadJson() { return ParseMessage(ReadText(dir_ / "settings.json")); }

  fs::path root_;
  fs::path dir_;
};

TEST_F(FileSettingsTest, NothingStoredMeansOffAndNoLanguage) {
  FileSettingsStore store(dir_.string());
  EXPECT_FALSE(store.LoadAskBeforeConnection());
  EXPECT_FALSE(store.LoadLanguage().has_value());
  EXPECT_FALSE(fs::exists(dir_));  // reading never creates anything

  WriteFile(R"({"Language":"de"})");  // a file without the approval member
  EXPECT_FALSE(store.LoadAskBeforeConnection());
}

TEST_F(FileSettingsTest, WritesKeepTheOtherValueAndReadBack) {
  FileSettingsStore store(dir_.string());
  ASSERT_TRUE(store.StoreAskBeforeConnection(true));
  ASSERT_TRUE(store.StoreLanguage(L"ru"));
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"ru"));
  EXPECT_EQ(ReadJson(), ParseMessage(R"({"AskBeforeConnection":1,"Language":"ru"})"));

  ASSERT_TRUE(store.StoreAskBeforeConnection(false));
  EXPECT_FALSE(store.LoadAskBeforeConnection());
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"ru"));

  // Private to the user, and no temporary file left behind.
  EXPECT_EQ(fs::status(dir_).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(dir_ / "settings.json").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_FALSE(fs::exists(dir_ / "settings.json.tmp"));
}

TEST_F(FileSettingsTest, ApprovalValuesOfEveryShape) {
  FileSettingsStore store(dir_.string());
  const struct {
    const char* json;
    bool ask;
  } cases[] = {
      {R"({"AskBeforeConnection":0})", false},
      {R"({"AskBeforeConnection":1})", true},
      {R"({"AskBeforeConnection":2})", true},           // any non-zero number is on
      {R"({"AskBeforeConnection":4294967295})", true},
      {R"({"AskBeforeConnection":"0"})", true},         // wrong type: ask
      {R"({"AskBeforeConnection":false})", true},
      {R"({"AskBeforeConnection":-1})", true},
      {R"({"AskBeforeConnection":0.0})", true},
      {R"({"AskBeforeConnection":null})", true},
      {R"({"AskBeforeConnection":[0]})", true},
      {R"([0])", true},                                  // not a settings object: unreadable
      {R"({"AskBeforeConnection":0)", true},            // truncated
      {"", true},
      {"\xff\xfe{}", true},
  };
  for (const auto& c : cases) {
    WriteFile(c.json);
    EXPECT_EQ(store.LoadAskBeforeConnection(), c.ask) << c.json;
  }
}

TEST_F(FileSettingsTest, LanguageTextLimitAndType) {
  FileSettingsStore store(dir_.string());
  WriteFile(R"({"Language":""})");
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L""));
  WriteFile(R"({"Language":"de-CH"})");
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"de-CH"));
  WriteFile(R"({"Language":"abcdefghijklmno"})");  // 15 characters: accepted
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"abcdefghijklmno"));
  WriteFile(R"({"Language":"abcdefghijklmnop"})");  // 16: refused
  EXPECT_FALSE(store.LoadLanguage().has_value());
  WriteFile("{\"Language\":\"\xC3\xA7\xE4\xB8\xAD\"}");  // non-ASCII text comes back whole
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"\u00e7\u4e2d"));
  WriteFile(R"({"Language":7})");
  EXPECT_FALSE(store.LoadLanguage().has_value());
  WriteFile(R"({"Language":"de")");
  EXPECT_FALSE(store.LoadLanguage().has_value());

  EXPECT_FALSE(store.StoreLanguage(L"abcdefghijklmnop"));
  EXPECT_FALSE(store.StoreLanguage(std::wstring(L"d\0e", 3)));
}

TEST_F(FileSettingsTest, FailedWriteKeepsTheOldValue) {
  FileSettingsStore store(dir_.string());
  ASSERT_TRUE(store.StoreAskBeforeConnection(true));
  // The temporary file cannot be created (a directory stands in its place; this holds even for
  // root, who ignores permission bits).
  fs::create_directory(dir_ / "settings.json.tmp");
  EXPECT_FALSE(store.StoreAskBeforeConnection(false));
  EXPECT_FALSE(store.StoreLanguage(L"fr"));
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  EXPECT_FALSE(store.LoadLanguage().has_value());

  // A store whose directory cannot be created fails as well.
  std::ofstream(root_ / "plain-file") << "x";
  FileSettingsStore blocked((root_ / "plain-file" / "kestrova").string());
  EXPECT_FALSE(blocked.StoreAskBeforeConnection(true));
  EXPECT_FALSE(blocked.LoadAskBeforeConnection());
  FileSettingsStore nowhere("");
  EXPECT_FALSE(nowhere.StoreLanguage(L"de"));
}

TEST_F(FileSettingsTest, DamagedFileIsKeptAsideWhenRewritten) {
  FileSettingsStore store(dir_.string());
  WriteFile("not json at all");
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  ASSERT_TRUE(store.StoreLanguage(L"es"));
  EXPECT_EQ(ReadJson(), ParseMessage(R"({"Language":"es"})"));
  EXPECT_EQ(ReadText(dir_ / "settings.json.bad"), "not json at all");
}

TEST_F(FileSettingsTest, UnreadableFileAsksAndIsNotOverwritten) {
  fs::create_directories(dir_);
  // A link loop cannot be opened by anyone, root included.
  fs::create_symlink("settings.json", dir_ / "settings.json");
  FileSettingsStore store(dir_.string());
  EXPECT_TRUE(store.LoadAskBeforeConnection());
  EXPECT_FALSE(store.LoadLanguage().has_value());
  EXPECT_FALSE(store.StoreAskBeforeConnection(false));
  EXPECT_TRUE(fs::is_symlink(dir_ / "settings.json"));

  // A named pipe in place of the file must not block the reader.
  fs::remove(dir_ / "settings.json");
  ASSERT_EQ(::mkfifo((dir_ / "settings.json").c_str(), 0600), 0);
  EXPECT_TRUE(store.LoadAskBeforeConnection());
}

TEST_F(FileSettingsTest, ConcurrentWritersLoseNoValue) {
  // Two writers (as two running copies of the program would be) each own one member; the lock
  // around read-modify-write keeps both.
  std::thread approval([&] {
    FileSettingsStore store(dir_.string());
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(store.StoreAskBeforeConnection(i % 2 == 0));
  });
  std::thread language([&] {
    FileSettingsStore store(dir_.string());
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(store.StoreLanguage(i % 2 == 0 ? L"de" : L"ru"));
  });
  approval.join();
  language.join();
  FileSettingsStore store(dir_.string());
  EXPECT_FALSE(store.LoadAskBeforeConnection());  // the last write was false
  EXPECT_EQ(store.LoadLanguage(), std::optional<std::wstring>(L"ru"));
}

TEST(FileSettingsDirectory, FollowsXdgThenHome) {
  const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string xdg = savedXdg ? savedXdg : "";
  const std::string home = savedHome ? savedHome : "";

  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(FileSettingsStore::DefaultDirectory(), "/tmp/xdg/kestrova");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(FileSettingsStore::DefaultDirectory(), "/home/someone/.config/kestrova");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(FileSettingsStore::DefaultDirectory(), "/home/someone/.config/kestrova");

  if (savedXdg) ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
  if (savedHome) ::setenv("HOME", home.c_str(), 1); else ::unsetenv("HOME");
}

}  // namespace
}  // namespace ov
