#include "app/platform.h"
#include "screen/displays.h"

namespace ov {
namespace {

class SystemPlatform final : public Platform {
 public:
  std::shared_ptr<Transport> CreateTransport() override { return ov::CreateTransport(); }
  std::vector<DisplayInfo> EnumerateDisplays() override { return ov::EnumerateDisplays(); }
  std::unique_ptr<ScreenCapturer> CreateCapturer() override { return CreateScreenCapturer(); }
  std::unique_ptr<SettingsStore> OpenSettings() override { return OpenUserSettings(); }
  FileStore& Files() override { return *files_; }
  InputInjector& Injector() override {
    static InputInjector injector(CreateSystemInputBackend());  // one per process
    return injector;
  }

 private:
  const std::unique_ptr<FileStore> files_ = CreateSystemFileStore();
};

}  // namespace

std::unique_ptr<Platform> CreateSystemPlatform() { return std::make_unique<SystemPlatform>(); }

}  // namespace ov
