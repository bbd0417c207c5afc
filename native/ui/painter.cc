#include "ui/painter.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

#include "base/secure_memory.h"
#include "i18n/utf8.h"
#include "ui/commands.h"
#include "ui/transfer_meter.h"

namespace ov {
namespace {

constexpr Argb kSidebar = 0xFFFAFCFD;
constexpr Argb kPageBackground = 0xFFF3F6F8;
constexpr Argb kCard = 0xFFFFFFFF;
constexpr Argb kCardBorder = 0xFFE3EAEE;
constexpr Argb kMainText = 0xFF1C3141;
constexpr Argb kAccent = 0xFF10786D;
constexpr Argb kUpdateAccent = 0xFF0C737A;
constexpr Argb kMuted = 0xFF788B99;
constexpr Argb kSubtitle = 0xFF6E7F8F;
constexpr Argb kTitle = 0xFF1C2B3B;
constexpr Argb kSeparator = 0xFFDFE7EC;
constexpr Argb kOffline = 0xFFBE9F68;
constexpr Argb kError = 0xFFAB2A3C;
constexpr Argb kToolbar = 0xFF141D29;
constexpr Argb kToolbarEdge = 0xFF2B3644;

constexpr float kSidebarWidth = 192;
constexpr float kContentLeft = kSidebarWidth + 36;
constexpr float kContentTop = 124;

TextStyle Style(float size, bool bold = false, TextAlign align = TextAlign::Left,
                FontFamily family = FontFamily::SegoeUi) {
  TextStyle style;
  style.size = size;
  style.bold = bold;
  style.align = align;
  style.family = family;
  return style;
}

void Label(DrawContext& ctx, std::string_view key, const RectF& rect, const TextStyle& style,
           Argb colour) {
  ctx.canvas.Text(ctx.translate(key), rect, style, colour);
}

void Card(DrawContext& ctx, const RectF& rect) { ctx.canvas.RoundRect(rect, kCard, 12, kCardBorder); }

// Minimize, maximise or restore, close: 36 DIP each, ending 12 DIP from the right.
void WindowButtons(DrawContext& ctx, float width, float top, bool dark) {
  const int commands[3] = {cmd::kMinimize, cmd::kMaximize, cmd::kClose};
  for (int i = 0; i < 3; ++i) {
    const RectF rect{width - 12 - 36.0f * static_cast<float>(3 - i), top, 36, 30};
    if (dark) {
      ToolbarButton(ctx, commands[i], L"", rect, true, false);
    } else {
      IconButton(ctx, commands[i], rect);
    }
  }
}

void DrawStatusLine(DrawContext& ctx, const MainView& view, float width, float height) {
  if (view.status.empty()) return;
  Label(ctx, view.status, RectF{kContentLeft, height - 44, width - kContentLeft - 36, 24},
        Style(12, true), kUpdateAccent);
}

const char* StatusWord(const MainView& view) {
  if (view.sessionActive) return "Session active";
  if (view.registered) return "Ready";
  return "Offline";
}

void Sidebar(DrawContext& ctx, const MainView& view, const UiState& ui, float height,
             bool controlsEnabled) {
  Canvas& c = ctx.canvas;
  c.FillRect(RectF{0, 0, kSidebarWidth, height}, kSidebar);
  c.FillRect(RectF{kSidebarWidth - 1, 0, 1, height}, kSeparator);
  c.ProductMark(20, 26, 34);
  Label(ctx, "Kestrova", RectF{64, 24, 120, 20}, Style(16, true), kMainText);
  Label(ctx, "by Nimbrel", RectF{64, 44, 120, 18}, Style(11), kMuted);
  Label(ctx, "WORKSPACE", RectF{24, 116, 150, 18}, Style(10, true), kMuted);
  NavItem(ctx, cmd::kConnections, "Connections", ui.page == 0, 151);
  NavItem(ctx, cmd::kFiles, "Files", ui.page == 2, 203);
  NavItem(ctx, cmd::kChat, "Chat", ui.page == 3, 255);
  NavItem(ctx, cmd::kSecurity, "Security", ui.page == 1, 307);

  // The language box stands above the status card.
  ctx.layout.Place(ChildControl::Language, RectF{16, height - 212, 160, 36}, controlsEnabled);

  const float cardTop = height - 160;
  c.RoundRect(RectF{16, cardTop, 160, 56}, 0xFFF1F5F7, 10, 0);
  const bool online = view.sessionActive || view.registered;
  c.FillEllipse(RectF{30, cardTop + 15, 6, 6}, online ? kAccent : kOffline);
  Label(ctx, StatusWord(view), RectF{44, cardTop + 8, 124, 20}, Style(12, true), kMainText);
  Label(ctx, "AES-256-GCM", RectF{30, cardTop + 30, 138, 18}, Style(11), kMuted);

  c.Text(ctx.translate("Kestrova") + L" 0.3.9", RectF{24, height - 64, 150, 18}, Style(11, true),
         kMuted);
  Label(ctx, "Windows · x64", RectF{24, height - 44, 150, 18}, Style(11), kMuted);
}

void PageHeader(DrawContext& ctx, std::string_view title, std::string_view subtitle, float width) {
  Label(ctx, title, RectF{kContentLeft, 28, width - kContentLeft - 160, 40}, Style(25, true),
        kTitle);
  Label(ctx, subtitle, RectF{kContentLeft, 70, width - kContentLeft - 200, 22}, Style(13),
        kSubtitle);
}

// The device ID as three groups of three digits, or "--- --- ---".
std::wstring ShownDeviceId(const std::string& id) {
  if (id.size() != 9) return L"--- --- ---";
  std::wstring out;
  for (std::size_t i = 0; i < 9; ++i) {
    if (i == 3 || i == 6) out.push_back(L' ');
    out.push_back(static_cast<wchar_t>(id[i]));
  }
  return out;
}

std::wstring WidenUtf8Ascii(const std::string& text) {
  // The shown password is ASCII or the mask (three-byte bullets).
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0xE2 && i + 2 < text.size()) {
      out.push_back(L'\u2022');
      i += 2;
    } else {
      out.push_back(static_cast<wchar_t>(byte));
    }
  }
  return out;
}

void ConnectionsPage(DrawContext& ctx, const MainView& view, const UiState& ui, float width,
                     bool controlsEnabled) {
  Canvas& c = ctx.canvas;
  const float contentWidth = width - kContentLeft - 36;
  const float cardWidth = (contentWidth - 20) / 2;
  const float left = kContentLeft;
  const float right = kContentLeft + cardWidth + 20;
  const float top = kContentTop;

  // Your device.
  Card(ctx, RectF{left, top, cardWidth, 300});
  Label(ctx, "YOUR DEVICE", RectF{left + 20, top + 14, 200, 20}, Style(11, true), kMuted);
  const bool online = view.registered && !view.viewerRole;
  c.RoundRect(RectF{left + cardWidth - 100, top + 14, 80, 22}, online ? 0xFFE2F1EC : 0xFFF6EFE3,
              11, 0);
  Label(ctx, online ? "Ready" : "Offline", RectF{left + cardWidth - 100, top + 14, 80, 22},
        Style(11, true, TextAlign::Center), online ? kAccent : kOffline);
  Label(ctx, "Your ID", RectF{left + 20, top + 48, 200, 18}, Style(12), kMuted);
  c.Text(ShownDeviceId(view.viewerRole ? std::string() : view.deviceId),
         RectF{left + 20, top + 66, cardWidth - 90, 36}, Style(26, true, TextAlign::Left,
                                                               FontFamily::Consolas),
         kMainText);
  IconButton(ctx, cmd::kCopyId, RectF{left + cardWidth - 56, top + 68, 34, 32});
  Label(ctx, "Session password", RectF{left + 20, top + 114, 200, 18}, Style(12), kMuted);
  {
    std::string shown = ShownPassword(
        view.password && !view.viewerRole ? *view.password : std::string(), ui.passwordRevealed);
    std::wstring text = shown.empty() ? std::wstring(L"----\u2011----") : WidenUtf8Ascii(shown);
    c.Text(text, RectF{left + 20, top + 132, cardWidth - 130, 32},
           Style(22, true, TextAlign::Left, FontFamily::Consolas), kMainText);
    SecureWipe(shown.data(), shown.size());
    SecureWipe(text.data(), text.size() * sizeof(wchar_t));
  }
  IconButton(ctx, cmd::kShowPassword, RectF{left + cardWidth - 96, top + 132, 34, 32});
  IconButton(ctx, cmd::kCopyPassword, RectF{left + cardWidth - 56, top + 132, 34, 32});
  Label(ctx, "Fresh credentials on every launch.", RectF{left + 20, top + 176, cardWidth - 40, 20},
        Style(12), kSubtitle);
  PushButton(ctx, cmd::kNewCredentials, "New ID and password",
             RectF{left + 20, top + 232, std::min(220.0f, cardWidth - 40), 40},
             ButtonStyle::Secondary);

  // Remote device.
  Card(ctx, RectF{right, top, cardWidth, 300});
  Label(ctx, "REMOTE DEVICE", RectF{right + 20, top + 14, 200, 20}, Style(11, true), kMuted);
  Label(ctx, "Remote desktop", RectF{right + 20, top + 38, cardWidth - 40, 24}, Style(17, true),
        kMainText);
  Label(ctx, "Enter the other device ID.", RectF{right + 20, top + 62, cardWidth - 40, 20},
        Style(12), kSubtitle);
  const RectF idBox{right + 20, top + 92, cardWidth - 40, 34};
  const RectF passwordBox{right + 20, top + 160, cardWidth - 40, 34};
  Label(ctx, "Session password", RectF{right + 20, top + 136, 200, 20}, Style(12), kMuted);
  for (const auto& [box, focused] : {std::pair{idBox, view.remoteIdFocused},
                                     std::pair{passwordBox, view.passwordFocused}}) {
    c.RoundRect(RectF{box.x - 4, box.y - 4, box.width + 8, box.height + 8}, kCard, 8,
                focused ? kAccent : 0xFFD3DCE1);
  }
  ctx.layout.Place(ChildControl::RemoteId, idBox, controlsEnabled);
  ctx.layout.Place(ChildControl::Password, passwordBox, controlsEnabled);
  const std::wstring connect = ctx.translate("Connect") + L"   \u2192";
  {
    const RectF button{right + 20, top + 232, cardWidth - 40, 40};
    const bool hovered = ctx.hovered == cmd::kConnect;
    c.RoundRect(button, hovered ? 0xFF1D8D76 : 0xFF187A67, 8, 0);
    c.Text(connect, button, Style(PushButtonLabelSize(connect.size()), true, TextAlign::Center),
           0xFFFFFFFF);
    ctx.layout.AddRegion(cmd::kConnect, button);
  }

  // Permissions.
  const float rowTop = top + 320;
  const bool approvalChangeable = !view.sessionActive && !view.busy;
  Toggle(ctx, cmd::kApproval, "Ask before every connection", left, rowTop, 300, view.approval,
         approvalChangeable);
  Label(ctx, view.approval ? "Approval required" : "ID + password",
        RectF{left + 310, rowTop, 200, 25}, Style(12, true), kAccent);
  ctx.canvas.WrappedText(ctx.translate(view.approval
                                           ? "Your approval is required even with the correct password."
                                           : "Password holders connect directly when disabled."),
                         left + 26, rowTop + 26, contentWidth - 26, Style(12), kSubtitle);
  const float toggleWidth = (contentWidth - 20) / 3;
  // The viewer has nothing to allow here: the box shows as unavailable.
  Toggle(ctx, cmd::kAllowControl, "Keyboard and mouse", left, rowTop + 70, toggleWidth,
         view.allowControl, !view.viewerRole);
  Toggle(ctx, cmd::kAllowFiles, "File offers", left + toggleWidth + 10, rowTop + 70, toggleWidth,
         view.allowFiles, true);
  Toggle(ctx, cmd::kSyncClipboard, "Sync clipboard", left + 2 * (toggleWidth + 10), rowTop + 70,
         toggleWidth, view.allowClipboard, true);
}

void SecurityPage(DrawContext& ctx, const MainView& view, float width) {
  const float w = width - kContentLeft - 36;
  Card(ctx, RectF{kContentLeft, kContentTop, w, 110});
  Label(ctx, "End-to-end encrypted", RectF{kContentLeft + 20, kContentTop + 14, w - 40, 26},
        Style(17, true), kMainText);
  float x = kContentLeft + 20;
  for (const char* line : {"SPAKE2", " AES-256-GCM", " HKDF-SHA256"}) {
    Label(ctx, line, RectF{x, kContentTop + 56, 160, 24}, Style(13, true), kAccent);
    x += 160;
  }
  float y = kContentTop + 136;
  for (const char* bullet : {"Credentials are never saved to disk.",
                             "Files and clipboard require separate local approval.",
                             "No code signature or independent security audit yet.",
                             "Audio, hardware video codecs and UAC control are not included.",
                             "Software JPEG encoder. FPS depends on device and network.",
                             "Display refresh rate is not streaming FPS."}) {
    ctx.canvas.FillEllipse(RectF{kContentLeft + 4, y + 9, 5, 5}, kAccent);
    Label(ctx, bullet, RectF{kContentLeft + 18, y, w - 18, 24}, Style(13), kMainText);
    y += 30;
  }
  Toggle(ctx, cmd::kAllowFiles, "File offers", kContentLeft, y + 16, 240, view.allowFiles, true);
  Toggle(ctx, cmd::kSyncClipboard, "Sync clipboard", kContentLeft + 250, y + 16, 240,
         view.allowClipboard, true);
}

void RemoteDesktopButton(DrawContext& ctx, const MainView& view, float y) {
  if (view.viewerRole && view.sessionActive) {
    PushButton(ctx, cmd::kRemoteDesktop, "Remote desktop", RectF{kContentLeft, y, 200, 40},
               ButtonStyle::Secondary);
  }
}

void FilesPage(DrawContext& ctx, const MainView& view, float width) {
  const float w = width - kContentLeft - 36;
  Label(ctx, "8 GiB per file. Received files never open automatically.",
        RectF{kContentLeft, kContentTop, w, 24}, Style(13), kMainText);
  Label(ctx, "Choose a new name on an NTFS drive. Existing files are not replaced.",
        RectF{kContentLeft, kContentTop + 28, w, 24}, Style(13), kMainText);
  if (view.toolsUp) {
    PushButton(ctx, cmd::kSendFile, "Send file", RectF{kContentLeft, kContentTop + 76, 160, 40},
               ButtonStyle::Primary);
    PushButton(ctx, cmd::kCancelTransfer, "Cancel transfer",
               RectF{kContentLeft + 172, kContentTop + 76, 180, 40}, ButtonStyle::Secondary);
    std::wstring line = ctx.translate(view.toolsStatus.empty() ? "Ready" : view.toolsStatus);
    if (view.transfer) {
      const MainView::Transfer& t = *view.transfer;
      wchar_t size[48];
      std::swprintf(size, 48, L"%.1f KiB", static_cast<double>(t.size) / 1024.0);
      line = t.name + L"  \u00b7  " + size + L"  \u00b7  " + line + L"  \u00b7  " +
             TransferProgressText(t.done, t.size, t.bytesPerSecond);
    }
    ctx.canvas.Text(line, RectF{kContentLeft, kContentTop + 132, w, 24}, Style(13), kSubtitle);
  } else {
    Label(ctx, "Connect to use session tools.", RectF{kContentLeft, kContentTop + 76, w, 24},
          Style(13), kSubtitle);
  }
  RemoteDesktopButton(ctx, view, kContentTop + 176);
}

void ChatPage(DrawContext& ctx, const MainView& view, float width, float height,
              bool controlsEnabled) {
  const float w = width - kContentLeft - 36;
  if (view.toolsUp) {
    const float logHeight = std::max(80.0f, height - kContentTop - 150);
    ctx.layout.Place(ChildControl::ChatLog, RectF{kContentLeft, kContentTop, w, logHeight},
                     controlsEnabled);
    const float inputTop = kContentTop + logHeight + 14;
    ctx.layout.Place(ChildControl::ChatInput, RectF{kContentLeft, inputTop, w - 120, 36},
                     controlsEnabled);
    PushButton(ctx, cmd::kSendChat, "Send", RectF{kContentLeft + w - 108, inputTop - 2, 108, 40},
               ButtonStyle::Primary);
  } else {
    Label(ctx, "Connect to use session tools.", RectF{kContentLeft, kContentTop, w, 24}, Style(13),
          kSubtitle);
  }
  RemoteDesktopButton(ctx, view, view.toolsUp ? height - 100 : kContentTop + 40);
}

// The prompt over `area` (the page, or the remote picture between the toolbar and the status
// strip). Nothing drawn inside the area before it stays clickable: only the card's buttons are.
void PromptOverlay(DrawContext& ctx, const MainView& view, const RectF& area) {
  ctx.layout.RemoveRegionsInside(area);
  ctx.canvas.FillRect(area, 0x66101A26);
  const RectF card{area.x + (area.width - 380) / 2, area.y + (area.height - 240) / 2, 380, 240};
  ctx.canvas.RoundRect(card, kCard, 14, kCardBorder);
  const char* title = "Allow this connection?";
  int reject = cmd::kRejectConnection;
  int accept = cmd::kAllowConnection;
  const char* acceptLabel = "Allow";
  if (view.prompt == PromptKind::File) {
    title = "File request";
    reject = cmd::kRejectFile;
    accept = cmd::kSaveFileAs;
    acceptLabel = "Save as";
  } else if (view.prompt == PromptKind::Clipboard) {
    title = "Accept clipboard text?";
    reject = cmd::kRejectClipboard;
    accept = cmd::kAllowClipboard;
  }
  const float x = card.x + 40;
  Label(ctx, title, RectF{x, card.y + 24, 300, 28}, Style(18, true), kMainText);
  std::wstring body = view.promptDetail;
  if (view.prompt == PromptKind::Clipboard && body.size() > 240) {
    // 240 characters: a pair of UTF-16 units across the cut goes whole or not at all.
    body.resize(body[239] >= 0xD800 && body[239] <= 0xDBFF ? 239 : 240);
  }
  if (view.prompt == PromptKind::Connection && body.empty()) {
    body = ctx.translate("The password is valid. Check who is connecting.");
  }
  ctx.canvas.WrappedText(body, x, card.y + 64, 300, Style(12), kSubtitle);
  if (view.prompt == PromptKind::Clipboard) {
    ctx.canvas.WrappedText(ctx.translate("Nothing is pasted into other apps automatically."), x,
                           card.y + 124, 300, Style(11), kMuted);
  }
  PushButton(ctx, reject, "Reject", RectF{x, card.Bottom() - 64, 140, 40}, ButtonStyle::Secondary);
  PushButton(ctx, accept, acceptLabel, RectF{x + 160, card.Bottom() - 64, 140, 40},
             ButtonStyle::Primary);
}

void UpdateCard(DrawContext& ctx, const MainView& view, float width, float height) {
  Canvas& c = ctx.canvas;
  c.FillRect(RectF{0, 0, width, height}, kPageBackground);
  const RectF card{(width - 640) / 2, std::max(60.0f, (height - 380) / 2), 640, 380};
  c.RoundRect(card, kCard, 16, kCardBorder);
  const float x = card.x + 38;
  c.ProductMark(x, card.y + 32, 34);
  Label(ctx, "Kestrova", RectF{x + 46, card.y + 36, 300, 26}, Style(17, true), kMainText);
  const char* title = "Checking for updates";
  switch (view.updateState) {
    case UpdateCardState::Downloading: title = "Downloading update"; break;
    case UpdateCardState::Downloaded: title = "Update downloaded"; break;
    case UpdateCardState::Failed: title = "Update check failed"; break;
    case UpdateCardState::Required: title = "Update required"; break;
    case UpdateCardState::Checking:
    case UpdateCardState::UpToDate: break;
  }
  Label(ctx, title, RectF{x, card.y + 88, 564, 34}, Style(24, true), kTitle);
  std::wstring versions = L"v0.3.9";
  if (!view.newVersion.empty()) {
    versions += L"  \u2192  v";
    versions += std::wstring(view.newVersion.begin(), view.newVersion.end());
  }
  c.Text(versions, RectF{x, card.y + 126, 564, 22}, Style(13, true), kUpdateAccent);
  Label(ctx,
        view.updateState == UpdateCardState::Downloaded
            ? "Open the downloaded EXE to use the new version."
            : "Install the latest version before connecting.",
        RectF{x, card.y + 154, 564, 22}, Style(13), kSubtitle);
  if (!view.updateError.empty()) {
    Label(ctx, view.updateError, RectF{x, card.y + 182, 564, 22}, Style(12, true), kError);
  }
  const RectF action{x, card.y + 224, 220, 42};
  switch (view.updateState) {
    case UpdateCardState::Required:
      PushButton(ctx, cmd::kUpdate, "Update", action, ButtonStyle::Primary);
      break;
    case UpdateCardState::Downloading: {
      const RectF track{x, card.y + 236, 564, 8};
      c.RoundRect(track, 0xFFE8EFF1, 4, 0);
      const int percent = std::clamp(view.progress, 0, 100);
      if (percent > 0) {
        const float filled = std::max(7.0f, 564.0f * static_cast<float>(percent) / 100.0f);
        c.RoundRect(RectF{x, track.y, filled, 8}, kUpdateAccent, 4, 0);
      }
      c.Text(std::to_wstring(percent) + L"%", RectF{x, card.y + 250, 80, 22}, Style(12, true),
             kUpdateAccent);
      break;
    }
    case UpdateCardState::Downloaded:
      PushButton(ctx, cmd::kShowDownload, "Show downloaded file", action, ButtonStyle::Primary);
      break;
    case UpdateCardState::Failed:
      PushButton(ctx, cmd::kTryAgain, "Try again", action, ButtonStyle::Primary);
      break;
    case UpdateCardState::Checking:
    case UpdateCardState::UpToDate:
      break;
  }
  Label(ctx, "Verified download. No automatic execution.",
        RectF{x, card.Bottom() - 52, 564, 22}, Style(12), kMuted);
}

// The picture's scale on screen: the zoom, or in fit mode the fitted scale (device pixels per
// picture pixel).
double ShownZoom(const MainView& view, float scale, float width, float height) {
  if (!view.fitMode || view.picture == nullptr || view.picture->Empty()) return view.zoom;
  ViewState fitted;
  const ViewRect placed = LayoutImage(
      fitted,
      ViewRect{0, kViewerToolbarHeight * scale, width * scale,
               (height - kViewerToolbarHeight - kViewerStatusStripHeight) * scale},
      view.picture->width, view.picture->height);
  return static_cast<double>(placed.width) / static_cast<double>(view.picture->width);
}

void RemoteView(DrawContext& ctx, const MainView& view, float scale, float width, float height) {
  Canvas& c = ctx.canvas;
  c.FillRect(RectF{0, 0, width, height}, 0xFF090E16);
  if (view.picture != nullptr && !view.picture->Empty()) {
    // The view transform works in device pixels; the canvas in DIP.
    const RectF area{0, kViewerToolbarHeight, width,
                     height - kViewerToolbarHeight - kViewerStatusStripHeight};
    ViewState state = view.viewState;
    const ViewRect placed =
        LayoutImage(state, ViewRect{area.x * scale, area.y * scale, area.width * scale,
                                    area.height * scale},
                    view.picture->width, view.picture->height);
    c.PushClip(area);
    const bool sharp = !state.fit && state.zoom >= 1.0f;
    c.Picture(PixelView{view.picture->bytes.data(), view.picture->width, view.picture->height},
              RectF{placed.x / scale, placed.y / scale, placed.width / scale, placed.height / scale},
              sharp ? Interpolation::NearestNeighbor : Interpolation::Bilinear);
    c.PopClip();
  } else {
    // One line at (30, 180), 800 wide, trimmed with an ellipsis.
    c.Text(ctx.translate("Waiting for the first frame"), RectF{30, 180, 800, 30}, Style(22),
           0xFFECF2FB);
  }
  // Toolbar band and status strip.
  c.FillRect(RectF{0, 0, width, 52}, kToolbar);
  c.FillRect(RectF{0, 52, width, 1}, kToolbarEdge);
  c.FillRect(RectF{0, height - 22, width, 22}, kToolbar);
  c.FillRect(RectF{0, height - 23, width, 1}, kToolbarEdge);
  const RectF strip{12, height - 22, width - 24, 22};
  if (!view.strip.first.empty()) {
    Label(ctx, view.strip.first, RectF{strip.x, strip.y, strip.width * 0.55f, strip.height},
          Style(11, true), view.strip.warning ? 0xFFF4BC7F : 0xFF92A4B6);
  }
  if (!view.strip.second.empty()) {
    c.Text(DecodeUtf8(view.strip.second), strip,
           Style(11, false, TextAlign::Right), 0xFF92A4B6);
  }

  // The right-hand group, from the right: window buttons, then the tools.
  float rightEdge = width - 12 - 3 * 36 - 8;
  WindowButtons(ctx, width, 10, /*dark=*/true);
  auto fromRight = [&](float buttonWidth) {
    rightEdge -= buttonWidth;
    const RectF rect{rightEdge, 10, buttonWidth, 32};
    rightEdge -= 6;
    return rect;
  };
  // While a file moves, the Files button carries its percentage (in place of the icon when the
  // button has no label).
  const std::wstring filesPercent =
      view.transfer ? std::to_wstring(TransferPercent(view.transfer->done, view.transfer->size)) +
                          L"%"
                    : std::wstring();
  if (width >= kToolbarToolLabelsWidth) {
    // The labelled button keeps its icon and width; the percentage takes the label's place.
    ToolbarButton(ctx, cmd::kFiles, filesPercent.empty() ? ctx.translate("Files") : filesPercent,
                  fromRight(100), true, false);
    ToolbarButton(ctx, cmd::kChat, ctx.translate("Chat"), fromRight(100), true, false);
  } else if (width >= kToolbarToolIconsWidth) {
    if (filesPercent.empty()) {
      ToolbarButton(ctx, cmd::kFiles, L"", fromRight(32), true, false);
    } else {
      ToolbarButton(ctx, cmd::kFiles, filesPercent, fromRight(48), false, false);
    }
    ToolbarButton(ctx, cmd::kChat, L"", fromRight(32), true, false);
  }
  ToolbarButton(ctx, cmd::kMoreTools, L"", fromRight(32), true, false);
  ToolbarButton(ctx, cmd::kDisconnect, ctx.translate("End session"), fromRight(118), true, false);

  // From the left.
  float x = 12;
  c.ProductMark(x, 14, 24);
  x += 32;
  if (width >= kToolbarNameWidth) {
    Label(ctx, "Kestrova", RectF{x, 10, 90, 32}, Style(14, true), 0xFFE4EAF1);
    x += 96;
  }
  auto fromLeft = [&](float buttonWidth) {
    const RectF rect{x, 10, buttonWidth, 32};
    x += buttonWidth + 6;
    return rect;
  };
  if (width >= kToolbarDisplayWidth) {
    ToolbarButton(ctx, cmd::kDisplayMenu,
                  ctx.translate("Display") + L" " + std::to_wstring(view.selectedDisplay + 1),
                  fromLeft(132), true, false);
  }
  if (width >= kToolbarQualityWidth) {
    ToolbarButton(ctx, cmd::kQualityMenu, ctx.translate("Quality"), fromLeft(106), true, false);
  }
  if (width >= kToolbarZoomWidth) {
    ToolbarButton(ctx, cmd::kZoomOut, L"", fromLeft(32), true, false);
    // In fit mode the zoom shown is the fitted scale.
    const int percent = static_cast<int>(std::lround(ShownZoom(view, scale, width, height) * 100));
    ToolbarButton(ctx, cmd::kZoomMenu, std::to_wstring(percent) + L"%", fromLeft(60), false,
                  false);
    ToolbarButton(ctx, cmd::kZoomIn, L"", fromLeft(32), true, false);
    // Fit and full screen only with 32 DIP to spare before the right-hand group.
    if (x + 2 * 32 + 6 + 32 <= rightEdge) {
      ToolbarButton(ctx, cmd::kFit, L"", fromLeft(32), true, view.fitMode);
      ToolbarButton(ctx, cmd::kFullScreen, L"", fromLeft(32), true, view.fullScreen);
    }
  }
}

}  // namespace

bool ShowsRemoteView(const MainView& view, const UiState& ui) noexcept {
  return view.viewerRole && view.sessionActive && ui.page == 0;
}

void PaintMainWindow(DrawContext& ctx, const MainView& view, const UiState& ui, float width,
                     float height) {
  ctx.passwordShown = ui.passwordRevealed;
  ctx.maximised = view.maximised;
  if (!view.gateOpen) {
    UpdateCard(ctx, view, width, height);
    WindowButtons(ctx, width, 16, /*dark=*/false);
    return;
  }
  if (ShowsRemoteView(view, ui)) {
    RemoteView(ctx, view, ui.scale > 0 ? static_cast<float>(ui.scale) : 1.0f, width, height);
    // An offer or clipboard text from the host waits for an answer here too.
    if (view.prompt != PromptKind::None) {
      PromptOverlay(ctx, view,
                    RectF{0, kViewerToolbarHeight, width,
                          height - kViewerToolbarHeight - kViewerStatusStripHeight});
    }
    return;
  }
  ctx.canvas.FillRect(RectF{kSidebarWidth, 0, width - kSidebarWidth, height}, kPageBackground);
  const bool prompt = view.prompt != PromptKind::None;
  Sidebar(ctx, view, ui, height, !prompt);
  switch (ui.page) {
    case 1:
      PageHeader(ctx, "Security", "Only change these settings locally.", width);
      SecurityPage(ctx, view, width);
      break;
    case 2:
      PageHeader(ctx, "Files", "Choose where to save the incoming file.", width);
      FilesPage(ctx, view, width);
      break;
    case 3:
      PageHeader(ctx, "Chat", "Messages stay in this session only.", width);
      ChatPage(ctx, view, width, height, !prompt);
      break;
    default:
      PageHeader(ctx, "Connections", "Open Kestrova on both devices.", width);
      ConnectionsPage(ctx, view, ui, width, !prompt);
      break;
  }
  if (!view.viewerRole && view.sessionActive) {
    PushButton(ctx, cmd::kDisconnect, "Stop sharing", RectF{width - 36 - 170, 60, 170, 38},
               ButtonStyle::Danger);
  }
  DrawStatusLine(ctx, view, width, height);
  if (prompt) PromptOverlay(ctx, view, RectF{kSidebarWidth, 0, width - kSidebarWidth, height});
  WindowButtons(ctx, width, 16, /*dark=*/false);
}

void PaintSharingBanner(DrawContext& ctx, float width, float height) {
  Canvas& c = ctx.canvas;
  c.RoundRect(RectF{0, 0, width - 1, height - 1}, 0xFF16202D, 10, 0xFF39495A);
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 2; ++column) {
      c.FillEllipse(RectF{10.0f + 5.0f * static_cast<float>(column),
                          17.0f + 5.0f * static_cast<float>(row), 2.4f, 2.4f},
                    0xFF5A6B7C);
    }
  }
  c.ProductMark(26, 12, 24);
  Label(ctx, "Kestrova", RectF{58, 8, 80, 16}, Style(12, true), 0xFFE4EAF1);
  c.FillEllipse(RectF{58, 29, 6, 6}, 0xFF6FD6B6);
  Label(ctx, "Screen sharing", RectF{68, 24, 156, 16}, Style(11), 0xFFB9C6D3);
  const RectF end{228, 8, 68, 32};
  const bool hovered = ctx.hovered == cmd::kDisconnect;
  c.RoundRect(end, hovered ? 0xFFC03043 : 0xFFAB2A3C, 8, 0);
  // The label keeps its size unless it would be trimmed; then it shrinks to fit (down to 9).
  const std::wstring label = ctx.translate("End session");
  const RectF labelRect{end.x + 2, end.y, end.width - 4, end.height};
  TextStyle labelStyle = Style(11, true, TextAlign::Center);
  // The drawn line keeps a little padding at both ends beyond the measured glyphs.
  while (labelStyle.size > 9 &&
         c.MeasureText(label, labelStyle) + 0.4f * labelStyle.size > labelRect.width) {
    labelStyle.size -= 0.5f;
  }
  c.Text(label, labelRect, labelStyle, 0xFFFFFFFF);
  ctx.layout.AddRegion(cmd::kDisconnect, end);
}

WindowPart ClassifyPoint(const Layout& layout, PointF point, bool remoteView,
                         bool fullScreen) noexcept {
  if (fullScreen || layout.HitTest(point) != 0) return WindowPart::Client;
  for (const ControlPlacement& placement : layout.controls()) {
    if (placement.rect.Contains(point)) return WindowPart::Client;
  }
  return point.y < (remoteView ? 52.0f : 96.0f) ? WindowPart::Caption : WindowPart::Client;
}

}  // namespace ov
