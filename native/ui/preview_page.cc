#include "ui/preview_page.h"

namespace ov {

PreviewPage DescribePreviewPage(int page) noexcept {
  PreviewPage out;
  out.sidebarPage = page < 0 ? 0 : page > 3 ? 3 : page;
  switch (page) {
    case 4:
    case 11:
      out.sidebarPage = 0;
      out.viewerSession = true;
      out.inputNotice = page == 11;
      break;
    case 5:
      out.bannerOnly = true;
      break;
    case 6: case 7: case 8: case 9: case 10: {
      constexpr UpdateCardState states[] = {UpdateCardState::Required, UpdateCardState::Checking,
                                            UpdateCardState::Failed, UpdateCardState::Downloading,
                                            UpdateCardState::Downloaded};
      out.updateCard = true;
      out.updateState = states[page - 6];
      break;
    }
    default:
      break;
  }
  return out;
}

}  // namespace ov
