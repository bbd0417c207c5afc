// The operating system as the controller and its sessions reach it: one factory, so that every
// platform object a session uses is made in one place and a test can stand in for all of them
// (testing/fake_platform.h). Each later service of the session (input injection, clipboard,
// file operations, HTTPS) joins this interface when it lands.
#pragma once

#include <memory>
#include <vector>

#include "net/transport.h"
#include "screen/input_injector.h"
#include "screen/screen_capturer.h"
#include "session/display_info.h"
#include "settings/settings_store.h"
#include "tools/file_store.h"

namespace ov {

class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // A new, unconnected relay transport for one connection. Any thread.
  virtual std::shared_ptr<Transport> CreateTransport() = 0;
  // The shareable displays, primary first, at most 16, each with its refresh rate.
  virtual std::vector<DisplayInfo> EnumerateDisplays() = 0;
  // A capturer for one stream; made and used on that stream's thread only.
  virtual std::unique_ptr<ScreenCapturer> CreateCapturer() = 0;
  // The per-user settings, or null when they cannot be opened. Never called in preview mode.
  virtual std::unique_ptr<SettingsStore> OpenSettings() = 0;
  // The process's one input injector (its held keys and buttons are the process's).
  virtual InputInjector& Injector() = 0;
  // The files that transfers read and write (the safe write path for received files).
  virtual FileStore& Files() = 0;
};

// This system's platform: WinHTTP, GDI/WGC capture and the registry on Windows; the Beast
// transport, the synthetic desktop and the settings file elsewhere.
std::unique_ptr<Platform> CreateSystemPlatform();

}  // namespace ov
