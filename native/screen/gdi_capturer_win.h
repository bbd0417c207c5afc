// Windows pieces of the capturer that tests and the timing program reach directly.
#pragma once

#include <windows.h>

#include <memory>

#include "screen/capture_types.h"
#include "screen/screen_capturer.h"
#include "windows_capture/wgc_source.h"

namespace ov {

// Draws the current mouse cursor into `dc`, whose origin is the top-left corner of `displayRect`.
// Draws nothing when the cursor is hidden, outside the rectangle, or unreadable.
void DrawCursorOverlay(HDC dc, double scale, const ScreenRect& displayRect);

// The GDI + WGC capturer with an explicit WGC platform (tests pass a scripted one).
std::unique_ptr<ScreenCapturer> CreateGdiWgcCapturer(std::unique_ptr<WgcPlatform> platform);

}  // namespace ov
