// The program's command line: only the design-preview options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ov {

struct PreviewOptions {
  std::wstring outputPath;  // "--preview": non-empty turns preview mode on
  std::wstring language;    // "--preview-language"
  int page = 0;             // "--preview-page" (as given)
  int width = 0;            // "--preview-width" (as given; see ClampPreviewWidth)
  int height = 0;           // "--preview-height"
  bool approval = false;    // "--preview-approval"
  bool reveal = false;      // "--preview-reveal"

  bool enabled() const noexcept { return !outputPath.empty(); }
};

// Scans the arguments from the second element (the first names the program). Options match
// exactly and case-sensitively; one that takes an argument is recognised only when an argument
// follows, and consumes it. Unknown elements are skipped.
PreviewOptions ParsePreviewOptions(const std::vector<std::wstring>& arguments);

// atoi semantics: leading white space, an optional sign, then digits; anything else ends the
// number; no digits gives 0. Values beyond the int range saturate.
int ParseIntLikeAtoi(const std::wstring& text) noexcept;

int ClampPreviewWidth(int width) noexcept;    // 800 ... 3840
int ClampPreviewHeight(int height) noexcept;  // 600 ... 2160

// The client size a preview is rendered at: the given width and height, each clamped, when both
// were given (not 0); otherwise none, and the window keeps its own size.
struct PreviewSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const PreviewSize&, const PreviewSize&) = default;
};
std::optional<PreviewSize> PreviewWindowSize(const PreviewOptions& options) noexcept;

}  // namespace ov
