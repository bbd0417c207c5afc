// The design preview's pages: what each page number of the command line shows. Pages 0 to 3 are
// the sidebar's pages; 4 is the viewer's remote view with an offline test frame, 11 the same with
// the local-only input notice, 6 to 10 the update card in its states, 5 the sharing banner alone.
// Other numbers are clamped to the sidebar's pages (negative: 0, above 3: 3) without extra state.
#pragma once

#include <cstdint>

#include "ui/painter.h"

namespace ov {

struct PreviewPage {
  int sidebarPage = 0;        // 0 to 3
  bool viewerSession = false;  // viewer role, session active, session tools up, the test frame
  bool inputNotice = false;    // the viewer's "requires the local user" notice is showing
  bool updateCard = false;     // the update card forced on
  UpdateCardState updateState = UpdateCardState::Checking;
  bool bannerOnly = false;     // only the sharing banner is rendered
};

// The update card's forced version and progress, and how long the input notice shows.
inline constexpr char kPreviewNewVersion[] = "0.3.9";
inline constexpr int kPreviewProgress = 57;
inline constexpr std::uint64_t kPreviewNoticeMs = 6000;
// The offline test frame's size.
inline constexpr int kTestFrameWidth = 1920;
inline constexpr int kTestFrameHeight = 1080;

PreviewPage DescribePreviewPage(int page) noexcept;

}  // namespace ov
