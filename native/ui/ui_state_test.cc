#include "ui/ui_state.h"

#include <gtest/gtest.h>

namespace ov {
namespace {

TEST(UiState, PasswordIsMaskedUnlessRevealedAndFirstPageMasksAgain) {
  struct Case {
    std::string password;
    bool revealed;
    std::string shown;
  };
  const Case cases[] = {
      {"ABCD2345", false, "\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2-"
                          "\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2"},
      {"ABCD2345", true, "ABCD-2345"},
      {"", false, kMaskedPassword},  // no password yet: hidden is the mask all the same
      {"", true, ""},
      {"ABCD234", true, ""},     // never a partial or malformed secret
      {"abcd2345", true, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShownPassword(c.password, c.revealed), c.shown) << c.password << c.revealed;
  }

  UiState ui;
  EXPECT_FALSE(ui.passwordRevealed) << "a new window shows the mask";
  ui.page = 2;
  ui.passwordRevealed = true;
  ui.ShowFirstPage();
  EXPECT_EQ(ui.page, 0);
  EXPECT_FALSE(ui.passwordRevealed);
}

}  // namespace
}  // namespace ov
