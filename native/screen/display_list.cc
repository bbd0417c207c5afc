#include <algorithm>

#include "screen/displays.h"

namespace ov {

bool DisplayListBuilder::Add(const DisplayInfo& display, bool readable) {
  if (Full()) return false;
  if (readable && !display.rect.Empty()) list_.push_back(display);
  return !Full();
}

std::vector<DisplayInfo> DisplayListBuilder::Finish() && {
  std::stable_sort(list_.begin(), list_.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
    return a.primary && !b.primary;
  });
  return std::move(list_);
}

std::optional<DisplayInfo> FindDisplay(const std::vector<DisplayInfo>& list,
                                       const DisplayInfo& display) {
  for (const DisplayInfo& entry : list) {
    if (display.deviceName.empty() ? entry.primary : entry.deviceName == display.deviceName) {
      return entry;
    }
  }
  return std::nullopt;
}

}  // namespace ov
