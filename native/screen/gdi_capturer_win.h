// Windows pieces of the capturer that tests and the timing program reach directly.
#pragma once

#include <windows.h>

#include <memory>

#include "screen/capture_types.h"
#include "screen/screen_capturer.h"
#include "windows_capture/wgc_source.h"

namespace ov {

// Draws the current mouse cursor into `dc`, whose origin is the top-left corner of `displayRect`.
// Draws nothing when the cursor is hidden, outside the rectangle, or unreadable. `drawn`, when
// given, receives the area drawn in pixels of `dc` (empty when nothing was).
void DrawCursorOverlay(HDC dc, double scale, const ScreenRect& displayRect, RECT* drawn = nullptr);

class ScreenDuplication;

// The GDI + WGC capturer with an explicit WGC platform (tests pass a scripted one). The first
// copy of a display is made through duplication (Desktop Duplication unless a test passes its
// own) where it can be had, with GDI's copy in its place where it cannot.
std::unique_ptr<ScreenCapturer> CreateGdiWgcCapturer(std::unique_ptr<WgcPlatform> platform,
                                                     std::unique_ptr<ScreenDuplication> duplication = nullptr);

// How the last capture of a capturer made here came by its picture, for tests and diagnostics
// (the capture status reports a copy through duplication as a GDI copy, the screen-copy kind).
enum class ScreenCopyPath { None, Duplication, Gdi, Wgc };
struct ScreenCopyReport {
  ScreenCopyPath path = ScreenCopyPath::None;
  std::uint32_t duplicationError = 0;     // HRESULT of the last failure to duplicate, 0 when none
  std::uint32_t duplicationAttempts = 0;  // duplications set up so far
  bool hinted = false;                    // the lent encoder was told where the picture changed
};
// None for a capturer not made by CreateGdiWgcCapturer or CreateScreenCapturer.
ScreenCopyReport LastScreenCopy(const ScreenCapturer& capturer);

}  // namespace ov
