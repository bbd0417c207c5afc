// What the session controller needs from the window that shows it. The Windows implementation is
// the main window (entry_win.cc); tests record the calls. Every member except PostWake is called
// on the UI thread only.
#pragma once

#include <string>

namespace ov {

class WindowSide {
 public:
  WindowSide() = default;
  WindowSide(const WindowSide&) = delete;
  WindowSide& operator=(const WindowSide&) = delete;
  virtual ~WindowSide() = default;

  // Replaces the status line (an English catalogue key, translated when drawn) and repaints.
  virtual void ShowStatus(const std::string& status) = 0;
  // Recomputes the layout of the window and its child controls and repaints.
  virtual void Layout() = 0;
  virtual void Repaint() = 0;
  // Viewer: only the area x, y, width x height (picture pixels) of the remote picture changed,
  // which kept its size: invalidates the client pixels that show it (by default, everything).
  virtual void RepaintPictureArea(int /*x*/, int /*y*/, int /*width*/, int /*height*/) { Repaint(); }
  // Any thread: posts the event-queue wake-up (WM_APP+1). Must not block; must not drain.
  virtual void PostWake() = 0;
  // Restores the window from minimised and brings it to the foreground (the consent prompt).
  virtual void RestoreAndForeground() = 0;
  // The sharing banner shown while the host is watched.
  virtual void CreateBanner() = 0;
  virtual void DestroyBanner() = 0;
  virtual void ReleaseMouseCapture() = 0;
  // Back to the first page with the session password masked.
  virtual void ShowFirstPage() = 0;
  // The viewer's typed remote ID, as typed.
  virtual std::wstring ReadRemoteId() = 0;
  // The viewer's typed password converted to UTF-8. The caller wipes the returned copy. Throws
  // when the box holds text that is not valid UTF-16.
  virtual std::string ReadPasswordUtf8() = 0;
  virtual void ClearPasswordBox() = 0;
  // Viewer: releases the last remote picture and resets the view.
  virtual void DropRemotePicture() = 0;
};

}  // namespace ov
