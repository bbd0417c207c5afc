#include <gtest/gtest.h>

#include <string>

#include "screen/displays.h"

namespace ov {
namespace {

DisplayInfo Display(int index, bool primary = false) {
  return DisplayInfo{L"\\\\.\\DISPLAY" + std::to_wstring(index),
                     ScreenRect{index * 100, 0, index * 100 + 100, 80}, primary};
}

TEST(DisplayList, PrimaryFirstOthersInEnumerationOrder) {
  DisplayListBuilder builder;
  builder.Add(Display(1));
  builder.Add(Display(2));
  builder.Add(Display(3, true));
  builder.Add(Display(4));
  const auto list = std::move(builder).Finish();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], Display(3, true));
  EXPECT_EQ(list[1], Display(1));
  EXPECT_EQ(list[2], Display(2));
  EXPECT_EQ(list[3], Display(4));
}

TEST(DisplayList, StopsAtSixteenAndSkipsEmptyOrUnreadableMonitors) {
  DisplayListBuilder builder;
  EXPECT_TRUE(builder.Add(DisplayInfo{L"\\\\.\\EMPTY", ScreenRect{10, 10, 10, 50}, true}));
  EXPECT_TRUE(builder.Add(DisplayInfo{L"\\\\.\\FLAT", ScreenRect{0, 50, 20, 40}, false}));
  EXPECT_TRUE(builder.Add(Display(99, true), /*readable=*/false));
  int offered = 0;
  bool more = true;
  for (int i = 1; i <= 20 && more; ++i) {
    more = builder.Add(Display(i, i == 16));  // the primary is the 16th listed
    ++offered;
  }
  EXPECT_EQ(offered, 16);  // the enumeration is told to stop once 16 are listed
  EXPECT_FALSE(builder.Add(Display(17, true)));
  const auto list = std::move(builder).Finish();
  ASSERT_EQ(list.size(), 16u);
  EXPECT_EQ(list[0], Display(16, true));
  for (std::size_t i = 1; i < 16; ++i) EXPECT_EQ(list[i], Display(static_cast<int>(i)));
}

TEST(DisplayList, FindByExactNameOrPrimaryForEmptyName) {
  DisplayListBuilder builder;
  builder.Add(Display(1));
  builder.Add(Display(2, true));
  const auto list = std::move(builder).Finish();
  EXPECT_EQ(FindDisplay(list, DisplayInfo{}), Display(2, true));
  EXPECT_EQ(FindDisplay(list, Display(1)), Display(1));
  DisplayInfo prefix = Display(1);
  prefix.deviceName.pop_back();
  EXPECT_FALSE(FindDisplay(list, prefix).has_value());
  DisplayInfo longer = Display(1);
  longer.deviceName += L'0';
  EXPECT_FALSE(FindDisplay(list, longer).has_value());
  DisplayInfo lower = Display(1);
  lower.deviceName = L"\\\\.\\display1";
  EXPECT_FALSE(FindDisplay(list, lower).has_value());  // exact characters
  EXPECT_FALSE(FindDisplay({}, DisplayInfo{}).has_value());
}

}  // namespace
}  // namespace ov
