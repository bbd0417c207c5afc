// Timing of the GDI+ JPEG path (Google Benchmark is not available for the mingw build).
// Prints frames per second and JPEG sizes for capture-and-encode at the "Balanced" settings
// (quality 70, width 1920) and the decode time, each with its ratio to a baseline measured in
// the same run: one plain copy of the same pixels.
//   scripts/wine-run build/<dir>/wine build/<dir>/native/screen/screen_timing_win.exe [seconds]
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "screen/displays.h"
#include "screen/jpeg_codec.h"
#include "screen/picture.h"
#include "screen/screen_capturer.h"
#include "screen/synthetic_capturer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `body` repeatedly for about `seconds`; returns seconds per iteration.
double Measure(double seconds, const std::function<void()>& body) {
  body();  // warm-up
  int iterations = 0;
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    body();
    ++iterations;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < seconds);
  return elapsed / iterations;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) {
    std::fprintf(stderr, "GDI+ did not start\n");
    return 1;
  }
  using namespace ov;
  const PixelBuffer desktop = PaintSyntheticPicture(SyntheticScene::MovingPattern, 1920, 1080, 0);
  std::vector<std::uint8_t> copy(desktop.bytes.size());
  const double baseline = Measure(seconds, [&] {
    std::memcpy(copy.data(), desktop.bytes.data(), copy.size());
  });
  std::printf("baseline: copy of a 1920x1080 picture        %8.3f ms\n", baseline * 1e3);

  // Capture-and-encode of the synthetic 1920x1080 desktop (moving pattern), Balanced settings.
  SyntheticCapturer synthetic(SyntheticScene::MovingPattern);
  const DisplayInfo display1080{L"", ScreenRect{0, 0, 1920, 1080}, true};
  std::size_t bytes = 0;
  int frames = 0;
  const double encode = Measure(seconds, [&] {
    CaptureStatus status;
    bytes += synthetic.CaptureFrame(display1080, 1920, 70, status).jpeg.size();
    ++frames;
  });
  std::printf("paint+encode 1920x1080 q70 (GDI+)           %8.3f ms  %6.1f fps  avg JPEG %zu bytes  x%.1f baseline\n",
              encode * 1e3, 1.0 / encode, bytes / static_cast<std::size_t>(frames), encode / baseline);

  // Encode only (no painting), and 3840x2160 scaled to 1920 wide.
  const double encodeOnly = Measure(seconds, [&] {
    ScaleAndEncode(desktop.bytes.data(), 1920, 1080, 1920, 70);
  });
  std::printf("encode 1920x1080 q70 (GDI+)                 %8.3f ms  %6.1f fps  x%.1f baseline\n",
              encodeOnly * 1e3, 1.0 / encodeOnly, encodeOnly / baseline);
  const PixelBuffer uhd = PaintSyntheticPicture(SyntheticScene::MovingPattern, 3840, 2160, 0);
  const double scaled = Measure(seconds, [&] {
    ScaleAndEncode(uhd.bytes.data(), 3840, 2160, 1920, 70);
  });
  std::printf("scale 3840x2160 -> 1920 + encode q70 (GDI+) %8.3f ms  %6.1f fps  x%.1f baseline\n",
              scaled * 1e3, 1.0 / scaled, scaled / baseline);

  // Decode of a Balanced frame.
  const auto jpeg = ScaleAndEncode(desktop.bytes.data(), 1920, 1080, 1920, 70);
  const double decode = Measure(seconds, [&] { DecodeFrameJpeg(jpeg.data(), jpeg.size()); });
  std::printf("decode 1920x1080 (%zu bytes, GDI+)       %8.3f ms  %6.1f fps  x%.1f baseline\n",
              jpeg.size(), decode * 1e3, 1.0 / decode, decode / baseline);

  // The real capturer on this machine's primary display (GDI copy + cursor + encode).
  const auto displays = EnumerateDisplays();
  if (!displays.empty()) {
    auto capturer = CreateScreenCapturer();
    std::size_t realBytes = 0;
    int realFrames = 0, empty = 0;
    CaptureStatus last;
    const double real = Measure(seconds, [&] {
      const auto frame = capturer->CaptureFrame(displays.front(), 1920, 70, last).jpeg;
      realBytes += frame.size();
      ++realFrames;
      empty += frame.empty() ? 1 : 0;
    });
    const auto& r = displays.front().rect;
    std::printf("GDI capture+encode %lldx%lld q70             %8.3f ms  %6.1f fps  avg JPEG %zu bytes  backend %d black %d  empty %d\n",
                static_cast<long long>(r.Width()), static_cast<long long>(r.Height()), real * 1e3,
                1.0 / real, realBytes / static_cast<std::size_t>(realFrames), last.backend,
                last.black ? 1 : 0, empty);
  }
  Gdiplus::GdiplusShutdown(token);
  return 0;
}
