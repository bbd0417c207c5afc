#include "i18n/catalogue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ov {
namespace {

std::string ParseError(std::string_view table) {
  try {
    Catalogue::Parse(table);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

TEST(CatalogueParse, ReadsRowsAndSkipsEmptyLines) {
  const Catalogue catalogue = Catalogue::Parse(
      "\n"
      "Ready|Haz\xC4\xB1r|Bereit|Pr\xC3\xAAt|Listo|Pronto|\xD0\x93\xD0\xBE\xD1\x82\xD0\xBE\xD0\xB2\xD0\xBE|\xE5\xB0\xB1\xE7\xBB\xAA\n"
      "\n\n"
      "Send|a|b|c|d|e|f|g|\n"  // a closing "|" adds no field
      "Empty||||||||\n"        // empty fields parse (the table check forbids them)
      "Last|1|2|3|4|5|6|7");   // no final line feed
  EXPECT_EQ(catalogue.size(), 4u);
  const Catalogue::Row* ready = catalogue.Find("Ready");
  ASSERT_NE(ready, nullptr);
  EXPECT_EQ((*ready)[0], L"Ready");
  EXPECT_EQ((*ready)[1], L"Haz\u0131r");
  EXPECT_EQ((*ready)[6], L"\u0413\u043e\u0442\u043e\u0432\u043e");
  EXPECT_EQ((*catalogue.Find("Send"))[7], L"g");
  EXPECT_EQ((*catalogue.Find("Empty"))[5], L"");
  EXPECT_EQ((*catalogue.Find("Last"))[7], L"7");
  EXPECT_EQ(catalogue.Find("ready"), nullptr);  // keys compare bytewise
  EXPECT_EQ(catalogue.Find("Ready "), nullptr);
  EXPECT_EQ(Catalogue::Parse("").size(), 0u);
  EXPECT_EQ(Catalogue::Parse("\n\n").size(), 0u);
}

TEST(CatalogueParse, FirstRowOfARepeatedKeyCounts) {
  const Catalogue catalogue =
      Catalogue::Parse("Key|1|2|3|4|5|6|7\nKey|x|x|x|x|x|x|x\nOther|a|b|c|d|e|f|g\n");
  EXPECT_EQ(catalogue.size(), 2u);
  EXPECT_EQ((*catalogue.Find("Key"))[1], L"1");
}

TEST(CatalogueParse, RejectsMalformedTables) {
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6|7|8\n"), "extra localization field");
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6|7||\n"), "extra localization field");
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6|7\nB|1|2|3|4|5|6|7|8|9\n"), "extra localization field");
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6\n"), "missing localization field");
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6|\n"), "missing localization field");
  EXPECT_EQ(ParseError("A\n"), "missing localization field");
  EXPECT_EQ(ParseError("|\n"), "missing localization field");
  EXPECT_EQ(ParseError("A|1|2|3|4|5|6|7\r\nB|1|2|3|4|5|6\r\n"), "missing localization field");
  EXPECT_EQ(ParseError("A|1|2|3|\xC3|5|6|7\n"), "invalid UTF8");
  EXPECT_EQ(ParseError("\xFF|1|2|3|4|5|6|7\n"), "invalid UTF8");
  EXPECT_EQ(ParseError(std::string_view("A|1|2|3|4|5|6|\0\n", 16)), "embedded null");
}

TEST(Translate, KnownUnknownAndEnglish) {
  EXPECT_EQ(Translate(6, "Ready"), L"\u0413\u043e\u0442\u043e\u0432\u043e");  // "Готово"
  EXPECT_EQ(Translate(0, "Ready"), L"Ready");
  EXPECT_EQ(Translate(2, "Update required"), L"Update erforderlich");
  EXPECT_EQ(Translate(7, "Sync clipboard"), L"\u540c\u6b65\u526a\u8d34\u677f");
  // Unknown keys show as themselves in every language.
  EXPECT_EQ(Translate(6, "No such text"), L"No such text");
  EXPECT_EQ(Translate(3, "\xC3\xA9t\xC3\xA9"), L"\u00e9t\u00e9");
  EXPECT_EQ(Translate(1, ""), L"");
  EXPECT_THROW(Translate(1, "\xC3"), std::runtime_error);
  // An index outside the list cannot select a column that does not exist.
  EXPECT_EQ(Translate(8, "Ready"), L"Ready");
  EXPECT_EQ(Translate(-1, "Ready"), L"Ready");
}

TEST(Languages, FixedListInOrder) {
  const auto languages = Languages();
  const wchar_t* codes[] = {L"en", L"tr", L"de", L"fr", L"es", L"pt", L"ru", L"zh"};
  const wchar_t* regions[] = {L"GB", L"TR", L"DE", L"FR", L"ES", L"PT", L"RU", L"CN"};
  for (std::size_t i = 0; i < languages.size(); ++i) {
    EXPECT_EQ(languages[i].code, codes[i]);
    EXPECT_EQ(languages[i].region, regions[i]);
  }
  EXPECT_EQ(languages[1].displayName, L"T\u00fcrk\u00e7e");
  EXPECT_EQ(languages[6].displayName, L"\u0420\u0443\u0441\u0441\u043a\u0438\u0439");
  EXPECT_EQ(languages[7].displayName, L"\u7b80\u4f53\u4e2d\u6587");
}

}  // namespace
}  // namespace ov
