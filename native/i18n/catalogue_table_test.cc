// The build's check of the embedded catalogue table: its shape, its keys, and the consistency of
// its translations. A failure here is a defect in catalogue.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "i18n/catalogue.h"
#include "i18n/utf8.h"

namespace ov {
namespace {

// The table also has to fit in one Windows resource (a 16-bit length in some resource tools) and
// stays far below it.
constexpr std::size_t kMaxTableBytes = 65535;

// Every text of the interface, in the order of the table.
const char* const kExpectedKeys[] = {
    "This control requires the local user.", "Sync clipboard",
    "Enable clipboard sync on both devices.", "Clipboard unavailable; paste cancelled.",
    "Copied text is shared while connected. Enable on this device?",
    "Windows blocked remote input", "Checking for updates", "Update check failed",
    "Update verification failed", "Update download failed", "Downloading update",
    "Update downloaded", "Update required", "Update", "Try again", "Show downloaded file",
    "Install the latest version before connecting.",
    "Open the downloaded EXE to use the new version.",
    "Verified download. No automatic execution.", "Remote desktop", "Connect", "Connections",
    "Security", "Files", "Chat", "WORKSPACE", "YOUR DEVICE", "REMOTE DEVICE", "Ready", "Offline",
    "Session active", "Your ID", "Session password", "Show", "Hide", "Copy credentials", "Copy ID",
    "Copy password", "ID copied", "Password copied", "New ID and password", "Approval required",
    "ID + password", "Your approval is required even with the correct password.",
    "Could not save the approval setting", "End the session to change this setting.", "Refresh ID",
    "Fresh credentials on every launch.", "Enter the other device ID.", "Paste session password",
    "Open Kestrova on both devices.", "ACCESS PREFERENCES", "Ask before every connection",
    "Password holders connect directly when disabled.", "Keyboard and mouse", "File offers",
    "Clipboard text", "Only change these settings locally.", "Encrypted transport",
    "End-to-end encrypted", "Stop sharing", "Disconnect", "Allow this connection?",
    "The password is valid. Check who is connecting.", "Allow", "Reject", "View only",
    "Fit to window", "Actual size", "Zoom in", "Zoom out", "Full screen", "Display", "Quality",
    "Automatic", "Data saver", "Balanced", "High quality", "Send file", "Send clipboard",
    "Save as", "Cancel transfer", "Choose where to save the incoming file.",
    "8 GiB per file. Received files never open automatically.",
    "Choose a new name on an NTFS drive. Existing files are not replaced.",
    "Connect to use session tools.", "Waiting", "Receiving", "Sending", "Cancelled", "Completed",
    "File error", "File request", "Clipboard request", "Sent", "Accept clipboard text?",
    "Nothing is pasted into other apps automatically.", "Send", "Type a message",
    "Messages stay in this session only.", "Close",
    "Software JPEG encoder. FPS depends on device and network.",
    "Display refresh rate is not streaming FPS.",
    "No code signature or independent security audit yet.", "Credentials are never saved to disk.",
    "Files and clipboard require separate local approval.",
    "Audio, hardware video codecs and UAC control are not included.", "Design preview - offline",
    "Connecting securely", "Invalid ID or password format", "Choose another device",
    "Connection closed - refresh your ID", "Security verification failed",
    "Too many attempts. Wait one minute.", "Connection timed out", "Credentials copied",
    "Waiting for the first frame", "Capture source", "End session", "Screen sharing", "Minimize",
    "Maximize or restore", "Zoom", "More tools", "Connection info", "Remote version",
    "Source returned a black frame", "Desktop unavailable or locked",
    "Both devices need version 0.3 or later", "Action unavailable or failed",
    "Permission disabled", "Hotkey unavailable", "Panning: hold Space and drag. Ctrl+wheel: zoom.",
};

// Where a language legitimately uses the English word unchanged.
const std::set<std::pair<std::string, int>> kSameAsEnglish = {
    {"Chat", 2}, {"Chat", 4}, {"Chat", 5}, {"Offline", 2},
    {"Zoom", 2}, {"Zoom", 3}, {"Zoom", 4}, {"Zoom", 5},
};

struct Row {
  std::vector<std::string> fields;  // UTF-8, as in the table
  std::vector<std::wstring> text;   // decoded
};

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::vector<Row> TableRows() {
  std::vector<Row> rows;
  for (const std::string& line : Split(CatalogueTable(), '\n')) {
    if (line.empty()) continue;
    Row row;
    row.fields = Split(line, '|');
    for (const std::string& field : row.fields) row.text.push_back(DecodeUtf8(field));
    rows.push_back(std::move(row));
  }
  return rows;
}

bool IsLowerCaseLetter(wchar_t c) {
  const auto u = static_cast<std::uint32_t>(c);
  return (u >= 'a' && u <= 'z') || (u >= 0xDF && u <= 0xFF && u != 0xF7) ||
         (u >= 0x430 && u <= 0x45F) || u == 0x131 || u == 0x11F || u == 0x15F || u == 0x153;
}

// Lower case for the scripts of the table that have case (Latin, Latin-1, Cyrillic).
std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) {
    const auto u = static_cast<std::uint32_t>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7) ||
        (u >= 0x410 && u <= 0x42F)) {
      c = static_cast<wchar_t>(u + 0x20);
    } else if (u >= 0x400 && u <= 0x40F) {
      c = static_cast<wchar_t>(u + 0x50);
    } else if (u == 0x130) {
      c = L'i';
    }
  }
  return text;
}

std::vector<std::string> DigitRuns(std::string_view text) {
  std::vector<std::string> runs;
  std::string current;
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || (c == '.' && !current.empty())) {
      current.push_back(c);
    } else if (!current.empty()) {
      if (current.back() == '.') current.pop_back();
      runs.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) runs.push_back(current);
  return runs;
}

TEST(CatalogueTable, LayoutAndSize) {
  const std::string_view table = CatalogueTable();
  ASSERT_FALSE(table.empty());
  EXPECT_LT(table.size(), kMaxTableBytes);
  EXPECT_EQ(table.front(), '\n');  // the table begins with an empty line
  EXPECT_EQ(table.back(), '\n');
  EXPECT_EQ(table.find('\r'), std::string_view::npos);
  EXPECT_EQ(table.find('\t'), std::string_view::npos);
  EXPECT_NO_THROW(DecodeUtf8(table));  // UTF-8 throughout, no NUL
  EXPECT_EQ(table.substr(0, 3), "\n" "Th");  // no byte-order mark after the empty line
}

TEST(CatalogueTable, EveryKeyOnceInOrderWithEightFields) {
  const std::vector<Row> rows = TableRows();
  ASSERT_EQ(rows.size(), std::size(kExpectedKeys));
  std::set<std::string> seen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.fields[0]);
    ASSERT_EQ(row.fields.size(), 8u);  // so no field holds a "|"; lines hold no line feed
    EXPECT_EQ(row.fields[0], kExpectedKeys[i]);
    EXPECT_TRUE(seen.insert(row.fields[0]).second) << "repeated key";
    for (std::size_t column = 0; column < row.fields.size(); ++column) {
      const std::wstring& text = row.text[column];
      ASSERT_FALSE(text.empty()) << "column " << column;
      EXPECT_NE(text.front(), L' ') << "column " << column;
      EXPECT_NE(text.back(), L' ') << "column " << column;
      EXPECT_EQ(text.find(L"  "), std::wstring::npos) << "column " << column;
    }
  }
  EXPECT_EQ(Catalogue::Parse(CatalogueTable()).size(), rows.size());
  EXPECT_EQ(BuiltInCatalogue().size(), rows.size());
}

TEST(CatalogueTable, EveryLanguageIsTranslated) {
  for (const Row& row : TableRows()) {
    for (int column = 1; column < kLanguageCount; ++column) {
      const bool same = row.fields[static_cast<std::size_t>(column)] == row.fields[0];
      EXPECT_EQ(same, kSameAsEnglish.count({row.fields[0], column}) == 1)
          << row.fields[0] << " in column " << column;
    }
  }
}

TEST(CatalogueTable, RowsGivenVerbatim) {
  const auto expect = [](const char* key, const std::vector<std::string>& fields) {
    const Catalogue::Row* row = BuiltInCatalogue().Find(key);
    ASSERT_NE(row, nullptr) << key;
    for (std::size_t i = 0; i < fields.size(); ++i) EXPECT_EQ((*row)[i], DecodeUtf8(fields[i]));
  };
  expect("Ready", {"Ready", "Haz\xC4\xB1r", "Bereit", "Pr\xC3\xAAt", "Listo", "Pronto",
                   "\xD0\x93\xD0\xBE\xD1\x82\xD0\xBE\xD0\xB2\xD0\xBE", "\xE5\xB0\xB1\xE7\xBB\xAA"});
  expect("Sync clipboard",
         {"Sync clipboard", "Panoyu e\xC5\x9Fitle", "Zwischenablage synchronisieren",
          "Synchroniser le presse-papiers", "Sincronizar portapapeles",
          "Sincronizar \xC3\xA1rea de transfer\xC3\xAAncia",
          "\xD0\xA1\xD0\xB8\xD0\xBD\xD1\x85\xD1\x80\xD0\xBE\xD0\xBD\xD0\xB8\xD0\xB7\xD0\xB8\xD1\x80"
          "\xD0\xBE\xD0\xB2\xD0\xB0\xD1\x82\xD1\x8C \xD0\xB1\xD1\x83\xD1\x84\xD0\xB5\xD1\x80",
          "\xE5\x90\x8C\xE6\xAD\xA5\xE5\x89\xAA\xE8\xB4\xB4\xE6\x9D\xBF"});
  expect("Update required",
         {"Update required", "Yeni s\xC3\xBCr\xC3\xBCme ge\xC3\xA7in", "Update erforderlich",
          "Mise \xC3\xA0 jour requise", "Actualizaci\xC3\xB3n necesaria",
          "Atualiza\xC3\xA7\xC3\xA3o necess\xC3\xA1ria",
          "\xD0\xA2\xD1\x80\xD0\xB5\xD0\xB1\xD1\x83\xD0\xB5\xD1\x82\xD1\x81\xD1\x8F "
          "\xD0\xBE\xD0\xB1\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBB\xD0\xB5\xD0\xBD\xD0\xB8\xD0\xB5",
          "\xE9\x9C\x80\xE8\xA6\x81\xE6\x9B\xB4\xE6\x96\xB0"});
}

TEST(CatalogueTable, PunctuationCaseAndNumbersFollowEnglish) {
  for (const Row& row : TableRows()) {
    const std::wstring& english = row.text[0];
    const bool allCaps = std::none_of(english.begin(), english.end(), IsLowerCaseLetter);
    for (int column = 1; column < kLanguageCount; ++column) {
      const std::wstring& text = row.text[static_cast<std::size_t>(column)];
      SCOPED_TRACE(row.fields[0] + " in column " + std::to_string(column));
      switch (english.back()) {
        case L'.': EXPECT_TRUE(text.back() == L'.' || text.back() == L'\u3002'); break;
        case L'?': EXPECT_TRUE(text.back() == L'?' || text.back() == L'\uff1f'); break;
        default:
          EXPECT_TRUE(text.back() != L'.' && text.back() != L'\u3002' && text.back() != L'?');
      }
      if (allCaps) {
        EXPECT_TRUE(std::none_of(text.begin(), text.end(), IsLowerCaseLetter));
      }
      EXPECT_EQ(DigitRuns(row.fields[static_cast<std::size_t>(column)]), DigitRuns(row.fields[0]));
      if (english.find(L"Kestrova") != std::wstring::npos) {
        EXPECT_NE(text.find(L"Kestrova"), std::wstring::npos);
      }
    }
  }
}

// The same English term is rendered with the same word in a language throughout the table.
TEST(CatalogueTable, ConsistentTerms) {
  struct Term {
    std::wstring english;
    std::vector<std::vector<std::wstring>> forms;  // per column 1-7: accepted stems, lower case
  };
  const Term terms[] = {
      {L"password",
       {{L"parola"}, {L"asswort"}, {L"mot de passe"}, {L"contrase\u00f1a"}, {L"alavra-passe"},
        {L"\u0430\u0440\u043e\u043b"}, {L"\u5bc6\u7801"}}},
      {L"clipboard",
       {{L"pano"}, {L"wischenablage"}, {L"presse-papiers"}, {L"portapapeles"},
        {L"rea de transfer\u00eancia"}, {L"\u0431\u0443\u0444\u0435\u0440"}, {L"\u526a\u8d34\u677f"}}},
      {L"session",
       {{L"turum"}, {L"itzung"}, {L"ession"}, {L"esi\u00f3n"}, {L"ess\u00e3o"},
        {L"\u0435\u0430\u043d\u0441"}, {L"\u4f1a\u8bdd"}}},
      {L"approval",
       {{L"onay"}, {L"ustimmung"}, {L"pprobation"}, {L"probaci\u00f3n"},
        {L"prova\u00e7\u00e3o"}, {L"\u043e\u0434\u0442\u0432\u0435\u0440\u0436\u0434\u0435\u043d"},
        {L"\u786e\u8ba4"}}},
  };
  // Button labels shortened to fit their buttons: "End session" to the verb alone and "New ID
  // and password" to "new credentials" in some languages.
  const std::set<std::string> shortened = {"End session", "New ID and password"};
  for (const Row& row : TableRows()) {
    if (shortened.count(row.fields[0]) != 0) continue;
    const std::wstring lower = Lower(row.text[0]);
    for (const Term& term : terms) {
      if (lower.find(term.english) == std::wstring::npos) continue;
      for (int column = 1; column < kLanguageCount; ++column) {
        const std::wstring text = Lower(row.text[static_cast<std::size_t>(column)]);
        const auto& forms = term.forms[static_cast<std::size_t>(column - 1)];
        EXPECT_TRUE(std::any_of(forms.begin(), forms.end(), [&](const std::wstring& form) {
          return text.find(form) != std::wstring::npos;
        })) << row.fields[0] << " in column " << column;
      }
    }
  }
}

}  // namespace
}  // namespace ov
