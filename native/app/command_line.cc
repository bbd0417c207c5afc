#include "app/command_line.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace ov {

int ParseIntLikeAtoi(const std::wstring& text) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > std::int64_t{INT_MAX} + 1) value = std::int64_t{INT_MAX} + 1;
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

PreviewOptions ParsePreviewOptions(const std::vector<std::wstring>& arguments) {
  PreviewOptions options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& option = arguments[i];
    const bool hasArgument = i + 1 < arguments.size();
    if (option == L"--preview-approval") {
      options.approval = true;
    } else if (option == L"--preview-reveal") {
      options.reveal = true;
    } else if (!hasArgument) {
      continue;
    } else if (option == L"--preview") {
      options.outputPath = arguments[++i];
    } else if (option == L"--preview-language") {
      options.language = arguments[++i];
    } else if (option == L"--preview-page") {
      options.page = ParseIntLikeAtoi(arguments[++i]);
    } else if (option == L"--preview-width") {
      options.width = ParseIntLikeAtoi(arguments[++i]);
    } else if (option == L"--preview-height") {
      options.height = ParseIntLikeAtoi(arguments[++i]);
    }
  }
  return options;
}

int ClampPreviewWidth(int width) noexcept { return std::clamp(width, 800, 3840); }
int ClampPreviewHeight(int height) noexcept { return std::clamp(height, 600, 2160); }

std::optional<PreviewSize> PreviewWindowSize(const PreviewOptions& options) noexcept {
  if (options.width == 0 || options.height == 0) return std::nullopt;
  return PreviewSize{ClampPreviewWidth(options.width), ClampPreviewHeight(options.height)};
}

}  // namespace ov
