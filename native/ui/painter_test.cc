// The painter on the recording canvas: what each state draws, which commands it leaves live,
// what the toolbar shows at which width, and that every visible text went through the catalogue.
#include "ui/painter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ui/commands.h"
#include "ui/preview_page.h"
#include "ui/transfer_meter.h"
#include "ui/testing/recording_canvas.h"

namespace ov {
namespace {

using testing::RecordingCanvas;

const Translator kEnglish = [](std::string_view key) { return std::wstring(key.begin(), key.end()); };
// A pseudo-language that marks every looked-up text.
const Translator kMarked = [](std::string_view key) {
  return L"\u27E6" + std::wstring(key.begin(), key.end()) + L"\u27E7";
};

struct Frame {
  RecordingCanvas canvas;
  Layout layout;
};

std::unique_ptr<Frame> Paint(const MainView& view, const UiState& ui, float width = 1100,
                             float height = 720, const Translator& translate = kEnglish,
                             int hovered = 0) {
  auto frame = std::make_unique<Frame>();
  DrawContext ctx{frame->canvas, frame->layout, translate};
  ctx.hovered = hovered;
  PaintMainWindow(ctx, view, ui, width, height);
  return frame;
}

std::set<int> Commands(const Layout& layout) {
  std::set<int> out;
  for (const HitRegion& region : layout.regions()) out.insert(region.command);
  return out;
}

MainView RegisteredHost(const std::string& password) {
  MainView view;
  view.registered = true;
  view.deviceId = "482913775";
  view.password = &password;
  view.status = "Ready";
  return view;
}

TEST(Painter, TheUpdateCardLeavesOnlyTheWindowAndCardButtonsLive) {
  struct Case {
    UpdateCardState state;
    std::set<int> live;
  };
  const std::set<int> window = {cmd::kMinimize, cmd::kMaximize, cmd::kClose};
  auto with = [&](int extra) {
    std::set<int> s = window;
    s.insert(extra);
    return s;
  };
  const Case cases[] = {
      {UpdateCardState::Checking, window},
      {UpdateCardState::Required, with(cmd::kUpdate)},
      {UpdateCardState::Downloading, window},
      {UpdateCardState::Downloaded, with(cmd::kShowDownload)},
      {UpdateCardState::Failed, with(cmd::kTryAgain)},
  };
  const std::string password = "ABCD2345";
  for (const Case& c : cases) {
    MainView view = RegisteredHost(password);
    view.gateOpen = false;
    view.updateState = c.state;
    view.progress = 57;
    const auto frame = Paint(view, UiState{});
    EXPECT_EQ(Commands(frame->layout), c.live) << static_cast<int>(c.state);
    EXPECT_TRUE(frame->layout.controls().empty()) << "no child control shows over the card";
    for (int command : Commands(frame->layout)) EXPECT_TRUE(CommandPassesGate(command, false));
  }
  MainView downloading = RegisteredHost(password);
  downloading.gateOpen = false;
  downloading.updateState = UpdateCardState::Downloading;
  downloading.progress = 57;
  EXPECT_NE(Paint(downloading, UiState{})->canvas.FindText(L"57%"), nullptr);
}

// The window buttons are 36 DIP wide each, side by side, ending 12 DIP from the right edge: 10
// DIP from the top over the remote view, 16 DIP elsewhere.
TEST(Painter, TheWindowButtons) {
  const std::string password = "ABCD2345";
  MainView remote;
  remote.viewerRole = remote.sessionActive = remote.toolsUp = true;
  struct Case {
    const char* label;
    MainView view;
    float top;
  };
  for (const Case& c : {Case{"sidebar pages", RegisteredHost(password), 16},
                        Case{"remote view", remote, 10}}) {
    for (const float width : {1100.0f, 1500.0f}) {
      const auto frame = Paint(c.view, UiState{}, width, 720);
      const int commands[] = {cmd::kMinimize, cmd::kMaximize, cmd::kClose};
      for (int i = 0; i < 3; ++i) {
        const HitRegion* region = frame->layout.Find(commands[i]);
        ASSERT_NE(region, nullptr) << c.label;
        EXPECT_FLOAT_EQ(region->rect.width, 36) << c.label << " " << commands[i];
        EXPECT_FLOAT_EQ(region->rect.x, width - 12 - 36.0f * static_cast<float>(3 - i)) << c.label;
        EXPECT_FLOAT_EQ(region->rect.y, c.top) << c.label;
      }
    }
  }
}

// "Keyboard and mouse" allows the viewer nothing: on the viewer's Connections page it looks
// unavailable, as a setting that cannot be changed does; on the host it is live.
TEST(Painter, KeyboardAndMouseIsTheHostsSetting) {
  const std::string password = "ABCD2345";
  MainView viewer = RegisteredHost(password);
  viewer.viewerRole = viewer.busy = true;  // connecting: the Connections page is on screen
  for (const bool isViewer : {false, true}) {
    const auto frame = Paint(isViewer ? viewer : RegisteredHost(password), UiState{});
    const auto* label = frame->canvas.FindText(L"Keyboard and mouse");
    const auto* files = frame->canvas.FindText(L"File offers");
    ASSERT_NE(label, nullptr);
    ASSERT_NE(files, nullptr);
    EXPECT_EQ(label->colour != files->colour, isViewer) << (isViewer ? "viewer" : "host");
  }
}

TEST(Painter, TheHiddenPasswordIsTheMaskAndNothingElse) {
  const std::string password = "WXYZ2345";
  const MainView view = RegisteredHost(password);
  UiState ui;
  const auto hidden = Paint(view, ui);
  EXPECT_NE(hidden->canvas.FindText(L"\u2022\u2022\u2022\u2022-\u2022\u2022\u2022\u2022"), nullptr);
  for (const auto& text : hidden->canvas.texts) {
    EXPECT_EQ(text.text.find(L"WXYZ"), std::wstring::npos);
    EXPECT_EQ(text.text.find(L"2345"), std::wstring::npos);
  }
  EXPECT_NE(hidden->canvas.FindText(L"482 913 775"), nullptr);
  ui.passwordRevealed = true;
  EXPECT_NE(Paint(view, ui)->canvas.FindText(L"WXYZ-2345"), nullptr);

  MainView offline;
  const auto none = Paint(offline, UiState{});
  EXPECT_NE(none->canvas.FindText(L"--- --- ---"), nullptr);
  EXPECT_NE(none->canvas.FindText(L"\u2022\u2022\u2022\u2022-\u2022\u2022\u2022\u2022"), nullptr)
      << "hidden is the mask also without a password";
}

// With a pseudo-language, every drawn text is either a looked-up one or plain data (numbers,
// the ID, the mask, percentages).
TEST(Painter, EveryVisibleTextGoesThroughTheCatalogue) {
  const std::string password = "ABCD2345";
  auto isData = [](const std::wstring& text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t ch) {
      return std::wstring_view(L"0123456789 -%.v\u2022\u2011\u2192").find(ch) !=
             std::wstring_view::npos;
    });
  };
  std::vector<std::pair<MainView, UiState>> states;
  for (int page = 0; page < 4; ++page) {
    MainView view = RegisteredHost(password);
    view.toolsUp = page >= 2;
    view.sessionActive = page >= 2;
    UiState ui;
    ui.page = page;
    states.emplace_back(view, ui);
  }
  MainView prompt = RegisteredHost(password);
  prompt.prompt = PromptKind::Connection;
  states.emplace_back(prompt, UiState{});
  MainView remote;
  remote.viewerRole = remote.sessionActive = remote.toolsUp = true;
  states.emplace_back(remote, UiState{});
  MainView card;
  card.gateOpen = false;
  card.updateState = UpdateCardState::Required;
  card.newVersion = "0.4.0";
  states.emplace_back(card, UiState{});
  for (const auto& [view, ui] : states) {
    const auto frame = Paint(view, ui, 1280, 720, kMarked);
    ASSERT_FALSE(frame->canvas.texts.empty());
    for (const auto& text : frame->canvas.texts) {
      EXPECT_TRUE(text.text.find(L'\u27E6') != std::wstring::npos || isData(text.text))
          << "page " << ui.page << ": an untranslated text";
    }
  }
}

TEST(Painter, TheToolbarShowsItsElementsFromTheirWidths) {
  MainView view;
  view.viewerRole = view.sessionActive = view.toolsUp = true;
  struct Case {
    float width;
    bool zoom, display, name, quality, toolIcons, toolLabels;
  };
  const Case cases[] = {
      {479, false, false, false, false, false, false}, {480, true, false, false, false, false, false},
      {619, true, false, false, false, false, false},  {620, true, true, false, false, false, false},
      {740, true, true, true, false, false, false},    {879, true, true, true, false, false, false},
      {880, true, true, true, true, false, false},     {979, true, true, true, true, false, false},
      {980, true, true, true, true, true, false},      {1149, true, true, true, true, true, false},
      {1150, true, true, true, true, false, true},
  };
  for (const Case& c : cases) {
    const auto frame = Paint(view, UiState{}, c.width, 600);
    const Layout& layout = frame->layout;
    EXPECT_EQ(layout.Has(cmd::kZoomIn) && layout.Has(cmd::kZoomMenu) && layout.Has(cmd::kZoomOut),
              c.zoom)
        << c.width;
    EXPECT_EQ(layout.Has(cmd::kDisplayMenu), c.display) << c.width;
    EXPECT_EQ(frame->canvas.FindText(L"Kestrova") != nullptr, c.name) << c.width;
    EXPECT_EQ(layout.Has(cmd::kQualityMenu), c.quality) << c.width;
    const bool tools = layout.Has(cmd::kChat) && layout.Has(cmd::kFiles);
    EXPECT_EQ(tools, c.toolIcons || c.toolLabels) << c.width;
    EXPECT_EQ(frame->canvas.FindText(L"Chat") != nullptr, c.toolLabels) << c.width;
    EXPECT_TRUE(layout.Has(cmd::kDisconnect) && layout.Has(cmd::kMoreTools)) << c.width;
    const auto* waiting = frame->canvas.FindText(L"Waiting for the first frame");
    ASSERT_NE(waiting, nullptr);
    EXPECT_FALSE(waiting->wrapped) << "one line, trimmed with an ellipsis";
    EXPECT_EQ(waiting->rect.x, 30);
    EXPECT_EQ(waiting->rect.width, 800);
    EXPECT_EQ(std::count_if(frame->canvas.shapes.begin(), frame->canvas.shapes.end(),
                            [](const auto& shape) {
                              return shape.kind == RecordingCanvas::Shape::Image;
                            }),
              0)
        << c.width << ": no picture is drawn before the first frame";
    // No element overlaps another.
    const auto& regions = layout.regions();
    for (std::size_t i = 0; i < regions.size(); ++i) {
      for (std::size_t j = i + 1; j < regions.size(); ++j) {
        const RectF& a = regions[i].rect;
        const RectF& b = regions[j].rect;
        const bool apart = a.Right() <= b.x || b.Right() <= a.x || a.Bottom() <= b.y ||
                           b.Bottom() <= a.y;
        EXPECT_TRUE(apart) << c.width << ": " << regions[i].command << " and " << regions[j].command;
      }
    }
  }
}

// The latest picture fills the view area between the toolbar and the status strip: fitted
// (bilinear) or at 2x zoom (nearest-neighbour, clipped to the area), placed in device pixels.
TEST(Painter, TheRemotePictureIsPlacedByTheViewTransform) {
  PixelBuffer picture;
  picture.width = 1920;
  picture.height = 1080;
  picture.bytes.assign(1920u * 1080u * 4u, 0x40);
  MainView view;
  view.viewerRole = view.sessionActive = view.toolsUp = true;
  view.picture = &picture;
  UiState ui;
  ui.scale = 2.0;  // a 200 % display: 2200 x 1440 device pixels
  const auto fitted = Paint(view, ui, 1100, 720);
  EXPECT_EQ(fitted->canvas.FindText(L"Waiting for the first frame"), nullptr);
  EXPECT_EQ(fitted->canvas.lastPictureWidth, 1920);
  EXPECT_EQ(fitted->canvas.lastInterpolation, Interpolation::Bilinear);
  const auto image = std::find_if(fitted->canvas.shapes.begin(), fitted->canvas.shapes.end(),
                                  [](const auto& shape) { return shape.kind == RecordingCanvas::Shape::Image; });
  ASSERT_NE(image, fitted->canvas.shapes.end());
  // The area is 1100 x 646 DIP; 16:9 fits its height: 1148.4 x 646 would overflow the width, so
  // the width rules: 1100 x 618.75, centred vertically.
  EXPECT_NEAR(image->rect.width, 1100, 0.5);
  EXPECT_NEAR(image->rect.height, 618.75, 0.5);
  EXPECT_NEAR(image->rect.y, 52 + (646 - 618.75) / 2, 0.5);

  view.viewState.fit = false;
  view.viewState.zoom = 2.0f;
  const auto zoomed = Paint(view, ui, 1100, 720);
  EXPECT_EQ(zoomed->canvas.lastInterpolation, Interpolation::NearestNeighbor);
  EXPECT_EQ(zoomed->canvas.clips.size(), 0u) << "every clip pushed is popped";
}

TEST(Controls, LabelSizesHoverColoursAndOutlines) {
  EXPECT_EQ(PushButtonLabelSize(16), 14);
  EXPECT_EQ(PushButtonLabelSize(17), 12);
  EXPECT_EQ(PushButtonLabelSize(22), 12);
  EXPECT_EQ(PushButtonLabelSize(23), 11);

  RecordingCanvas canvas;
  Layout layout;
  DrawContext ctx{canvas, layout, kEnglish};
  ctx.hovered = cmd::kClose;
  IconButton(ctx, cmd::kClose, RectF{0, 0, 32, 30});
  ASSERT_FALSE(canvas.shapes.empty());
  EXPECT_EQ(canvas.shapes[0].fill, 0xFFFBE1E4u);
  EXPECT_EQ(canvas.shapes[1].fill, 0xFFA82D3Du) << "the X turns red";
  ctx.hovered = 0;
  canvas.shapes.clear();
  IconButton(ctx, cmd::kClose, RectF{0, 0, 32, 30});
  EXPECT_EQ(canvas.shapes[0].fill, 0xFFF4F7F7u);

  // A push button's label at 17 characters is drawn at 12, its secondary style outlined.
  canvas.texts.clear();
  canvas.shapes.clear();
  PushButton(ctx, cmd::kSendFile, "seventeen letters", RectF{0, 0, 200, 40}, ButtonStyle::Secondary);
  EXPECT_EQ(canvas.texts.back().style.size, 12);
  EXPECT_EQ(canvas.shapes.back().border, 0xFFDAE0DFu);
  // The copy button shows its check mark while the feedback lasts.
  ctx.copyFeedback = cmd::kCopyId;
  canvas.shapes.clear();
  IconButton(ctx, cmd::kCopyId, RectF{0, 0, 32, 30});
  EXPECT_EQ(canvas.shapes.back().fill, 0xFF197E64u);
  EXPECT_EQ(layout.HitTest(PointF{10, 10}), cmd::kCopyId) << "the last drawn region wins";
}

TEST(Painter, PromptsDisableTheControlsAndTheCaptionIsOnlyWhereNothingIsClickable) {
  const std::string password = "ABCD2345";
  MainView view = RegisteredHost(password);
  const auto idle = Paint(view, UiState{});
  ASSERT_NE(idle->layout.Placement(ChildControl::RemoteId), nullptr);
  EXPECT_TRUE(idle->layout.Placement(ChildControl::RemoteId)->enabled);
  view.prompt = PromptKind::Connection;
  const auto prompted = Paint(view, UiState{});
  EXPECT_FALSE(prompted->layout.Placement(ChildControl::RemoteId)->enabled);
  EXPECT_TRUE(prompted->layout.Has(cmd::kAllowConnection));
  EXPECT_TRUE(prompted->layout.Has(cmd::kRejectConnection));
  // Under the overlay the page's buttons are gone; the sidebar and the window's stay.
  EXPECT_TRUE(idle->layout.Has(cmd::kNewCredentials) && idle->layout.Has(cmd::kConnect));
  EXPECT_FALSE(prompted->layout.Has(cmd::kNewCredentials) || prompted->layout.Has(cmd::kConnect));
  EXPECT_TRUE(prompted->layout.Has(cmd::kClose) && prompted->layout.Has(cmd::kSecurity));

  // The viewer's remote view shows a host's offer over the picture, with its buttons live and
  // the toolbar's still there.
  MainView viewer;
  viewer.viewerRole = viewer.sessionActive = viewer.toolsUp = true;
  viewer.prompt = PromptKind::File;
  const auto offer = Paint(viewer, UiState{});
  EXPECT_TRUE(offer->layout.Has(cmd::kSaveFileAs) && offer->layout.Has(cmd::kRejectFile));
  EXPECT_TRUE(offer->layout.Has(cmd::kDisconnect) && offer->layout.Has(cmd::kClose));
  EXPECT_NE(offer->canvas.FindText(L"File request"), nullptr);
  viewer.prompt = PromptKind::None;
  EXPECT_FALSE(Paint(viewer, UiState{})->layout.Has(cmd::kSaveFileAs));

  EXPECT_EQ(ClassifyPoint(idle->layout, PointF{600, 40}, false), WindowPart::Caption);
  EXPECT_EQ(ClassifyPoint(idle->layout, PointF{600, 100}, false), WindowPart::Client);
  const HitRegion* close = idle->layout.Find(cmd::kClose);
  ASSERT_NE(close, nullptr);
  EXPECT_EQ(ClassifyPoint(idle->layout, PointF{close->rect.x + 4, close->rect.y + 4}, false),
            WindowPart::Client);
  EXPECT_EQ(ClassifyPoint(Layout{}, PointF{600, 60}, true), WindowPart::Client);
  // The remote view's toolbar band drags the window, except in full screen.
  EXPECT_EQ(ClassifyPoint(Layout{}, PointF{600, 30}, true), WindowPart::Caption);
  EXPECT_EQ(ClassifyPoint(Layout{}, PointF{600, 30}, true, /*fullScreen=*/true),
            WindowPart::Client);

  // The host's session shows "Stop sharing"; the banner's "End session" sits where it must.
  view.prompt = PromptKind::None;
  view.sessionActive = true;
  EXPECT_NE(Paint(view, UiState{})->canvas.FindText(L"Stop sharing"), nullptr);
  RecordingCanvas banner;
  Layout bannerLayout;
  DrawContext ctx{banner, bannerLayout, kEnglish};
  PaintSharingBanner(ctx, 304, 48);
  ASSERT_EQ(bannerLayout.regions().size(), 1u);
  EXPECT_EQ(bannerLayout.regions()[0].rect, (RectF{228, 8, 68, 32}));
}

TEST(Commands, GateTooltipsAndMenus) {
  for (int command = 103; command <= 145; ++command) {
    const bool window = command == 112 || command == 113 || command == 114;
    const bool card = command == 143 || command == 144 || command == 145;
    EXPECT_EQ(CommandPassesGate(command, false), window || card) << command;
    EXPECT_TRUE(CommandPassesGate(command, true));
  }
  EXPECT_FALSE(CommandPassesGate(cmd::kZoomPercentBase + 150, false));

  TooltipState tips;
  EXPECT_EQ(TooltipKey(cmd::kCopyId, tips), "Copy ID");
  tips.copyFeedback = cmd::kCopyId;
  EXPECT_EQ(TooltipKey(cmd::kCopyId, tips), "ID copied");
  EXPECT_EQ(TooltipKey(cmd::kCopyPassword, tips), "Copy password");
  tips.approvalChangeable = false;
  EXPECT_EQ(TooltipKey(cmd::kApproval, tips), "End the session to change this setting.");
  EXPECT_EQ(TooltipKey(cmd::kConnect, tips), "");
  tips.passwordShown = true;
  EXPECT_EQ(TooltipKey(cmd::kShowPassword, tips), "Hide");

  auto checked = [](const std::vector<MenuItem>& menu) {
    std::set<int> out;
    for (const MenuItem& item : menu) {
      if (item.checked) out.insert(item.command);
    }
    return out;
  };
  EXPECT_EQ(checked(ZoomMenu(false, 1.0)), std::set<int>{cmd::kActualSize});
  EXPECT_EQ(checked(ZoomMenu(true, 1.0)), std::set<int>{cmd::kFit});
  EXPECT_TRUE(checked(ZoomMenu(false, 1.5)).empty());
  const auto zoom = ZoomMenu(false, 1.0);
  EXPECT_EQ(zoom.back().command, cmd::kZoomPercentBase + 400);
  EXPECT_EQ(zoom.back().label, "400%");
  const auto tools = ToolsMenu(false, true);
  EXPECT_EQ(tools.size(), 12u);
  EXPECT_TRUE(tools[2].greyed);
  EXPECT_EQ(tools[9].command, 0) << "separator";
  EXPECT_TRUE(tools.back().checked);
}

// Every page number of the design preview: the clamps and the states pages 4 to 11 set up.
TEST(PreviewPage, PagesAndClamps) {
  using S = UpdateCardState;
  struct Case {
    int page, sidebar;
    bool viewer, notice, card;
    S state;
    bool banner;
  };
  const Case cases[] = {
      {-3, 0, false, false, false, S::Checking, false}, {0, 0, false, false, false, S::Checking, false},
      {3, 3, false, false, false, S::Checking, false},  {4, 0, true, false, false, S::Checking, false},
      {5, 3, false, false, false, S::Checking, true},   {6, 3, false, false, true, S::Required, false},
      {7, 3, false, false, true, S::Checking, false},   {8, 3, false, false, true, S::Failed, false},
      {9, 3, false, false, true, S::Downloading, false},
      {10, 3, false, false, true, S::Downloaded, false}, {11, 0, true, true, false, S::Checking, false},
      {12, 3, false, false, false, S::Checking, false},
  };
  for (const Case& c : cases) {
    const PreviewPage p = DescribePreviewPage(c.page);
    EXPECT_EQ(p.sidebarPage, c.sidebar) << c.page;
    EXPECT_EQ(p.viewerSession, c.viewer) << c.page;
    EXPECT_EQ(p.inputNotice, c.notice) << c.page;
    EXPECT_EQ(p.updateCard, c.card) << c.page;
    if (c.card) {
      EXPECT_EQ(p.updateState, c.state) << c.page;
    }
    EXPECT_EQ(p.bannerOnly, c.banner) << c.page;
  }
}

// The rate is measured over the last seconds only, restarts for another file or a step back,
// and the progress text gives the percentage, the rate and the time left.
TEST(TransferMeter, RateTimeLeftAndRestarts) {
  TransferMeter meter;
  EXPECT_LT(meter.BytesPerSecond(), 0);
  meter.Observe(10'000, 0, 10'000'000);
  meter.Observe(10'500, 500'000, 10'000'000);
  EXPECT_LT(meter.BytesPerSecond(), 0) << "half a second is too short to measure";
  meter.Observe(11'000, 1'000'000, 10'000'000);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(), 1'000'000);
  // The link slows down: after the window only the slow part counts.
  for (std::uint64_t t = 12'000; t <= 20'000; t += 1000) {
    meter.Observe(t, 1'000'000 + (t - 11'000) * 100, 10'000'000);
  }
  EXPECT_NEAR(meter.BytesPerSecond(), 100'000, 1);
  meter.Observe(21'000, 5, 10'000'000);  // a new transfer of the same size starts from 0
  EXPECT_LT(meter.BytesPerSecond(), 0);
  meter.Observe(22'000, 1005, 4096);  // another size
  EXPECT_LT(meter.BytesPerSecond(), 0);
  meter.Observe(23'000, 2005, 4096);
  EXPECT_DOUBLE_EQ(meter.BytesPerSecond(), 1000);

  struct Case {
    std::uint64_t done, size;
    double rate;
    std::wstring text;
  };
  const Case cases[] = {
      {0, 100, -1, L"0%"},
      {57, 100, -1, L"57%"},
      {999, 1000, -1, L"99%"},  // rounded down: 100% only when complete
      {0, 0, -1, L"100%"},
      {5000, 4000, 10, L"100%  \u00b7  10 B/s"},
      {1 << 20, 43 << 20, 2 << 20, L"2%  \u00b7  2.0 MiB/s  \u00b7  0:21"},
      {0, 1536, 1024, L"0%  \u00b7  1.0 KiB/s  \u00b7  0:02"},
      {0, 7200ull * 1000, 1000, L"0%  \u00b7  1000 B/s  \u00b7  2:00:00"},
      {0, 8ull << 30, 1, L"0%  \u00b7  1 B/s"},  // years left: no time shown
      {10, 100, 0, L"10%  \u00b7  0 B/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TransferProgressText(c.done, c.size, c.rate), c.text) << c.done << "/" << c.size;
  }
}

// A running transfer: the Files page's line carries name, size, state and progress; the
// toolbar's Files button its percentage, labelled or in place of the icon, without overlaps.
TEST(Painter, TransfersShowTheirProgressOnTheFilesPageAndTheToolbar) {
  MainView view;
  view.viewerRole = view.sessionActive = view.toolsUp = true;
  view.toolsStatus = "Sending";
  view.transfer = MainView::Transfer{L"report.pdf", 2048 * 1024, 1024 * 1024 + 10, 512 * 1024};
  UiState files;
  files.page = 2;
  const auto page = Paint(view, files, 1100, 720, kMarked);
  const std::wstring expected = L"report.pdf  \u00b7  2048.0 KiB  \u00b7  \u27E6Sending\u27E7  \u00b7  "
                                L"50%  \u00b7  512.0 KiB/s  \u00b7  0:02";
  EXPECT_NE(page->canvas.FindText(expected), nullptr);

  for (const float width : {980.0f, 1149.0f, 1150.0f, 1400.0f}) {
    const auto frame = Paint(view, UiState{}, width, 700);
    const bool labelled = width >= kToolbarToolLabelsWidth;
    EXPECT_NE(frame->canvas.FindText(L"50%"), nullptr) << width;
    EXPECT_EQ(frame->canvas.FindText(L"Chat") != nullptr, labelled) << width;
    EXPECT_EQ(frame->canvas.FindText(L"Files"), nullptr) << width;
    MainView idle = view;
    idle.transfer.reset();
    EXPECT_EQ(Commands(frame->layout), Commands(Paint(idle, UiState{}, width, 700)->layout))
        << width << ": the percentage changed what the toolbar shows";
    const auto& regions = frame->layout.regions();
    for (std::size_t i = 0; i < regions.size(); ++i) {
      for (std::size_t j = i + 1; j < regions.size(); ++j) {
        const RectF& a = regions[i].rect;
        const RectF& b = regions[j].rect;
        EXPECT_TRUE(a.Right() <= b.x || b.Right() <= a.x || a.Bottom() <= b.y || b.Bottom() <= a.y)
            << width << ": " << regions[i].command << " and " << regions[j].command;
      }
    }
  }
  view.transfer.reset();
  EXPECT_NE(Paint(view, UiState{}, 1150, 700)->canvas.FindText(L"Files"), nullptr);
}

// The status strip: the state line translated in its colour at the left, the figures at the
// right, both inside the strip.
TEST(Painter, TheStatusStripShowsTheStateAndTheFigures) {
  MainView view;
  view.viewerRole = view.sessionActive = view.toolsUp = true;
  for (const bool warning : {false, true}) {
    view.strip.first = warning ? "This control requires the local user." : "Session active";
    view.strip.warning = warning;
    view.strip.second = "30 fps   \xC2\xB7   12 ms   \xC2\xB7   1920 \xC3\x97 1080";
    const auto frame = Paint(view, UiState{}, 1100, 700, kMarked);
    const auto* first = frame->canvas.FindText(L"\u27E6" + std::wstring(view.strip.first.begin(),
                                                                      view.strip.first.end()) +
                                               L"\u27E7");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->colour, warning ? 0xFFF4BC7Fu : 0xFF92A4B6u);
    const auto* second =
        frame->canvas.FindText(L"30 fps   \u00b7   12 ms   \u00b7   1920 \u00d7 1080");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->style.align, TextAlign::Right);
    for (const auto* text : {first, second}) {
      EXPECT_GE(text->rect.y, 700 - kViewerStatusStripHeight);
      EXPECT_LE(text->rect.Bottom(), 700);
    }
  }
}

}  // namespace
}  // namespace ov
