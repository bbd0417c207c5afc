#include "tools/clipboard.h"

#include <cstring>

namespace ov {

std::u16string TextOfClipboardBlock(const void* data, std::size_t size) {
  if (data == nullptr || size < kClipboardBlockMin || size > kClipboardBlockMax) return {};
  // Copied out rather than read in place: the block's alignment is the system's business.
  std::u16string units(size / sizeof(char16_t), u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  const std::size_t nul = units.find(u'\0');
  if (nul == std::u16string::npos) return {};
  units.resize(nul);
  return units;
}

}  // namespace ov
