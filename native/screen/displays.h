// The displays that can be shared and the desktop-reachability test.
#pragma once

#include <optional>
#include <vector>

#include "screen/capture_types.h"

namespace ov {

// Collects monitors as the system enumerates them and produces the display list: at most 16
// entries, empty rectangles and unreadable monitors left out, primary entries first, others in
// enumeration order. The platform enumeration feeds it; tests feed it directly.
class DisplayListBuilder {
 public:
  // Offers one enumerated monitor; `readable` false means its information could not be read.
  // Returns false once 16 entries are collected: the caller stops enumerating.
  bool Add(const DisplayInfo& display, bool readable = true);
  bool Full() const noexcept { return list_.size() >= kMaxDisplays; }
  std::vector<DisplayInfo> Finish() &&;

 private:
  std::vector<DisplayInfo> list_;
};

// The entry of `list` that `display` names: equal device name, or the primary entry for an empty
// name. nullopt when there is none.
std::optional<DisplayInfo> FindDisplay(const std::vector<DisplayInfo>& list,
                                       const DisplayInfo& display);

// Platform functions. Safe on any thread; they keep no state.
std::vector<DisplayInfo> EnumerateDisplays();
// The current rectangle of the display (re-enumerates). nullopt when it is no longer listed.
std::optional<ScreenRect> ResolveDisplayBounds(const DisplayInfo& display);
// Refresh rate of the display's current mode in Hz; 60 when unreadable or below 2.
int DisplayRefreshRate(const DisplayInfo& display);
// Whether the input desktop is the one this process's thread is on, in the active session.
bool IsInputDesktopActive();

}  // namespace ov
