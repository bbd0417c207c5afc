#include "app/command_line.h"

#include <initializer_list>

#include <gtest/gtest.h>

namespace ov {
namespace {

PreviewOptions Parse(std::initializer_list<const wchar_t*> rest) {
  std::vector<std::wstring> arguments{L"Kestrova.exe"};
  for (const wchar_t* argument : rest) arguments.emplace_back(argument);
  return ParsePreviewOptions(arguments);
}

TEST(CommandLineTest, ReadsEveryPreviewOption) {
  const auto options = Parse({L"--preview", L"out.png", L"--preview-language", L"de",
                              L"--preview-page", L"4", L"--preview-width", L"1280",
                              L"--preview-height", L"800", L"--preview-approval",
                              L"--preview-reveal"});
  EXPECT_TRUE(options.enabled());
  EXPECT_EQ(options.outputPath, L"out.png");
  EXPECT_EQ(options.language, L"de");
  EXPECT_EQ(options.page, 4);
  EXPECT_EQ(options.width, 1280);
  EXPECT_EQ(options.height, 800);
  EXPECT_TRUE(options.approval);
  EXPECT_TRUE(options.reveal);
}

TEST(CommandLineTest, OptionWithoutArgumentIsIgnored) {
  EXPECT_FALSE(Parse({L"--preview"}).enabled());
  EXPECT_FALSE(Parse({L"--preview", L""}).enabled());
  const auto options = Parse({L"--preview-width"});
  EXPECT_EQ(options.width, 0);
}

TEST(CommandLineTest, MatchingIsExactAndUnknownElementsAreSkipped) {
  const auto options = Parse({L"--PREVIEW", L"a.png", L"junk", L"--preview-page", L"2"});
  EXPECT_FALSE(options.enabled());
  EXPECT_EQ(options.page, 2);
  // The argument is consumed even when it looks like an option.
  const auto consumed = Parse({L"--preview", L"--preview-reveal"});
  EXPECT_EQ(consumed.outputPath, L"--preview-reveal");
  EXPECT_FALSE(consumed.reveal);
}

TEST(CommandLineTest, NumbersFollowAtoi) {
  EXPECT_EQ(ParseIntLikeAtoi(L"  -3"), -3);
  EXPECT_EQ(ParseIntLikeAtoi(L"12abc"), 12);
  EXPECT_EQ(ParseIntLikeAtoi(L"abc"), 0);
  EXPECT_EQ(ParseIntLikeAtoi(L"+7"), 7);
  EXPECT_EQ(ParseIntLikeAtoi(L"99999999999999"), 2147483647);
  EXPECT_EQ(ParseIntLikeAtoi(L"-99999999999999"), -2147483647 - 1);
}

// The size the preview window takes, from the command line as given: both dimensions or none,
// each clamped to 800-3840 x 600-2160.
TEST(CommandLineTest, PreviewWindowSize) {
  const struct {
    std::initializer_list<const wchar_t*> arguments;
    std::optional<PreviewSize> size;
  } cases[] = {
      {{L"--preview-width", L"1280", L"--preview-height", L"800"}, PreviewSize{1280, 800}},
      {{L"--preview-width", L"5000", L"--preview-height", L"100"}, PreviewSize{3840, 600}},
      {{L"--preview-width", L"10", L"--preview-height", L"9000"}, PreviewSize{800, 2160}},
      {{L"--preview-width", L"-5", L"--preview-height", L"700"}, PreviewSize{800, 700}},
      {{L"--preview-width", L"1280"}, std::nullopt},
      {{L"--preview-height", L"800"}, std::nullopt},
      {{L"--preview-width", L"abc", L"--preview-height", L"800"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    const PreviewOptions options = Parse(c.arguments);
    EXPECT_EQ(PreviewWindowSize(options), c.size) << options.width << " x " << options.height;
  }
}

}  // namespace
}  // namespace ov
