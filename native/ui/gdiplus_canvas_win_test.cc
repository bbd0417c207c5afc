// The painter on the real GDI+ canvas in every language: no label of a clickable element (push
// buttons, toggles, navigation items, toolbar buttons, the banner's button) is cut with an
// ellipsis, in any state that shows buttons, at 1100 x 720 and, for the remote view, at the
// width from which the toolbar shows its labels.
#include "ui/gdiplus_canvas_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n/catalogue.h"
#include "ui/painter.h"

namespace ov {
namespace {

struct State {
  const char* name;
  MainView view;
  UiState ui;
  float width = 1100;
  float height = 720;
};

std::vector<State> ButtonStates(const std::string& password) {
  std::vector<State> states;
  auto host = [&] {
    MainView view;
    view.registered = true;
    view.deviceId = "482913775";
    view.password = &password;
    view.status = "Ready";
    return view;
  };
  for (int page = 0; page < 4; ++page) {
    State s{"sidebar page", host(), UiState{}};
    s.ui.page = page;
    s.view.toolsUp = s.view.sessionActive = true;  // Stop sharing, Send file, Send
    states.push_back(s);
  }
  State approval{"approval on", host(), UiState{}};
  approval.view.approval = true;
  states.push_back(approval);
  for (const PromptKind prompt : {PromptKind::Connection, PromptKind::File, PromptKind::Clipboard}) {
    State s{"prompt", host(), UiState{}};
    s.view.prompt = prompt;
    states.push_back(s);
  }
  for (const UpdateCardState card : {UpdateCardState::Required, UpdateCardState::Downloaded,
                                     UpdateCardState::Failed}) {
    State s{"update card", host(), UiState{}};
    s.view.gateOpen = false;
    s.view.updateState = card;
    s.view.newVersion = "0.4.0";
    states.push_back(s);
  }
  for (const float width : {1100.0f, kToolbarToolLabelsWidth}) {
    State s{"remote view", MainView{}, UiState{}, width};
    s.view.viewerRole = s.view.sessionActive = s.view.toolsUp = true;
    states.push_back(s);
  }
  State viewerFiles{"viewer's Files page", MainView{}, UiState{}};
  viewerFiles.view.viewerRole = viewerFiles.view.sessionActive = viewerFiles.view.toolsUp = true;
  viewerFiles.ui.page = 2;
  states.push_back(viewerFiles);
  return states;
}

bool Inside(const RectF& inner, const RectF& outer) {
  return inner.x >= outer.x - 0.5f && inner.y >= outer.y - 0.5f &&
         inner.Right() <= outer.Right() + 0.5f && inner.Bottom() <= outer.Bottom() + 0.5f;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (const wchar_t ch : text) {
    if (ch < 0x80) {
      out.push_back(static_cast<char>(ch));
    } else {
      out += "\\u" + std::to_string(static_cast<unsigned>(ch));
    }
  }
  return out;
}

// The labels of `layout`'s hit regions that the canvas trimmed.
std::vector<std::string> TrimmedLabels(const GdiplusCanvas& canvas, const Layout& layout) {
  std::vector<std::string> out;
  for (const GdiplusCanvas::Trimmed& text : canvas.trimmed()) {
    for (const HitRegion& region : layout.regions()) {
      if (Inside(text.rect, region.rect)) {
        out.push_back(std::to_string(region.command) + " \"" + Narrow(text.text) + "\"");
        break;
      }
    }
  }
  return out;
}

TEST(GdiplusCanvas, NoButtonLabelIsTrimmedInAnyLanguage) {
  const std::string password = "ABCD2345";
  for (int language = 0; language < kLanguageCount; ++language) {
    const Translator translate = [language](std::string_view key) {
      return Translate(language, key);
    };
    for (const State& state : ButtonStates(password)) {
      Gdiplus::Bitmap bitmap(static_cast<INT>(state.width), static_cast<INT>(state.height),
                             PixelFormat32bppARGB);
      Gdiplus::Graphics graphics(&bitmap);
      FontCache fonts;
      GdiplusCanvas canvas(graphics, fonts, 1.0f);
      canvas.TrackTrimming(true);
      Layout layout;
      DrawContext ctx{canvas, layout, translate};
      PaintMainWindow(ctx, state.view, state.ui, state.width, state.height);
      ASSERT_EQ(canvas.lastError(), Gdiplus::Ok);
      ASSERT_FALSE(layout.regions().empty());
      for (const std::string& label : TrimmedLabels(canvas, layout)) {
        ADD_FAILURE() << "language " << language << ", " << state.name << " (page "
                      << state.ui.page << ", " << state.width << " wide): " << label;
      }
    }
    // The sharing banner's "End session".
    Gdiplus::Bitmap bitmap(304, 48, PixelFormat32bppARGB);
    Gdiplus::Graphics graphics(&bitmap);
    FontCache fonts;
    GdiplusCanvas canvas(graphics, fonts, 1.0f);
    canvas.TrackTrimming(true);
    Layout layout;
    DrawContext ctx{canvas, layout, translate};
    PaintSharingBanner(ctx, 304, 48);
    for (const std::string& label : TrimmedLabels(canvas, layout)) {
      ADD_FAILURE() << "language " << language << ", banner: " << label;
    }
  }
  // The check can fail on a painted window: with every text eight times as long, the same
  // states report trimmed labels.
  const Translator eightTimes = [](std::string_view key) {
    std::wstring text;
    for (int i = 0; i < 8; ++i) text.append(key.begin(), key.end());
    return text;
  };
  std::size_t reported = 0;
  for (const State& state : ButtonStates(password)) {
    Gdiplus::Bitmap bitmap(static_cast<INT>(state.width), static_cast<INT>(state.height),
                           PixelFormat32bppARGB);
    Gdiplus::Graphics graphics(&bitmap);
    FontCache fonts;
    GdiplusCanvas canvas(graphics, fonts, 1.0f);
    canvas.TrackTrimming(true);
    Layout layout;
    DrawContext ctx{canvas, layout, eightTimes};
    PaintMainWindow(ctx, state.view, state.ui, state.width, state.height);
    if (!TrimmedLabels(canvas, layout).empty()) {
      ++reported;
    } else {
      ADD_FAILURE() << state.name << " (page " << state.ui.page << ", " << state.width
                    << " wide): no label is ever measured";
    }
  }
  EXPECT_EQ(reported, ButtonStates(password).size());
}

// Wrapped text that needs more than its box shows whole lines only: nothing of a third line
// appears in the box's last rows (below the two lines it holds).
TEST(GdiplusCanvas, WrappedTextShowsWholeLinesOnly) {
  constexpr int kWidth = 220;
  constexpr int kHeight = 60;
  Gdiplus::Bitmap bitmap(kWidth, kHeight, PixelFormat32bppARGB);
  Gdiplus::Graphics graphics(&bitmap);
  graphics.Clear(Gdiplus::Color(0xFFFFFFFF));
  FontCache fonts;
  GdiplusCanvas canvas(graphics, fonts, 1.0f);
  TextStyle style;
  style.size = 16;  // a box 46.4 high: two lines of about 19 and a part of a third
  canvas.WrappedText(L"Many words wrap onto more lines than this box of two lines can hold here",
                     0, 0, kWidth, style, 0xFF000000);
  ASSERT_EQ(canvas.lastError(), Gdiplus::Ok);
  auto inkInRows = [&](int from, int to) {
    int ink = 0;
    for (int y = from; y < to; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        Gdiplus::Color pixel;
        bitmap.GetPixel(x, y, &pixel);
        if (pixel.GetR() < 128) ++ink;
      }
    }
    return ink;
  };
  EXPECT_GT(inkInRows(0, 36), 100) << "the two lines are drawn";
  EXPECT_EQ(inkInRows(40, 47), 0) << "a clipped third line shows";
}

// The report itself: a label that cannot fit is reported, one that fits is not.
TEST(GdiplusCanvas, TrimmingIsReported) {
  Gdiplus::Bitmap bitmap(400, 100, PixelFormat32bppARGB);
  Gdiplus::Graphics graphics(&bitmap);
  FontCache fonts;
  GdiplusCanvas canvas(graphics, fonts, 1.0f);
  canvas.TrackTrimming(true);
  TextStyle style;
  style.size = 14;
  canvas.Text(L"Short", RectF{0, 0, 300, 30}, style, 0xFF000000);
  canvas.Text(L"A label far too long for its little box", RectF{0, 40, 60, 30}, style,
              0xFF000000);
  canvas.WrappedText(L"two words", 0, 60, 300, style, 0xFF000000);
  canvas.WrappedText(L"many words that wrap onto more lines than the box of two lines can hold",
                     0, 60, 60, style, 0xFF000000);
  ASSERT_EQ(canvas.trimmed().size(), 2u);
  EXPECT_EQ(canvas.trimmed()[0].text, L"A label far too long for its little box");
  EXPECT_EQ(canvas.trimmed()[1].rect.width, 60);
}

}  // namespace
}  // namespace ov
